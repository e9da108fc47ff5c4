#!/usr/bin/env bash
# Builds both Debian packages from a build tree, checks what they hold and declare, lints them,
# then runs the binaries from the unpacked packages: the installed agent must find its own files.
#
#   tests/package/package_test.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "$1" && pwd)
VERSION=$(sed -n 's/^project(tapdeck VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")
work=$(mktemp -d "${TMPDIR:-/tmp}/tapdeck-package.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$BUILD/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
agent_deb="$work/out/tapdeck_${VERSION}_amd64.deb"
relay_deb="$work/out/tapdeck-relay_${VERSION}_amd64.deb"
[ -f "$agent_deb" ] && [ -f "$relay_deb" ] || fail "expected tapdeck and tapdeck-relay ${VERSION}"

field() { dpkg-deb -f "$1" "$2"; }
[ "$(field "$agent_deb" Version)" = "$VERSION" ] || fail "agent version"
[[ "$(field "$agent_deb" Depends)" == *libgtk-3-0* ]] || fail "Depends not computed from the libraries"
[[ "$(field "$agent_deb" Recommends)" == *"pulseaudio-utils | pipewire-pulse"* ]] || fail "Recommends"
[[ "$(field "$agent_deb" Recommends)" == *"xclip | wl-clipboard"* ]] || fail "Recommends"
[[ "$(field "$relay_deb" Depends)" != *gtk* ]] || fail "the relay needs no GTK"

contents() { dpkg-deb -c "$1" | awk '{print $6}' | sed 's|^\./|/|'; }
for path in /usr/bin/tapdeck /usr/lib/tapdeck/tapdeck-gtk.so /usr/lib/tapdeck/tapdeck-shell.so \
  /usr/lib/tapdeck/tapdeck-webview.so /usr/share/tapdeck/config.json \
  /usr/share/tapdeck/public/index.html /usr/share/tapdeck/icons/tapdeck-symbolic.svg \
  /usr/share/applications/tapdeck.desktop /usr/share/icons/hicolor/scalable/apps/tapdeck.svg \
  /usr/lib/systemd/user/tapdeck.service /usr/share/metainfo/app.tapdeck.Tapdeck.metainfo.xml \
  /usr/share/man/man1/tapdeck.1.gz /usr/share/doc/tapdeck/copyright; do
  contents "$agent_deb" | grep -qx "$path" || fail "tapdeck lacks $path"
done
for path in /usr/bin/tapdeck-relay /usr/lib/systemd/system/tapdeck-relay@.service \
  /usr/share/tapdeck-relay/nginx-relay.conf /usr/share/man/man1/tapdeck-relay.1.gz; do
  contents "$relay_deb" | grep -qx "$path" || fail "tapdeck-relay lacks $path"
done
if contents "$agent_deb" | grep -q '^/usr/local'; then fail "files under /usr/local"; fi

if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "$agent_deb" "$relay_deb" 2>&1 | grep -v 'root privileges' || true
  lintian --fail-on error,warning "$agent_deb" "$relay_deb" >/dev/null 2>&1 || fail "lintian"
fi

root="$work/root"
dpkg-deb -x "$agent_deb" "$root"
dpkg-deb -x "$relay_deb" "$root"
appstreamcli validate --no-net "$root/usr/share/metainfo/app.tapdeck.Tapdeck.metainfo.xml" >/dev/null ||
  fail "AppStream metadata"
desktop-file-validate "$root/usr/share/applications/tapdeck.desktop" || fail "desktop entry"
grep -qx "ExecStart=/usr/bin/tapdeck" "$root/usr/lib/systemd/user/tapdeck.service" || fail "user unit"
grep -qx "UMask=0077" "$root/usr/lib/systemd/user/tapdeck.service" || fail "the user unit leaves files to the umask"
grep -q "^ExecStart=/usr/bin/tapdeck-relay " "$root/usr/lib/systemd/system/tapdeck-relay@.service" ||
  fail "relay unit"

[ "$("$root/usr/bin/tapdeck" --version)" = "tapdeck $VERSION" ] || fail "tapdeck --version"
[ "$("$root/usr/bin/tapdeck-relay" --version)" = "tapdeck-relay $VERSION" ] || fail "relay --version"

# The unpacked agent, headless, with nothing but its own tree to find its files in.
mkdir -m 700 "$work/support"
env -u DISPLAY -u WAYLAND_DISPLAY -u TD_RESOURCES TD_PORT=0 TD_SUPPORT="$work/support" \
  TD_UPDATE_URL=http://127.0.0.1:1/latest.json "$root/usr/bin/tapdeck" --headless >"$work/agent.log" 2>&1 &
pids+=($!)
for _ in $(seq 200); do grep -q "Listening on port" "$work/agent.log" && break; sleep 0.05; done
port=$(sed -n 's/^Listening on port \([0-9]*\).*/\1/p' "$work/agent.log")
[ -n "$port" ] || { cat "$work/agent.log"; fail "the installed agent did not listen"; }
curl -sf "http://127.0.0.1:$port/" | grep -q "<title>Tapdeck</title>" || fail "GET /"
curl -sf "http://127.0.0.1:$port/admin" | grep -q "admin.js" || fail "GET /admin"
admin=$(curl -sf -H "Host: 127.0.0.1" "http://127.0.0.1:$port/api/admin")
[[ "$admin" == *'"version":"'"$VERSION"'"'* ]] || fail "the admin page's version: $admin"
[[ "$admin" == *'"name":"Controls"'* ]] || fail "the shipped configuration: $admin"

"$root/usr/bin/tapdeck-relay" --listen 127.0.0.1:0 >"$work/relay.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q "Relay listening" "$work/relay.log" && break; sleep 0.05; done
relay_port=$(sed -n 's/.*127.0.0.1:\([0-9]*\) (plain)/\1/p' "$work/relay.log")
[ "$(curl -sf "http://127.0.0.1:$relay_port/healthz")" = "ok" ] || fail "relay /healthz"
echo "packages ${VERSION}: contents, control fields, lint and the installed programs are right"

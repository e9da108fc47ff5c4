#!/usr/bin/env bash
# Times /api/type of 100 characters (mixed case, accents, symbols outside the layout) on each
# way keys reach a desktop, inside a private desktop session: XTest on Xvfb, the virtual
# keyboard on a headless sway, and the RemoteDesktop portal (its stand-in from the tests), with
# a window that receives the keys where there is a compositor. OPTIONS / is the reference of a
# request that does nothing. Goal: under 100 ms each.
#
#   bench/type_latency.sh [requests-per-backend]     (after the README's build)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${TD_IN_SESSION:-}" ]; then
  exec env TD_IN_SESSION=1 scripts/with-desktop-session.sh "$0" "$@"
fi

COUNT=${1:-30}
PORT=${PORT:-28791}
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

TEXT='Hello, World! Héllo wörld € ✓ 😀 The quick brown fox jumps over the lazy dog 0123456789 äöü ß'
TEXT="${TEXT:0:100}"
body=$(printf '{"text":"%s"}' "$TEXT")

wait_for() { for _ in $(seq 200); do "$@" >/dev/null 2>&1 && return 0; sleep 0.05; done; return 1; }
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; }

# Starts the agent with the given environment and pairs a phone; sets $token and $agent.
start_agent() {
  rm -rf "$work/support"
  env "$@" TD_PORT=$PORT TD_SUPPORT="$work/support" TD_UPDATE_URL=http://127.0.0.1:1/latest.json \
    build/tapdeck --headless >"$work/agent.log" 2>&1 &
  agent=$!
  pids+=("$agent")
  wait_for port_open
  local pin
  pin=$(grep -o '"pin":"[0-9]*"' "$work/support/state.json" | grep -o '[0-9]\{6\}')
  token=$(curl -s -d "{\"pin\":\"$pin\"}" "http://127.0.0.1:$PORT/api/pair" | grep -o '[0-9a-f]\{48\}')
}
stop_agent() { kill "$agent"; wait "$agent" 2>/dev/null || true; }

# Median time in ms of COUNT requests, and whether the last answer was ok.
median_ms() { # method path body
  for _ in $(seq "$COUNT"); do
    curl -s -o "$work/answer" -w '%{time_total}\n' -X "$1" -H "x-td-token: $token" \
      -H 'Host: 127.0.0.1' -d "$3" "http://127.0.0.1:$PORT$2"
  done | sort -n | awk '{ v[NR] = $1 } END { printf "%.2f", v[int((NR + 1) / 2)] * 1000 }'
}

report() { # name
  local reference typed
  reference=$(median_ms OPTIONS / "")
  typed=$(median_ms POST /api/type "$body")
  grep -q '"ok":true' "$work/answer" || { echo "$1: typing failed: $(cat "$work/answer")" >&2; exit 1; }
  printf '%-18s %12s %12s %8s\n' "$1" "$reference" "$typed" \
    "$(awk -v a="$typed" -v b="$reference" 'BEGIN { printf "%.1f", a / b }')"
}

printf '%-18s %12s %12s %8s\n' "backend" "OPTIONS ms" "type ms" "ratio"

# X11: XTest into the session's Xvfb, a window holding the focus.
build/tests/host/key_observer >/dev/null &
pids+=($!)
start_agent
report "xtest (Xvfb)"
stop_agent

# wlroots: sway, headless, as an ordinary user (it refuses root).
runtime="$work/sway"
mkdir -m 700 "$runtime"
echo 'xwayland disable' >"$runtime/config"
as_user=()
[ "$(id -u)" -eq 0 ] && as_user=(unshare --user --map-user=1000 --map-group=1000)
XDG_RUNTIME_DIR="$runtime" WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
  "${as_user[@]}" sway -c "$runtime/config" >"$work/sway.log" 2>&1 &
pids+=($!)
wait_for test -S "$runtime/wayland-1"
WAYLAND_DISPLAY="$runtime/wayland-1" build/tests/host/wayland_key_observer >/dev/null &
pids+=($!)
start_agent -u DISPLAY WAYLAND_DISPLAY="$runtime/wayland-1"
report "virtual keyboard"
stop_agent

# The portal: the first key press asks, the stand-in grants, then every press goes through it.
build/tests/host/fake_remote_desktop_portal grant >"$work/portal.log" &
pids+=($!)
wait_for grep -q ready "$work/portal.log"
start_agent -u DISPLAY WAYLAND_DISPLAY=wayland-none
curl -s -o /dev/null -H "x-td-token: $token" -d "$body" "http://127.0.0.1:$PORT/api/type"
wait_for grep -q 'Start granted' "$work/portal.log"
report "portal (stand-in)"
stop_agent

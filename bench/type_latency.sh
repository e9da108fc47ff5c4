#!/usr/bin/env bash
# Times /api/type of 100 characters (mixed case, accents, symbols outside the layout) on each
# way keys reach a desktop, inside a private desktop session: XTest on Xvfb, the virtual
# keyboard on a headless sway, and the RemoteDesktop portal (its stand-in from the tests), with
# a window that receives the keys where there is a compositor. OPTIONS / is the reference of a
# request that does nothing. Goal: under 100 ms each.
#
#   bench/type_latency.sh [requests-per-backend]     (after the README's build)
cd "$(dirname "$0")/.."
# shellcheck source=bench/lib.sh
IN_DESKTOP=1 source bench/lib.sh
COUNT=${1:-30}

TEXT='Hello, World! Héllo wörld € ✓ 😀 The quick brown fox jumps over the lazy dog 0123456789 äöü ß'
body=$(printf '{"text":"%s"}' "${TEXT:0:100}")
# Starts a helper of the tests; its output goes to $work/NAME.log.
helper() { # name [args...]
  "$BUILD/tests/host/$1" "${@:2}" >"$work/$1.log" 2>&1 &
  started_pids+=($!)
}

# Starts the agent in the environment given, times it and stops it.
report() { # name [env-args...]
  start_paired_agent "${@:2}"
  # The portal's stand-in is asked on the first key press and grants it; every press after
  # that goes through it.
  if [ "$1" = portal ]; then
    curl -s -o /dev/null -H "x-td-token: $token" -d "$body" "http://127.0.0.1:$port/api/type"
    wait_for_line "$work/fake_remote_desktop_portal.log" 'Start granted' 10
  fi
  local reference typed
  reference=$(median_ms OPTIONS /)
  typed=$(median_ms POST /api/type "$body")
  grep -q '"ok":true' "$work/answer" || { echo "$1: typing failed: $(cat "$work/answer")" >&2; exit 1; }
  row "$1" "$reference" "$typed" "$(ratio "$typed" "$reference")"
  stop_agent
}

row backend "OPTIONS ms" "type ms" ratio

helper key_observer  # a window on the session's Xvfb holding the focus
wait_for_line "$work/key_observer.log" ready 10
report "xtest (Xvfb)"

# sway, headless, as an ordinary user (it refuses root); its window has the focus once the
# agent's virtual keyboard is there.
runtime="$work/sway"
mkdir -m 700 "$runtime"
echo 'xwayland disable' >"$runtime/config"
as_user=()
[ "$(id -u)" -eq 0 ] && as_user=(unshare --user --map-user=1000 --map-group=1000)
XDG_RUNTIME_DIR="$runtime" WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
  "${as_user[@]}" sway -c "$runtime/config" >"$work/sway.log" 2>&1 &
started_pids+=($!)
for _ in $(seq 200); do [ -S "$runtime/wayland-1" ] && break; sleep 0.05; done
WAYLAND_DISPLAY="$runtime/wayland-1" helper wayland_key_observer
report "virtual keyboard" -u DISPLAY WAYLAND_DISPLAY="$runtime/wayland-1"

helper fake_remote_desktop_portal grant
wait_for_line "$work/fake_remote_desktop_portal.log" ready 10
report portal -u DISPLAY WAYLAND_DISPLAY=wayland-none

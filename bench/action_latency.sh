#!/usr/bin/env bash
# Times, inside a private desktop session, how long the agent takes from a request arriving to
# answering it, against OPTIONS / (the request that does nothing) on the same agent. On X11
# (Xvfb, with a window holding the focus): /api/launch, /api/media (a player on the bus),
# /api/gesture, /api/admin (with a few hundred desktop entries installed) and /api/type of 100
# characters (mixed case, accents, symbols outside the layout); then /api/type on the other ways
# keys reach a desktop: the virtual keyboard of a headless sway (a window there receives them)
# and the RemoteDesktop portal (its stand-in from the tests).
#
#   bench/action_latency.sh [requests-each]     (after the README's build)
cd "$(dirname "$0")/.."
# shellcheck source=bench/lib.sh
IN_DESKTOP=1 source bench/lib.sh
COUNT=${1:-30}

TEXT='Hello, World! Héllo wörld € ✓ 😀 The quick brown fox jumps over the lazy dog 0123456789 äöü ß'
typing="POST /api/type $(printf '{"text":"%s"}' "${TEXT:0:100}")"
# A few hundred launcher entries, and one app that is allowed to launch.
for i in $(seq 1 300); do
  printf '[Desktop Entry]\nType=Application\nName=Bench App %03d\nExec=/bin/true\nIcon=bench\n' "$i" \
    >"$XDG_DATA_HOME/applications/bench-$i.desktop"
done
/usr/bin/python3 -m dbusmock org.mpris.MediaPlayer2.bench /org/mpris/MediaPlayer2 org.mpris.MediaPlayer2.Player \
  >/dev/null &
started_pids+=($!)
mock() { gdbus call --session -d org.mpris.MediaPlayer2.bench -o /org/mpris/MediaPlayer2 \
  -m "org.freedesktop.DBus.Mock.$1" org.mpris.MediaPlayer2.Player "${@:2}" >/dev/null; }
for _ in $(seq 100); do mock AddMethod Next '' '' '' 2>/dev/null && break; sleep 0.05; done
mock AddProperties "{'PlaybackStatus': <'Playing'>}"

# Starts a helper of the tests (tests/host/helpers/), its output in $work/NAME.log.
helper() { # file [args...]
  tests/host/helpers/$1 "${@:2}" >"$work/${1%.*}.log" 2>&1 &
  started_pids+=($!)
}

# Times each request ("METHOD PATH [BODY]") on the running agent, checks that each was done,
# and stops the agent.
report() { # backend request...
  local reference ms method path body
  reference=$(median_ms OPTIONS /)
  row "OPTIONS / ($1)" "$reference" 1.00
  for request in "${@:2}"; do
    read -r method path body <<<"$request"
    ms=$(median_ms "$method" "$path" "$body")
    [ "$method" = GET ] || grep -q '"ok":true' "$work/answer" || { echo "$path: $(cat "$work/answer")" >&2; exit 1; }
    row "$path ($1)" "$ms" "$(ratio "$ms" "$reference")"
  done
  stop_agent
}

row request "median ms" ratio
helper key_observer.sh
wait_for_line "$work/key_observer.log" ready 10
start_paired_agent
curl -s -H 'Host: 127.0.0.1' -d '{"pages":[{"name":"Apps","tiles":[{"type":"app","value":"Bench App 001"}]}]}' \
  "http://127.0.0.1:$port/api/config" >/dev/null
report X11 'POST /api/launch {"app":"Bench App 001"}' 'POST /api/media {"action":"next"}' \
  'POST /api/gesture {"value":"show_desktop"}' 'GET /api/admin' "$typing"

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
WAYLAND_DISPLAY="$runtime/wayland-1" helper wayland_key_observer.sh
start_paired_agent -u DISPLAY WAYLAND_DISPLAY="$runtime/wayland-1"
report "virtual keyboard" "$typing"

# The portal's stand-in is asked on the first key press and grants it; every press after that
# goes through it.
/usr/bin/python3 -m dbusmock -l /dev/null -t tests/host/helpers/remote_desktop_portal.py \
  -p '{"answer": "grant"}' >"$work/portal.log" 2>&1 &
started_pids+=($!)
wait_for_line "$work/portal.log" ready 10
start_paired_agent -u DISPLAY WAYLAND_DISPLAY=wayland-none
curl -s -o /dev/null -H "x-td-token: $token" -d "${typing#* * }" "http://127.0.0.1:$port/api/type"
wait_for_line "$work/portal.log" 'Start granted' 10
report portal "$typing"
echo "(goals: launch, media and gesture under 5 ms of the agent's own time; admin under 50 ms with 300+ entries; typing under 100 ms)"

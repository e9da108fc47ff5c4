#!/usr/bin/env bash
# The computer talking back, as a paired phone hears it: a copy on the computer to the
# clipboard's state message, an app's notification to the phone's message, and the app in front
# changing to the focus message, each against the same stream's reload message (a save of the
# configuration); on X11, then on sway. Then the agent's wake-ups while all of it is followed
# and nothing happens, against the same agent with notifications off.
#
#   bench/bridge.sh [idle-seconds] [samples]     (after the README's build)
cd "$(dirname "$0")/.."
IN_DESKTOP=1 source bench/lib.sh
idle=${1:-60}
samples=${2:-40}

# A notification service for the applications to call, as every desktop has.
/usr/bin/python3 -m dbusmock -l /dev/null --template notification_daemon >/dev/null 2>&1 &
started_pids+=($!)

echo "== X11 (Xvfb, no window manager: this script sets the active window as one would)"
start_paired_agent
/usr/bin/python3 -u bench/bridge.py x11 "$port" "$token" "$agent_pid" "$idle" "$samples"
stop_agent

echo "== sway (headless)"
runtime="$work/sway"
mkdir -m 700 "$runtime"
echo 'xwayland disable' >"$runtime/config"
as_user=()
[ "$(id -u)" -eq 0 ] && as_user=(unshare --user --map-user=1000 --map-group=1000)
XDG_RUNTIME_DIR="$runtime" WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
  "${as_user[@]}" sway -c "$runtime/config" >"$work/sway.log" 2>&1 &
started_pids+=($!)
for _ in $(seq 200); do [ -S "$runtime/wayland-1" ] && break; sleep 0.05; done
export SWAYSOCK
SWAYSOCK=$(find "$runtime" -name 'sway-ipc.*.sock' | head -1)
start_paired_agent -u DISPLAY WAYLAND_DISPLAY="$runtime/wayland-1"
WAYLAND_DISPLAY="$runtime/wayland-1" /usr/bin/python3 -u bench/bridge.py sway "$port" "$token" \
  "$agent_pid" 0 "$samples"

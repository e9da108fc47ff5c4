#!/usr/bin/env bash
# Runs a command inside a private desktop session of its own: an X server (Xvfb), a D-Bus
# session bus, a PulseAudio server with a null sink, and HOME and XDG folders in a temp folder.
# Everything it starts is stopped when the command ends; the command's exit status is kept.
#
#   scripts/with-desktop-session.sh ctest --test-dir build -L desktop
set -euo pipefail

session=$(mktemp -d "${TMPDIR:-/tmp}/tapdeck-session.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$session"
}
trap cleanup EXIT

export HOME="$session/home"
export XDG_CONFIG_HOME="$session/config" XDG_DATA_HOME="$session/data"
export XDG_CACHE_HOME="$session/cache" XDG_RUNTIME_DIR="$session/run"
export XDG_DATA_DIRS="${XDG_DATA_DIRS:-/usr/local/share:/usr/share}"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME/applications" "$XDG_CACHE_HOME"
mkdir -m 700 -p "$XDG_RUNTIME_DIR"
unset WAYLAND_DISPLAY

# Waits (bounded) until a command succeeds.
wait_for() {
  local tries=0
  until "$@" >/dev/null 2>&1; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ]; then echo "desktop session: gave up waiting for: $*" >&2; exit 1; fi
    sleep 0.05
  done
}

Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$session/display" 2>"$session/xvfb.log" &
pids+=($!)
wait_for test -s "$session/display"
export DISPLAY=":$(head -n1 "$session/display")"

# The machine's session services, but the desktop portals: a test that needs one brings its own
# stand-in, and a real portal started by a GTK program would take the stand-in's name.
mkdir -p "$session/dbus-services"
for service in /usr/share/dbus-1/services/*.service; do
  case "$(basename "$service")" in
    org.freedesktop.portal.* | org.freedesktop.impl.portal.*) ;;
    *) ln -s "$service" "$session/dbus-services/" ;;
  esac
done
cat >"$session/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:path=$session/bus</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$session/dbus-services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
dbus-daemon --config-file="$session/bus.conf" --nofork --nopidfile 2>"$session/dbus.log" &
pids+=($!)
export DBUS_SESSION_BUS_ADDRESS="unix:path=$session/bus"
wait_for test -S "$session/bus"

pulseaudio --daemonize=no --exit-idle-time=-1 --disallow-exit -n --use-pid-file=no \
  --load="module-native-protocol-unix socket=$session/pulse auth-anonymous=1" \
  --load="module-null-sink sink_name=tapdeck_test" --load="module-always-sink" \
  2>"$session/pulse.log" &
pids+=($!)
export PULSE_SERVER="unix:$session/pulse"
wait_for pactl info

set +e
"$@"
status=$?
set -e
exit "$status"

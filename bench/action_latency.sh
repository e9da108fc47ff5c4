#!/usr/bin/env bash
# Times, inside a private desktop session, how long the agent takes from a request arriving to
# answering it for /api/launch, /api/media (with a player on the bus), /api/gesture and
# /api/admin (with a few hundred desktop entries installed), against OPTIONS as the reference of
# a request that does nothing.
#
#   bench/action_latency.sh [requests-per-endpoint]     (after the README's build)
cd "$(dirname "$0")/.."
# shellcheck source=bench/lib.sh
IN_DESKTOP=1 source bench/lib.sh
COUNT=${1:-50}

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

start_paired_agent
curl -s -H 'Host: 127.0.0.1' -d '{"pages":[{"name":"Apps","tiles":[{"type":"app","value":"Bench App 001"}]}]}' \
  "http://127.0.0.1:$port/api/config" >/dev/null

reference=$(median_ms OPTIONS /)
row request "median ms" ratio
row "OPTIONS /" "$reference" 1.00
for case in 'POST launch {"app":"Bench App 001"}' 'POST media {"action":"next"}' \
  'POST gesture {"value":"show_desktop"}' 'GET admin'; do
  read -r method name body <<<"$case"
  ms=$(median_ms "$method" "/api/$name" "$body")
  [ "$name" = admin ] || grep -q '"ok":true' "$work/answer" || { echo "$name: $(cat "$work/answer")" >&2; exit 1; }
  row "/api/$name" "$ms" "$(ratio "$ms" "$reference")"
done
echo "(goals: launch, media and gesture under 5 ms of the agent's own time; admin under 50 ms with 300+ entries)"

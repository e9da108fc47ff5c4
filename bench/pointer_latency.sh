#!/usr/bin/env bash
# The touchpad's speed on X11, in a private desktop session (Xvfb): pointer events per second over
# one WebSocket and the time from a message to the X server's motion event, median and p99, the
# same through POST /api/pointer, and OPTIONS / on the same run as the reference; then phone to
# cursor in Chromium. Goals: >= 2,000 events/s; median under 1 ms and p99 under 5 ms; Chromium's
# median under 16 ms.
#
#   bench/pointer_latency.sh [moves]     (after the README's test command has built everything)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${TD_IN_SESSION:-}" ]; then
  exec env TD_IN_SESSION=1 scripts/with-desktop-session.sh "$0" "$@"
fi

COUNT=${1:-1000}
PORT=${PORT:-28792}
work=$(mktemp -d)
agent=""
cleanup() {
  [ -n "$agent" ] && kill "$agent" 2>/dev/null && wait "$agent" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; }
TD_PORT=$PORT TD_SUPPORT="$work/support" TD_UPDATE_URL=http://127.0.0.1:1/latest.json \
  build/tapdeck --headless >"$work/agent.log" 2>&1 &
agent=$!
for _ in $(seq 200); do port_open && break; sleep 0.05; done
pin=$(grep -o '"pin":"[0-9]*"' "$work/support/state.json" | grep -o '[0-9]\{6\}')
# Paired from 127.0.0.2: a phone, not this computer.
token=$(curl -s --interface 127.0.0.2 -d "{\"pin\":\"$pin\"}" "http://127.0.0.1:$PORT/api/pair" |
  grep -o '[0-9a-f]\{48\}')

build/bench/pointer_latency_bench "$PORT" "$token" "$COUNT"
kill "$agent"; wait "$agent" 2>/dev/null || true
agent=""
node bench/touch_to_cursor.mjs 200

#!/usr/bin/env bash
# Live tiles: a push (POST /api/tiles/ID) to the state message on a paired phone's event stream
# against the same stream's reload message; `tapdeck tile` from start to exit against `true` and
# curl sending the same request; and the agent's CPU and wake-ups a second while three watchers
# and a poller every second feed its tiles, against the same agent with none.
#
#   bench/live_tiles.sh [idle-seconds] [pushes]     (after the README's build)
cd "$(dirname "$0")/.."
# shellcheck source=bench/lib.sh
source bench/lib.sh
start_paired_agent
AGENT_PID=$agent_pid python3 -u bench/live_tiles.py "$port" "$token" "$work/support" "$BUILD" \
  "${1:-60}" "${2:-400}"

#!/usr/bin/env bash
# A player's change to a paired phone's event stream, and the idle agent's wake-ups, inside a
# private desktop session; see bench/now_playing.py.
#
#   bench/now_playing.sh [changes] [idle-seconds]     (after the README's build)
set -euo pipefail
cd "$(dirname "$0")/.."
exec scripts/with-desktop-session.sh /usr/bin/python3 bench/now_playing.py "$@"

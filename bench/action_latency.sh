#!/usr/bin/env bash
# Times, inside a private desktop session, how long the agent takes from a request arriving to
# answering it for /api/launch, /api/media, /api/gesture and /api/admin (with a few hundred
# desktop entries installed), against OPTIONS as the reference of a request that does nothing.
#
#   bench/action_latency.sh [requests-per-endpoint]     (after the README's build)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${TD_IN_SESSION:-}" ]; then
  exec env TD_IN_SESSION=1 scripts/with-desktop-session.sh "$0" "$@"
fi

COUNT=${1:-50}
PORT=${PORT:-28790}
work=$(mktemp -d)
agent_pid=""
player_pid=""
cleanup() {
  for pid in $agent_pid $player_pid; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

if (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then echo "port $PORT is busy" >&2; exit 1; fi

# A few hundred launcher entries, and one app that is allowed to launch.
for i in $(seq 1 300); do
  printf '[Desktop Entry]\nType=Application\nName=Bench App %03d\nExec=/bin/true\nIcon=bench\n' "$i" \
    >"$XDG_DATA_HOME/applications/bench-$i.desktop"
done
build/tests/host/fake_mpris_player bench Playing "$work/player.log" >/dev/null &
player_pid=$!

TD_PORT=$PORT TD_SUPPORT="$work/support" TD_UPDATE_URL=http://127.0.0.1:1/latest.json build/tapdeck --headless >"$work/agent.log" &
agent_pid=$!
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && break; sleep 0.05; done

pin=$(grep -o '"pin":"[0-9]*"' "$work/support/state.json" | grep -o '[0-9]\{6\}')
token=$(curl -s -d "{\"pin\":\"$pin\"}" "http://127.0.0.1:$PORT/api/pair" | grep -o '[0-9a-f]\{48\}')
curl -s -H 'Host: 127.0.0.1' -d '{"pages":[{"name":"Apps","tiles":[{"type":"app","value":"Bench App 001"}]}]}' \
  "http://127.0.0.1:$PORT/api/config" >/dev/null

# Median time in ms of COUNT requests.
median_ms() { # method path body
  for _ in $(seq "$COUNT"); do
    curl -s -o /dev/null -w '%{time_total}\n' -X "$1" -H "x-td-token: $token" -H 'Host: 127.0.0.1' \
      -d "$3" "http://127.0.0.1:$PORT$2"
  done | sort -n | awk '{ v[NR] = $1 } END { printf "%.2f", v[int((NR + 1) / 2)] * 1000 }'
}

reference=$(median_ms OPTIONS / "")
printf '%-14s %10s %8s\n' "request" "median ms" "ratio"
printf '%-14s %10s %8s\n' "OPTIONS /" "$reference" "1.00"
for case in "launch|/api/launch|{\"app\":\"Bench App 001\"}" \
            "media|/api/media|{\"action\":\"next\"}" \
            "gesture|/api/gesture|{\"value\":\"show_desktop\"}" \
            "admin|/api/admin|"; do
  IFS='|' read -r name path body <<<"$case"
  method=POST; [ "$name" = admin ] && method=GET
  ms=$(median_ms "$method" "$path" "$body")
  printf '%-14s %10s %8s\n' "/api/$name" "$ms" "$(awk -v a="$ms" -v b="$reference" 'BEGIN { printf "%.1f", a / b }')"
done
echo "(goals: launch, media and gesture under 5 ms of the agent's own time; admin under 50 ms with 300+ entries)"

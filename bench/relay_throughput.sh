#!/usr/bin/env bash
# What the relay costs a phone: GET /api/config with a token, straight to a headless agent (the
# reference) and through tapdeck-relay over TLS to the same agent, in the same run. Each path is
# loaded by wrk twice: with CONNECTIONS connections for requests per second, and with one for the
# latency of a request on its own; prints both, and the ratios.
#
#   bench/relay_throughput.sh [seconds-per-run]     (after the README's build; default 10)
set -euo pipefail
cd "$(dirname "$0")/.."

DURATION=${1:-10}
CONNECTIONS=${CONNECTIONS:-16}
BUILD=${BUILD:-build}
# shellcheck source=scripts/relay_fixture.sh
source scripts/relay_fixture.sh

for tool in wrk curl "$BUILD/tapdeck" "$BUILD/tapdeck-relay"; do
  command -v "$tool" >/dev/null || [ -x "$tool" ] || { echo "missing: $tool" >&2; exit 1; }
done

make_work_dir

make_test_certificates "$work"
start_relay "$work/relay.log" --cert "$work/cert.pem" --key "$work/key.pem"
id=bench-agent
token=$(openssl rand -hex 24)
start_agent "$work/agent" "$id" "$token" "127.0.0.1:$relay_port" "$work/ca.pem"
agent=$(agent_port "$work/agent") || { echo "the agent did not start" >&2; exit 1; }
wait_for_line "$work/agent/agent.log" '^Relay connected' 15 ||
  { echo "the agent never reached the relay:" >&2; cat "$work/agent/agent.log" >&2; exit 1; }

direct=http://127.0.0.1:$agent/api/config
relayed=https://127.0.0.1:$relay_port/phone/$id/api/config
for url in "$direct" "$relayed"; do
  curl -sS --fail --max-time 10 --cacert "$work/ca.pem" -H "x-td-token: $token" -o /dev/null "$url" ||
    { echo "GET $url failed" >&2; exit 1; }
done

# "requests/s median-ms errors" of one wrk run.
load() { # url connections
  wrk -t1 -c"$2" -d"${DURATION}s" --latency -H "x-td-token: $token" "$1" | awk '
    function ms(v) {
      if (v ~ /us$/) return v / 1000
      if (v ~ /ms$/) return v + 0
      if (v ~ /s$/) return v * 1000
      return v
    }
    /^ +50%/ { median = ms($2) }
    /^Requests\/sec/ { rps = $2 }
    /Non-2xx or 3xx responses/ { errors += $NF }
    /^ +Socket errors/ { errors += $4 + $6 + $8 + $10 }
    END { printf "%.0f %.3f %d\n", rps, median, errors }'
}

read -r direct_rps direct_busy direct_errors < <(load "$direct" "$CONNECTIONS")
read -r relayed_rps relayed_busy relayed_errors < <(load "$relayed" "$CONNECTIONS")
read -r _ direct_alone _ < <(load "$direct" 1)
read -r _ relayed_alone _ < <(load "$relayed" 1)

printf '%-22s %12s %16s %16s %8s\n' "GET /api/config" "req/s" "median ms ($CONNECTIONS)" "median ms (1)" "errors"
printf '%-22s %12s %16s %16s %8s\n' "direct (reference)" "$direct_rps" "$direct_busy" "$direct_alone" "$direct_errors"
printf '%-22s %12s %16s %16s %8s\n' "through relay (TLS)" "$relayed_rps" "$relayed_busy" "$relayed_alone" "$relayed_errors"
echo
awk -v dr="$direct_rps" -v rr="$relayed_rps" -v da="$direct_alone" -v ra="$relayed_alone" 'BEGIN {
  printf "relayed / direct throughput: %.2f (goal: at least 0.50)\n", rr / dr
  printf "added to the median of a request on its own: %.3f ms (goal: under 1 ms)\n", ra - da }'

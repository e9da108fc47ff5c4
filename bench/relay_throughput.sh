#!/usr/bin/env bash
# What the relay costs a phone: GET /api/config with a token, straight to a headless agent (the
# reference) and through tapdeck-relay over TLS to the same agent, in the same run. Each path is
# loaded by wrk twice: with CONNECTIONS connections for requests per second, and with one for the
# latency of a request on its own; prints both, and the ratios. Then what one hostile agent costs
# everyone else: the relay's /healthz on its own (the reference) and while an agent sends the
# worst it can, again and again (relay_agents_bench hostile), median and slowest.
#
#   bench/relay_throughput.sh [seconds-per-run]     (after the README's build; default 10)
set -euo pipefail
cd "$(dirname "$0")/.."

DURATION=${1:-10}
CONNECTIONS=${CONNECTIONS:-16}
BUILD=${BUILD:-build}
# shellcheck source=scripts/relay_fixture.sh
source scripts/relay_fixture.sh

AGENTS_BENCH=${AGENTS_BENCH:-$BUILD/bench/relay_agents_bench}
for tool in wrk curl "$BUILD/tapdeck" "$BUILD/tapdeck-relay" "$AGENTS_BENCH"; do
  command -v "$tool" >/dev/null || [ -x "$tool" ] || { echo "missing: $tool" >&2; exit 1; }
done

make_work_dir

make_test_certificates "$work"
start_relay "$work/relay.log" --cert "$work/cert.pem" --key "$work/key.pem"
token=$(openssl rand -hex 24)
start_agent "$work/agent" placeholder "$token" "127.0.0.1:$relay_port" "$work/ca.pem"
agent=$(agent_port "$work/agent") || { echo "the agent did not start" >&2; exit 1; }
wait_for_line "$work/agent/agent.log" '^Relay connected' 15 ||
  { echo "the agent never reached the relay:" >&2; cat "$work/agent/agent.log" >&2; exit 1; }
# The identifier its key names, which it wrote over the one it was given.
id=$(sed -n 's/.*"relayId":"\([a-z2-7]*\)".*/\1/p' "$work/agent/support/state.json")

direct=http://127.0.0.1:$agent/api/config
relayed=https://127.0.0.1:$relay_port/phone/$id/api/config
for url in "$direct" "$relayed"; do
  for _ in $(seq 100); do  # the relay counts the agent once its proof is in
    curl -sS --fail --max-time 10 --cacert "$work/ca.pem" -H "x-td-token: $token" -o /dev/null "$url" \
      2>/dev/null && break
    sleep 0.05
  done
  curl -sS --fail --max-time 10 --cacert "$work/ca.pem" -H "x-td-token: $token" -o /dev/null "$url" ||
    { echo "GET $url failed" >&2; exit 1; }
done

# "requests/s median-ms errors p99-ms" of one wrk run.
load() { # url connections
  wrk -t1 -c"$2" -d"${DURATION}s" --latency -H "x-td-token: $token" "$1" | awk '
    function ms(v) {
      if (v ~ /us$/) return v / 1000
      if (v ~ /ms$/) return v + 0
      if (v ~ /s$/) return v * 1000
      return v
    }
    /^ +50%/ { median = ms($2) }
    /^ +99%/ { p99 = ms($2) }
    /^Requests\/sec/ { rps = $2 }
    /Non-2xx or 3xx responses/ { errors += $NF }
    /^ +Socket errors/ { errors += $4 + $6 + $8 + $10 }
    END { printf "%.0f %.3f %d %.3f\n", rps, median, errors, p99 }'
}

read -r direct_rps direct_busy direct_errors _ < <(load "$direct" "$CONNECTIONS")
read -r relayed_rps relayed_busy relayed_errors _ < <(load "$relayed" "$CONNECTIONS")
read -r _ direct_alone _ < <(load "$direct" 1)
read -r _ relayed_alone _ < <(load "$relayed" 1)

health=https://127.0.0.1:$relay_port/healthz
read -r _ health_alone _ health_alone_p99 < <(load "$health" 1)
"$AGENTS_BENCH" "$work/ca.pem" "$relay_port" hostile </dev/zero >"$work/hostile.out" 2>&1 &
hostile_pid=$!
started_pids+=("$hostile_pid")
read -r _ health_hostile health_errors health_hostile_p99 < <(load "$health" 1)
kill -TERM "$hostile_pid"
wait "$hostile_pid" 2>/dev/null || true

printf '%-22s %12s %16s %16s %8s\n' "GET /api/config" "req/s" "median ms ($CONNECTIONS)" "median ms (1)" "errors"
printf '%-22s %12s %16s %16s %8s\n' "direct (reference)" "$direct_rps" "$direct_busy" "$direct_alone" "$direct_errors"
printf '%-22s %12s %16s %16s %8s\n' "through relay (TLS)" "$relayed_rps" "$relayed_busy" "$relayed_alone" "$relayed_errors"
echo
awk -v dr="$direct_rps" -v rr="$relayed_rps" -v da="$direct_alone" -v ra="$relayed_alone" 'BEGIN {
  printf "relayed / direct throughput: %.2f (goal: at least 0.85)\n", rr / dr
  printf "added to the median of a request on its own: %.3f ms (goal: under 0.2 ms)\n", ra - da }'
echo
printf '%-34s %12s %12s %8s\n' "GET /healthz, one connection" "median ms" "p99 ms" "errors"
printf '%-34s %12s %12s %8s\n' "relay on its own (reference)" "$health_alone" "$health_alone_p99" "-"
printf '%-34s %12s %12s %8s\n' "while a hostile agent sends" "$health_hostile" "$health_hostile_p99" "$health_errors"
echo "the hostile agent: $(cat "$work/hostile.out") (goal: /healthz under 100 ms)"

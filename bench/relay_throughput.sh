#!/usr/bin/env bash
# What the relay costs a phone: GET /api/config with a token, straight to a headless agent (the
# reference) and through tapdeck-relay over TLS to the same agent, in the same run. Each path is
# loaded by wrk twice: with CONNECTIONS connections for requests per second, and with one for the
# latency of a request on its own; prints both, and the ratios. Then what one hostile agent costs
# everyone else: the relay's /healthz on its own (the reference) and while an agent sends the
# worst it can, again and again (relay_agents_bench hostile), median and p99.
#
#   bench/relay_throughput.sh [seconds-per-run]     (after the README's build; default 10)
cd "$(dirname "$0")/.."
# shellcheck source=bench/lib.sh
source bench/lib.sh
DURATION=${1:-10}
CONNECTIONS=${CONNECTIONS:-16}

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
# The relay answers 503 until the agent's proof is in.
curl -sf --retry 20 --retry-delay 1 --cacert "$work/ca.pem" -H "x-td-token: $token" -o /dev/null "$relayed" ||
  { echo "GET $relayed failed" >&2; exit 1; }

# wrk prints "requests/s median-ms errors p99-ms" when done.
cat >"$work/figures.lua" <<'LUA'
done = function(summary, latency)
  local e = summary.errors
  io.write(string.format("%.0f %.3f %d %.3f\n", summary.requests / summary.duration * 1e6,
    latency:percentile(50) / 1000, e.connect + e.read + e.write + e.status + e.timeout, latency:percentile(99) / 1000))
end
LUA
load() { # url connections
  wrk -t1 -c"$2" -d"${DURATION}s" -s "$work/figures.lua" -H "x-td-token: $token" "$1" | tail -n 1
}

read -r direct_rps direct_busy direct_errors _ < <(load "$direct" "$CONNECTIONS")
read -r relayed_rps relayed_busy relayed_errors _ < <(load "$relayed" "$CONNECTIONS")
read -r _ direct_alone _ < <(load "$direct" 1)
read -r _ relayed_alone _ < <(load "$relayed" 1)
health=https://127.0.0.1:$relay_port/healthz
read -r _ health_alone _ health_alone_p99 < <(load "$health" 1)
"$BUILD/bench/relay_agents_bench" "$work/ca.pem" "$relay_port" hostile >"$work/hostile.out" 2>&1 &
hostile_pid=$!
started_pids+=("$hostile_pid")
read -r _ health_hostile health_errors health_hostile_p99 < <(load "$health" 1)
kill -TERM "$hostile_pid"
wait "$hostile_pid" || true

row "GET /api/config" req/s "median ms ($CONNECTIONS)" "median ms (1)" errors
row "direct (reference)" "$direct_rps" "$direct_busy" "$direct_alone" "$direct_errors"
row "through relay (TLS)" "$relayed_rps" "$relayed_busy" "$relayed_alone" "$relayed_errors"
echo "relayed / direct throughput: $(ratio "$relayed_rps" "$direct_rps") (goal: at least 0.9)"
echo "added to the median of a request on its own: $(awk -v a="$relayed_alone" -v b="$direct_alone" \
  'BEGIN { printf "%.3f", a - b }') ms (goal: under 0.2 ms)"
echo
row "GET /healthz, one connection" "median ms" "p99 ms" errors
row "relay on its own (reference)" "$health_alone" "$health_alone_p99" -
row "while a hostile agent sends" "$health_hostile" "$health_hostile_p99" "$health_errors"
echo "ratio of the medians: $(ratio "$health_hostile" "$health_alone"); the hostile agent: $(cat "$work/hostile.out") (goal: /healthz under 100 ms)"

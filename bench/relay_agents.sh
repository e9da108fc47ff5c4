#!/usr/bin/env bash
# How agents get into tapdeck-relay and what each costs it, over TLS, with every agent proving
# its identifier as the agent does (relay_agents_bench, bench/relay_agents.cpp):
#   1. AGENTS agents (2,000 by default) connect: the time until the relay counts them all proven,
#      and its resident memory per agent against the idle relay (the reference);
#   2. the relay restarts under them: the time until all are proven again (the agents wait their
#      5 s before reconnecting, as agents do);
#   3. LARGE agents (20,000, or as many as the descriptor limit lets one process hold) on one
#      instance: the same two figures.
#
#   bench/relay_agents.sh [agents] [large]     (after the README's build, which builds the benchmarks too)
set -euo pipefail
cd "$(dirname "$0")/.."

AGENTS=${1:-2000}
LARGE=${2:-20000}
BUILD=${BUILD:-build}
AGENTS_BENCH=${AGENTS_BENCH:-$BUILD/bench/relay_agents_bench}
# shellcheck source=scripts/relay_fixture.sh
source scripts/relay_fixture.sh

for tool in "$BUILD/tapdeck-relay" "$AGENTS_BENCH" curl; do
  command -v "$tool" >/dev/null || [ -x "$tool" ] || { echo "missing: $tool" >&2; exit 1; }
done
# Every agent is a descriptor in the relay and one here; neither process may hold more than the
# hard limit.
most=$(($(ulimit -Hn) - 256))
if [ "$LARGE" -gt "$most" ]; then
  echo "note: the descriptor limit ($(ulimit -Hn)) holds $most agents at most, not $LARGE" >&2
  LARGE=$most
fi
ulimit -n "$(ulimit -Hn)"

make_work_dir
make_test_certificates "$work"

relay_options=(--cert "$work/cert.pem" --key "$work/key.pem" --metrics 127.0.0.1:0
  --max-agents-per-address 0 --max-phones-per-address 0)
rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/$relay_pid/status"; }
proven() { curl -s --max-time 5 "http://127.0.0.1:$metrics_port/metrics" | sed -n 's/^tapdeck_relay_agents //p'; }
now_ns() { date +%s%N; }
# Waits (at most SECONDS) until the relay counts N agents proven; prints the time taken in s.
until_proven() { # n seconds since-ns
  for _ in $(seq $(($2 * 20))); do
    [ "$(proven)" = "$1" ] && { awk -v ns="$(($(now_ns) - $3))" 'BEGIN { printf "%.2f", ns / 1e9 }'; return 0; }
    sleep 0.05
  done
  echo "the relay counted $(proven) of $1 agents proven" >&2
  return 1
}

# One round: a relay, COUNT agents; sets result to "idle-KiB loaded-KiB connect-s restart-s".
round() { # count restart(yes|no)
  local count=$1 idle loaded connect restart=- started
  start_relay "$work/relay-$count.log" "${relay_options[@]}"
  local port=$relay_port
  sleep 0.5
  idle=$(rss_kib)
  rm -f "$work/hold-$count"
  mkfifo "$work/hold-$count"
  started=$(now_ns)
  "$AGENTS_BENCH" "$work/ca.pem" "$port" "$count" <"$work/hold-$count" >"$work/agents-$count.out" 2>&1 &
  started_pids+=($!)
  exec 3>"$work/hold-$count"
  connect=$(until_proven "$count" 300 "$started") || exit 1
  sleep 2  # the handshakes' transient buffers go back before weighing
  loaded=$(rss_kib)
  if [ "$2" = yes ]; then
    kill -TERM "$relay_pid"
    wait "$relay_pid" 2>/dev/null || true
    started=$(now_ns)
    start_relay "$work/relay-$count-again.log" --listen "127.0.0.1:$port" "${relay_options[@]}"
    restart=$(until_proven "$count" 120 "$started") || exit 1
  fi
  exec 3>&-
  stop_started
  result="$idle $loaded $connect $restart"
}

round "$AGENTS" yes
read -r idle loaded connect restart <<<"$result"
round "$LARGE" no
read -r large_idle large_loaded large_connect _ <<<"$result"

printf '%-30s %10s %12s %14s %14s\n' "agents over TLS" "idle KiB" "loaded KiB" "connect+prove" "after restart"
printf '%-30s %10s %12s %13ss %13ss\n' "$AGENTS agents" "$idle" "$loaded" "$connect" "$restart"
printf '%-30s %10s %12s %13ss %14s\n' "$LARGE agents, one instance" "$large_idle" "$large_loaded" "$large_connect" "-"
echo
awk -v a="$loaded" -v i="$idle" -v n="$AGENTS" -v c="$connect" 'BEGIN {
  printf "%d agents: %.1f KiB each (goal: under 16 KiB), all proven in %.2f s (goal: under 5 s)\n", n, (a - i) / n, c }'
awk -v a="$large_loaded" -v i="$large_idle" -v n="$LARGE" -v c="$large_connect" 'BEGIN {
  printf "%d agents: %.1f KiB each, all proven in %.2f s\n", n, (a - i) / n, c }'
echo "restart with $AGENTS agents: all proven again $restart s after the new relay listened (of which 5 s is the agents' own wait)"

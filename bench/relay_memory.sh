#!/usr/bin/env bash
# Weighs what tapdeck-relay keeps per idle agent over TLS: its resident memory idle (the
# reference), then with AGENTS agent sockets open and idle (2,000 by default, opened by
# relay_agents_bench, bench/relay_agents.cpp), and prints KiB per agent and the ratio.
#
#   bench/relay_memory.sh [agents]     (after the README's build, which builds the benchmarks too)
set -euo pipefail
cd "$(dirname "$0")/.."

AGENTS=${1:-2000}
BUILD=${BUILD:-build}
AGENTS_BENCH=${AGENTS_BENCH:-$BUILD/bench/relay_agents_bench}
# shellcheck source=scripts/relay_fixture.sh
source scripts/relay_fixture.sh

for tool in "$BUILD/tapdeck-relay" "$AGENTS_BENCH"; do
  [ -x "$tool" ] || { echo "missing: $tool" >&2; exit 1; }
done
# Every agent is a descriptor in the relay and one here (the relay raises its own limit).
ulimit -n $((AGENTS + 256)) 2>/dev/null ||
  { echo "cannot hold $AGENTS sockets: the descriptor limit is $(ulimit -Hn)" >&2; exit 1; }

make_work_dir

make_test_certificates "$work"
start_relay "$work/relay.log" --cert "$work/cert.pem" --key "$work/key.pem"
rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/$relay_pid/status"; }
sleep 1
idle_kib=$(rss_kib)

# The agents hold their sockets until their standard input, this fifo, closes (or a signal).
mkfifo "$work/hold"
t0=$(date +%s%N)
"$AGENTS_BENCH" "$work/ca.pem" "$relay_port" "$AGENTS" <"$work/hold" >"$work/agents.out" 2>&1 &
started_pids+=($!)
exec 3>"$work/hold"
wait_for_line "$work/agents.out" '^opened ' 150 || { echo "the agents never finished opening" >&2; exit 1; }
t1=$(date +%s%N)
opened=$(sed -n 's/^opened \([0-9]*\) of.*/\1/p' "$work/agents.out")
[ "$opened" = "$AGENTS" ] || { echo "only $opened of $AGENTS agents opened:" >&2; cat "$work/agents.out" >&2; exit 1; }
wait_for_line "$work/relay.log" "\\($AGENTS connected\\)" 30 ||
  { echo "the relay never counted $AGENTS agents" >&2; tail -n 3 "$work/relay.log" >&2; exit 1; }
# Let the handshakes' transient buffers go back before weighing.
sleep 2
loaded_kib=$(rss_kib)
peak_kib=$(awk '/^VmHWM/ { print $2 }' "/proc/$relay_pid/status")
exec 3>&-

printf '%-34s %12s\n' "relay resident memory" "KiB"
printf '%-34s %12s\n' "idle (reference)" "$idle_kib"
printf '%-34s %12s\n' "with $AGENTS idle agents (TLS)" "$loaded_kib"
printf '%-34s %12s\n' "peak while they connected" "$peak_kib"
echo
awk -v a="$loaded_kib" -v i="$idle_kib" -v n="$AGENTS" 'BEGIN {
  printf "per agent: %.1f KiB (goal: under 64 KiB); with agents / idle: %.1f\n", (a - i) / n, a / i }'
awk -v ns="$((t1 - t0))" -v n="$AGENTS" 'BEGIN {
  printf "%d agents connected over TLS in %.1f s (%.0f handshakes/s)\n", n, ns / 1e9, n / (ns / 1e9) }'

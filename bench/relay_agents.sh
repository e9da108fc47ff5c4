#!/usr/bin/env bash
# How agents get into tapdeck-relay and what each costs it, over TLS, with every agent proving
# its identifier as the agent does (relay_agents_bench, bench/relay_agents.cpp):
#   1. AGENTS agents (2,000 by default) connect: the time until the relay counts them all proven,
#      and its resident memory per agent against the idle relay (the reference);
#   2. the relay restarts under them: the time until all are proven again (the agents wait their
#      5 s before reconnecting, as agents do);
#   3. LARGE agents (20,000, or as many as the descriptor limit lets one process hold) on one
#      instance: the same two figures;
#   4. AGENTS agents on a relay passing phones' TLS unread, then a phone's stream open to each:
#      the relay's resident memory per agent and per open stream.
#
#   bench/relay_agents.sh [agents] [large]     (after the README's build, which builds the benchmarks too)
cd "$(dirname "$0")/.."
# shellcheck source=bench/lib.sh
source bench/lib.sh
AGENTS=${1:-2000}
LARGE=${2:-20000}
# Every agent is a descriptor in the relay and one here; neither process may hold more than the
# hard limit.
most=$(($(ulimit -Hn) - 256))
if [ "$LARGE" -gt "$most" ]; then
  echo "note: the descriptor limit ($(ulimit -Hn)) holds $most agents at most, not $LARGE" >&2
  LARGE=$most
fi
ulimit -n "$(ulimit -Hn)"
make_test_certificates "$work"
issue_test_certificate "$work" agents 'DNS:*.relay.test'
mkdir -p "$work/agent-tls"
cp "$work/agents.pem" "$work/agent-tls/cert.pem" && cp "$work/agents-key.pem" "$work/agent-tls/key.pem"

relay_options=(--cert "$work/cert.pem" --key "$work/key.pem" --metrics 127.0.0.1:0
  --max-agents-per-address 0 --max-phones-per-address 0)
rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/$relay_pid/status"; }
proven() { curl -s --max-time 5 "http://127.0.0.1:$metrics_port/metrics" | sed -n 's/^tapdeck_relay_agents //p'; }
# Waits (at most SECONDS) until the relay counts N agents proven; prints the seconds since START.
until_proven() { # n seconds start-ns
  for _ in $(seq $(($2 * 20))); do
    [ "$(proven)" = "$1" ] && { awk -v ns="$(($(date +%s%N) - $3))" 'BEGIN { printf "%.2f s", ns / 1e9 }'; return; }
    sleep 0.05
  done
  echo "the relay counted $(proven) of $1 agents proven" >&2
  exit 1
}

# One round: a relay and COUNT agents; prints a row of the table.
round() { # count restart(yes|no)
  local idle loaded connect restart=- started
  start_relay "$work/relay.log" "${relay_options[@]}"
  sleep 0.5
  idle=$(rss_kib)
  started=$(date +%s%N)
  "$BUILD/bench/relay_agents_bench" "$work/ca.pem" "$relay_port" "$1" >"$work/agents.out" 2>&1 &
  started_pids+=($!)
  connect=$(until_proven "$1" 300 "$started")
  sleep 2  # the handshakes' transient buffers go back before weighing
  loaded=$(rss_kib)
  if [ "$2" = yes ]; then
    kill -TERM "$relay_pid"
    wait "$relay_pid" 2>/dev/null || true
    started=$(date +%s%N)
    start_relay "$work/relay.log" --listen "127.0.0.1:$relay_port" "${relay_options[@]}"
    restart=$(until_proven "$1" 120 "$started")
  fi
  stop_started
  row "$1 agents" "$idle" "$loaded" "$(awk -v a="$loaded" -v i="$idle" -v n="$1" 'BEGIN { printf "%.1f", (a - i) / n }')" \
    "$connect" "$restart"
}

# Memory with COUNT agents on a relay passing TLS, then with one phone's stream to each.
streams_round() { # count
  local idle agents_kib streams_kib open port
  # Agents here reach the relay by its address, which is then one of its names.
  port=$(unused_port)
  start_relay "$work/relay.log" --listen "127.0.0.1:$port" "${relay_options[@]}" --passthrough \
    --phone-domain relay.test --name "127.0.0.1:$port"
  sleep 0.5
  idle=$(rss_kib)
  "$BUILD/bench/relay_agents_bench" "$work/ca.pem" "$relay_port" "$1" "$work/agent-tls" "$work/ids" \
    >"$work/agents.out" 2>&1 &
  started_pids+=($!)
  until_proven "$1" 60 "$(date +%s%N)" >/dev/null
  sleep 2
  agents_kib=$(rss_kib)
  python3 - "$relay_port" "$work/ids" "$work/held" <<'PY' &
import socket, ssl, sys, time
port, ids, flag = int(sys.argv[1]), open(sys.argv[2]).read().split(), sys.argv[3]
context = ssl.create_default_context(); context.check_hostname = False; context.verify_mode = ssl.CERT_NONE
held = [context.wrap_socket(socket.create_connection(('127.0.0.1', port)), server_hostname=f'{i}.relay.test') for i in ids]
open(flag, 'w').close()
time.sleep(600)
PY
  started_pids+=($!)
  for _ in $(seq 1200); do [ -e "$work/held" ] && break; sleep 0.05; done
  [ -e "$work/held" ] || { echo "the phones' streams did not all open" >&2; exit 1; }
  sleep 2
  streams_kib=$(rss_kib)
  open=$(curl -s "http://127.0.0.1:$metrics_port/metrics" | sed -n 's/^tapdeck_relay_streams //p')
  stop_started
  row "$1 agents, passing TLS" "$idle" "$agents_kib" \
    "$(awk -v a="$agents_kib" -v i="$idle" -v n="$1" 'BEGIN { printf "%.1f", (a - i) / n }')"
  row "  and $open streams open" "" "$streams_kib" \
    "$(awk -v a="$streams_kib" -v i="$agents_kib" -v n="$open" 'BEGIN { printf "%.1f", (a - i) / n }')"
}

row "agents over TLS, one instance" "idle KiB" "loaded KiB" "KiB each" "all proven" "after restart"
round "$AGENTS" yes
round "$LARGE" no
streams_round "$AGENTS"
echo "(goals, $AGENTS agents: under 16 KiB each, all proven in under 5 s; after a restart, 5 s are the agents' own wait)"

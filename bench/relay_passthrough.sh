#!/usr/bin/env bash
# What a relay that passes phones' TLS unread costs, against the same agent straight on loopback
# (the reference) and against a relay that reads requests, in the same run. Each figure comes
# from bench/passthrough_client.cpp, a new connection per request as phones make them:
#   1. GET /api/config with a token, THREADS threads for SECONDS: requests per second, and the
#      median of a request on its own (one thread);
#   2. one 256 MiB file down one stream, against the same file straight from the agent;
#   3. the touchpad's WebSocket, each move timed to the X server's motion, through the relay
#      against straight (bench/pointer_latency.cpp, in a private desktop session of its own);
#   4. the relay's resident memory per idle agent's tunnel and per open stream.
#
#   bench/relay_passthrough.sh [seconds-per-run]     (after the README's build; default 10)
cd "$(dirname "$0")/.."
# shellcheck source=bench/lib.sh
IN_DESKTOP=1 source bench/lib.sh
SECONDS_PER_RUN=${1:-10}
THREADS=${THREADS:-4}
client=$BUILD/bench/passthrough_client_bench

make_test_certificates "$work" relay.test '*.t.relay.test'
issue_test_certificate "$work" agents 'DNS:*.relay.test'
# The agents' pages, with a large file beside them.
mkdir -p "$work/resources"
# Copies, not the build's link to the sources: the large file must not land in public/.
cp -rL "$BUILD/public" "$BUILD/config.json" "$work/resources/"
head -c $((256 * 1024 * 1024)) /dev/urandom >"$work/resources/public/large.bin"

start_relay "$work/reading.log" --cert "$work/cert.pem" --key "$work/key.pem"
reading_port=$relay_port
# Phones name the relay's port in their Host, and agents in theirs: the domain carries it.
passing_port=$(unused_port)
start_relay "$work/passing.log" --listen "127.0.0.1:$passing_port" --passthrough \
  --phone-domain "relay.test:$passing_port" --cert "$work/cert.pem" --key "$work/key.pem" \
  --metrics 127.0.0.1:0
passing_port=$relay_port passing_pid=$relay_pid
token=$(openssl rand -hex 24)
agent_env=("TD_RESOURCES=$work/resources")
start_agent "$work/reading-agent" placeholder "$token" "127.0.0.1:$reading_port" "$work/ca.pem"
agent_env=("TD_RESOURCES=$work/resources" "TD_RELAY_CONNECT=127.0.0.1:$passing_port" "DISPLAY=$DISPLAY")
# The computer's own certificate, there before it starts (as ACME would leave it).
mkdir -p "$work/agent/support/tls" && chmod 700 "$work/agent/support" "$work/agent/support/tls"
install -m 600 "$work/agents.pem" "$work/agent/support/tls/cert.pem"
install -m 600 "$work/agents-key.pem" "$work/agent/support/tls/key.pem"
start_agent "$work/agent" placeholder "$token" "relay.test:$passing_port" "$work/ca.pem"
direct_port=$(agent_port "$work/agent") || { echo "the agent did not start" >&2; exit 1; }
id_of() { sed -n 's/.*"relayId":"\([a-z2-7]*\)".*/\1/p' "$1/support/state.json"; }
name=$(id_of "$work/agent").relay.test
reading_path=/phone/$(id_of "$work/reading-agent")/api/config
for _ in $(seq 200); do
  "$client" download "$passing_port" "$name" "$token" /api/config >/dev/null 2>&1 &&
    curl -sf --cacert "$work/ca.pem" -H "x-td-token: $token" -o /dev/null \
      "https://127.0.0.1:$reading_port$reading_path" && break
  sleep 0.05
done

if ! "$client" download "$passing_port" "$name" "$token" /api/config >/dev/null 2>&1; then
  echo "the agent cannot be reached through the passing relay:" >&2
  tail -n 20 "$work/agent/agent.log" "$work/passing.log" >&2
  exit 1
fi
load() { "$client" requests "$1" "$2" "$3" "$SECONDS_PER_RUN" "$token" "$4"; } # port name threads path
read -r direct_rps direct_busy _ direct_errors < <(load "$direct_port" plain "$THREADS" /api/config)
read -r passing_rps passing_busy _ passing_errors < <(load "$passing_port" "$name" "$THREADS" /api/config)
read -r reading_rps reading_busy _ reading_errors < <(load "$reading_port" 127.0.0.1 "$THREADS" "$reading_path")
read -r _ direct_alone _ _ < <(load "$direct_port" plain 1 /api/config)
read -r _ passing_alone _ _ < <(load "$passing_port" "$name" 1 /api/config)
read -r _ reading_alone _ _ < <(load "$reading_port" 127.0.0.1 1 "$reading_path")

read -r _ direct_mibs < <("$client" download "$direct_port" plain "$token" /large.bin)
read -r passing_bytes passing_mibs < <("$client" download "$passing_port" "$name" "$token" /large.bin)

"$BUILD/bench/pointer_latency_bench" "$direct_port" 123456 "${MOVES:-1000}" "$passing_port" "$name" \
  >"$work/pointer.out" || { cat "$work/pointer.out" >&2; exit 1; }

rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/$passing_pid/status"; }
idle_rss=$(rss_kib)
streams=15  # one address holds at most 16 of an agent's streams
python3 - "$passing_port" "$name" "$streams" "$work/held" <<'PY' &
import socket, ssl, sys, time, os
port, name, count, flag = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), sys.argv[4]
context = ssl.create_default_context(); context.check_hostname = False; context.verify_mode = ssl.CERT_NONE
held = [context.wrap_socket(socket.create_connection(('127.0.0.1', port)), server_hostname=name) for _ in range(count)]
open(flag, 'w').close()
time.sleep(5)
PY
holder=$!
started_pids+=("$holder")
for _ in $(seq 200); do [ -e "$work/held" ] && break; sleep 0.05; done
open_rss=$(rss_kib)
open_streams=$(curl -s "http://127.0.0.1:$metrics_port/metrics" | sed -n 's/^tapdeck_relay_streams //p')
wait "$holder" || true

row "GET /api/config, new connection each" req/s "median ms ($THREADS)" "median ms (1)" errors
row "straight to the agent (reference)" "$direct_rps" "$direct_busy" "$direct_alone" "$direct_errors"
row "relay passing TLS (to the agent)" "$passing_rps" "$passing_busy" "$passing_alone" "$passing_errors"
row "relay reading requests (TLS)" "$reading_rps" "$reading_busy" "$reading_alone" "$reading_errors"
echo "passing / straight: $(ratio "$passing_rps" "$direct_rps"); passing / reading: $(ratio "$passing_rps" "$reading_rps") (goal: at least 0.9 of straight)"
echo "added to the median of a request on its own: $(awk -v a="$passing_alone" -v b="$direct_alone" \
  'BEGIN { printf "%.3f", a - b }') ms (goal: under 0.3 ms; a new TLS session each time included)"
echo
row "256 MiB down one connection" "MiB/s"
row "straight to the agent (reference)" "$direct_mibs"
row "through the passing relay (TLS)" "$passing_mibs"
echo "ratio: $(ratio "$passing_mibs" "$direct_mibs") ($passing_bytes bytes; goal: at least 200 MiB/s)"
echo
echo "touchpad, one move per WebSocket message, to the X server's motion:"
grep -v '^POST\|^OPTIONS' "$work/pointer.out"
echo
echo "relay memory: $idle_rss KiB with one agent, $open_rss KiB with $open_streams streams open:" \
  "$(awk -v a="$open_rss" -v b="$idle_rss" -v n="$open_streams" 'BEGIN { printf "%.1f", (a - b) / n }') KiB per open stream"

#!/usr/bin/env bash
# Two plain tapdeck-relay instances behind nginx, configured by docs/nginx-relay.conf itself
# (only its addresses, certificate and log path replaced), terminating TLS with a certificate from
# a CA made here. Headless agents connect through nginx; each must be reachable at its phone
# address through nginx, every agent on the instance that its id hashes to, and neither nginx nor
# the relays may log an id or a token.
#
#   tests/relay_server/nginx_relay_test.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/relay_fixture.sh
source "$ROOT/scripts/relay_fixture.sh"

make_work_dir

fail() {
  echo "FAIL: $*" >&2
  for log in "$work"/relay-*.log "$work"/nginx-error.log; do
    [ -s "$log" ] && { echo "--- $log" >&2; tail -n 20 "$log" >&2; }
  done
  exit 1
}

make_test_certificates "$work"
start_relay "$work/relay-a.log"
pid_a=$relay_pid
port_a=$relay_port
start_relay "$work/relay-b.log"
pid_b=$relay_pid
port_b=$relay_port

# A port outside the ephemeral range that nothing listens on.
for _ in $(seq 20); do
  nginx_port=$((20000 + RANDOM % 12000))
  (exec 3<>"/dev/tcp/127.0.0.1/$nginx_port") 2>/dev/null || break
done

relay_conf=$(<"$ROOT/docs/nginx-relay.conf")
replace() { # text replacement
  [[ $relay_conf == *"$1"* ]] || fail "docs/nginx-relay.conf no longer has: $1"
  relay_conf=${relay_conf//"$1"/"$2"}
}
replace 'listen 443 ssl http2;' "listen 127.0.0.1:$nginx_port ssl http2;"
replace 'listen [::]:443 ssl http2;' ''
replace '/etc/letsencrypt/live/relay.example.org/fullchain.pem' "$work/cert.pem"
replace '/etc/letsencrypt/live/relay.example.org/privkey.pem' "$work/key.pem"
replace '/var/log/nginx/tapdeck-relay.log' "$work/access.log"
replace 'server 127.0.0.1:8791;' "server 127.0.0.1:$port_a;"
replace 'server 127.0.0.1:8792;' "server 127.0.0.1:$port_b;"
printf '%s\n' "$relay_conf" >"$work/relay.conf"

mkdir "$work/nginx-temp"
cat >"$work/nginx.conf" <<CONF
daemon off;
worker_processes 2;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
$([ "$(id -u)" -eq 0 ] && echo 'user root;')
events { worker_connections 256; }
http {
  access_log off;
  client_body_temp_path $work/nginx-temp/body;
  proxy_temp_path $work/nginx-temp/proxy;
  fastcgi_temp_path $work/nginx-temp/fastcgi;
  uwsgi_temp_path $work/nginx-temp/uwsgi;
  scgi_temp_path $work/nginx-temp/scgi;
  include $work/relay.conf;
}
CONF
/usr/sbin/nginx -p "$work" -c "$work/nginx.conf" -e "$work/nginx-error.log" &
started_pids+=($!)

nginx=https://127.0.0.1:$nginx_port
fetch() { # curl arguments...
  curl -sS --max-time 10 --cacert "$work/ca.pem" "$@"
}
for _ in $(seq 100); do
  [ "$(fetch -o /dev/null -w '%{http_code}' "$nginx/healthz" 2>/dev/null)" = 200 ] && break
  sleep 0.05
done
[ "$(fetch "$nginx/healthz")" = ok ] || fail "GET /healthz through nginx did not answer ok"

# Which instance each id hashes to, from nginx's own log of a phone request for it (answered 502:
# no agent yet). Five agents go to relay a and one to b: were an agent socket's id not read,
# nginx would deal the sockets out in turn, which never gives five of six to one instance.
declare -A wanted=([a]=5 [b]=1)
ids=()
logged() { wc -l <"$work/access.log"; }
for k in $(seq 64); do
  id="agent-$k"
  before=$(logged)
  status=$(fetch -o /dev/null -w '%{http_code}' "$nginx/phone/$id/api/config")
  [ "$status" = 502 ] || fail "a phone request for $id, which has no agent, answered $status, not 502"
  # nginx logs a request just after answering it.
  for _ in $(seq 100); do [ "$(logged)" -gt "$before" ] && break; sleep 0.02; done
  upstream=$(sed -n "$((before + 1))p" "$work/access.log" | awk '{ print $NF }')
  case "$upstream" in
    "127.0.0.1:$port_a") relay=a ;;
    "127.0.0.1:$port_b") relay=b ;;
    *) fail "request $k went to '$upstream', not to exactly one relay" ;;
  esac
  [ "${wanted[$relay]}" -gt 0 ] || continue
  wanted[$relay]=$((wanted[$relay] - 1))
  ids+=("$id")
  [ "${#ids[@]}" -lt 6 ] || break
done
[ "${#ids[@]}" -eq 6 ] || fail "64 ids did not hash five to relay a and one to relay b"

declare -A token_of
for id in "${ids[@]}"; do
  token_of[$id]=$(openssl rand -hex 24)
  start_agent "$work/$id" "$id" "${token_of[$id]}" "127.0.0.1:$nginx_port" "$work/ca.pem"
done
for id in "${ids[@]}"; do
  wait_for_line "$work/$id/agent.log" '^Relay connected' 15 ||
    fail "agent $id never logged 'Relay connected': $(cat "$work/$id/agent.log")"
done

for id in "${ids[@]}"; do
  answer=$(fetch -H "x-td-token: ${token_of[$id]}" "$nginx/phone/$id/api/config")
  [[ $answer == *"\"relayUrl\":\"$nginx/phone/$id\""* ]] ||
    fail "GET /phone/$id/api/config through nginx did not answer as agent $id: $answer"
  redirect=$(fetch -o /dev/null -w '%{http_code} %{redirect_url}' "$nginx/phone/$id")
  [ "$redirect" = "301 $nginx/phone/$id/" ] || fail "GET /phone/$id answered '$redirect'"
done

# Each agent's socket went where its phones' requests go: five connected to a, one to b.
for relay in a:5 b:1; do
  got=$(grep -c '^Agent connected from ' "$work/relay-${relay%:*}.log" || true)
  [ "$got" = "${relay#*:}" ] || fail "relay ${relay%:*} logged $got agents connecting, not ${relay#*:}"
done

for id in "${ids[@]}"; do
  ! grep -F -q -e "$id" -e "${token_of[$id]}" "$work/relay-a.log" "$work/relay-b.log" "$work/access.log" ||
    fail "a log names agent $id or its token"
done

# SIGTERM stops a relay with its agents still connected, cleanly (under the sanitizers too).
for relay in a:$pid_a b:$pid_b; do
  pid=${relay#*:}
  kill -TERM "$pid"
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  ! kill -0 "$pid" 2>/dev/null || fail "relay ${relay%:*} did not stop within 5 s of SIGTERM"
  wait "$pid" || fail "relay ${relay%:*} exited with status $? on SIGTERM"
done

echo "PASS: ${#ids[@]} agents behind nginx, five on one relay and one on the other"

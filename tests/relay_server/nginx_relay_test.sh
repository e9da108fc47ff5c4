#!/usr/bin/env bash
# Three plain tapdeck-relay instances behind nginx, configured by docs/nginx-relay.conf itself
# (only its domain, addresses, certificate and log path replaced), each computer's pages at an
# origin of their own (--phone-domain), TLS with a wildcard certificate from a CA made here.
# Headless agents connect through nginx and prove their ids; each must be reachable at its own
# host through nginx. Then the instance with the most agents is killed: within 10 s its agents
# must be proven again on the others, with their phones reaching them. Neither nginx nor the
# relays may log an id or a token, and SIGTERM stops the others cleanly.
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

nginx_port=$(unused_port)
domain="relay.test:$nginx_port"

make_test_certificates "$work" relay.test '*.relay.test'
declare -A pid_of metrics_of token_of
relays=(a b c)
for relay in "${relays[@]}"; do
  # The agents reach nginx by its address here (a real relay's name in production).
  start_relay "$work/relay-$relay.log" --phone-domain "$domain" --name "127.0.0.1:$nginx_port" \
    --trusted-proxy 127.0.0.1 --metrics 127.0.0.1:0
  pid_of[$relay]=$relay_pid metrics_of[$relay]=$metrics_port
  ports+=("$relay_port")
done

relay_conf=$(<"$ROOT/docs/nginx-relay.conf")
replace() { # text replacement
  [[ $relay_conf == *"$1"* ]] || fail "docs/nginx-relay.conf no longer has: $1"
  relay_conf=${relay_conf//"$1"/"$2"}
}
replace 'listen 443 ssl http2;' "listen 127.0.0.1:$nginx_port ssl http2;"
replace 'listen [::]:443 ssl http2;' ''
replace 'relay\.example\.org' 'relay\.test'
replace 'server_name relay.example.org *.relay.example.org;' 'server_name relay.test *.relay.test 127.0.0.1;'
replace '/etc/letsencrypt/live/relay.example.org/fullchain.pem' "$work/cert.pem"
replace '/etc/letsencrypt/live/relay.example.org/privkey.pem' "$work/key.pem"
replace '/var/log/nginx/tapdeck-relay.log' "$work/access.log"
replace 'server 127.0.0.1:8791;' "server 127.0.0.1:${ports[0]};"
replace 'server 127.0.0.1:8792;' "server 127.0.0.1:${ports[1]};"
replace 'server 127.0.0.1:8793;' "server 127.0.0.1:${ports[2]};"
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

retry 100 healthy || fail "GET /healthz through nginx did not answer ok"

count=6
ids=()
for k in $(seq "$count"); do
  token=$(openssl rand -hex 24)
  start_agent "$work/agent-$k" placeholder "$token" "127.0.0.1:$nginx_port" "$work/ca.pem"
  agent_port "$work/agent-$k" >/dev/null || fail "agent $k did not start: $(cat "$work/agent-$k/agent.log")"
  id=$(sed -n 's/.*"relayId":"\([a-z2-7]*\)".*/\1/p' "$work/agent-$k/support/state.json")
  [ ${#id} -eq 26 ] || fail "agent $k has no identifier of its key: $(cat "$work/agent-$k/support/state.json")"
  ids+=("$id")
  token_of[$id]=$token
done
retry 300 all_proven "${relays[@]}" || fail "$(proven_on "${relays[@]}") of $count agents proved their ids"

# A phone reaches its computer at its own host; the old address leads there.
reachable() { # id
  local answer
  answer=$(fetch -H "x-td-token: ${token_of[$1]}" "https://$1.$domain/api/config") || return 1
  [[ $answer == *"\"relayUrl\":\"https://$1.$domain\""* ]]
}
for id in "${ids[@]}"; do
  reachable "$id" || fail "https://$id.$domain/api/config did not answer as its agent"
  redirect=$(fetch -o /dev/null -w '%{http_code} %{redirect_url}' "https://$domain/phone/$id/api/x?y=1")
  [ "$redirect" = "301 https://$id.$domain/api/x?y=1" ] || fail "GET /phone/$id/ answered '$redirect'"
done

# The instance with the most agents goes down at once.
read -r moved busiest < <(for relay in "${relays[@]}"; do echo "$(agents_on "$relay") $relay"; done |
  sort -rn | head -n 1)
[ "$moved" -gt 0 ] || fail "no instance has an agent"
survivors=()
for relay in "${relays[@]}"; do [ "$relay" = "$busiest" ] || survivors+=("$relay"); done
killed_at=$(date +%s%N)
kill -KILL "${pid_of[$busiest]}"
back() {
  all_proven "${survivors[@]}" || return 1
  for id in "${ids[@]}"; do reachable "$id" 2>/dev/null || return 1; done
}
retry 200 back || fail "after an instance died, $(proven_on "${survivors[@]}") of $count agents proved again, not all reachable"
took_ms=$((($(date +%s%N) - killed_at) / 1000000))
[ "$took_ms" -lt 10000 ] || fail "the agents took $took_ms ms to be proven and reachable again"

for id in "${ids[@]}"; do
  ! grep -F -q -e "$id" -e "${token_of[$id]}" "$work"/relay-*.log "$work/access.log" ||
    fail "a log names agent $id or its token"
done

# SIGTERM stops a relay with its agents still connected, cleanly (under the sanitizers too).
stopped() { ! kill -0 "$1" 2>/dev/null; } # pid
for relay in "${survivors[@]}"; do
  pid=${pid_of[$relay]}
  kill -TERM "$pid"
  retry 100 stopped "$pid" || fail "relay $relay did not stop within 5 s of SIGTERM"
  wait "$pid" || fail "relay $relay exited with status $? on SIGTERM"
done

echo "PASS: $count agents on three instances, each at its own host; $moved moved in $took_ms ms when one died"

#!/usr/bin/env bash
# Three `tapdeck-relay --passthrough` instances behind nginx's stream module, configured by
# docs/nginx-relay-passthrough.conf itself (only its domain, address, instances and log path
# replaced), which routes each connection by its ClientHello's server name without ending TLS.
# Headless agents hold their own certificate; each must be reachable with it at its own host
# through nginx, from the same instance as its socket. Then the instance with the most agents is
# killed: within 10 s its agents must be proven again on the others, with their phones reaching
# them. Neither nginx nor the relays may log an id or a token.
#
#   tests/relay_server/nginx_passthrough_test.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/relay_fixture.sh
source "$ROOT/scripts/relay_fixture.sh"

make_work_dir
fail() {
  echo "FAIL: $*" >&2
  for log in "$work"/relay-*.log "$work"/nginx-error.log "$work"/agent-1/agent.log; do
    [ -s "$log" ] && { echo "--- $log" >&2; tail -n 20 "$log" >&2; }
  done
  exit 1
}
module=/usr/lib/nginx/modules/ngx_stream_module.so
[ -f "$module" ] || fail "nginx's stream module is missing (scripts/install-deps.sh installs it)"

nginx_port=$(unused_port)
domain="relay.test:$nginx_port"

# The relays' certificate names the domain and the agents' own names under t.; each computer
# holds one for its phones' names (here one for all of them, from the same test authority).
make_test_certificates "$work" relay.test '*.t.relay.test'
issue_test_certificate "$work" agents 'DNS:*.relay.test'
declare -A pid_of metrics_of token_of
relays=(a b c)
for relay in "${relays[@]}"; do
  start_relay "$work/relay-$relay.log" --passthrough --phone-domain "$domain" \
    --cert "$work/cert.pem" --key "$work/key.pem" --trusted-proxy 127.0.0.1 \
    --metrics 127.0.0.1:0
  pid_of[$relay]=$relay_pid metrics_of[$relay]=$metrics_port
  ports+=("$relay_port")
done

relay_conf=$(<"$ROOT/docs/nginx-relay-passthrough.conf")
replace() { # text replacement
  [[ $relay_conf == *"$1"* ]] || fail "docs/nginx-relay-passthrough.conf no longer has: $1"
  relay_conf=${relay_conf//"$1"/"$2"}
}
replace 'listen 443;' "listen 127.0.0.1:$nginx_port;"
replace 'listen [::]:443;' ''
replace 'relay\.example\.org' 'relay\.test'
replace '/var/log/nginx/tapdeck-relay-passthrough.log' "$work/access.log"
replace 'server 127.0.0.1:8791;' "server 127.0.0.1:${ports[0]};"
replace 'server 127.0.0.1:8792;' "server 127.0.0.1:${ports[1]};"
replace 'server 127.0.0.1:8793;' "server 127.0.0.1:${ports[2]};"
cat >"$work/nginx.conf" <<CONF
load_module $module;
daemon off;
worker_processes 2;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
$([ "$(id -u)" -eq 0 ] && echo 'user root;')
events { worker_connections 256; }
$relay_conf
CONF
/usr/sbin/nginx -p "$work" -c "$work/nginx.conf" -e "$work/nginx-error.log" &
started_pids+=($!)

retry 100 healthy || fail "GET /healthz through nginx did not answer ok"

count=6
ids=()
agent_env=("TD_RELAY_CONNECT=127.0.0.1:$nginx_port")
for k in $(seq "$count"); do
  token=$(openssl rand -hex 24)
  # The computer's own certificate, there before it starts (as ACME would leave it).
  mkdir -p "$work/agent-$k/support/tls" && chmod 700 "$work/agent-$k/support" "$work/agent-$k/support/tls"
  install -m 600 "$work/agents.pem" "$work/agent-$k/support/tls/cert.pem"
  install -m 600 "$work/agents-key.pem" "$work/agent-$k/support/tls/key.pem"
  start_agent "$work/agent-$k" placeholder "$token" "$domain" "$work/ca.pem"
  agent_port "$work/agent-$k" >/dev/null || fail "agent $k did not start: $(cat "$work/agent-$k/agent.log")"
  id=$(sed -n 's/.*"relayId":"\([a-z2-7]*\)".*/\1/p' "$work/agent-$k/support/state.json")
  [ ${#id} -eq 26 ] || fail "agent $k has no identifier of its key: $(cat "$work/agent-$k/support/state.json")"
  ids+=("$id")
  token_of[$id]=$token
done

# A phone reaches its computer at its own host, with the computer's own certificate: the relays
# hold no key for it.
reachable() { # id
  local answer
  answer=$(fetch -H "x-td-token: ${token_of[$1]}" "https://$1.$domain/api/config") || return 1
  [[ $answer == *'"relayEnabled":true'* ]]
}
all_reachable() {
  all_proven "$@" || return 1
  for id in "${ids[@]}"; do reachable "$id" 2>/dev/null || return 1; done
}
retry 400 all_reachable "${relays[@]}" ||
  fail "$(proven_on "${relays[@]}") of $count agents proven; not every one reachable at its name"
for id in "${ids[@]}"; do
  issuer=$(fetch -v -o /dev/null "https://$id.$domain/" 2>&1 | sed -n 's/^\*  subject: //p')
  [[ $issuer == *CN=agents* ]] || fail "https://$id.$domain/ presented '$issuer', not its computer's certificate"
done

read -r moved busiest < <(for relay in "${relays[@]}"; do echo "$(agents_on "$relay") $relay"; done |
  sort -rn | head -n 1)
[ "$moved" -gt 0 ] || fail "no instance has an agent"
survivors=()
for relay in "${relays[@]}"; do [ "$relay" = "$busiest" ] || survivors+=("$relay"); done
killed_at=$(date +%s%N)
kill -KILL "${pid_of[$busiest]}"
retry 200 all_reachable "${survivors[@]}" ||
  fail "after an instance died, $(proven_on "${survivors[@]}") of $count agents proved again, not all reachable"
took_ms=$((($(date +%s%N) - killed_at) / 1000000))
[ "$took_ms" -lt 10000 ] || fail "the agents took $took_ms ms to be proven and reachable again"

for id in "${ids[@]}"; do
  ! grep -F -q -e "$id" -e "${token_of[$id]}" "$work"/relay-*.log "$work/access.log" ||
    fail "a log names agent $id or its token"
done

echo "PASS: $count agents on three passthrough instances, each at its own host with its own certificate; $moved moved in $took_ms ms when one died"

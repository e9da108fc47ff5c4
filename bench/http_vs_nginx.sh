#!/usr/bin/env bash
# Loads the agent and an nginx serving the same public/index.html, side by side in one run,
# with keep-alive off (every request on a new connection, as the agent always answers), and
# prints requests per second of each and their ratio; then, on the agent alone, a paired phone's
# GET /api/config against OPTIONS / (the request that does nothing). Also prints the agent's idle
# memory and the time from its start to its port accepting.
#
#   bench/http_vs_nginx.sh [seconds-per-run]     (after the README's build; ROUNDS=3 by default)
set -euo pipefail
cd "$(dirname "$0")/.."

DURATION=${1:-4}
ROUNDS=${ROUNDS:-3}
AGENT_PORT=${AGENT_PORT:-28788}
NGINX_PORT=${NGINX_PORT:-28789}
CONNECTIONS=${CONNECTIONS:-32}
AGENT=build/tapdeck

for tool in wrk nginx "$AGENT"; do
  command -v "$tool" >/dev/null || [ -x "$tool" ] || { echo "missing: $tool" >&2; exit 1; }
done

work=$(mktemp -d)
agent_pid=""
nginx_pid=""
cleanup() {
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

port_accepts() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
now_us() { echo $(( $(date +%s%N) / 1000 )); }

wait_for_port() {
  local port=$1 tries=0
  until port_accepts "$port"; do
    tries=$((tries + 1))
    [ "$tries" -lt 5000 ] || { echo "port $port never opened" >&2; exit 1; }
  done
}

for port in "$AGENT_PORT" "$NGINX_PORT"; do
  if port_accepts "$port"; then echo "port $port is busy" >&2; exit 1; fi
done

# Start-up: median of five starts, from launch to the agent's "Listening" line, which it prints
# once the port accepts. Read from a pipe, so that no polling loop competes for the CPU.
startups=()
for i in 1 2 3 4 5; do
  mkfifo "$work/out.$i"
  t0=$(now_us)
  TD_PORT=$AGENT_PORT TD_SUPPORT=$work/support TD_UPDATE_URL=http://127.0.0.1:1/latest.json "$AGENT" --headless >"$work/out.$i" &
  pid=$!
  while read -r line; do [[ $line == Listening* ]] && break; done <"$work/out.$i"
  t1=$(now_us)
  startups+=($(( (t1 - t0) / 1000 )))
  kill "$pid"; wait "$pid" 2>/dev/null || true
done
startup_ms=$(printf '%s\n' "${startups[@]}" | sort -n | sed -n 3p)

TD_PORT=$AGENT_PORT TD_SUPPORT=$work/support TD_UPDATE_URL=http://127.0.0.1:1/latest.json "$AGENT" --headless >"$work/agent.log" &
agent_pid=$!
wait_for_port "$AGENT_PORT"
sleep 0.5
idle_rss_kb=$(awk '/^VmRSS/ {print $2}' "/proc/$agent_pid/status")

mkdir -p "$work/nginx"
cat >"$work/nginx.conf" <<CONF
worker_processes $(nproc);
daemon off;
pid $work/nginx.pid;
error_log $work/nginx/error.log;
$( [ "$(id -u)" -eq 0 ] && echo "user root;" )
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_timeout 0;
  client_body_temp_path $work/nginx;
  proxy_temp_path $work/nginx;
  fastcgi_temp_path $work/nginx;
  uwsgi_temp_path $work/nginx;
  scgi_temp_path $work/nginx;
  types { text/html html; }
  server {
    listen 127.0.0.1:$NGINX_PORT;
    root $PWD/public;
    location / {
      if (\$request_method = OPTIONS) { return 204; }
    }
  }
}
CONF
nginx -c "$work/nginx.conf" -p "$work" &
nginx_pid=$!
wait_for_port "$NGINX_PORT"

echo 'wrk.method = "OPTIONS"' >"$work/options.lua"

rps() { # url [wrk args...]
  local url=$1; shift
  wrk -t1 -c"$CONNECTIONS" -d"${DURATION}s" -H 'Connection: close' "$@" "$url" |
    awk '/^Requests\/sec/ {print $2}'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

printf '%-12s %14s %14s %8s\n' "request" "agent req/s" "nginx req/s" "ratio"
for kind in GET OPTIONS; do
  args=()
  [ "$kind" = OPTIONS ] && args=(-s "$work/options.lua")
  # Alternate the two servers, ROUNDS times, so that neither gets a quieter machine; the
  # medians are compared.
  agent_runs=()
  nginx_runs=()
  for _ in $(seq "$ROUNDS"); do
    agent_runs+=("$(rps "http://127.0.0.1:$AGENT_PORT/" "${args[@]}")")
    nginx_runs+=("$(rps "http://127.0.0.1:$NGINX_PORT/" "${args[@]}")")
  done
  agent=$(median "${agent_runs[@]}")
  nginx=$(median "${nginx_runs[@]}")
  printf '%-12s %14.0f %14.0f %8s\n' "$kind /" "$agent" "$nginx" "$(ratio "$agent" "$nginx")"
done

# A phone's token, paired from 127.0.0.2 (a phone, not this computer).
pin=$(grep -o '"pin":"[0-9]*"' "$work/support/state.json" | grep -o '[0-9]\{4,8\}')
token=$(curl -s --interface 127.0.0.2 -d "{\"pin\":\"$pin\"}" "http://127.0.0.1:$AGENT_PORT/api/pair" |
  grep -o '[0-9a-f]\{48\}')
[ -n "$token" ] || { echo "could not pair" >&2; exit 1; }
config_runs=()
options_runs=()
for _ in $(seq "$ROUNDS"); do
  config_runs+=("$(rps "http://127.0.0.1:$AGENT_PORT/api/config" -H "x-td-token: $token")")
  options_runs+=("$(rps "http://127.0.0.1:$AGENT_PORT/" -s "$work/options.lua")")
done
config=$(median "${config_runs[@]}")
options=$(median "${options_runs[@]}")
echo
printf '%-20s %14s %14s %8s\n' "agent alone" "req/s" "OPTIONS /" "ratio"
printf '%-20s %14.0f %14.0f %8s\n' "GET /api/config" "$config" "$options" "$(ratio "$config" "$options")"
busy_rss_kb=$(awk '/^VmRSS/ {print $2}' "/proc/$agent_pid/status")

echo
echo "agent resident memory: idle $((idle_rss_kb / 1024)).$(( (idle_rss_kb % 1024) * 10 / 1024 )) MiB, after load $((busy_rss_kb / 1024)) MiB (goal: idle under 12 MiB)"
echo "agent start to port accepting: ${startup_ms} ms, median of 5 (goal: under 50 ms)"

#!/usr/bin/env bash
# Loads the agent and an nginx (one worker per core) serving the same public/index.html with
# keep-alive off (the agent answers one request per connection), alternately ROUNDS times so that
# neither gets a quieter machine, under a light load (wrk -t1 -c32) and a heavier one (-t2 -c64),
# and prints the medians of their requests per second and the ratio; then, on the agent alone, a
# paired phone's GET /api/config against OPTIONS / (the request that does nothing). Also the
# agent's start-up time and its memory as users run it (the real https update address, so the
# trust store is read): idle, after the load, and at its peak while 16 configurations of 1 MiB of
# empty arrays arrive at once (the most bodies it parses).
#
#   bench/http_vs_nginx.sh [seconds-per-run]     (after the README's build; ROUNDS=3 by default)
cd "$(dirname "$0")/.."
# shellcheck source=bench/lib.sh
source bench/lib.sh
DURATION=${1:-4}
ROUNDS=${ROUNDS:-3}

# Start-up: from launch to the agent's "Listening" line, which it prints once the port accepts.
# Read from a pipe, so that no polling loop competes for the CPU.
for _ in 1 2 3 4 5; do
  t0=$(date +%s%N)
  exec 3< <(exec env TD_PORT=0 TD_SUPPORT="$work/support" TD_UPDATE_URL=http://127.0.0.1:1/x \
    "$BUILD/tapdeck" --headless)
  pid=$!
  grep -m1 -q '^Listening' <&3
  echo $((($(date +%s%N) - t0) / 1000000))
  kill "$pid"
  wait "$pid" || true
  exec 3<&-
done >"$work/startups"

# The product's own update address (TD_UPDATE_URL empty): its check at start reads the trust
# store, whether or not the address can be reached from here.
UPDATE_URL='' start_paired_agent
mib() { awk "/^$1/ { printf \"%.1f\", \$2 / 1024 }" "/proc/$agent_pid/status"; }
sleep 2  # the start-up check done
idle=$(mib VmRSS)
idle_private=$(mib RssAnon)

nginx_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/nginx.conf" <<CONF
worker_processes $(nproc); daemon off; pid $work/nginx.pid; $([ "$(id -u)" -eq 0 ] && echo "user root;")
events {}
http {
  access_log off; keepalive_timeout 0; types { text/html html; }
  $(for kind in client_body proxy fastcgi uwsgi scgi; do echo "${kind}_temp_path $work;"; done)
  server {
    listen 127.0.0.1:$nginx_port; root $PWD/public;
    location / { if (\$request_method = OPTIONS) { return 204; } }
  }
}
CONF
nginx -e stderr -p "$work" -c "$work/nginx.conf" &
started_pids+=($!)
curl -sf --retry 20 --retry-connrefused -o /dev/null "http://127.0.0.1:$nginx_port/"

echo 'wrk.method = "OPTIONS"' >"$work/options.lua"
echo "wrk.headers['X-TD-Token'] = '$token'" >"$work/phone.lua"
LOAD=(-t1 -c32)
rps() { wrk "${LOAD[@]}" -d"${DURATION}s" -H 'Connection: close' "$@" | awk '/^Requests\/sec/ { print $2 }'; }

# The medians of requests per second of ROUNDS alternate wrk runs with each argument list.
compare() { # name "wrk-args" "reference-wrk-args"
  local runs=() references=()
  for _ in $(seq "$ROUNDS"); do
    # shellcheck disable=SC2086 # word lists: paths and URLs only
    runs+=("$(rps $2)") && references+=("$(rps $3)")
  done
  set -- "$1" "$(median "${runs[@]}")" "$(median "${references[@]}")"
  row "$@" "$(ratio "$2" "$3")"
}

agent=http://127.0.0.1:$port/
nginx=http://127.0.0.1:$nginx_port/
row "requests/s" agent nginx ratio
compare "GET / (wrk -t1 -c32)" "$agent" "$nginx"
LOAD=(-t2 -c64)
compare "GET / (wrk -t2 -c64)" "$agent" "$nginx"
LOAD=(-t1 -c32)
compare "OPTIONS /" "-s $work/options.lua $agent" "-s $work/options.lua $nginx"
row "agent alone, requests/s" "" "OPTIONS /" ratio
compare "GET /api/config" "-s $work/phone.lua ${agent}api/config" "-s $work/options.lua $agent"
loaded=$(mib VmRSS)

python3 -c 'print("[" + "[]," * 349524 + "[]", end="]")' >"$work/arrays.json"  # 1 MiB
echo 5 >"/proc/$agent_pid/clear_refs"  # VmHWM from now on
seq 16 | xargs -P16 -I{} curl -s -o /dev/null -H 'Host: 127.0.0.1' \
  --data-binary "@$work/arrays.json" "http://127.0.0.1:$port/api/config"
echo
row "agent resident memory, MiB" idle "of it private" "after load" "16 x 1 MiB" "peak / idle"
row "" "$idle" "$idle_private" "$loaded" "$(mib VmHWM)" "$(ratio "$(mib VmHWM)" "$idle")"
echo "agent start to port accepting: $(sort -n "$work/startups" | sed -n 3p) ms, median of 5"
echo "(goals: idle under 12 MiB; start-up under 50 ms)"

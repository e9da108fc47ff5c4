#!/usr/bin/env bash
# Files between a phone and the agent, against nginx doing the same on the same machine in the
# same run (the reference):
#   1. one SIZE_MIB file (1 GiB by default) uploaded with curl: to the agent as a phone shares it
#      (POST /api/share, multipart), to nginx as a PUT it writes to disk (client_body_buffer_size
#      left at its default); MiB/s, and the agent's resident memory at its peak above idle;
#   2. the same file downloaded: from the agent's inbox (GET /api/inbox/ID, offered by this
#      computer) and from nginx (sendfile on); MiB/s.
# Each figure is the best of RUNS.
#
#   bench/transfer.sh [size-mib] [runs]     (after the README's build; default 1024 and 3)
cd "$(dirname "$0")/.."
# shellcheck source=bench/lib.sh
source bench/lib.sh
SIZE_MIB=${1:-1024}
RUNS=${2:-3}

mkdir -p "$work/downloads" "$work/nginx/www/up" "$work/nginx/tmp"
head -c $((SIZE_MIB * 1024 * 1024)) /dev/urandom >"$work/file.bin"
ln "$work/file.bin" "$work/nginx/www/file.bin"
start_paired_agent "TD_DOWNLOADS=$work/downloads"

nginx_port=$(unused_port)
cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
$([ "$(id -u)" -eq 0 ] && echo 'user root;')
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    client_body_temp_path $work/nginx/tmp;
    server {
        listen 127.0.0.1:$nginx_port;
        root $work/nginx/www;
        location /up/ { dav_methods PUT; client_max_body_size 0; }
    }
}
CONF
/usr/sbin/nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
started_pids+=($!)
for _ in $(seq 100); do curl -sf -o /dev/null "http://127.0.0.1:$nginx_port/file.bin" -r 0-0 && break; sleep 0.05; done

rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/$agent_pid/status"; }
mibs() { awk -v bytes=$((SIZE_MIB * 1024 * 1024)) -v s="$1" 'BEGIN { printf "%.0f", bytes / s / 1048576 }'; }
best() { sort -g | head -n 1; }
# Seconds of one transfer; the command's output is discarded, a failure ends the bench.
timed() {
  local took
  took=$(curl -sS -o "$work/answer" -w '%{time_total}' "$@") || { echo "curl $* failed" >&2; exit 1; }
  echo "$took"
}

idle=$(rss_kib)
peak=$idle
agent_up=() nginx_up=()
for run in $(seq "$RUNS"); do
  rm -f "$work/downloads"/* "$work/nginx/www/up"/*
  (while :; do rss_kib; sleep 0.02; done) >"$work/rss" &
  sampler=$!
  agent_up+=("$(timed -H "x-td-token: $token" -F "files=@$work/file.bin" "http://127.0.0.1:$port/api/share")")
  kill "$sampler"
  grep -q '"ok":true' "$work/answer" || { cat "$work/answer" >&2; exit 1; }
  cmp -s "$work/file.bin" "$work/downloads/file.bin" || { echo "the upload arrived different" >&2; exit 1; }
  run_peak=$(sort -n "$work/rss" | tail -n 1)
  [ "$run_peak" -gt "$peak" ] && peak=$run_peak
  nginx_up+=("$(timed -T "$work/file.bin" "http://127.0.0.1:$nginx_port/up/file-$run.bin")")
done

offer="{\"items\":[{\"path\":\"$work/file.bin\"}]}"
id=$(curl -s -d "$offer" "http://127.0.0.1:$port/api/inbox" | sed -n 's/.*"ids":\["\([0-9a-f]*\)".*/\1/p')
[ -n "$id" ] || { echo "the agent did not offer the file" >&2; exit 1; }
agent_down=() nginx_down=()
for _ in $(seq "$RUNS"); do
  agent_down+=("$(timed -H "x-td-token: $token" "http://127.0.0.1:$port/api/inbox/$id")")
  nginx_down+=("$(timed "http://127.0.0.1:$nginx_port/file.bin")")
done
cmp -s "$work/file.bin" "$work/answer" || { echo "the download arrived different" >&2; exit 1; }

up_agent=$(mibs "$(printf '%s\n' "${agent_up[@]}" | best)")
up_nginx=$(mibs "$(printf '%s\n' "${nginx_up[@]}" | best)")
down_agent=$(mibs "$(printf '%s\n' "${agent_down[@]}" | best)")
down_nginx=$(mibs "$(printf '%s\n' "${nginx_down[@]}" | best)")
row "$SIZE_MIB MiB, best of $RUNS" "agent MiB/s" "nginx MiB/s" "ratio"
row "upload (share / PUT)" "$up_agent" "$up_nginx" "$(ratio "$up_agent" "$up_nginx")"
row "download (inbox / sendfile)" "$down_agent" "$down_nginx" "$(ratio "$down_agent" "$down_nginx")"
echo "goals: both ratios at least 0.80"
echo "agent memory during the uploads: $idle KiB idle, $peak KiB at most:" \
  "$(((peak - idle) / 1024)) MiB above idle (goal: under 32 MiB)"

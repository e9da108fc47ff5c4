# shellcheck shell=bash
# Sourced by the relay's test and benchmarks: a test CA made now, tapdeck-relay and headless
# agents on loopback. The caller sets BUILD (the build folder) and calls `make_work_dir` first.

started_pids=()

# Makes the temporary folder $work; when the script ends, however it ends, everything started
# here is stopped and the folder removed.
make_work_dir() {
  work=$(mktemp -d)
  trap 'stop_started; rm -rf "$work"' EXIT
  trap 'exit 1' INT TERM
}

# Stops, in reverse order, every process started here, and waits for each.
stop_started() {
  local i pid
  for ((i = ${#started_pids[@]} - 1; i >= 0; i--)); do
    kill "${started_pids[i]}" 2>/dev/null || true
  done
  for pid in "${started_pids[@]}"; do
    # Bounded: whatever ignores SIGTERM for 5 s is killed.
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    if kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null || true; fi
    wait "$pid" 2>/dev/null || true
  done
  started_pids=()
}

# Waits at most SECONDS for a line of FILE to match the extended regular expression PATTERN.
wait_for_line() { # file pattern seconds
  local i
  for ((i = 0; i < $3 * 20; i++)); do
    grep -Eq -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}

# DIR/ca.pem, and DIR/cert.pem with DIR/key.pem that it signed for 127.0.0.1 and the DNS names
# given (wildcards too). The C++ tests' authority is made here as well (tests/support/test_tls.cpp).
make_test_certificates() { # dir [dns-name...]
  local names=IP:127.0.0.1 name
  for name in "${@:2}"; do names+=",DNS:$name"; done
  (
    cd "$1"
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key \
      -out ca.pem -days 2 -subj '/CN=Tapdeck test CA' \
      -addext 'basicConstraints=critical,CA:TRUE' -addext 'keyUsage=critical,keyCertSign,cRLSign'
  ) >/dev/null 2>&1 || { echo "openssl could not make the test authority" >&2; return 1; }
  issue_test_certificate "$1" cert "$names"
}

# DIR/NAME.pem with its key DIR/NAME-key.pem (DIR/key.pem for "cert"), signed by DIR/ca.pem for
# the subject alternative names given (as IP:... and DNS:...).
issue_test_certificate() { # dir name alt-names
  local key=$2-key.pem
  [ "$2" = cert ] && key=key.pem
  (
    cd "$1"
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$key" \
      -out "$2.csr" -subj "/CN=$2"
    printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$3" >"$2.ext"
    openssl x509 -req -in "$2.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
      -extfile "$2.ext" -out "$2.pem"
  ) >/dev/null 2>&1 || { echo "openssl could not make the test certificate $2" >&2; return 1; }
}

# Starts tapdeck-relay on 127.0.0.1 (a free port) with ARGS; sets relay_pid and relay_port.
start_relay() { # log [args...]
  local log=$1
  shift
  "$BUILD/tapdeck-relay" --listen 127.0.0.1:0 "$@" >"$log" 2>&1 &
  relay_pid=$!
  started_pids+=("$relay_pid")
  if ! wait_for_line "$log" '^Relay listening on ' 10; then
    echo "tapdeck-relay did not start:" >&2
    cat "$log" >&2
    return 1
  fi
  # shellcheck disable=SC2034 # read by the caller
  relay_port=$(sed -n 's/^Relay listening on 127\.0\.0\.1:\([0-9]*\) .*/\1/p' "$log")
  if [[ " $* " == *" --metrics "* ]]; then
    wait_for_line "$log" '^Metrics listening on ' 10 || return 1
  fi
  # shellcheck disable=SC2034 # read by the caller; empty without --metrics
  metrics_port=$(sed -n 's/^Metrics listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$log")
}

# Starts a headless agent on a free port with the support folder DIR/support made here: relay id
# ID, one paired token TOKEN, the shipped pages with the relay switched on, and trust in CA only.
# Its output goes to DIR/agent.log; sets agent_pid.
# Entries of the array agent_env ("NAME=value") are added to the agent's environment.
agent_env=()
start_agent() { # dir id token relay-host ca-file
  local dir=$1 id=$2 token=$3 relay_host=$4 ca=$5
  mkdir -p "$dir/no-certs"
  # The support folder may hold files already (a certificate of the computer's own).
  mkdir -p "$dir/support" && chmod 700 "$dir/support"
  (
    umask 077
    printf '{"pin":"123456","tokens":["%s"],"relayId":"%s"}\n' "$token" "$id" >"$dir/support/state.json"
    sed 's/^\(\s*"settings": {\)$/\1 "relayEnabled": true,/' "$BUILD/config.json" >"$dir/support/config.json"
  )
  grep -q '"relayEnabled": true' "$dir/support/config.json" ||
    { echo "could not switch the relay on in $BUILD/config.json" >&2; return 1; }
  env -u DISPLAY -u WAYLAND_DISPLAY TD_PORT=0 TD_SUPPORT="$dir/support" TD_RELAY_HOST="$relay_host" \
    TD_UPDATE_URL=http://127.0.0.1:1/latest.json SSL_CERT_FILE="$ca" SSL_CERT_DIR="$dir/no-certs" \
    "${agent_env[@]}" "$BUILD/tapdeck" --headless >"$dir/agent.log" 2>&1 &
  agent_pid=$!
  started_pids+=("$agent_pid")
}

# The port an agent started by start_agent listens on, once it says (at most 10 s).
agent_port() { # dir
  wait_for_line "$1/agent.log" '^Listening on port [0-9]+' 10 || return 1
  sed -n 's/^Listening on port \([0-9]*\).*/\1/p' "$1/agent.log" | head -n 1
}

# For the tests of relays behind nginx; they set work, nginx_port, domain, metrics_of (each
# instance's metrics port) and count (the agents).

# Runs COMMAND until it succeeds, every 50 ms, at most TRIES times.
retry() { # tries command...
  local i
  for ((i = 1; i < $1; i++)); do "${@:2}" && return 0; sleep 0.05; done
  "${@:2}"
}

# A port outside the ephemeral range that nothing listens on.
unused_port() {
  local port
  for _ in $(seq 20); do
    port=$((20000 + RANDOM % 12000))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || break
  done
  echo "$port"
}

# Every name of the test domain is this computer's.
fetch() { # curl arguments...
  curl -sS --max-time 10 --cacert "$work/ca.pem" --connect-to "::127.0.0.1:$nginx_port" "$@"
}
healthy() { [ "$(fetch "https://$domain/healthz" 2>/dev/null)" = ok ]; }

agents_on() { # relay
  curl -s --max-time 5 "http://127.0.0.1:${metrics_of[$1]}/metrics" |
    sed -n 's/^tapdeck_relay_agents \([0-9]*\)$/\1/p'
}
proven_on() { # relays...
  local sum=0 relay
  for relay in "$@"; do sum=$((sum + $(agents_on "$relay"))); done
  echo "$sum"
}
all_proven() { [ "$(proven_on "$@")" = "$count" ]; } # relays...

# shellcheck shell=bash
# Sourced by the benchmarks, from the repository's root: a work folder that goes, with everything
# started here stopped, when the script ends (scripts/relay_fixture.sh); a headless agent with a
# phone paired to it; and the figures they print. With IN_DESKTOP=1 the calling script first runs
# itself again inside a private desktop session.
set -euo pipefail
if [ -n "${IN_DESKTOP:-}" ] && [ -z "${TD_IN_SESSION:-}" ]; then
  exec env TD_IN_SESSION=1 scripts/with-desktop-session.sh "$0" "$@"
fi
BUILD=${BUILD:-build}
# shellcheck source=scripts/relay_fixture.sh
source scripts/relay_fixture.sh
make_work_dir

# Starts a headless agent on a free port with a support folder of its own, in the environment
# that env's ARGS make, and pairs a phone from 127.0.0.2; sets agent_pid, port and token. Its
# update check goes to a closed local port, or to UPDATE_URL when set (empty: the product's).
# shellcheck disable=SC2120 # the environment is optional
start_paired_agent() { # [env-args...]
  rm -rf "$work/support"
  env "$@" TD_PORT=0 TD_SUPPORT="$work/support" \
    TD_UPDATE_URL="${UPDATE_URL-http://127.0.0.1:1/latest.json}" \
    "$BUILD/tapdeck" --headless >"$work/agent.log" 2>&1 &
  agent_pid=$!
  started_pids+=("$agent_pid")
  wait_for_line "$work/agent.log" 'PIN [0-9]{6}' 10 || { cat "$work/agent.log" >&2; exit 1; }
  port=$(sed -n 's/^Listening on port \([0-9]*\).*/\1/p' "$work/agent.log")
  local pin
  pin=$(grep -o 'PIN [0-9]*' "$work/agent.log" | cut -c5-)
  token=$(curl -s --interface 127.0.0.2 -d "{\"pin\":\"$pin\"}" "http://127.0.0.1:$port/api/pair" |
    grep -o '[0-9a-f]\{48\}') || { echo "could not pair a phone" >&2; exit 1; }
}

stop_agent() { kill "$agent_pid" && { wait "$agent_pid" 2>/dev/null || true; }; }

# The median time in ms of COUNT requests from the phone, as from this computer's own address
# (Host: 127.0.0.1); the last answer is left in $work/answer.
median_ms() { # method path [body]
  for _ in $(seq "$COUNT"); do
    curl -s -o "$work/answer" -w '%{time_total}\n' -X "$1" -H "x-td-token: $token" \
      -H 'Host: 127.0.0.1' ${3:+-d "$3"} "http://127.0.0.1:$port$2"
  done | sort -n | awk '{ v[NR] = $1 } END { printf "%.2f", v[int((NR + 1) / 2)] * 1000 }'
}

median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# One line of a table: the first column left-aligned, the others right-aligned.
row() { printf '%-32s' "$1" && printf ' %12s' "${@:2}" && echo; }

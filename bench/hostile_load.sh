#!/usr/bin/env bash
# Measures what hostile load costs the agent: its memory (VmRSS now, VmHWM peak) before, during
# and 2 s after 16 concurrent 8 MiB bodies to /api/pair-code (refused 413 from the head) and 16
# concurrent 1 MiB bodies of empty arrays to /api/config from this computer; then a paired
# phone's GET /api/config latency (from 127.0.0.2) with 1,000 idle connections open from
# 127.0.0.10-40, against the same phone with none open as the reference, in the same run.
#
#   bench/hostile_load.sh [phone-requests-per-round]     (after the README's build; ROUNDS=3)
set -euo pipefail
cd "$(dirname "$0")/.."

COUNT=${1:-200}
ROUNDS=${ROUNDS:-3}
AGENT=build/tapdeck
[ -x "$AGENT" ] || { echo "missing: $AGENT" >&2; exit 1; }

work=$(mktemp -d)
agent_pid=""
cleanup() {
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

TD_PORT=0 TD_SUPPORT="$work/support" TD_UPDATE_URL=http://127.0.0.1:1/latest.json \
  "$AGENT" --headless >"$work/agent.log" &
agent_pid=$!
for _ in $(seq 100); do grep -q '^Listening on port' "$work/agent.log" && break; sleep 0.05; done
port=$(grep -o 'Listening on port [0-9]*' "$work/agent.log" | grep -o '[0-9]*$')
pin=$(grep -o 'PIN [0-9]\{6\}' "$work/agent.log" | grep -o '[0-9]*$')
[ -n "$port" ] && [ -n "$pin" ] || { echo "the agent did not start" >&2; exit 1; }

python3 - "$agent_pid" "$port" "$pin" "$COUNT" "$ROUNDS" <<'PY'
import json, re, select, selectors, socket, statistics, sys, time

pid, port, pin, count, rounds = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), int(sys.argv[5])

def memory():  # (VmRSS, VmHWM) in MiB
    status = open(f"/proc/{pid}/status").read()
    return tuple(int(re.search(rf"{k}:\s+(\d+)", status)[1]) / 1024 for k in ("VmRSS", "VmHWM"))

def connect(source):
    return socket.create_connection(("127.0.0.1", port), timeout=5, source_address=(source, 0))

def ask(source, request):  # the whole answer, up to the agent's close
    with connect(source) as s:
        s.sendall(request)
        return b"".join(iter(lambda: s.recv(65536), b""))

def empty_arrays(size):  # [[],[],...] padded with blanks to exactly `size` bytes
    body = b"[" + b",".join([b"[]"] * ((size - 2) // 3)) + b"]"
    return body + b" " * (size - len(body))

def burst(source, path, size, extra=b""):
    """16 concurrent POSTs whose whole bodies are sent whatever the agent answers meanwhile."""
    body = empty_arrays(size)
    request = b"POST %s HTTP/1.1\r\nContent-Length: %d\r\n%s\r\n" % (path.encode(), size, extra) + body
    selector, conns, start = selectors.DefaultSelector(), [], time.monotonic()
    for _ in range(16):
        s = connect(source)
        s.setblocking(False)
        conns.append({"sock": s, "sent": 0, "answer": b"", "answered": None, "eof": False, "error": None})
        selector.register(s, selectors.EVENT_READ | selectors.EVENT_WRITE, conns[-1])
    peak, deadline = memory()[0], start + 30
    while selector.get_map() and time.monotonic() < deadline:
        for key, events in selector.select(0.005):
            c = key.data
            try:
                if events & selectors.EVENT_READ:
                    chunk = c["sock"].recv(65536)
                    if c["answered"] is None and chunk:
                        c["answered"] = (c["sent"], time.monotonic() - start)
                    c["answer"] += chunk
                    c["eof"] = not chunk
                if events & selectors.EVENT_WRITE:
                    c["sent"] += c["sock"].send(request[c["sent"]:c["sent"] + 262144])
                wanted = (0 if c["eof"] else selectors.EVENT_READ) | (
                    selectors.EVENT_WRITE if c["sent"] < len(request) else 0)
            except OSError as e:
                c["error"], wanted = e.strerror, 0
            if wanted:
                selector.modify(c["sock"], wanted, c)
            else:
                selector.unregister(c["sock"])
                c["sock"].close()
        peak = max(peak, memory()[0])
    outcomes = {}  # (status, what became of the body) -> [(MiB sent when answered, ms)]
    for c in conns:
        fate = ("whole body sent" if c["sent"] == len(request) else
                f"sending failed after {c['sent'] / 2**20:.1f} MiB: {c['error'] or 'timeout'}")
        at = c["answered"] or (0, 0)
        outcomes.setdefault((c["answer"][9:12].decode() or "none", fate), []).append(
            (at[0] / 2**20, at[1] * 1000))
    return peak, outcomes

def memory_case(name, *args):
    before = memory()
    with open(f"/proc/{pid}/clear_refs", "w") as f:
        f.write("5")  # restarts VmHWM, so the peak is this burst's
    peak, outcomes = burst(*args)
    time.sleep(2)
    after = memory()
    print(f"{name:36s} {before[0]:9.1f} {peak:9.1f} {after[1]:9.1f} {after[0]:9.1f}")
    for (status, fate), answers in sorted(outcomes.items()):
        mib, ms = (statistics.median(a) for a in zip(*answers))
        print(f"    {len(answers):2d} x {status}, answered (median) {ms:.0f} ms in, after {mib:.2f} MiB sent; {fate}")

print(f"{'agent memory, MiB':36s} {'RSS':>9s} {'peak RSS':>9s} {'VmHWM':>9s} {'RSS +2s':>9s}")
memory_case("16 x 8 MiB POST /api/pair-code", "127.0.0.9", "/api/pair-code", 8 * 2**20)
memory_case("16 x 1 MiB POST /api/config (local)", "127.0.0.1", "/api/config", 2**20,
            b"Host: 127.0.0.1:%d\r\n" % port)

body = json.dumps({"pin": pin}).encode()
paired = ask("127.0.0.2", b"POST /api/pair HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
token = re.search(rb'"token":"(\w+)"', paired)[1]
phone_request = b"GET /api/config HTTP/1.1\r\nX-TD-Token: " + token + b"\r\n\r\n"

def phone_times():  # ms per request; fails on anything but 200
    times = []
    for _ in range(count):
        t0 = time.perf_counter()
        answer = ask("127.0.0.2", phone_request)
        times.append((time.perf_counter() - t0) * 1000)
        assert answer.startswith(b"HTTP/1.1 200 "), answer[:40]
    return times

quiet, loaded, still_open = [], [], []
for _ in range(rounds):  # alternated; the agent drops idle connections after 10 s, so each round opens its own
    quiet += phone_times()
    idle = [connect(f"127.0.0.{10 + i % 31}") for i in range(1000)]
    loaded += phone_times()
    poll = select.poll()
    for s in idle:
        poll.register(s, select.POLLIN)
    still_open.append(len(idle) - len(poll.poll(0)))  # readable: closed by the agent
    for s in idle:
        s.close()

def p95(times):
    return sorted(times)[int(len(times) * 0.95) - 1]

print(f"\n{'phone GET /api/config':36s} {'median ms':>10s} {'p95 ms':>10s} {'ratio':>8s}")
q, l = statistics.median(quiet), statistics.median(loaded)
print(f"{'no other connections':36s} {q:10.3f} {p95(quiet):10.3f} {1:8.2f}")
print(f"{'1,000 idle hostile connections':36s} {l:10.3f} {p95(loaded):10.3f} {l / q:8.2f}")
print(f"({rounds} rounds of {count} requests each, alternated; p95 ratio {p95(loaded) / p95(quiet):.2f}; "
      f"idle connections still open at each round's end: {still_open})")
PY

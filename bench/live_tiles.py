#!/usr/bin/env python3
"""Live tiles, as users run them: a push reaching a paired phone's event stream, the command
line's wall time, and what feeding tiles costs the agent while nothing else happens.

    python3 bench/live_tiles.py PORT TOKEN SUPPORT BUILD IDLE_SECONDS PUSHES
(run by bench/live_tiles.sh, which starts the agent and pairs the phone)."""
import json
import os
import socket
import statistics
import subprocess
import sys
import time

port, token, support, build = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
idle_seconds, pushes = int(sys.argv[5]), int(sys.argv[6])
tapdeck = os.path.join(build, "tapdeck")


class Connection:
    """The paired phone's HTTP/1.1 connection (from 127.0.0.2); the agent answers one request on
    each, so a request opens its own."""

    def __init__(self):
        self.sock = socket.create_connection(("127.0.0.1", port), source_address=("127.0.0.2", 0))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""

    def request(self, method, path, body=b""):
        self.__init__()
        head = (f"{method} {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nContent-Length: {len(body)}\r\n"
                f"X-TD-Token: {token}\r\n")
        self.sock.sendall(head.encode() + b"\r\n" + body)
        while b"\r\n\r\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise SystemExit(f"the agent closed the connection: {method} {path}")
            self.buffer += chunk
        header, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        length = int(header.lower().split(b"content-length:")[1].split(b"\r\n")[0])
        while len(self.buffer) < length:
            self.buffer += self.sock.recv(65536)
        answer, self.buffer = self.buffer[:length], self.buffer[length:]
        assert header.startswith(b"HTTP/1.1 200"), (header, answer)
        return answer


class Stream:
    def __init__(self):
        self.conn = Connection()
        self.conn.sock.sendall(
            f"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nX-TD-Token: {token}\r\n\r\n".encode())
        self.seen = b""

    def wait_for(self, needle):
        while needle not in self.seen:
            chunk = self.conn.sock.recv(65536)
            if not chunk:
                raise SystemExit("the event stream ended")
            self.seen += chunk
        self.seen = self.seen[self.seen.index(needle) + len(needle):]


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * p))]


def config(tiles):
    return json.dumps({"pages": [{"name": "Bench", "tiles": tiles}], "settings": {}}).encode()


def shortcut(name, body):
    path = os.path.join(support, "shortcuts", name)
    os.makedirs(os.path.dirname(path), mode=0o700, exist_ok=True)
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + body + "\n")
    os.chmod(path, 0o700)


def ms(seconds):
    return f"{seconds * 1000:.2f}"


# 1. A push to the state message on a paired stream, against the same stream's reload message.
phone, admin, stream = Connection(), Connection(), Stream()
admin.request("POST", "/api/config", config([{"type": "status", "id": "cpu", "label": "CPU"}]))
stream.wait_for(b"event: reload")
push, reload = [], []
for i in range(pushes):
    time.sleep(0.03)  # a push on its own: pushes within 25 ms of a message go with the next one
    started = time.perf_counter()
    phone.request("POST", "/api/tiles/cpu", json.dumps({"value": f"{i} %"}).encode())
    stream.wait_for(f'"value":"{i} %"'.encode())
    push.append(time.perf_counter() - started)
    if i % 4 == 0:  # each save writes config.json: fewer of them
        started = time.perf_counter()
        admin.request("POST", "/api/config",
                      config([{"type": "status", "id": "cpu", "label": f"CPU {i}"}]))
        stream.wait_for(b"event: reload")
        reload.append(time.perf_counter() - started)
print(f"{'push to state message':32} median {ms(statistics.median(push)):>8} ms  p99 {ms(percentile(push, 0.99)):>8} ms")
print(f"{'config save to reload message':32} median {ms(statistics.median(reload)):>8} ms  p99 {ms(percentile(reload, 0.99)):>8} ms")
print(f"{'ratio (push / reload), median':32} {statistics.median(push) / statistics.median(reload):.2f}   goal: push median < 10 ms")

# 2. The command line's wall time, against true and curl sending the same request.
env = dict(os.environ, TD_PORT=str(port))
curl = ["curl", "-sf", "-o", "/dev/null", "-H", "Content-Type: application/json",
        "-d", '{"value":"7 %"}', f"http://127.0.0.1:{port}/api/tiles/cpu"]
commands = {"true": ["true"], "curl": curl, "tapdeck tile": [tapdeck, "tile", "cpu", "--value", "7 %"]}
walls = {}
for name, argv in commands.items():
    times = []
    for _ in range(100):
        started = time.perf_counter()
        subprocess.run(argv, env=env, check=True)
        times.append(time.perf_counter() - started)
    walls[name] = statistics.median(times)
    print(f"{name:32} median {ms(walls[name]):>8} ms  p99 {ms(percentile(times, 0.99)):>8} ms")
print(f"{'ratio (tapdeck tile / curl)':32} {walls['tapdeck tile'] / walls['curl']:.2f}   goal: < 15 ms")

# 3. Idle cost: three watchers and a poller every second, against the agent with no feeds.
ticks = os.sysconf("SC_CLK_TCK")
agent = os.environ["AGENT_PID"]


def cost():
    cpu = 0
    switches = 0
    for task in os.listdir(f"/proc/{agent}/task"):
        with open(f"/proc/{agent}/task/{task}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        cpu += int(fields[11]) + int(fields[12])
        with open(f"/proc/{agent}/task/{task}/status") as f:
            for line in f:
                if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                    switches += int(line.split()[1])
    return cpu / ticks, switches


def idle(tiles):
    admin.request("POST", "/api/config", config(tiles))
    time.sleep(2)  # the feeds start
    cpu0, wake0 = cost()
    time.sleep(idle_seconds)
    cpu1, wake1 = cost()
    return (cpu1 - cpu0) / idle_seconds, (wake1 - wake0) / idle_seconds


shortcut("unit", 'echo \'{"state":"on"}\'; exec sleep 100000')
shortcut("temp", 'echo "{\\"value\\":\\"$(cut -c1-2 /proc/loadavg) C\\"}"')
feeds = [{"type": "status", "id": f"w{i}", "watch": "unit"} for i in range(3)]
feeds.append({"type": "status", "id": "temp", "watch": "temp", "every": 1})
base_cpu, base_wake = idle([{"type": "status", "id": "cpu"}])
fed_cpu, fed_wake = idle(feeds)
print(f"{'idle, no feeds':32} {base_cpu * 100:8.3f} % CPU {base_wake:8.2f} wake-ups/s")
print(f"{'3 watchers + poller every 1 s':32} {fed_cpu * 100:8.3f} % CPU {fed_wake:8.2f} wake-ups/s")
print(f"{'extra per second':32} {(fed_cpu - base_cpu) * 1000:8.2f} ms CPU {fed_wake - base_wake:8.2f} wake-ups")

#!/usr/bin/python3
"""How soon a player's change reaches a phone's event stream, and what an idle agent costs.

Runs inside a private desktop session (bench/now_playing.sh starts one). A player of our own on
the session bus announces a new track (one PropertiesChanged); the time until the agent's
`event: state` with that title arrives on a paired stream is measured, against the time the
same signal takes to reach a plain subscriber on the bus (the reference). Then, with two
players and the stream open, the agent idles for IDLE_SECONDS: its threads' wake-ups and CPU
time are counted. Goals: median under 50 ms; no wake-ups beyond the stream's keep-alive.

    bench/now_playing.sh [changes] [idle-seconds]     (after the README's build)
"""
import http.client
import json
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

PLAYER = 'org.mpris.MediaPlayer2.Player'
PATH = '/org/mpris/MediaPlayer2'
CHANGES = int(sys.argv[1]) if len(sys.argv) > 1 else 200
IDLE_SECONDS = int(sys.argv[2]) if len(sys.argv) > 2 else 60
# Longer than the agent's gathering of a burst, so that each change is told on its own.
GAP_MS = 60


class Player(dbus.service.Object):
    """An MPRIS player whose every change is one PropertiesChanged, sent when we say."""

    def __init__(self, bus, name, status):
        self.name = dbus.service.BusName(f'org.mpris.MediaPlayer2.{name}', bus)
        super().__init__(self.name, PATH)
        self.props = {'PlaybackStatus': status, 'Metadata': self.track('start')}

    @staticmethod
    def track(title):
        return dbus.Dictionary({'xesam:title': title, 'mpris:length': dbus.Int64(180_000_000)}, signature='sv')

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='ss', out_signature='v')
    def Get(self, interface, prop):
        return self.props.get(prop, dbus.Int64(0))

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='s', out_signature='a{sv}')
    def GetAll(self, interface):
        return self.props if interface == PLAYER else {'Identity': 'Bench player'}

    @dbus.service.signal(dbus.PROPERTIES_IFACE, signature='sa{sv}as')
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    def play(self, title):
        self.props['Metadata'] = self.track(title)
        self.PropertiesChanged(PLAYER, {'Metadata': self.props['Metadata']}, [])


def start_agent_and_stream(work):
    """The agent, and an event stream of a phone paired from 127.0.0.2 (not this computer)."""
    env = dict(os.environ, TD_PORT='0', TD_SUPPORT=os.path.join(work, 'support'),
               TD_UPDATE_URL='http://127.0.0.1:1/latest.json')
    agent = subprocess.Popen(['build/tapdeck', '--headless'], env=env, stdout=subprocess.PIPE, text=True)
    port = next(int(line.split()[3]) for line in agent.stdout if line.startswith('Listening on port'))
    with open(os.path.join(work, 'support', 'state.json')) as state:
        pin = json.load(state)['pin']
    connection = http.client.HTTPConnection('127.0.0.1', port, source_address=('127.0.0.2', 0))
    connection.request('POST', '/api/pair', json.dumps({'pin': pin}))
    token = json.loads(connection.getresponse().read())['token']
    stream = socket.create_connection(('127.0.0.1', port))
    stream.sendall(f'GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nX-TD-Token: {token}\r\n\r\n'.encode())
    stream.setblocking(False)
    return agent, stream


def thread_counters(pid):
    """Wake-ups (context switches) per thread name, and the process's CPU time in ms."""
    wakeups = {}
    for tid in os.listdir(f'/proc/{pid}/task'):
        try:
            with open(f'/proc/{pid}/task/{tid}/comm') as comm, open(f'/proc/{pid}/task/{tid}/status') as status:
                name = f'{comm.read().strip()}#{tid}'
                switches = sum(int(line.split()[1]) for line in status if 'ctxt_switches' in line)
            wakeups[name] = switches
        except FileNotFoundError:
            pass
    with open(f'/proc/{pid}/stat') as stat:
        fields = stat.read().rsplit(')', 1)[1].split()
    cpu_ms = (int(fields[11]) + int(fields[12])) * 1000 / os.sysconf('SC_CLK_TCK')
    return wakeups, cpu_ms


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    listener = dbus.bus.BusConnection(os.environ['DBUS_SESSION_BUS_ADDRESS'])
    agent, stream = start_agent_and_stream(tempfile.mkdtemp())
    loop = GLib.MainLoop()
    try:
        # Each player on a connection of its own, as separate programs are.
        players = [Player(dbus.bus.BusConnection(os.environ['DBUS_SESSION_BUS_ADDRESS']), name, status)
                   for name, status in (('bench1', 'Playing'), ('bench2', 'Paused'))]
        sent, heard_agent, heard_bus = {}, {}, {}
        pending = ['']

        def on_bus_signal(interface, changed, invalidated):
            title = str(changed.get('Metadata', {}).get('xesam:title', ''))
            heard_bus.setdefault(title, time.perf_counter())

        listener.add_signal_receiver(on_bus_signal, 'PropertiesChanged', dbus.PROPERTIES_IFACE, path=PATH)

        def on_stream(fd, condition):
            try:
                pending[0] += stream.recv(65536).decode()
            except BlockingIOError:
                return True
            while '\n\n' in pending[0]:
                message, pending[0] = pending[0].split('\n\n', 1)
                data = [line[6:] for line in message.split('\n') if line.startswith('data: ')]
                if 'event: state' in message and data:  # chunk sizes sit between messages
                    media = json.loads(data[0]).get('media') or {}
                    heard_agent.setdefault(media.get('title', ''), time.perf_counter())
            return True

        GLib.io_add_watch(stream.fileno(), GLib.IO_IN, on_stream)

        def change(i=[0]):
            if i[0] == CHANGES:
                loop.quit()
                return False
            title = f'track {i[0]}'
            sent[title] = time.perf_counter()
            players[0].play(title)
            i[0] += 1
            return True

        # The agent first hears of both players; then one change every GAP_MS.
        GLib.timeout_add(1000, lambda: GLib.timeout_add(GAP_MS, change) and False)
        loop.run()
        GLib.timeout_add(1000, loop.quit)  # the last answers
        loop.run()

        def percentiles(heard):
            times = sorted((heard[t] - sent[t]) * 1000 for t in sent if t in heard)
            return times, statistics.median(times), times[min(len(times) - 1, int(len(times) * 0.99))]

        agent_times, agent_median, agent_p99 = percentiles(heard_agent)
        bus_times, bus_median, bus_p99 = percentiles(heard_bus)
        print(f'player change -> state event: {len(agent_times)}/{CHANGES} told, '
              f'median {agent_median:.2f} ms, p99 {agent_p99:.2f} ms (goal: median < 50 ms)')
        print(f'reference, the same signal -> a plain bus subscriber: median {bus_median:.3f} ms, p99 {bus_p99:.3f} ms')
        print(f'ratio (agent / bus), median: {agent_median / bus_median:.0f}x')

        before, cpu_before = thread_counters(agent.pid)
        GLib.timeout_add_seconds(IDLE_SECONDS, loop.quit)
        loop.run()
        after, cpu_after = thread_counters(agent.pid)
        woke = {name: after[name] - before.get(name, 0) for name in after if after[name] != before.get(name, 0)}
        print(f'idle {IDLE_SECONDS} s with two players and an open stream: {sum(woke.values())} wake-ups, '
              f'{cpu_after - cpu_before:.0f} ms CPU; by thread: {woke or "none"}')
    finally:
        agent.terminate()
        agent.wait()


if __name__ == '__main__':
    main()

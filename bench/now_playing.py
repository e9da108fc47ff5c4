#!/usr/bin/python3
"""How soon a player's change reaches a phone's event stream, and what an idle agent costs.

Runs in a private desktop session of its own. A player (python3-dbusmock) is told a new track
and announces it (one PropertiesChanged); the time until the agent's `event: state` with that
title arrives on a paired stream is measured against the time the same signal takes to reach a
plain subscriber on the bus (the reference). Then, with two players and the stream open, the agent
idles: its threads' wake-ups and CPU time are counted. Goals: median under 50 ms; no wake-ups
beyond the stream's keep-alive (one each 25 s).

    bench/now_playing.py [changes] [idle-seconds]     (after the README's build)
"""
import http.client, json, os, re, socket, statistics, subprocess, sys, tempfile, time

os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
if 'TD_IN_SESSION' not in os.environ:
    os.execv('scripts/with-desktop-session.sh', ['with-desktop-session.sh', 'env', 'TD_IN_SESSION=1', '/usr/bin/python3', *sys.argv])

import dbus, dbus.mainloop.glib, dbusmock
from gi.repository import GLib

PLAYER = 'org.mpris.MediaPlayer2.Player'
PATH = '/org/mpris/MediaPlayer2'
CHANGES = int(sys.argv[1]) if len(sys.argv) > 1 else 200
IDLE_SECONDS = int(sys.argv[2]) if len(sys.argv) > 2 else 60
GAP_MS = 60  # longer than the agent's gathering of a burst: each change is told on its own


def start_player(name, status):
    """A player on the session bus, and the proxy that changes its track (asynchronously)."""
    process = dbusmock.DBusTestCase.spawn_server(f'org.mpris.MediaPlayer2.{name}', PATH, PLAYER,
                                                   stdout=subprocess.DEVNULL)
    mock = dbus.bus.BusConnection(os.environ['DBUS_SESSION_BUS_ADDRESS']).get_object(f'org.mpris.MediaPlayer2.{name}', PATH)
    mock.AddProperties(PLAYER, {'PlaybackStatus': status, 'Metadata': metadata('start')}, dbus_interface=dbusmock.MOCK_IFACE)
    mock.AddProperties('org.mpris.MediaPlayer2', {'Identity': 'Bench player'}, dbus_interface=dbusmock.MOCK_IFACE)
    return process, lambda title: mock.Set(PLAYER, 'Metadata', metadata(title), dbus_interface=dbus.PROPERTIES_IFACE,
                                           reply_handler=lambda: None, error_handler=print)


def metadata(title):
    return dbus.Dictionary({'xesam:title': title}, signature='sv')


def start_agent_and_stream(work):
    """The agent, and the event stream of a phone paired from 127.0.0.2 (not this computer)."""
    env = dict(os.environ, TD_PORT='0', TD_SUPPORT=work, TD_UPDATE_URL='http://127.0.0.1:1/x')
    agent = subprocess.Popen(['build/tapdeck', '--headless'], env=env, stdout=subprocess.PIPE, text=True)
    port = next(int(line.split()[3]) for line in agent.stdout if line.startswith('Listening on port'))
    with open(os.path.join(work, 'state.json')) as state:
        pin = json.load(state)['pin']
    connection = http.client.HTTPConnection('127.0.0.1', port, source_address=('127.0.0.2', 0))
    connection.request('POST', '/api/pair', json.dumps({'pin': pin}))
    token = json.loads(connection.getresponse().read())['token']
    stream = socket.create_connection(('127.0.0.1', port))
    stream.sendall(f'GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nX-TD-Token: {token}\r\n\r\n'.encode())
    return agent, stream


def wakeups_and_cpu_ms(pid):
    switches = 0
    for tid in os.listdir(f'/proc/{pid}/task'):
        with open(f'/proc/{pid}/task/{tid}/status') as status:
            switches += sum(int(line.split()[1]) for line in status if 'ctxt_switches' in line)
    with open(f'/proc/{pid}/stat') as stat:
        fields = stat.read().rsplit(')', 1)[1].split()
    return switches, (int(fields[11]) + int(fields[12])) * 1000 / os.sysconf('SC_CLK_TCK')


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    agent, stream = start_agent_and_stream(tempfile.mkdtemp())
    loop = GLib.MainLoop()
    sent, heard_agent, heard_bus, text, players = {}, {}, {}, [''], []
    try:
        players += [start_player('bench1', 'Playing'), start_player('bench2', 'Paused')]
        listener = dbus.bus.BusConnection(os.environ['DBUS_SESSION_BUS_ADDRESS'])
        listener.add_signal_receiver(
            lambda _, changed, __: heard_bus.setdefault(str(changed['Metadata']['xesam:title']), time.perf_counter()),
            'PropertiesChanged', dbus.PROPERTIES_IFACE, path=PATH)

        def on_stream(*_):
            text[0] += stream.recv(65536).decode()
            for title in re.findall(r'event: state\ndata: \{"media":\{[^}]*?"title":"([^"]*)"', text[0]):
                heard_agent.setdefault(title, time.perf_counter())
            text[0] = text[0][text[0].rfind('\n\n') + 2:]
            return True

        GLib.io_add_watch(stream.fileno(), GLib.IO_IN, on_stream)

        def change():
            if len(sent) == CHANGES:
                GLib.timeout_add(1000, loop.quit)  # the last answers
                return False
            sent[f'track {len(sent)}'] = time.perf_counter()
            players[0][1](f'track {len(sent) - 1}')
            return True

        GLib.timeout_add(1000, lambda: GLib.timeout_add(GAP_MS, change) and False)  # both known first
        loop.run()

        def summary(heard):
            times = sorted((heard[t] - sent[t]) * 1000 for t in sent if t in heard)
            return len(times), statistics.median(times), times[min(len(times) - 1, int(len(times) * 0.99))]

        told, median, p99 = summary(heard_agent)
        _, bus_median, bus_p99 = summary(heard_bus)
        print(f'player change -> state event: {told}/{CHANGES} told, median {median:.2f} ms, p99 {p99:.2f} ms '
              '(goal: median < 50 ms)')
        print(f'reference, the same signal -> a plain bus subscriber: median {bus_median:.3f} ms, p99 {bus_p99:.3f} ms')
        print(f'ratio (agent / bus), median: {median / bus_median:.0f}x')
        before, cpu_before = wakeups_and_cpu_ms(agent.pid)
        GLib.timeout_add_seconds(IDLE_SECONDS, loop.quit)
        loop.run()
        after, cpu_after = wakeups_and_cpu_ms(agent.pid)
        print(f'idle {IDLE_SECONDS} s with two players and an open stream: {after - before} wake-ups, '
              f'{cpu_after - cpu_before:.0f} ms CPU (keep-alives due: {IDLE_SECONDS // 25})')
    finally:
        for process in [agent] + [process for process, _ in players]:
            process.terminate()
            process.wait()


if __name__ == '__main__':
    main()

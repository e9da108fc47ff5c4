#!/usr/bin/python3
"""shell_desktop_test.py TEST_NAME TAPDECK_BINARY BUILD_DIR: the agent with its desktop shell, in
a private desktop session. A tray host of the test's own reads the item and its menu over dbusmenu
and clicks entries; windows are looked up on the X server."""
import atexit, ctypes, os, re, signal, subprocess, sys, tempfile, threading, time, urllib.request
import dbus, dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

TEST, BINARY, BUILD_DIR = sys.argv[1:4]
WATCHER = "org.kde.StatusNotifierWatcher"
MENU = "com.canonical.dbusmenu"
DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()


def eventually(condition, seconds=20):
    """Runs the main loop (the tray host answers the agent meanwhile) until condition holds."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        GLib.MainContext.default().iteration(False) or time.sleep(0.02)
    return True


class TrayHost(dbus.service.Object):
    """A desktop panel's tray host: owns the watcher name and remembers who registered an item."""

    def __init__(self):
        super().__init__(bus, "/StatusNotifierWatcher")
        self.item = None
        bus.request_name(WATCHER)

    @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender):
        # Items give their object path (or their bus name, then at the usual path).
        self.item = (sender, service if service.startswith("/") else "/StatusNotifierItem")

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, _):
        return {"RegisteredStatusNotifierItems": dbus.Array([], "s"),
                "IsStatusNotifierHostRegistered": True, "ProtocolVersion": dbus.Int32(0)}


class Agent:
    """One agent in GUI mode with a support and a config folder of its own; its output is kept."""

    def __init__(self, first_run, env={}):
        self.temp = tempfile.TemporaryDirectory()
        self.dir = self.temp.name
        support = os.path.join(self.dir, "support")
        os.mkdir(support, 0o700)
        if not first_run:
            with open(os.open(f"{support}/state.json", os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
                f.write('{"pin":"482913","tokens":[],"relayId":"GUI-TEST"}')
        self.login_item = os.path.join(self.dir, "config/autostart/tapdeck.desktop")
        self.process = subprocess.Popen(
            [BINARY], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
            env={**os.environ, **env, "TD_PORT": "0", "TD_SUPPORT": support,
                 "XDG_CONFIG_HOME": os.path.join(self.dir, "config"),
                 "TD_UPDATE_URL": "http://127.0.0.1:1/latest.json"})
        atexit.register(self.process.kill)  # on a failed check too; no-op once it exited
        self.output = ""
        threading.Thread(target=self.read, daemon=True).start()
        assert eventually(lambda: "Listening on port" in self.output), self.output
        self.port = int(re.search(r"Listening on port (\d+)", self.output)[1])

    def read(self):
        for line in self.process.stdout:
            sys.stdout.write(line)
            self.output += line

    def request(self, path, method="GET"):
        url = f"http://127.0.0.1:{self.port}{path}"
        with urllib.request.urlopen(urllib.request.Request(url, method=method), timeout=10) as r:
            return r.status, r.headers["Content-Type"]

    def stop_with(self, sig):
        self.process.send_signal(sig)
        return self.process.wait(10)


x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p


class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("data", ctypes.c_long * 5), ("rest_of_xevent", ctypes.c_long * 24)]


def shown(title):
    """Mapped top-level windows with this title; GTK's 1 × 1 helper window and a fallback tray
    icon (16 × 16, named after the item) do not count."""
    tree = subprocess.run(["xwininfo", "-root", "-children"], capture_output=True, text=True)
    found = []
    for window, name, width in re.findall(r'(0x[0-9a-f]+) "(.*)": .*?\s(\d+)x\d+\+', tree.stdout):
        if name == title and int(width) >= 100:
            # It can vanish between the listing and this question: then it is not shown.
            info = subprocess.run(["xwininfo", "-id", window], capture_output=True, text=True)
            if "Map State: IsViewable" in info.stdout:
                found.append(int(window, 16))
    return found


def close(window):
    """Asks the window to close, as a window manager's close button does."""
    display = ctypes.c_void_p(x11.XOpenDisplay(None))
    atom = lambda name: x11.XInternAtom(display, name, 0)
    event = ClientMessage(type=33, window=window, message_type=atom(b"WM_PROTOCOLS"), format=32)
    event.data[0] = atom(b"WM_DELETE_WINDOW")
    x11.XSendEvent(display, ctypes.c_ulong(window), 0, 0, ctypes.byref(event))
    x11.XFlush(display)
    x11.XCloseDisplay(display)


def menu_of(item, path):
    """The exported menu's entries as a tray host reads them: (id, label or "-" for a separator,
    visible, first shortcut joined by "+")."""
    _, (_, _, children) = bus.call_blocking(item, path, MENU, "GetLayout", "iias", (0, -1, []))
    return [(id, "-" if props.get("type") == "separator" else str(props.get("label", "")),
             bool(props.get("visible", True)), "+".join(props.get("shortcut", [[]])[0]))
            for id, props, _ in children]


def TrayMenuPanelPinDialogAndQuit():
    tray = TrayHost()
    # An app whose icon the agent draws with GTK, which here runs on the main thread.
    with open(os.path.join(os.environ["XDG_DATA_HOME"], "applications/tapdeck-shell-test.desktop"),
              "w") as app:
        app.write("[Desktop Entry]\nType=Application\nName=Shell Test App\nExec=true\n"
                  f"Icon={BUILD_DIR}/public/icon-192.png\n")
    agent = Agent(first_run=False)
    assert eventually(lambda: tray.item), "no item registered"
    name, path = tray.item
    prop = lambda p: bus.call_blocking(name, path, dbus.PROPERTIES_IFACE, "Get", "ss",
                                       ("org.kde.StatusNotifierItem", p))
    assert (prop("Id"), prop("IconName")) == ("tapdeck", "tapdeck-symbolic"), "item properties"
    menu_path = prop("Menu")
    menu = menu_of(name, menu_path)
    entries = [entry[1:] for entry in menu]
    assert entries == [("Update available…", False, ""), ("-", False, ""),
                       ("Open Control Panel", True, "Control+o"), ("Show Pairing PIN…", True, ""),
                       ("Send to Phone…", True, ""), ("-", True, ""),
                       ("Quit Tapdeck", True, "Control+q")], entries
    click = lambda entry: bus.call_blocking(name, menu_path, MENU, "Event", "isvu",
                                            (menu[entry][0], "clicked", dbus.Int32(0), 0))
    assert shown("Tapdeck") == [], "a panel before anyone asked for one"

    # The API's request, then the menu twice: one window.
    agent.request("/api/open-admin", "POST")
    assert eventually(lambda: len(shown("Tapdeck")) == 1), "no panel from the API"
    for _ in range(2):
        click(2)
    time.sleep(0.5)  # a second panel, if the clicks made one, is mapped by now
    panel = shown("Tapdeck")
    assert len(panel) == 1, f"panels: {panel}"
    # Closed, it is only hidden: the next open shows the very same window again.
    close(panel[0])
    assert eventually(lambda: shown("Tapdeck") == []), "the panel stays after closing"
    agent.request("/api/open-admin", "POST")
    assert eventually(lambda: shown("Tapdeck") == panel), "not the same panel again"

    click(3)
    assert eventually(lambda: len(shown("Pairing PIN")) == 1), "no PIN dialog"
    icon = agent.request("/api/icon?app=Shell%20Test%20App")
    assert icon == (200, "image/png"), icon
    assert os.path.exists(agent.login_item), "no login item"
    # The file managers' way to it, and the chooser behind the menu's entry and the API.
    script = os.path.join(os.environ["XDG_DATA_HOME"], "nautilus/scripts/Send to Phone")
    assert os.access(script, os.X_OK), "no file manager script"
    agent.request("/api/send-to-phone", "POST")
    assert eventually(lambda: len(shown("Send to Phone")) == 1), "no file chooser from the API"
    click(4)
    time.sleep(0.5)  # a second chooser, if the click made one, is mapped by now
    assert len(shown("Send to Phone")) == 1, "a second chooser"
    click(6)
    assert agent.process.wait(10) == 0, "Quit did not exit cleanly"


def TheFirstRunOpensThePanelAndRegistersAtLogin():
    TrayHost()
    agent = Agent(first_run=True)
    assert eventually(lambda: len(shown("Tapdeck")) == 1), "no panel on the first run"
    with open(agent.login_item) as file:
        text = file.read()
    assert f"\nExec={os.path.realpath(BINARY)}\n" in text, text
    assert "\nX-GNOME-Autostart-enabled=true\n" in text, text
    assert agent.stop_with(signal.SIGTERM) == 0, "SIGTERM did not exit cleanly"


# Stock GNOME without the tray extension: nobody would show the item, so the panel opens.
def WithoutATrayThePanelOpensAndAServiceLeavesLoginAlone():
    agent = Agent(first_run=False, env={"INVOCATION_ID": "0123456789abcdef"})
    assert eventually(lambda: "tray is unavailable" in agent.output), "tray not missed"
    assert eventually(lambda: len(shown("Tapdeck")) == 1), "no panel without a tray"
    assert not os.path.exists(agent.login_item), "a login item from a service"
    assert agent.stop_with(signal.SIGINT) == 0, "SIGINT did not exit cleanly"


globals()[TEST]()

'''The desktop's RemoteDesktop portal, a python-dbusmock template for tests. It answers
CreateSession, SelectDevices and Start as the real portal does (a Response signal on the request
object the caller named) and prints every call, one line each, after "ready". The parameter
"answer" is the user's answer to the dialog, "grant" or "deny"; a grant is for the devices asked
for.
  python3 -m dbusmock -l /dev/null -t remote_desktop_portal.py -p '{"answer": "grant"}'
'''
import dbus
import dbus.lowlevel
import dbus.service

BUS_NAME = 'org.freedesktop.portal.Desktop'
MAIN_OBJ = '/org/freedesktop/portal/desktop'
MAIN_IFACE = 'org.freedesktop.portal.RemoteDesktop'
SYSTEM_BUS = False


def say(line):
    print(line, flush=True)


def load(mock, parameters):
    mock.grants = parameters['answer'] == 'grant'
    mock.tokens, mock.asked, mock.started = 0, 0, set()
    mock.AddProperties(MAIN_IFACE, {'AvailableDeviceTypes': dbus.UInt32(7),
                                    'version': dbus.UInt32(2)})
    say('ready')


def handle(sender, kind, token):
    return f"{MAIN_OBJ}/{kind}/{sender[1:].replace('.', '_')}/{token}"


# Sends the request's Response, which the caller listens for before it calls.
def respond(mock, sender, options, code, results):
    request = handle(sender, 'request', options['handle_token'])
    signal = dbus.lowlevel.SignalMessage(request, 'org.freedesktop.portal.Request', 'Response')
    signal.set_destination(sender)
    signal.append(dbus.UInt32(code), dbus.Dictionary(results, signature='sv'))
    mock.connection.send_message(signal)
    return request


def asking(signature):
    return dbus.service.method(MAIN_IFACE, signature, 'o', sender_keyword='sender')


@asking('a{sv}')
def CreateSession(self, options, sender):
    say('CreateSession')
    session = handle(sender, 'session', options['session_handle_token'])
    return respond(self, sender, options, 0, {'session_handle': session})


@asking('oa{sv}')
def SelectDevices(self, _session, options, sender):
    say(f"SelectDevices types={options.get('types', '-')} "
        f"persist={options.get('persist_mode', '-')} restore={options.get('restore_token', '-')}")
    self.asked = options['types']
    return respond(self, sender, options, 0, {})


@asking('osa{sv}')
def Start(self, session, _parent, options, sender):
    say('Start ' + ('granted' if self.grants else 'refused'))
    if not self.grants:
        return respond(self, sender, options, 1, {})
    self.started.add(session)
    self.tokens += 1
    return respond(self, sender, options, 0, {'devices': dbus.UInt32(self.asked),
                                              'restore_token': f'restore-{self.tokens}'})


# The input methods, each printed as "<line> <first> <second>" once the session has started.
def notify(line, signature, form='g'):
    def method(self, session, _options, first, second):
        if session not in self.started:
            raise dbus.exceptions.DBusException('session not started',
                                                name='org.freedesktop.portal.Error.NotAllowed')
        say(f'{line} {first:{form}} {second:g}')
    return dbus.service.method(MAIN_IFACE, 'oa{sv}' + signature, '')(method)


NotifyKeyboardKeycode = notify('keycode', 'iu')
NotifyKeyboardKeysym = notify('keysym', 'iu', '#x')
NotifyPointerButton = notify('button', 'iu')
NotifyPointerMotion = notify('motion', 'dd')
NotifyPointerAxis = notify('axis', 'dd')

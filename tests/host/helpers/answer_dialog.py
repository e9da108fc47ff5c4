'''Answers a dialog as a person would, through the accessibility bus. Each argument names a
control as ROLE:NAME (GTK names a button "_Share Share", its mnemonic then its label: the name
only ends with NAME); each in turn is awaited, shown and enabled, then acted on (a check box only
when it is not checked). Exits 1 when one did not show within 15 s.
  answer_dialog.py "check box:Allow remote interaction" "push button:Share"
'''
import sys
import time

import gi
gi.require_version('Atspi', '2.0')
from gi.repository import Atspi  # noqa: E402


def find(node, role, name, depth=0):
    if node is None or depth > 25:
        return None
    if node.get_role_name() == role and (node.get_name() or '').endswith(name):
        return node
    for i in range(node.get_child_count()):
        found = find(node.get_child_at_index(i), role, name, depth + 1)
        if found:
            return found
    return None


def enabled(role, name):
    control = find(Atspi.get_desktop(0), role, name)
    # A button the dialog has not enabled yet would ignore the press.
    return control if control and control.get_state_set().contains(Atspi.StateType.SENSITIVE) \
        else None


Atspi.init()
for argument in sys.argv[1:]:
    role, name = argument.split(':', 1)
    deadline = time.monotonic() + 15
    while not (control := enabled(role, name)):
        if time.monotonic() > deadline:
            sys.exit(f'no enabled {role} "{name}"')
        time.sleep(0.05)
    if role != 'check box' or not control.get_state_set().contains(Atspi.StateType.CHECKED):
        # GTK 4 acts but may answer false: the test checks the grant itself.
        control.do_action(0)

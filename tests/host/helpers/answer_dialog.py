'''Answers a dialog as a person would, through the accessibility bus. Each argument names a
control as ROLE:NAME (GTK names a button "_Share Share", its mnemonic then its label: the name
only ends with NAME); each in turn is awaited, shown and enabled (a button the dialog has not
enabled yet ignores a press), then acted on: a check box only when it is not checked.
  answer_dialog.py "check box:Allow remote interaction" "push button:Share"
'''
import sys
import time

import gi
gi.require_version('Atspi', '2.0')
from gi.repository import Atspi  # noqa: E402


def find(node, role, name, depth=0):
    if node.get_role_name() == role and (node.get_name() or '').endswith(name):
        return node
    for i in range(node.get_child_count() if depth < 25 else 0):
        child = node.get_child_at_index(i)
        if child and (found := find(child, role, name, depth + 1)):
            return found
    return None


Atspi.init()
for argument in sys.argv[1:]:
    role, name = argument.split(':', 1)
    deadline = time.monotonic() + 15
    while not ((control := find(Atspi.get_desktop(0), role, name))
               and control.get_state_set().contains(Atspi.StateType.SENSITIVE)):
        if time.monotonic() > deadline:
            sys.exit(f'no enabled {role} "{name}" within 15 s')
        time.sleep(0.05)
    if role != 'check box' or not control.get_state_set().contains(Atspi.StateType.CHECKED):
        control.do_action(0)  # GTK 4 acts but may answer false: the test checks the grant

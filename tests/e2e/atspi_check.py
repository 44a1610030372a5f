#!/usr/bin/python3
"""Operates the panel as a screen reader user does, through AT-SPI alone.

Usage: atspi_check.py <panel pid> <device>
       atspi_check.py <panel pid> <device> press <name>
       atspi_check.py <panel pid> <device> toggle <name>

Reads the tree (the window's name, the roles and names of the 20 controls, a
port's description), connects through the button's Press action, switches the
side light with the keyboard (Space on the focused box, since the box's Toggle
action would run the whole send, boxes and all, inside the call), and closes
each of the 13 echo boxes through its OK button. Prints what it read; exits
non-zero at the first thing that is not as a user needs it. Every wait is
bounded. With "press <name>", only presses the control of that name, once;
with "toggle <name>", only toggles the check box of that name, once.
"""
import subprocess
import sys
import time

import pyatspi

PANEL_PID, DEVICE = int(sys.argv[1]), sys.argv[2]

# Roles by their constants: their names change between AT-SPI releases
# ("push button" in 2.46, "button" in 2.56).
PUSH_BUTTON, PANEL, RADIO_BUTTON, CHECK_BOX = (pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_PANEL,
                                               pyatspi.ROLE_RADIO_BUTTON, pyatspi.ROLE_CHECK_BOX)
CONTROLS = [  # role, name, in the order of the tree
    (PUSH_BUTTON, "verbinden"),
    (PANEL, "ComPort"),
    *[(RADIO_BUTTON, f"Com{n}") for n in range(1, 7)],
    (PANEL, "Allgemein"),
    (CHECK_BOX, "Standlicht"), (CHECK_BOX, "Abblendlicht"), (CHECK_BOX, "Fernlicht"),
    (PANEL, "Sonderfunktionen"),
    (CHECK_BOX, "Rueckwaerts"), (CHECK_BOX, "Innenraum"),
    (PANEL, "Nebel"),
    (CHECK_BOX, "Nebelschlussleuchte"), (CHECK_BOX, "Nebelscheinwerfer"),
    (PANEL, "Blinker"),
    (CHECK_BOX, "Links"), (CHECK_BOX, "Rechts"), (CHECK_BOX, "Parklicht"), (CHECK_BOX, "Warnblinklicht"),
    (PANEL, "Lichtautomatik"),
    (CHECK_BOX, "Abblendlicht (Lichtautomatik)"), (CHECK_BOX, "Fernlicht (Lichtautomatik)"),
]


def fail(message):
    print(f"atspi: FAIL: {message}")
    sys.exit(1)


def wait_for(what, find, seconds=10.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            found = find()
        except Exception:  # the tree changes under a reader: look again
            found = None
        if found:
            return found
        time.sleep(0.05)
    fail(f"{what} within {seconds:.0f} s")


def children(node):
    return [node.getChildAtIndex(i) for i in range(node.childCount)]


def descendants(node):
    for child in children(node):
        yield child
        yield from descendants(child)


def panel_app():
    for app in children(pyatspi.Registry.getDesktop(0)):
        if app is not None and app.get_process_id() == PANEL_PID:
            return app
    return None


def act(node, action_name):
    actions = node.queryAction()
    for i in range(actions.nActions):
        if actions.getName(i) == action_name:
            if not actions.doAction(i):
                fail(f"{action_name} on {node.name!r} was refused")
            return
    fail(f"{node.name!r} offers no {action_name} action")


app = wait_for("the panel on the accessibility bus", panel_app)
app.setCacheMask(pyatspi.cache.NONE)
window = wait_for("the panel window", lambda: next((w for w in children(app) if w.name == "Lichtsteuerung"), None))
print(f"atspi: window: {window.getRoleName()} {window.name!r}")
if sys.argv[3:4] == ["press"]:
    control = wait_for(f"a control named {sys.argv[4]!r}",
                       lambda: next((node for node in descendants(window) if node.name == sys.argv[4]), None))
    act(control, "Press")
    # Qt presses a button as a click one sees: down at once, clicked 100 ms
    # after the call has returned. Only once it is up has the click come.
    wait_for(f"{control.name!r} to come up", lambda: not control.getState().contains(pyatspi.STATE_PRESSED))
    print(f"atspi: pressed {control.name!r}")
    sys.exit(0)
if sys.argv[3:4] == ["toggle"]:
    control = wait_for(f"a check box named {sys.argv[4]!r}",
                       lambda: next((node for node in descendants(window)
                                     if node.name == sys.argv[4] and node.getRole() == CHECK_BOX), None))
    act(control, "Toggle")
    print(f"atspi: toggled {control.name!r}")
    sys.exit(0)
nodes = list(descendants(window))
if [(node.getRole(), node.name) for node in nodes] != CONTROLS:
    fail(f"the tree reads {[(node.getRoleName(), node.name) for node in nodes]}")
print(f"atspi: {sum(node.getRole() != PANEL for node in nodes)} controls with their roles and names, as expected")

com1 = next(node for node in descendants(window) if node.name == "Com1")
print(f"atspi: Com1 description: {com1.description!r}")
if not com1.description.startswith(DEVICE):
    fail(f"Com1 is described as {com1.description!r}, not as {DEVICE}")

button = next(node for node in descendants(window) if node.name == "verbinden")
act(button, "Press")
wait_for("the button to read trennen", lambda: button.name == "trennen")
side_light = next(node for node in descendants(window) if node.name == "Standlicht")
if not side_light.getState().contains(pyatspi.STATE_ENABLED):
    fail("the side light is still greyed out after connecting")
side_light.queryComponent().grabFocus()
wait_for("the focus on the side light", lambda: side_light.getState().contains(pyatspi.STATE_FOCUSED))
subprocess.run(["xdotool", "key", "space"], check=True)

for n in range(1, 14):
    box = wait_for(f"echo box {n} of 13",
                   lambda: next((w for w in children(app) if w.getRole() == pyatspi.ROLE_ALERT), None))
    text = " ".join(node.name for node in descendants(box) if node.getRole() == pyatspi.ROLE_LABEL and node.name)
    print(f"atspi: box {n}: {box.getRoleName()} {box.name!r}, text {text!r}, description {box.description!r}")
    if not box.description:
        fail(f"echo box {n} ({text!r}) has no description")
    ok = wait_for("its OK button",
                  lambda: next((node for node in descendants(box) if node.getRole() == PUSH_BUTTON), None))
    act(ok, "Press")
    wait_for(f"echo box {n} to close", lambda: box not in children(app))
print("atspi: 13 echo boxes closed through their OK buttons")

#!/usr/bin/python3
"""The real zanti-connect's input through the real xdg-desktop-portal's RemoteDesktop.

    tests/platform/portal/portal_input_test.py --program build/src/app/zanti-connect
                                               --bus-config tests/platform/privatebus.conf

On a private session bus, test_portal_backend.py plays the desktop's side of the portal and
records every call the frontend hands it. Checked: a refused consent leaves the program serving
and silent on the bus; an approved one carries each command as exactly the expected Notify calls;
a session the desktop ends is asked for again by the next command; and what a command still
holds is let go before the session closes when the program is stopped.
"""
import argparse
import sys

from portalrig import PORTAL, SKIP, Checks, Rig, missing_tools, wait_for

READY = r"^Mouse and keyboard input ready: "
UNAVAILABLE = r"^Mouse and keyboard input unavailable: "
HANDSHAKE = [["CreateSession", ""], ["SelectDevices", 3], ["Start"]]
# The frontend closes a refused session itself.
REFUSED = HANDSHAKE + [["Session.Close"]]
BTN_LEFT, BTN_RIGHT = 272, 273
KEY_LEFTCTRL, KEY_C, KEY_PLAYPAUSE = 29, 46, 164


def button(code, *states):
    return [["NotifyPointerButton", code, state] for state in states]


def key(code, *states):
    return [["NotifyKeyboardKeycode", code, state] for state in states]


def keysyms(*symbols):
    return [["NotifyKeyboardKeysym", symbol, state] for symbol in symbols for state in (1, 0)]


def motion(dx, dy):
    return [["NotifyPointerMotion", float(dx), float(dy)]]


def wheel(axis, steps):
    return [["NotifyPointerAxisDiscrete", axis, steps]]


# Pointer commands first, then keys, then text: a text may hold back the keys after it, but
# the pointer may overtake them, so only this order is one sequence.
COMMANDS = [
    (("mouse", {"key": "move_by", "delta_x": "5", "delta_y": "-3"}), motion(5, -3)),
    (("mouse", {"key": "left_button_click"}), button(BTN_LEFT, 1, 0)),
    (("mouse", {"key": "right_button_click"}), button(BTN_RIGHT, 1, 0)),
    # Two clicks in a row: the desktop counts them into a double click.
    (("mouse", {"key": "left_button_double_click"}), button(BTN_LEFT, 1, 0, 1, 0)),
    (("mouse", {"key": "left_button_down"}), button(BTN_LEFT, 1)),
    (("mouse", {"key": "move_by", "delta_x": "10", "delta_y": "0"}), motion(10, 0)),
    (("mouse", {"key": "left_button_up"}), button(BTN_LEFT, 0)),
    # The phone's positive value scrolls up, which Wayland counts negative.
    (("mouse", {"key": "scroll_vertical", "value": "2"}), wheel(0, -2)),
    # Its delta_x counts to the left, and the vertical steps go first.
    (("mouse", {"key": "scroll_by", "delta_x": "3", "delta_y": "-1"}), wheel(0, 1) + wheel(1, -3)),
] + [
    # Back to back, as a finger on the phone sends them: they must reach the desktop in order.
    (("mouse", {"key": "move_by", "delta_x": str(dx), "delta_y": "1"}), motion(dx, 1)) for dx in range(1, 101)
] + [
    # Command+C is Control+C here.
    (("keyboard", {"key": "copy"}), key(KEY_LEFTCTRL, 1) + key(KEY_C, 1, 0) + key(KEY_LEFTCTRL, 0)),
    (("keyboard", {"key": "media_toggle_pause_play"}), key(KEY_PLAYPAUSE, 1, 0)),
    (("keyboard", {"key": "textinput", "value": "Hi!\n"}), keysyms(0x48, 0x69, 0x21, 0xff0d)),
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--bus-config", required=True)
    options = parser.parse_args()
    missing = missing_tools("dbus-daemon", PORTAL)
    if missing:
        print("SKIP: not installed:", ", ".join(missing))
        return SKIP
    check = Checks()
    rig = Rig(options.bus_config)
    try:
        rig.start_portal("deny")

        # Refused: one line says so, the commands are dropped, the servers go on, and the user,
        # who has answered, is not asked again in this run.
        program = rig.start_program(options.program, "--input=portal")
        program.wait_log(UNAVAILABLE)
        wait_for("the refused session to close", lambda: len(rig.calls()) >= len(REFUSED))
        check("the consent is asked for with both device types", rig.calls() == REFUSED, rig.calls())
        for _ in range(3):
            program.send("mouse", key="move_by", delta_x="1", delta_y="1")
            program.send("keyboard", key="enter")
            program.send("keyboard", key="textinput", value="no")
        check("a refused program still answers discovery", program.answers_discovery())
        check("the commands ask nothing and send nothing", rig.calls() == REFUSED, rig.calls())
        check("the refusal is one line", program.log().count("input unavailable:") == 1, program.log())
        check("the program stops cleanly", program.stop() == 0)

        # Approved: every command as the expected Notify calls, in order.
        rig.control.SetMode("approve")
        rig.control.ClearCalls()
        program = rig.start_program(options.program, "--input=portal")
        program.wait_log(READY)
        check("the approved handshake", rig.calls() == HANDSHAKE, rig.calls())
        rig.control.ClearCalls()
        expected = []
        for (request, query), calls in COMMANDS:
            program.send(request, **query)
            expected += calls
        try:
            wait_for("every Notify call", lambda: len(rig.calls()) >= len(expected))
        except AssertionError:
            pass
        got = rig.calls()
        check("the commands as Notify calls, in order", program.answers_discovery() and got == expected,
              ("the same calls in another order" if sorted(got) == sorted(expected) else "")
              + f"\n  got      {got}\n  expected {expected}")

        # The desktop ends the session: one line, the servers go on, and the next command asks
        # again. What comes while the dialog waits is dropped, not sent once the user allows it.
        rig.control.ClearCalls()
        rig.control.SetMode("hold")
        check("the desktop ends the session", rig.control.CloseSession() == 1)
        program.wait_log(UNAVAILABLE)
        check("a program whose session ended still answers discovery", program.answers_discovery())
        program.send("mouse", key="move_by", delta_x="1", delta_y="2")
        wait_for("a new handshake", lambda: len(rig.calls()) >= 3)
        check("the next command asks again", rig.calls() == HANDSHAKE, rig.calls())
        program.send("mouse", key="left_button_click")
        program.send("keyboard", key="textinput", value="early")
        check("a program waiting for the answer still answers discovery", program.answers_discovery())
        program.wait_log("textinput")  # the log is written when the program is idle
        waits = [line for line in program.log().split("\n") if "dropped until the desktop" in line]
        check("the wait is one line", len(waits) == 1, waits)
        check("the dialog is answered", rig.control.Answer(0))
        wait_for("input ready again", lambda: program.log().count("input ready:") == 2)
        check("the end is one line", program.log().count("input unavailable:") == 1, program.log())
        program.send("mouse", key="move_by", delta_x="-4", delta_y="0")
        wait_for("the move on the new session", lambda: len(rig.calls()) > 3)
        check("the new session carries the commands after the answer only", rig.calls()[3:] == motion(-4, 0),
              rig.calls())

        # Stopped while Control (the phone's Command, which waits for a click) and a button are
        # held: both let go before the session closes.
        rig.control.ClearCalls()
        program.send("keyboard", key="alt_mouse_down")
        program.send("mouse", key="left_button_down")
        wait_for("the presses", lambda: len(rig.calls()) >= 2)
        check("the presses", rig.calls() == key(KEY_LEFTCTRL, 1) + button(BTN_LEFT, 1), rig.calls())
        check("SIGTERM ends the program cleanly", program.stop() == 0)
        wait_for("the session to close", lambda: ["Session.Close"] in rig.calls())
        releases = rig.calls()[2:]
        check("held input is let go, then the session closes",
              sorted(releases[:-1]) == sorted(button(BTN_LEFT, 0) + key(KEY_LEFTCTRL, 0))
              and releases[-1] == ["Session.Close"], releases)
    except Exception as error:  # a failed wait or a D-Bus error is a failed test
        check("the run", False, f"{error!r}, the calls: {rig.calls() if rig.control else None}")
    finally:
        if check.failed:
            rig.print_logs()
        rig.close()
    return check.close()


if __name__ == "__main__":
    sys.exit(main())

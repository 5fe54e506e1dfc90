#!/usr/bin/python3
"""The real zanti-connect driving a real Wayland client through the portal.

    tests/platform/portal/mutter_input_test.py --program build/src/app/zanti-connect
                                               --bus-config tests/platform/privatebus.conf

Headless mutter, with wev as its one window, on a private session bus; the real xdg-desktop-portal
with test_portal_backend.py in mutter mode behind it, which plays each portal session on a session
of mutter's own RemoteDesktop. wev reports what arrives: the pointer's motion, the right button,
the wheel's direction, a shortcut with its modifier, and typed text as its characters.
"""
import argparse
import sys

from portalrig import PORTAL, SKIP, Checks, Rig, missing_tools, motion_position, point_into, wait_for

# The ö is not on mutter's US layout: it is left out, not typed as another character.
TEXT = "Hello, Wörld! 42 ~"
TYPED = TEXT.replace("ö", "")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--bus-config", required=True)
    options = parser.parse_args()
    missing = missing_tools("dbus-daemon", PORTAL, "mutter", "wev", "stdbuf")
    if missing:
        print("SKIP: not installed:", ", ".join(missing))
        return SKIP
    check = Checks()
    rig = Rig(options.bus_config)
    program = wev = None
    try:
        rig.start_mutter()
        wev = rig.start_wev()
        wait_for("wev's window", lambda: "activated" in wev.text())
        rig.start_portal("mutter")
        # On the desktop's Wayland display, as on a user's session.
        program = rig.start_program(options.program, "--input=portal", WAYLAND_DISPLAY="wayland-zc")
        program.wait_log(r"^Mouse and keyboard input ready: ")

        def after(mark, interface, event):
            return wev.events(interface, event)[mark:]

        def mark(interface, event):
            return len(wev.events(interface, event))

        try:
            point_into(wev, lambda dx, dy: program.send("mouse", key="move_by", delta_x=str(dx), delta_y=str(dy)),
                       lambda: program.send("keyboard", key="shift"))
            check("the pointer reaches the window", True)
        except AssertionError as error:
            check("the pointer reaches the window", False, f"{error}: {wev.text()[-2000:]}")
        motions = mark("wl_pointer", "motion")
        program.send("mouse", key="move_by", delta_x="7", delta_y="5")
        moved = wait_for("the motion", lambda: after(motions, "wl_pointer", "motion"))
        before = motion_position(wev.events("wl_pointer", "motion")[motions - 1])
        check("move_by moves the pointer by its offset",
              motion_position(moved[-1]) == (before[0] + 7, before[1] + 5), (before, moved))

        buttons = mark("wl_pointer", "button")
        program.send("mouse", key="right_button_click")
        wait_for("the click", lambda: len(after(buttons, "wl_pointer", "button")) >= 2)
        clicked = after(buttons, "wl_pointer", "button")
        check("right_button_click is the right button",
              "273 (right), state: 1" in clicked[0][2] and "273 (right), state: 0" in clicked[1][2], clicked)

        axes = mark("wl_pointer", "axis")
        program.send("mouse", key="scroll_vertical", value="1")
        program.send("mouse", key="scroll_by", delta_x="-1", delta_y="0")
        wait_for("the wheel", lambda: len(after(axes, "wl_pointer", "axis")) >= 2)
        scrolled = after(axes, "wl_pointer", "axis")
        steps = {event[2].split("axis: ")[1].split(",")[0]: float(event[2].split("value: ")[1]) for event in scrolled}
        check("the phone's scroll up is Wayland's negative vertical axis", steps.get("0 (vertical)", 0) < 0, scrolled)
        check("its negative delta_x scrolls right", steps.get("1 (horizontal)", 0) > 0, scrolled)

        keys = mark("wl_keyboard", None)
        program.send("keyboard", key="copy")
        pressed = lambda: [e for e in after(keys, "wl_keyboard", None) if e[1] == "key" or e[1] == "modifiers"]
        wait_for("Control+C", lambda: any("sym: c " in e[3] for e in pressed() if "state: 1" in e[2]))
        shortcut = pressed()
        c_down = next(i for i, e in enumerate(shortcut) if "sym: c " in e[3] and "state: 1" in e[2])
        modifiers = [e for e in shortcut[:c_down] if e[1] == "modifiers"]
        check("copy is C with Control held", modifiers and "Control" in modifiers[-1][3], shortcut)

        keys = mark("wl_keyboard", "key")
        program.send("keyboard", key="textinput", value=TEXT)

        def typed():
            return "".join(e[3].split("utf8: '")[1][:-1] for e in after(keys, "wl_keyboard", "key")
                           if "state: 1" in e[2])
        try:
            wait_for("the text", lambda: len(typed()) >= len(TYPED), timeout=5)
        except AssertionError:
            pass  # what did arrive tells more
        check("typed text arrives as its characters", typed() == TYPED, repr(typed()))
        check("SIGTERM ends the program cleanly", program.stop() == 0)
    except Exception as error:  # a failed wait or a D-Bus error is a failed test
        check("the run", False, repr(error))
    finally:
        if check.failed:
            rig.print_logs()
            if wev:
                print("--- wev\n" + wev.text()[-3000:])
        rig.close()
    return check.close()


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""A real zanti-connect typing and pointing into a headless sway, as a Wayland client sees it.

    tests/platform/wlroots/wlroots_input_test.py --program build/src/app/zanti-connect

Starts sway headless (headless-sway.sh beside this file) with wev as the one window, runs the
program with --headless --input=wlroots, sends it command datagrams over UDP on loopback and reads
what wev reports: pointer motion, the left and right buttons, both wheels, Control+C with Control
in the modifiers, and a text of characters from several scripts, which must arrive exactly; then
sway is replaced by a new one on the same socket, and the same input must reach it.
Skips (exit status 77) when sway or wev is missing.
"""
import argparse
import json
import os
import queue
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from urllib.parse import quote
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
from zctest import APPLICATION_KEY, SKIP, free_port, wait_for  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))






class Observer:
    """wev's report, one event (its first line and the indented lines after it) at a time."""

    def __init__(self, process):
        self.events = queue.Queue()
        self.seen = []
        threading.Thread(target=self._read, args=(process.stdout,), daemon=True).start()

    def _read(self, stream):
        # wev may hold two objects of an interface (a pointer for each capabilities event), each
        # reporting every event: only the first one's count.
        first_object = {}
        event = None
        for raw in stream:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            if line.startswith("["):
                if event is not None:
                    self.events.put(event)
                event = None
                header = re.match(r"\[(\d+):\s*(\w+)\]", line)
                if header and first_object.setdefault(header.group(2), header.group(1)) == header.group(1):
                    event = line
            elif event is not None:
                event += "\n" + line
        if event is not None:
            self.events.put(event)

    def next(self, pattern, timeout=5.0):
        """The first event from now on that matches, skipping the others."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                event = self.events.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                raise AssertionError(f"no event like {pattern!r}; last ones: {self.seen[-6:]}")
            self.seen.append(event)
            match = re.search(pattern, event, re.S)
            if match:
                return match

    def drain(self):
        while not self.events.empty():
            self.seen.append(self.events.get())

    def typed(self, count, timeout=10.0):
        """The utf8 of the next `count` key presses that type something."""
        text = ""
        while len(text) < count:
            match = self.next(r"wl_keyboard\] key: .*state: 1 \(pressed\)\n.*sym: (\S+)\s.*", timeout)
            utf8 = re.search(r"utf8: '(.*)'$", match.group(0), re.S)
            sym = match.group(1)
            if sym == "Return":
                text += "\n"
            elif sym == "Tab":
                text += "\t"
            elif utf8:
                text += utf8.group(1)
        return text


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    options = parser.parse_args()
    if not shutil.which("sway") or not shutil.which("wev"):
        print("SKIP sway or wev is not installed")
        return SKIP
    processes = []
    failures = 0
    checks = 0
    with tempfile.TemporaryDirectory() as scratch:
        log_path = os.path.join(scratch, "log")
        try:
            # sway runs as another user when this runs as root: it has to get through to its
            # directory, and no further.
            os.chmod(scratch, 0o711)
            runtime = os.path.join(scratch, "sway")
            os.makedirs(runtime)

            def start_sway():
                sway = subprocess.Popen([os.path.join(HERE, "headless-sway.sh"), runtime],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                processes.append(sway)
                return sway

            def start_wev():
                wev = subprocess.Popen(["stdbuf", "-oL", "wev"], env=environment,
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
                processes.append(wev)
                observer = Observer(wev)
                observer.next(r"xdg_toplevel\] configure: width: [1-9]")
                return observer

            sway = start_sway()
            display = wait_for("sway's socket", lambda: next(
                (os.path.join(runtime, name) for name in sorted(os.listdir(runtime))
                 if re.fullmatch(r"wayland-\d+", name)), None))
            environment = dict(os.environ, WAYLAND_DISPLAY=display)
            environment.pop("DISPLAY", None)
            observer = start_wev()

            config = os.path.join(scratch, "config")
            os.makedirs(os.path.join(config, "zanti-connect"))
            port = free_port()
            with open(os.path.join(config, "zanti-connect", "morvell.osx.zanticonnectgroup.json"), "w") as f:
                json.dump({"zanticonnect.serverUDPPort": port, "zanticonnect.serverTCPPort": port,
                           "zanticonnect.webServerPort": free_port(),
                           "zanticonnect.autoStartWithSystem": "false"}, f)
            log = open(log_path, "w+")
            program = subprocess.Popen([options.program, "--headless", "--input=wlroots"],
                                       env=dict(environment, XDG_CONFIG_HOME=config, HOME=scratch,
                                                XDG_RUNTIME_DIR=runtime, PATH=os.path.join(scratch, "bin")),
                                       stdout=log, stderr=subprocess.STDOUT)
            processes.append(program)

            def logged(text):
                log.flush()
                with open(log_path) as f:
                    return text in f.read()

            wait_for("the servers", lambda: logged("UDP server listening on port"))
            phone = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            stamp = [int(time.time() * 1000)]

            def send(request):
                stamp[0] += 1
                message = {"appAuthenticationKey": APPLICATION_KEY, "password": "", "sentTime": str(stamp[0]),
                           "request": request}
                phone.sendto(json.dumps(message).encode(), ("127.0.0.1", port))

            def check(name, condition):
                nonlocal failures, checks
                checks += 1
                ok = bool(condition)
                failures += not ok
                print(("PASS " if ok else "FAIL ") + name)

            def step(name, action):
                nonlocal failures, checks
                try:
                    action()
                except AssertionError as error:
                    checks += 1
                    failures += 1
                    print(f"FAIL {name}: {error}")

            def motion():
                position = r"wl_pointer\] (?:enter|motion).*?x, y: ([\d.]+), ([\d.]+)"
                send("/mouse?key=move_by&delta_x=40&delta_y=30")
                match = observer.next(position)
                positions = [(float(match.group(1)), float(match.group(2)))]
                send("/mouse?key=move_by&delta_x=12&delta_y=-7")
                # The first move's events may still be coming: the second is the step of 12, -7.
                try:
                    while (positions[-1][0] - positions[-2][0] if len(positions) > 1 else None,
                           positions[-1][1] - positions[-2][1] if len(positions) > 1 else None) != (12, -7):
                        match = observer.next(position)
                        positions.append((float(match.group(1)), float(match.group(2))))
                    moved = True
                except AssertionError:
                    moved = False
                check(f"move_by 12,-7 moves the pointer by (12, -7): {positions}", moved)
            step("motion", motion)

            def buttons():
                for name, code in (("left", 272), ("right", 273)):
                    send(f"/mouse?key={name}_button_click")
                    down = observer.next(r"wl_pointer\] button: .*button: (\d+).*state: 1")
                    up = observer.next(r"wl_pointer\] button: .*button: (\d+).*state: 0")
                    check(f"{name} click presses and releases button {code}",
                          int(down.group(1)) == code and int(up.group(1)) == code)
            step("buttons", buttons)

            def wheels():
                for request, axis, steps in (("scroll_by&delta_x=0&delta_y=-2", "vertical", 2),
                                             ("scroll_by&delta_x=0&delta_y=1", "vertical", -1),
                                             ("scroll_by&delta_x=-3&delta_y=0", "horizontal", 3),
                                             ("scroll_by&delta_x=1&delta_y=0", "horizontal", -1)):
                    send(f"/mouse?key={request}")
                    match = observer.next(# wev names the axis_discrete event axis_stop.
                        r"wl_pointer\] axis_\w+: axis: \d+ \((\w+)\), discrete: (-?\d+)")
                    value = observer.next(r"wl_pointer\] axis: .*axis: \d+ \((\w+)\), value: (-?[\d.]+)")
                    check(f"{request} scrolls {axis} by {steps} steps: {match.group(1)} {match.group(2)}, "
                          f"value {value.group(2)}",
                          match.group(1) == axis and int(match.group(2)) == steps
                          and float(value.group(2)) == 15.0 * steps)
            step("wheels", wheels)

            def shortcut():
                send("/keyboard?key=copy")
                match = observer.next(r"wl_keyboard\] key: .*state: 1 \(pressed\)\n.*sym: c\s")
                observer.next(r"wl_keyboard\] key: .*state: 0")
                check("copy arrives as c", match)
            # The modifiers event that comes before the press of C says Control.
            def shortcut_modifiers():
                observer.drain()
                send("/keyboard?key=copy")
                modifiers = observer.next(r"wl_keyboard\] modifiers: .*depressed: [0-9a-f]+: ?(.*?)\n")
                press = observer.next(r"wl_keyboard\] key: .*state: 1 \(pressed\)\n.*sym: (\S+)\s")
                check(f"Control is held when C is pressed: {modifiers.group(1)!r}, then {press.group(1)}",
                      "Control" in modifiers.group(1) and press.group(1) == "c")
            step("shortcut", shortcut)
            step("shortcut modifiers", shortcut_modifiers)

            def text():
                observer.drain()
                typed = 'Hé "q" \\ €😀 Жж ok\nend\t.'
                send("/keyboard?key=textinput&value=" + quote(typed))
                arrived = observer.typed(len(typed))
                check(f"the text arrives as itself: {arrived!r}", arrived == typed)
            step("text", text)

            def count_logged(text):
                log.flush()
                with open(log_path) as f:
                    return f.read().count(text)

            def while_stopped(action):
                """Runs action with sway stopped, so that the program's socket fills up, then
                waits until the program has handled every datagram before sway goes on."""
                capped = count_logged("Scroll capped at")
                sway.send_signal(signal.SIGSTOP)
                try:
                    action()
                    # The translator logs this one, whatever the compositor does.
                    send("/mouse?key=scroll_by&delta_x=0&delta_y=-5000")
                    wait_for("the datagrams handled", lambda: count_logged("Scroll capped at") > capped)
                finally:
                    sway.send_signal(signal.SIGCONT)

            def pointer_until_button(code):
                """The pointer's last position before the press of button code."""
                send("/mouse?key=right_button_click" if code == 273 else "/mouse?key=left_button_click")
                position = None
                while True:
                    event = observer.next(r"wl_pointer\] (?:enter|motion|button):", timeout=20).string
                    if re.search(rf"wl_pointer\] button: .*button: {code}.*state: 1", event, re.S):
                        return position
                    found = re.search(r"x, y: ([\d.]+), ([\d.]+)", event)
                    if found:
                        position = (float(found.group(1)), float(found.group(2)))

            def far_moves():
                # Moves made while the socket is full are joined into one: 120 of 100,000 px each
                # way must leave the pointer at the bottom right, not wrap around the protocol's
                # 24-bit integers to the top left.
                observer.drain()
                send("/mouse?key=move_by&delta_x=-5&delta_y=-5")
                start = pointer_until_button(273)

                def moves():
                    # Enough moves to fill the socket, then the far ones.
                    for i in range(2000):
                        send(f"/mouse?key=move_by&delta_x={1 - 2 * (i % 2)}&delta_y=0")
                    for _ in range(120):
                        send("/mouse?key=move_by&delta_x=100000&delta_y=100000")
                while_stopped(moves)
                # The edge is sway's border, off the window: back into it once there.
                observer.next(r"wl_pointer\] leave:", timeout=10)
                send("/mouse?key=move_by&delta_x=-200&delta_y=-200")
                position = r"wl_pointer\] (?:enter|motion):.*?x, y: ([\d.]+), ([\d.]+)"
                while True:
                    match = observer.next(position, timeout=10)
                    end = (float(match.group(1)), float(match.group(2)))
                    if end[0] > start[0] + 100 and end[1] > start[1] + 100:
                        break
                check(f"far moves while the socket is full end at the bottom right: {start} to {end}",
                      True)
            step("far moves while the socket is full", far_moves)

            def clicks_while_full():
                # libwayland ends a connection whose own buffer overflows: the clicks made while
                # the socket is full wait for it, and the click after them still arrives.
                observer.drain()
                while_stopped(lambda: [send("/mouse?key=left_button_click") for _ in range(1000)])
                send("/mouse?key=right_button_click")
                presses = 0
                while int(observer.next(r"wl_pointer\] button: .*button: (\d+).*state: 1",
                                        timeout=20).group(1)) != 273:
                    presses += 1
                check(f"{presses} clicks made while the socket was full arrive, then the next one",
                      presses > 0)
            step("clicks while the socket is full", clicks_while_full)
            check("input never stopped", not logged("Mouse and keyboard input stopped"))

            def compositor_restart():
                # sway goes away and another comes up on the same socket: the program notices
                # the hang-up by itself, the first command after it connects again, and the
                # commands after that reach the new sway.
                nonlocal sway, observer
                sway.send_signal(signal.SIGTERM)
                sway.wait(timeout=10)
                wait_for("the loss logged", lambda: logged("Mouse and keyboard input stopped"))
                wait_for("the old socket gone", lambda: not os.path.exists(display))
                sway = start_sway()
                wait_for("sway's socket again at " + display, lambda: os.path.exists(display))
                observer = start_wev()
                send("/mouse?key=move_by&delta_x=1&delta_y=1")
                wait_for("input ready again",
                         lambda: logged("Mouse and keyboard input ready: wlroots virtual input"))
                motion()
                text()
                check("the loss is logged once, no failed restart",
                      count_logged("Mouse and keyboard input stopped") == 1
                      and not logged("not restarted"))
            step("compositor restart", compositor_restart)
        except AssertionError as error:
            failures += 1
            print(f"FAIL {error}")
        finally:
            for process in reversed(processes):
                if process.poll() is None:
                    process.send_signal(signal.SIGTERM)
                    try:
                        process.wait(timeout=10)
                    except subprocess.TimeoutExpired:
                        process.kill()
            if failures and os.path.exists(log_path):
                print("".join(open(log_path).readlines()[-60:]))
    print(f"{checks - min(failures, checks)} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

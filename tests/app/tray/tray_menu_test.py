#!/usr/bin/python3
"""The desktop shell of a real zanti-connect: its launch alert and its status icon's menu.

    tests/app/tray/tray_menu_test.py --program build/src/app/zanti-connect [--bus-config FILE]

Runs the program under a private Xvfb with a private session bus on which a stand-in
StatusNotifierWatcher (python3-dbusmock) plays the desktop's panel, with VLC out of its PATH:
the "VLC is not installed." dialog must hold the launch until it is answered (found as an X
window, answered with Return through xdotool). Then it reads the exported menu over
com.canonical.dbusmenu, clicks "Stop server", "Start server" and "Quit Zanti" through its Event
method, and checks the servers and the exit status. Needs xvfb, dbus-daemon, python3-dbusmock.
"""
import argparse
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

import dbus
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
from zctest import APPLICATION_KEY, free_port, wait_for  # noqa: E402

WATCHER = "org.kde.StatusNotifierWatcher"
MENU = "com.canonical.dbusmenu"






def discovery_answered(port):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as phone:
        phone.bind(("127.0.0.1", 0))
        phone.settimeout(0.5)
        phone.sendto(json.dumps([{"app_authentication_key": APPLICATION_KEY}]).encode(), ("127.0.0.1", port))
        try:
            return bool(phone.recvfrom(65536)[0])
        except socket.timeout:
            return False


def labels(layout):
    """The top-level entries of a GetLayout reply: a label, or "-" for a separator."""
    entries = []
    for child in layout[2]:
        properties = child[1]
        entries.append("-" if properties.get("type") == "separator" else str(properties.get("label", "")))
    return entries


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--bus-config", required=True)
    options = parser.parse_args()
    processes = []
    failures = 0
    with tempfile.TemporaryDirectory() as scratch:
        try:
            xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            processes.append(xvfb)
            display = ":" + xvfb.stdout.readline().decode().strip()
            bus = subprocess.Popen(["dbus-daemon", "--config-file", options.bus_config, "--print-address=1", "--nofork"],
                                   stdout=subprocess.PIPE)
            processes.append(bus)
            address = bus.stdout.readline().decode().strip()
            environment = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=address, DISPLAY=display)
            environment.pop("WAYLAND_DISPLAY", None)
            watcher = subprocess.Popen([sys.executable, "-m", "dbusmock", WATCHER, "/StatusNotifierWatcher", WATCHER],
                                       env=environment, stdout=subprocess.DEVNULL)
            processes.append(watcher)
            connection = dbus.bus.BusConnection(address)
            wait_for("the stand-in panel", lambda: connection.name_has_owner(WATCHER))
            mock = dbus.Interface(connection.get_object(WATCHER, "/StatusNotifierWatcher"), "org.freedesktop.DBus.Mock")
            mock.AddProperties(WATCHER, {"IsStatusNotifierHostRegistered": True, "ProtocolVersion": dbus.Int32(0),
                                         "RegisteredStatusNotifierItems": dbus.Array([], signature="s")})
            mock.AddMethod(WATCHER, "RegisterStatusNotifierItem", "s", "",
                           f"self.Set('{WATCHER}', 'RegisteredStatusNotifierItems', "
                           f"self.Get('{WATCHER}', 'RegisteredStatusNotifierItems') + [args[0]])")
            mock.AddMethod(WATCHER, "RegisterStatusNotifierHost", "s", "", "")

            config = os.path.join(scratch, "config")
            os.makedirs(os.path.join(config, "zanti-connect"))
            runtime = os.path.join(scratch, "run")
            os.makedirs(runtime, mode=0o700)
            port = free_port()
            with open(os.path.join(config, "zanti-connect", "morvell.osx.zanticonnectgroup.json"), "w") as f:
                json.dump({"zanticonnect.serverUDPPort": port, "zanticonnect.serverTCPPort": port,
                           "zanticonnect.webServerPort": free_port(), "zanticonnect.autoStartWithSystem": "false"}, f)
            log = open(os.path.join(scratch, "log"), "w+")
            no_vlc = os.path.join(scratch, "bin")
            os.makedirs(no_vlc)
            program = subprocess.Popen([options.program],
                                       env=dict(environment, XDG_CONFIG_HOME=config, XDG_RUNTIME_DIR=runtime,
                                                QT_QPA_PLATFORM="xcb", HOME=scratch, PATH=no_vlc,
                                                # libxkbcommon-x11 reads past a string it copies
                                                # with strndup; the sanitizer build's strict
                                                # check stops Qt's X11 start-up there.
                                                ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "")
                                                + ":strict_string_checks=0",
                                                LSAN_OPTIONS="suppressions=" + os.path.join(
                                                    os.path.dirname(os.path.abspath(__file__)),
                                                    "lsan.supp")),
                                       stdout=log, stderr=subprocess.STDOUT)
            processes.append(program)

            def check(name, condition):
                nonlocal failures
                ok = bool(condition)
                failures += not ok
                print(("PASS " if ok else "FAIL ") + name)

            def dialogs():
                found = subprocess.run(["xdotool", "search", "--name", "^Zanti Connect$"], env=environment,
                                       capture_output=True, text=True)
                return found.stdout.split()

            dialog = wait_for("the VLC dialog", dialogs)[0]
            check("no command is served while the alert waits", not discovery_answered(port))
            subprocess.run(["xdotool", "windowfocus", "--sync", dialog, "key", "Return"], env=environment, check=True)
            wait_for("the dialog to close", lambda: not dialogs())

            watcher_properties = dbus.Interface(connection.get_object(WATCHER, "/StatusNotifierWatcher"),
                                                "org.freedesktop.DBus.Properties")
            items = wait_for("the status icon to register",
                             lambda: watcher_properties.Get(WATCHER, "RegisteredStatusNotifierItems"))
            service = str(items[0])
            path = "/StatusNotifierItem"
            if "/" in service:
                service, path = service.split("/", 1)[0], "/" + service.split("/", 1)[1]
            item = dbus.Interface(connection.get_object(service, path), "org.freedesktop.DBus.Properties")
            menu_path = item.Get("org.kde.StatusNotifierItem", "Menu")
            menu = dbus.Interface(connection.get_object(service, menu_path), MENU)

            def layout():
                return menu.GetLayout(0, -1, dbus.Array([], signature="s"))[1]

            def click(title):
                entry = next(child for child in layout()[2] if child[1].get("label") == title)
                menu.Event(entry[0], "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0))

            expected = ["Stop server", "-", "-", "Settings", "-", "Check for updates", "-", "Quit Zanti"]
            wait_for("the servers", lambda: discovery_answered(port))
            wait_for("the menu", lambda: labels(layout()) == expected, timeout=5)
            check("the menu has its eight entries", labels(layout()) == expected)

            click("Stop server")
            wait_for("the first entry to read Start server", lambda: labels(layout())[0] == "Start server")
            check("Stop server stops the servers", not discovery_answered(port))
            click("Start server")
            wait_for("the first entry to read Stop server", lambda: labels(layout())[0] == "Stop server")
            check("Start server starts them again", wait_for("an answer", lambda: discovery_answered(port), 5))

            click("Quit Zanti")
            status = program.wait(timeout=15)
            check("Quit Zanti ends the program with status 0", status == 0)
            log.seek(0)
            check("the dialog was the VLC alert", "VLC is not installed.\n" in log.read())
        except Exception as error:  # a failed wait or a D-Bus error is a failed test
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
            if failures and os.path.exists(os.path.join(scratch, "log")):
                print("".join(open(os.path.join(scratch, "log")).readlines()[-120:]))
    print(f"{6 - min(failures, 6)} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

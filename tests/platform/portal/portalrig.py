"""What the portal tests and the portal benchmark share: a private session bus with the test
backend and the real xdg-desktop-portal behind it, headless mutter with wev as its one window,
and the real zanti-connect fed command datagrams over loopback."""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

import dbus
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
from zctest import APPLICATION_KEY, SKIP, Checks, free_port, missing_tools, wait_for  # noqa: E402,F401

HERE = os.path.dirname(os.path.abspath(__file__))
PORTAL = "/usr/libexec/xdg-desktop-portal"
BACKEND = "org.freedesktop.impl.portal.ZcTest"










class Program:
    """A running zanti-connect, its log, and a phone's socket to it."""

    def __init__(self, process, log_path, port):
        self.process, self.log_path, self.port = process, log_path, port
        self.phone = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.phone.bind(("127.0.0.1", 0))
        self.stamp = int(time.time() * 1000)

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def wait_log(self, pattern, timeout=10.0):
        def found():
            if self.process.poll() is not None:
                raise AssertionError(f"the program ended with {self.process.returncode}")
            return re.search(pattern, self.log(), re.M)
        return wait_for(f"the log line /{pattern}/", found, timeout)

    def send(self, request, **query):
        """One command datagram; `request` is "mouse" or "keyboard" and `query` its items."""
        self.stamp += 1
        path = f"/{request}?" + urllib.parse.urlencode(query, quote_via=urllib.parse.quote)
        message = {"appAuthenticationKey": APPLICATION_KEY, "password": "hunter2",
                   "sentTime": str(self.stamp), "request": path}
        self.phone.sendto(json.dumps(message).encode(), ("127.0.0.1", self.port))

    def answers_discovery(self):
        """True once a discovery reply comes back: every datagram sent before it has been handled."""
        self.phone.settimeout(2)
        self.phone.sendto(json.dumps([{"app_authentication_key": APPLICATION_KEY}]).encode(),
                          ("127.0.0.1", self.port))
        try:
            while True:
                reply = self.phone.recvfrom(65536)[0]
                if b"tcp_server_port" in reply:
                    return True
        except socket.timeout:
            return False

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        return self.process.wait(timeout=10)


class Rig:
    def __init__(self, bus_config):
        self.scratch_dir = tempfile.TemporaryDirectory(prefix="zc-portal-")
        self.scratch = self.scratch_dir.name
        self.processes = []
        self.bus = self.start(["dbus-daemon", "--config-file", bus_config, "--print-address=1", "--nofork"],
                              stdout=subprocess.PIPE)
        address = self.bus.stdout.readline().decode().strip()
        self.runtime = self.folder("run")
        os.chmod(self.runtime, 0o700)
        self.environment = {key: value for key, value in os.environ.items()
                            if key not in ("DISPLAY", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP")}
        self.environment.update(DBUS_SESSION_BUS_ADDRESS=address, XDG_RUNTIME_DIR=self.runtime,
                                HOME=self.scratch, XDG_CONFIG_HOME=self.folder("config"),
                                XDG_DATA_HOME=self.folder("data"), XDG_CACHE_HOME=self.folder("cache"))
        self.connection = dbus.bus.BusConnection(address)
        self.control = None
        self.programs = []

    def folder(self, name):
        path = os.path.join(self.scratch, name)
        os.makedirs(path, exist_ok=True)
        return path

    def start(self, command, **options):
        options.setdefault("stdout", subprocess.DEVNULL)
        process = subprocess.Popen(command, env=options.pop("env", None), **options)
        self.processes.append(process)
        return process

    def start_portal(self, mode):
        """The test backend, then the real frontend, which reads the backend's properties at its start."""
        self.start([sys.executable, os.path.join(HERE, "test_portal_backend.py"), mode], env=self.environment,
                   stderr=open(os.path.join(self.scratch, "backend.log"), "w"))
        wait_for("the test backend", lambda: self.connection.name_has_owner(BACKEND))
        self.control = dbus.Interface(self.connection.get_object(BACKEND, "/org/zanti/Test"),
                                      "org.zanti.Test.PortalBackend")
        self.start([PORTAL], env=dict(self.environment, XDG_CURRENT_DESKTOP="zctest",
                                      XDG_DESKTOP_PORTAL_DIR=os.path.join(HERE, "portals")),
                   stderr=open(os.path.join(self.scratch, "portal.log"), "w"))
        wait_for("the portal", lambda: self.connection.name_has_owner("org.freedesktop.portal.Desktop"))

    def calls(self):
        return json.loads(str(self.control.GetCalls()))

    def start_mutter(self, width=1280, height=720):
        log = open(os.path.join(self.scratch, "mutter.log"), "w")
        self.start(["mutter", "--headless", "--wayland", "--no-x11", "--wayland-display", "wayland-zc",
                    "--virtual-monitor", f"{width}x{height}"], env=self.environment, stdout=log, stderr=log)
        wait_for("mutter's RemoteDesktop", lambda: self.connection.name_has_owner("org.gnome.Mutter.RemoteDesktop"))
        wait_for("mutter's socket", lambda: os.path.exists(os.path.join(self.runtime, "wayland-zc")))

    def start_wev(self):
        """wev, line by line, as the one window: it has the keyboard focus from the start."""
        return Wev(self.start(["stdbuf", "-oL", "wev"], env=dict(self.environment, WAYLAND_DISPLAY="wayland-zc"),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT))

    def start_program(self, program, *arguments, **environment):
        settings = os.path.join(self.environment["XDG_CONFIG_HOME"], "zanti-connect")
        os.makedirs(settings, exist_ok=True)
        port = free_port()
        with open(os.path.join(settings, "morvell.osx.zanticonnectgroup.json"), "w") as f:
            json.dump({"zanticonnect.serverUDPPort": port, "zanticonnect.serverTCPPort": port,
                       "zanticonnect.webServerPort": free_port(), "zanticonnect.autoStartWithSystem": "false",
                       "zanticonnect.checkForUpdatesAtLaunch": "false"}, f)
        log_path = os.path.join(self.scratch, f"program-{len(self.processes)}.log")
        process = self.start([program, "--headless", *arguments], stdout=open(log_path, "w"),
                             stderr=subprocess.STDOUT,
                             # The sanitizer build: Qt's D-Bus keeps a few objects to the process's end.
                             env=dict(self.environment, PATH=self.folder("bin"), LSAN_OPTIONS="suppressions="
                                      + os.path.join(HERE, "..", "..", "app", "tray", "lsan.supp"), **environment))
        program = Program(process, log_path, port)
        self.programs.append(program)
        # The next port up when another process took this one meanwhile.
        program.port = int(program.wait_log(r"^UDP server listening on port (\d+)$")[1])
        return program

    def print_logs(self):
        for path in [program.log_path for program in self.programs] + [
                os.path.join(self.scratch, name) for name in ("backend.log", "portal.log", "mutter.log")]:
            if os.path.exists(path):
                with open(path, errors="replace") as f:
                    print(f"--- {os.path.basename(path)}\n" + f.read()[-3000:])

    def close(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        self.scratch_dir.cleanup()


class Wev:
    """wev's output as events: (object, event name, text after the colon)."""
    LINE = re.compile(r"^\[(\d+):\s*(\w+)\] (\w+): ?(.*)$")

    def __init__(self, process):
        # Each line with the moment it arrived, for the benchmark's latencies.
        self.lines = []
        self.reader = threading.Thread(target=self.read, args=(process.stdout,), daemon=True)
        self.reader.start()

    def read(self, stream):
        for line in stream:
            self.lines.append((time.monotonic(), line.decode(errors="replace")))

    def text(self):
        return "".join(line for _, line in list(self.lines))

    def events(self, interface=None, event=None):
        """wev binds a device again whenever the seat changes, and every binding sees every
        event: with an interface, only its newest binding's events count."""
        found = []
        lines = self.text().split("\n")
        for number, line in enumerate(lines):
            match = self.LINE.match(line)
            if not match or (interface and match[2] != interface) or (event and match[3] != event):
                continue
            # Key events name their symbol and text on the next line.
            detail = lines[number + 1].strip() if number + 1 < len(lines) and lines[number + 1].startswith(" ") else ""
            found.append((int(match[1]), match[3], match[4], detail))
        if interface and found:
            newest = max(event[0] for event in found)
            found = [event for event in found if event[0] == newest]
        return found


def motion_position(event):
    return tuple(float(value) for value in event[2].split("x, y: ")[1].split(", "))


def point_into(wev, move, key):
    """Brings up mutter's virtual devices, which it adds at their first events, and puts the
    pointer on wev's window: to the top-left corner, then along the diagonal until wev reports
    it. `move(dx, dy)` and `key()` send through the route under test. Answers where it is."""
    key()
    wait_for("the keyboard focus", lambda: wev.events("wl_keyboard", "enter"))
    move(-3000, -3000)
    wait_for("a pointer", lambda: "capabilities: pointer keyboard" in wev.text())
    for _ in range(12):
        if wev.events("wl_pointer", "enter"):
            break
        move(100, 100)
        try:
            wait_for("a step", lambda: wev.events("wl_pointer", "enter"), timeout=0.3)
        except AssertionError:
            pass
    wait_for("the pointer on the window", lambda: wev.events("wl_pointer", "enter"), timeout=0.1)
    # Into the window's middle part, where small moves stay inside.
    x, y = motion_position(wait_for("the pointer's place", lambda: wev.events("wl_pointer", "motion"))[-1])
    count = len(wev.events("wl_pointer", "motion"))
    move(int(300 - x), int(240 - y))
    wait_for("the move to the middle", lambda: len(wev.events("wl_pointer", "motion")) > count)
    return motion_position(wev.events("wl_pointer", "motion")[-1])

#!/usr/bin/python3
"""Pointer moves through the RemoteDesktop portal, as a Wayland client sees them.

    bench/portal_latency.py --program build/src/app/zanti-connect [--moves 300] [--burst 200]

Headless mutter with wev as the observing client, the real xdg-desktop-portal and the tests'
backend in mutter mode (tests/platform/portal), on a private session bus. Three routes in the same
run, to the same wev:

1. a `move_by` datagram to the real zanti-connect;
2. a bare D-Bus client with a portal session of its own, calling the portal's NotifyPointerMotion
   one call at a time, each after the previous one's reply, as the program sends: the difference
   to the first row is the program's own share;
3. a bare D-Bus client calling mutter's NotifyPointerMotionRelative itself, the floor any portal
   route stands on: the difference to the second row is the portal's and the tests' backend's.

- latency: one move of 1 pixel at a time, from the send to the moment wev's line for that
  motion reaches this process (the same pipe for every route); median and 99th percentile;
- rate: a burst of moves of 1 pixel sent back to back, to the motion at the burst's end (mutter
  merges the motions of one frame, so only the last one counts);
- CPU: each process's CPU time (all its threads) over the latency moves, per move.
"""
import argparse
import os
import statistics
import sys
import time

import dbus
import dbus.lowlevel
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "platform", "portal"))
from portalrig import Rig, motion_position, point_into, wait_for  # noqa: E402

MUTTER = "org.gnome.Mutter.RemoteDesktop"
DESKTOP = "org.freedesktop.portal.Desktop"
REMOTE_DESKTOP = "org.freedesktop.portal.RemoteDesktop"


def portal_session(address):
    """A connection of its own with a started RemoteDesktop session through the portal, and the
    session's handle: CreateSession, SelectDevices and Start, each answered by a Response signal."""
    connection = dbus.bus.BusConnection(address, mainloop=DBusGMainLoop())
    portal = dbus.Interface(connection.get_object(DESKTOP, "/org/freedesktop/portal/desktop"), REMOTE_DESKTOP)
    sender = connection.get_unique_name()[1:].replace(".", "_")

    def request(method, token, *arguments, **options):
        answers = []
        # Listening before the call: the answer may come before the call returns.
        match = connection.add_signal_receiver(
            lambda response, results: answers.append((response, results)), "Response",
            "org.freedesktop.portal.Request", DESKTOP,
            f"/org/freedesktop/portal/desktop/request/{sender}/{token}")
        getattr(portal, method)(*arguments, dbus.Dictionary(dict(options, handle_token=token), signature="sv"))
        wait_for(f"the answer to {method}", lambda: [GLib.MainContext.default().iteration(False), answers][1])
        match.remove()
        if answers[0][0] != 0:
            raise AssertionError(f"the portal answered {method} with {answers[0][0]}")
        return answers[0][1]
    session = dbus.ObjectPath(request("CreateSession", "bench1", session_handle_token="bench")["session_handle"])
    request("SelectDevices", "bench2", session, types=dbus.UInt32(3))
    request("Start", "bench3", session, "")
    return connection, session


def arrival(wev, since, x, timeout=5.0):
    """When wev's line with a motion to `x` after line `since` arrived."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for moment, line in wev.lines[since:]:
            if "wl_pointer] motion:" in line and motion_position((0, "", line.split("] motion: ")[1]))[0] == x:
                return moment
        time.sleep(0.0002)
    raise AssertionError(f"no motion to x={x} within {timeout} s")


def cpu_seconds(pid):
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except FileNotFoundError:
            pass
    return total / 1e9


def measure(wev, move, moves, burst, processes):
    x = motion_position(wev.events("wl_pointer", "motion")[-1])[0]
    latencies = []
    cpu = {name: cpu_seconds(pid) for name, pid in processes.items()}
    for i in range(moves):
        step = 1 if i % 2 == 0 else -1
        since = len(wev.lines)
        start = time.monotonic()
        move(step)
        latencies.append(arrival(wev, since, x + step) - start)
        x += step
    cpu = {name: (cpu_seconds(pid) - cpu[name]) / moves * 1e6 for name, pid in processes.items()}
    rates = []
    for step in (1, -1, 1, -1):
        since = len(wev.lines)
        start = time.monotonic()
        for _ in range(burst):
            move(step)
        x += step * burst
        rates.append(burst / (arrival(wev, since, x) - start))
    latencies.sort()
    return (statistics.median(latencies) * 1000, latencies[int(len(latencies) * 0.99) - 1] * 1000,
            statistics.median(rates), cpu)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--bus-config", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                                             "tests", "platform", "privatebus.conf"))
    parser.add_argument("--moves", type=int, default=300)
    parser.add_argument("--burst", type=int, default=200)
    options = parser.parse_args()
    rig = Rig(options.bus_config)
    try:
        rig.start_mutter()
        wev = rig.start_wev()
        rig.start_portal("mutter")
        program = rig.start_program(options.program, "--input=portal")
        program.wait_log(r"^Mouse and keyboard input ready: ")

        def started(program_name):
            return next(process.pid for process in rig.processes
                        if any(os.path.basename(argument) == program_name for argument in process.args[:2]))
        processes = {"zanti-connect": program.process.pid, "xdg-desktop-portal": started("xdg-desktop-portal"),
                     "tests' backend": started("test_portal_backend.py"), "mutter": started("mutter"),
                     "dbus-daemon": rig.bus.pid}

        def program_move(dx, dy=0):
            program.send("mouse", key="move_by", delta_x=str(dx), delta_y=str(dy))
        point_into(wev, program_move, lambda: program.send("keyboard", key="shift"))
        portal = measure(wev, program_move, options.moves, options.burst, processes)

        connection, handle = portal_session(rig.environment["DBUS_SESSION_BUS_ADDRESS"])

        def portal_move(dx, dy=0):
            # Awaiting the reply before the next call, as the program does.
            connection.call_blocking(DESKTOP, "/org/freedesktop/portal/desktop", REMOTE_DESKTOP,
                                     "NotifyPointerMotion", "oa{sv}dd", (handle, {}, float(dx), float(dy)))
        portal_move(0, 1)
        bare = measure(wev, portal_move, options.moves, options.burst, processes)

        remote = rig.connection.get_object(MUTTER, "/org/gnome/Mutter/RemoteDesktop")
        session = dbus.Interface(rig.connection.get_object(MUTTER, remote.CreateSession(dbus_interface=MUTTER)),
                                 MUTTER + ".Session")
        session.Start()

        def direct_move(dx, dy=0):
            # Without a reply, as the tests' backend forwards: a burst stays within the bus's
            # limit of replies pending.
            call = dbus.lowlevel.MethodCallMessage(MUTTER, session.object_path, MUTTER + ".Session",
                                                   "NotifyPointerMotionRelative")
            call.append(float(dx), float(dy), signature="dd")
            call.set_no_reply(True)
            rig.connection.send_message(call)
            rig.connection.flush()
        direct_move(0, 1)
        direct = measure(wev, direct_move, options.moves, options.burst, processes)
        session.Stop()
    finally:
        rig.close()
    print(f"{'route':<40} {'median ms':>10} {'p99 ms':>8} {'moves/s':>9}  median/floor")
    routes = (("move_by datagram, portal, mutter, wev", portal), ("NotifyPointerMotion, portal, mutter, wev", bare),
              ("NotifyPointerMotionRelative, mutter, wev", direct))
    for name, (median, p99, rate, _) in routes:
        print(f"{name:<40} {median:>10.2f} {p99:>8.2f} {rate:>9.0f}  {median / direct[0]:.2f}x")
    print("\nCPU per move, µs (the bench's own client not counted)")
    print(f"{'route':<40}" + "".join(f"{name:>20}" for name in processes))
    for name, (_, _, _, cpu) in routes:
        print(f"{name:<40}" + "".join(f"{cpu[process]:>20.0f}" for process in processes))


if __name__ == "__main__":
    sys.exit(main())

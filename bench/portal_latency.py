#!/usr/bin/python3
"""Pointer moves through the RemoteDesktop portal, as a Wayland client sees them.

    bench/portal_latency.py --program build/src/app/zanti-connect [--moves 300] [--burst 200]

Headless mutter with wev as the observing client, the real xdg-desktop-portal and the tests'
backend in mutter mode (tests/platform/portal), on a private session bus. Two routes in the same
run: a `move_by` datagram to the real zanti-connect, and beside it a bare D-Bus client calling
mutter's NotifyPointerMotionRelative itself, the floor any portal route stands on.

- latency: one move of 1 pixel at a time, from the send to the moment wev's line for that
  motion reaches this process (the same pipe for both routes); median and 99th percentile;
- rate: a burst of moves of 1 pixel sent back to back, to the motion at the burst's end (mutter
  merges the motions of one frame, so only the last one counts).
"""
import argparse
import os
import statistics
import sys
import time

import dbus
import dbus.lowlevel

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "platform", "portal"))
from portalrig import Rig, motion_position, point_into  # noqa: E402

MUTTER = "org.gnome.Mutter.RemoteDesktop"


def arrival(wev, since, x, timeout=5.0):
    """When wev's line with a motion to `x` after line `since` arrived."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for moment, line in wev.lines[since:]:
            if "wl_pointer] motion:" in line and motion_position((0, "", line.split("] motion: ")[1]))[0] == x:
                return moment
        time.sleep(0.0002)
    raise AssertionError(f"no motion to x={x} within {timeout} s")


def measure(wev, move, moves, burst):
    x = motion_position(wev.events("wl_pointer", "motion")[-1])[0]
    latencies = []
    for i in range(moves):
        step = 1 if i % 2 == 0 else -1
        since = len(wev.lines)
        start = time.monotonic()
        move(step)
        latencies.append(arrival(wev, since, x + step) - start)
        x += step
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
            statistics.median(rates))


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

        def program_move(dx, dy=0):
            program.send("mouse", key="move_by", delta_x=str(dx), delta_y=str(dy))
        point_into(wev, program_move, lambda: program.send("keyboard", key="shift"))
        portal = measure(wev, program_move, options.moves, options.burst)

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
        direct = measure(wev, direct_move, options.moves, options.burst)
        session.Stop()
    finally:
        rig.close()
    print(f"{'route':<40} {'median ms':>10} {'p99 ms':>8} {'moves/s':>9}")
    for name, (median, p99, rate) in (("move_by datagram, portal, mutter, wev", portal),
                                      ("NotifyPointerMotionRelative, mutter, wev", direct)):
        print(f"{name:<40} {median:>10.2f} {p99:>8.2f} {rate:>9.0f}")


if __name__ == "__main__":
    sys.exit(main())

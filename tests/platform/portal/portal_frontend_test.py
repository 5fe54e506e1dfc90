#!/usr/bin/python3
"""The program's handshake against a stand-in portal frontend, for what the real
xdg-desktop-portal 1.16 never does: answering a request before its method returns, and version 2
with restore tokens.

    tests/platform/portal/portal_frontend_test.py --program build/src/app/zanti-connect --bus-config FILE

Run twice on one settings folder: the first run gets a token, the second must hand it back, and
the token of the second is the one kept. Every request's Response goes out before the reply to
the call that made it.
"""
import argparse
import json
import os
import sys

from portalrig import SKIP, Checks, Rig, missing_tools, wait_for

FRONTEND = r'''
import json, sys, dbus, dbus.service, dbus.lowlevel
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib
DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
name = dbus.service.BusName("org.freedesktop.portal.Desktop", bus)
record = open(sys.argv[1], "a")
tokens = iter(["first-token", "second-token"])
def answer(sender, options, results, ok):
    path = "/org/freedesktop/portal/desktop/request/%s/%s" % (sender[1:].replace(".", "_"),
                                                               options["handle_token"])
    signal = dbus.lowlevel.SignalMessage(path, "org.freedesktop.portal.Request", "Response")
    signal.append(dbus.UInt32(0), dbus.Dictionary(results, signature="sv"), signature="ua{sv}")
    bus.send_message(signal)
    GLib.timeout_add(50, lambda: ok(dbus.ObjectPath(path)) and False)
def note(method, options):
    record.write(json.dumps([method, {k: str(v) for k, v in options.items() if k != "handle_token"}]) + "\n")
    record.flush()
class Portal(dbus.service.Object):
    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {"version": dbus.UInt32(2), "AvailableDeviceTypes": dbus.UInt32(7)}
    @dbus.service.method("org.freedesktop.portal.RemoteDesktop", in_signature="a{sv}", out_signature="o",
                         sender_keyword="sender", async_callbacks=("ok", "error"))
    def CreateSession(self, options, sender, ok, error):
        note("CreateSession", {})
        answer(sender, options, {"session_handle": dbus.ObjectPath("/org/freedesktop/portal/desktop/session/s/1")}, ok)
    @dbus.service.method("org.freedesktop.portal.RemoteDesktop", in_signature="oa{sv}", out_signature="o",
                         sender_keyword="sender", async_callbacks=("ok", "error"))
    def SelectDevices(self, session, options, sender, ok, error):
        note("SelectDevices", options)
        answer(sender, options, {}, ok)
    @dbus.service.method("org.freedesktop.portal.RemoteDesktop", in_signature="osa{sv}", out_signature="o",
                         sender_keyword="sender", async_callbacks=("ok", "error"))
    def Start(self, session, parent, options, sender, ok, error):
        note("Start", {})
        answer(sender, options, {"devices": dbus.UInt32(3), "restore_token": next(tokens)}, ok)
class Session(dbus.service.Object):
    @dbus.service.method("org.freedesktop.portal.Session")
    def Close(self):
        note("Session.Close", {})
Portal(bus, "/org/freedesktop/portal/desktop")
Session(bus, "/org/freedesktop/portal/desktop/session/s/1")
GLib.MainLoop().run()
'''


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--bus-config", required=True)
    options = parser.parse_args()
    if missing_tools("dbus-daemon"):
        return SKIP
    check = Checks()
    rig = Rig(options.bus_config)
    try:
        record = os.path.join(rig.scratch, "calls.jsonl")
        rig.start([sys.executable, "-c", FRONTEND, record], env=rig.environment)
        wait_for("the stand-in portal", lambda: rig.connection.name_has_owner("org.freedesktop.portal.Desktop"))
        for run in (1, 2):
            program = rig.start_program(options.program, "--input=portal")
            program.wait_log(r"^Mouse and keyboard input ready: RemoteDesktop portal$")
            check(f"run {run} stops cleanly", program.stop() == 0, program.log())
        with open(record) as f:
            calls = [json.loads(line) for line in f]
        persist = {"types": "3", "persist_mode": "2"}
        check("answers before replies, and the token handed back on the next run",
              calls == [["CreateSession", {}], ["SelectDevices", persist], ["Start", {}], ["Session.Close", {}],
                        ["CreateSession", {}], ["SelectDevices", dict(persist, restore_token="first-token")],
                        ["Start", {}], ["Session.Close", {}]], calls)
        settings = os.path.join(rig.environment["XDG_CONFIG_HOME"], "zanti-connect")
        kept = [open(os.path.join(settings, name)).read() for name in os.listdir(settings)]
        check("the newest token is kept in the private settings",
              any('"second-token"' in text for text in kept) and not any("first-token" in text for text in kept),
              kept)
        check("no notice of a portal that forgets", "cannot remember" not in program.log(), program.log())
    except AssertionError as failure:
        check("the run", False, failure)
        rig.print_logs()
    finally:
        rig.close()
    return check.close()


if __name__ == "__main__":
    sys.exit(main())

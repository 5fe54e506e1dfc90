#!/usr/bin/python3
"""A RemoteDesktop portal backend for the tests, behind the real xdg-desktop-portal.

    test_portal_backend.py approve|deny|hold|mutter [--bus-name NAME]

It serves org.freedesktop.impl.portal.RemoteDesktop with its Request and Session objects, so
the real frontend hands it every step of a client's consent handshake and every Notify call:

- approve: every request is granted; the calls are recorded with their exact arguments;
- deny: Start answers 1, as when the user cancels the desktop's dialog;
- hold: Start waits until the test answers it, as the desktop's dialog waits for the user;
- mutter: as approve, and each session is also played on a session of mutter's own
  org.gnome.Mutter.RemoteDesktop, so the input reaches real Wayland clients; the Notify calls
  mutter takes are forwarded at once, ahead of dbus-python's method dispatch, and not recorded
  (the benchmark measures this route: a desktop's backend in C costs far less per call).

The test drives it through org.zanti.Test.PortalBackend at /org/zanti/Test: GetCalls (a JSON
list of [method, args...]), CallCount, ClearCalls, SetMode, Answer (for hold), and CloseSession, which ends the
open session from the desktop's side (the impl Session emits Closed).
"""
import argparse
import json
import sys

import dbus
import dbus.lowlevel
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

IMPL = "org.freedesktop.impl.portal.RemoteDesktop"
SESSION = "org.freedesktop.impl.portal.Session"
REQUEST = "org.freedesktop.impl.portal.Request"
CONTROL = "org.zanti.Test.PortalBackend"
PROPERTIES = "org.freedesktop.DBus.Properties"
MUTTER = "org.gnome.Mutter.RemoteDesktop"
KEYBOARD_AND_POINTER = 3


def plain(value):
    """A D-Bus value as JSON can hold it."""
    if isinstance(value, (dbus.Boolean, bool)):
        return bool(value)
    if isinstance(value, (dbus.Double, float)):
        return float(value)
    if isinstance(value, (int, dbus.Byte)):
        return int(value)
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    return str(value)


class Request(dbus.service.Object):
    """Lives while its method is answered; the frontend may close it meanwhile."""

    def __init__(self, backend, path):
        super().__init__(backend.bus, path)
        self.backend = backend

    @dbus.service.method(REQUEST, in_signature="", out_signature="")
    def Close(self):
        self.backend.record("Request.Close", self.__dbus_object_path__)


class Session(dbus.service.Object):
    def __init__(self, backend, path):
        super().__init__(backend.bus, path)
        self.backend = backend
        self.path = path
        self.mutter = None

    def end(self):
        if self.mutter is not None:
            self.mutter.Stop(reply_handler=lambda: None, error_handler=lambda error: None)
            self.mutter = None
        self.remove_from_connection()
        self.backend.sessions.pop(self.path, None)

    @dbus.service.method(SESSION, in_signature="", out_signature="")
    def Close(self):
        self.backend.record("Session.Close")
        self.end()

    @dbus.service.signal(SESSION, signature="")
    def Closed(self):
        pass

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {"version": dbus.UInt32(1)} if interface == SESSION else {}


# The Notify calls mutter takes: its method, and the signature it wants for the portal's
# arguments after the session handle and the options (a state of 0 or 1 becomes a boolean).
FORWARDED = {
    "NotifyPointerMotion": ("NotifyPointerMotionRelative", "dd"),
    "NotifyPointerButton": ("NotifyPointerButton", "ib"),
    "NotifyPointerAxisDiscrete": ("NotifyPointerAxisDiscrete", "ui"),
    "NotifyKeyboardKeycode": ("NotifyKeyboardKeycode", "ub"),
    "NotifyKeyboardKeysym": ("NotifyKeyboardKeysym", "ub"),
}


class Backend(dbus.service.Object):
    def __init__(self, connection, mode):
        super().__init__(connection, "/org/freedesktop/portal/desktop")
        self.bus = connection
        self.mode = mode
        self.calls = []
        self.sessions = {}
        self.pending = None
        Control(self)
        connection.add_message_filter(self.forward)

    def forward(self, connection, message):
        """In mutter mode, a Notify call mutter takes goes straight on to mutter's session."""
        if (self.mode != "mutter" or message.get_type() != dbus.lowlevel.MESSAGE_TYPE_METHOD_CALL
                or message.get_interface() != IMPL):
            return dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED
        forwarded = FORWARDED.get(message.get_member())
        if forwarded is None:
            return dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED
        arguments = message.get_args_list()
        session = self.sessions.get(str(arguments[0]))
        if session is not None and session.mutter is not None:
            # Without waiting, like a desktop's backend, and without a reply: a burst must not
            # run into the bus's limit of replies pending. The calls keep their order.
            call = dbus.lowlevel.MethodCallMessage(MUTTER, session.mutter.object_path, MUTTER + ".Session",
                                                   forwarded[0])
            call.append(signature=forwarded[1], *arguments[2:])
            call.set_no_reply(True)
            connection.send_message(call)
        if not message.get_no_reply():
            connection.send_message(dbus.lowlevel.MethodReturnMessage(message))
        return dbus.lowlevel.HANDLER_RESULT_HANDLED

    def record(self, *call):
        self.calls.append([call[0]] + [plain(argument) for argument in call[1:]])

    def answer(self, handle, method, *arguments):
        """Exports the Request for the time of the answer, as a desktop's backend does."""
        request = Request(self, handle)
        try:
            return method(*arguments)
        finally:
            request.remove_from_connection()

    @dbus.service.method(IMPL, in_signature="oosa{sv}", out_signature="ua{sv}")
    def CreateSession(self, handle, session_handle, app_id, options):
        self.record("CreateSession", app_id)

        def create():
            self.sessions[str(session_handle)] = Session(self, session_handle)
            return dbus.UInt32(0), dbus.Dictionary({}, signature="sv")
        return self.answer(handle, create)

    @dbus.service.method(IMPL, in_signature="oosa{sv}", out_signature="ua{sv}")
    def SelectDevices(self, handle, session_handle, app_id, options):
        self.record("SelectDevices", options.get("types", 0))
        return self.answer(handle, lambda: (dbus.UInt32(0), dbus.Dictionary({}, signature="sv")))

    @dbus.service.method(IMPL, in_signature="oossa{sv}", out_signature="ua{sv}",
                         async_callbacks=("reply", "error"))
    def Start(self, handle, session_handle, app_id, parent_window, options, reply, error):
        self.record("Start")
        request = Request(self, handle)

        def answer(response, results):
            request.remove_from_connection()
            reply(dbus.UInt32(response), dbus.Dictionary(results, signature="sv"))
        session = self.sessions.get(str(session_handle))
        if self.mode == "deny" or session is None:
            return answer(1 if session else 2, {})
        granted = {"devices": dbus.UInt32(KEYBOARD_AND_POINTER)}
        if self.mode == "hold":
            # The user has yet to answer the dialog: the test answers through Answer.
            self.pending = lambda response: answer(response, granted if response == 0 else {})
            return None
        if self.mode != "mutter":
            return answer(0, granted)
        # mutter's own session, started before the client may send its first event.
        mutter = self.bus.get_object(MUTTER, "/org/gnome/Mutter/RemoteDesktop")
        path = mutter.CreateSession(dbus_interface=MUTTER)
        session.mutter = dbus.Interface(self.bus.get_object(MUTTER, path), MUTTER + ".Session")
        session.mutter.Start(reply_handler=lambda: answer(0, granted),
                             error_handler=lambda failure: answer(2, {}))

    def notify(self, session_handle, name, *arguments):
        self.record(name, *arguments)

    @dbus.service.method(IMPL, in_signature="oa{sv}dd", out_signature="")
    def NotifyPointerMotion(self, session_handle, options, dx, dy):
        self.notify(session_handle, "NotifyPointerMotion", dx, dy)

    @dbus.service.method(IMPL, in_signature="oa{sv}udd", out_signature="")
    def NotifyPointerMotionAbsolute(self, session_handle, options, stream, x, y):
        self.notify(session_handle, "NotifyPointerMotionAbsolute", stream, x, y)

    @dbus.service.method(IMPL, in_signature="oa{sv}iu", out_signature="")
    def NotifyPointerButton(self, session_handle, options, button, state):
        self.notify(session_handle, "NotifyPointerButton", button, state)

    @dbus.service.method(IMPL, in_signature="oa{sv}dd", out_signature="")
    def NotifyPointerAxis(self, session_handle, options, dx, dy):
        self.notify(session_handle, "NotifyPointerAxis", dx, dy, options.get("finish", False))

    @dbus.service.method(IMPL, in_signature="oa{sv}ui", out_signature="")
    def NotifyPointerAxisDiscrete(self, session_handle, options, axis, steps):
        self.notify(session_handle, "NotifyPointerAxisDiscrete", axis, steps)

    @dbus.service.method(IMPL, in_signature="oa{sv}iu", out_signature="")
    def NotifyKeyboardKeycode(self, session_handle, options, keycode, state):
        self.notify(session_handle, "NotifyKeyboardKeycode", keycode, state)

    @dbus.service.method(IMPL, in_signature="oa{sv}iu", out_signature="")
    def NotifyKeyboardKeysym(self, session_handle, options, keysym, state):
        self.notify(session_handle, "NotifyKeyboardKeysym", keysym, state)

    @dbus.service.method(IMPL, in_signature="oa{sv}uudd", out_signature="")
    def NotifyTouchDown(self, session_handle, options, stream, slot, x, y):
        self.notify(session_handle, "NotifyTouchDown", stream, slot, x, y)

    @dbus.service.method(IMPL, in_signature="oa{sv}uudd", out_signature="")
    def NotifyTouchMotion(self, session_handle, options, stream, slot, x, y):
        self.notify(session_handle, "NotifyTouchMotion", stream, slot, x, y)

    @dbus.service.method(IMPL, in_signature="oa{sv}u", out_signature="")
    def NotifyTouchUp(self, session_handle, options, slot):
        self.notify(session_handle, "NotifyTouchUp", slot)

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        if interface != IMPL:
            return dbus.Dictionary({}, signature="sv")
        return {"AvailableDeviceTypes": dbus.UInt32(KEYBOARD_AND_POINTER), "version": dbus.UInt32(2)}


class Control(dbus.service.Object):
    def __init__(self, backend):
        super().__init__(backend.bus, "/org/zanti/Test")
        self.backend = backend

    @dbus.service.method(CONTROL, in_signature="", out_signature="s")
    def GetCalls(self):
        return json.dumps(self.backend.calls)

    @dbus.service.method(CONTROL, in_signature="", out_signature="u")
    def CallCount(self):
        return len(self.backend.calls)

    @dbus.service.method(CONTROL, in_signature="", out_signature="")
    def ClearCalls(self):
        self.backend.calls.clear()

    @dbus.service.method(CONTROL, in_signature="s", out_signature="")
    def SetMode(self, mode):
        self.backend.mode = str(mode)

    @dbus.service.method(CONTROL, in_signature="u", out_signature="b")
    def Answer(self, response):
        """Answers a Start held in hold mode; false when none waits."""
        pending, self.backend.pending = self.backend.pending, None
        if pending:
            pending(response)
        return pending is not None

    @dbus.service.method(CONTROL, in_signature="", out_signature="u")
    def CloseSession(self):
        """Ends every open session as the desktop would; answers how many there were."""
        sessions = list(self.backend.sessions.values())
        for session in sessions:
            session.Closed()
            session.end()
        return len(sessions)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["approve", "deny", "hold", "mutter"])
    parser.add_argument("--bus-name", default="org.freedesktop.impl.portal.ZcTest")
    options = parser.parse_args()
    DBusGMainLoop(set_as_default=True)
    connection = dbus.SessionBus()
    Backend(connection, options.mode)
    # Named last, so that whoever waits for the name finds every object in place.
    name = dbus.service.BusName(options.bus_name, connection, do_not_queue=True)
    loop = GLib.MainLoop()
    connection.call_on_disconnection(lambda _connection: loop.quit())
    loop.run()
    del name


if __name__ == "__main__":
    sys.exit(main())

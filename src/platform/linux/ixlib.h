#pragma once

#include "keysyms.h"

#include <QPoint>
#include <QSize>

#include <cstdint>
#include <optional>
#include <vector>

namespace zc {

// The keyboard as the X server maps it, in the keyboard group now in effect.
struct KeyboardMapping
{
    struct Key
    {
        // The keysym a press gives without modifiers, and with Shift (0 when Shift changes
        // nothing).
        Keysym plain = 0;
        Keysym shifted = 0;
        // Whether the key code has any keysym at all, in any group.
        bool bound = false;
    };

    unsigned firstKeycode = 0;
    std::vector<Key> keys;
    bool capsLocked = false;
};

// The raw requests of one X connection, each a thin wrapper of one Xlib call, so that the logic
// above them runs without a display.
class IXlib
{
public:
    virtual ~IXlib() = default;

    // False once the connection is lost (the display server went away); every request is then
    // dropped.
    virtual bool isConnected() const = 0;

    virtual unsigned minKeycode() const = 0;
    virtual unsigned maxKeycode() const = 0;
    // The root window's size as the server last announced it; no round trip.
    virtual QSize rootSize() = 0;
    // A round trip. Absent when the pointer is on another screen.
    virtual std::optional<QPoint> queryPointer() = 0;

    virtual void fakeMotion(QPoint position) = 0;
    virtual void fakeButton(unsigned button, bool down) = 0;
    virtual void fakeKey(unsigned keycode, bool down) = 0;

    // Round trips.
    virtual KeyboardMapping readKeyboardMapping() = 0;
    // Binds the key code to these keysyms; two zeros unbind it. Every client is told.
    virtual void setKeysyms(unsigned keycode, Keysym plain, Keysym shifted) = 0;
    virtual void lockCapsLock(bool locked) = 0;

    // Sends the requests buffered so far.
    virtual void flush() = 0;
};

} // namespace zc

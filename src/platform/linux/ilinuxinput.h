#pragma once

#include "evdevkeys.h"

#include <QPoint>
#include <QSize>
#include <QString>
#include <QStringView>

#include <optional>

namespace zc {

// Synthetic input in Linux terms: Linux key codes, X button numbers (1 left, 3 right, 4 to 7 the
// wheel steps) and coordinates on the whole desktop, origin top-left.
//
// Keys and texts reach the desktop in the order given, but a text may take a while, and the keys
// and texts after it wait. The pointer does not wait for them: moves and buttons may go ahead,
// except a button that needs a modifier key still waiting, which keeps its place behind it (and
// the moves and buttons after it behind the button).
class ILinuxInput
{
public:
    virtual ~ILinuxInput() = default;

    // Absent when the pointer cannot be found. May cost a round trip to the display server.
    virtual std::optional<QPoint> pointerPosition() = 0;
    // The size of the whole desktop; empty when it is not known.
    virtual QSize desktopSize() = 0;

    virtual void movePointer(QPoint position) = 0;
    virtual void button(int button, bool down) = 0;
    virtual void key(EvdevKey key, bool down) = 0;
    // Types the text as itself, on the assumption that no modifier is held: "\n" as Return,
    // "\t" as Tab, and every other character, none of them a control character, as that
    // character. Returns what went wrong, if anything did; the characters that could be typed
    // still are. A text too long to wait for is cut, and the log says so.
    virtual std::optional<QString> typeText(QStringView text) = 0;

    // Releases every key and button still held and undoes any temporary keyboard change.
    virtual void releaseAll() = 0;
};

} // namespace zc

#pragma once

#include "evdevkeys.h"

#include <QPoint>
#include <QSize>
#include <QString>
#include <QStringView>

#include <functional>
#include <optional>

namespace zc {

// What a backend can do. The translator works with what there is: without absolute motion it
// moves by offsets, and without a position query it keeps track of the pointer itself.
struct InputCapabilities
{
    // Moves the pointer to a place on the desktop.
    bool absoluteMotion = false;
    // Moves the pointer by an offset.
    bool relativeMotion = false;
    // Says where the pointer is.
    bool positionQuery = false;
    // Types a character by its keysym when the desktop's layout has it.
    bool keysymTyping = false;
    // Types any character, whatever the layout.
    bool unicodeTyping = false;
};

// Whether input reaches the desktop now.
enum class InputState
{
    Ready,
    // Being set up, for example while the desktop asks the user for permission. Input given in the
    // meantime is dropped.
    Starting,
    Unavailable,
};

// Synthetic input in Linux terms: evdev key and button codes, discrete wheel steps and
// coordinates on the whole desktop, origin top-left.
//
// Keys and texts reach the desktop in the order given, but a text may take a while, and the keys
// and texts after it wait. The pointer does not wait for them: moves and buttons may go ahead,
// except a button that needs a modifier key still waiting, which keeps its place behind it (and
// the moves and buttons after it behind the button).
//
// Everything runs on the main thread, callbacks included.
class ILinuxInput
{
public:
    virtual ~ILinuxInput() = default;

    // How the log and the user name this route ("XTEST", "RemoteDesktop portal").
    virtual QString name() const = 0;
    virtual InputCapabilities capabilities() const = 0;

    virtual InputState state() const = 0;
    // Why input does not reach the desktop; empty while it does.
    virtual QString unavailableReason() const = 0;
    // Called whenever the state changes, at most once per change.
    virtual void setStateHandler(std::function<void()> handler) = 0;
    // Sets the route up again after it was refused or lost: the desktop may ask the user again.
    // The outcome arrives through the state handler. A backend that cannot recover does nothing.
    virtual void restart() = 0;

    // With a position query only. Absent when the pointer cannot be found. May cost a round trip
    // to the display server.
    virtual std::optional<QPoint> pointerPosition() = 0;
    // The size of the whole desktop; empty when it is not known.
    virtual QSize desktopSize() = 0;

    // With absolute motion only.
    virtual void movePointer(QPoint position) = 0;
    // With relative motion only.
    virtual void movePointerBy(QPoint offset) = 0;
    // An evdev button code: BTN_LEFT, BTN_RIGHT, BTN_MIDDLE.
    virtual void button(EvdevKey button, bool down) = 0;
    // Discrete wheel steps, as Wayland counts them: positive vertical scrolls down, positive
    // horizontal to the right. Vertical steps go out before horizontal ones.
    virtual void scroll(int verticalSteps, int horizontalSteps) = 0;
    virtual void key(EvdevKey key, bool down) = 0;
    // Types the text as itself, on the assumption that no modifier is held: "\n" as Return,
    // "\t" as Tab, and every other character, none of them a control character, as that
    // character. Returns what went wrong, if anything did; the characters that could be typed
    // still are, and none is typed as another. A text too long to wait for is cut, and the log
    // says so.
    virtual std::optional<QString> typeText(QStringView text) = 0;

    // Releases every key and button still held and undoes any temporary keyboard change.
    virtual void releaseAll() = 0;
};

} // namespace zc

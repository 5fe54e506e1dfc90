#pragma once

#include "evdevkeys.h"
#include "iinputevents.h"
#include "ilinuxinput.h"
#include "itextinput.h"

#include <QPoint>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace zc {

class ISessionActions;
class Log;

// Turns input in the phone's terms (virtual key codes of a Mac keyboard, flag masks that replace
// the modifiers, click states, line wheels, media keys, a cursor with its origin bottom-left)
// into Linux input, with the shortcuts a Linux desktop uses for what a Mac user means.
// docs/input.md has the tables.
//
// Modifier keys are pressed lazily: a modifier key-down is only remembered, and the Linux
// modifiers are set just before the next key, button or wheel event goes out. So a modifier that
// is about to be replaced never reaches the desktop (a stray Alt tap opens menus), and no
// modifier stays pressed once the command that held it has let go.
class InputTranslator final : public IInputEvents, public ITextInput
{
public:
    // Wheel steps beyond this, per direction and event, are dropped: each step is a button press,
    // and a phone's wheel value is not bounded.
    static constexpr std::int64_t maxScrollSteps = 100;
    // A phone that goes away between a press and its release (the app killed during a drag or
    // while Control is held for clicks) would leave the desktop with a held button or modifier,
    // and the user's own keyboard typing shortcuts. After this long without a command,
    // whatever the commands still hold is let go.
    static constexpr std::chrono::milliseconds heldInputTimeout{30'000};
    // Without absolute motion, one move goes at most this far along each axis; and the place the
    // moves are reckoned from starts over beyond `trackedBound`.
    static constexpr double maxRelativeMove = 100'000;
    static constexpr int trackedBound = 1'000'000'000;

    // A backend that lost its way to the desktop is asked to set it up again on a later command,
    // but not more often than this: setting up may put a question on the user's screen.
    static constexpr std::chrono::milliseconds restartInterval{60'000};
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    InputTranslator(
        std::unique_ptr<ILinuxInput> backend, ISessionActions &session, Log &log,
        std::chrono::milliseconds releaseHeldAfter = heldInputTimeout,
        Clock clock = [] { return std::chrono::steady_clock::now(); });
    ~InputTranslator() override;
    InputTranslator(const InputTranslator &) = delete;
    InputTranslator &operator=(const InputTranslator &) = delete;

    std::optional<PointF> cursorLocation() override;
    std::optional<double> mainScreenHeight() override;
    double doubleClickInterval() override;
    void warpCursor(PointF topLeftPosition) override;
    void postMouseEvent(const MouseEvent &event) override;
    void postScrollEvent(const ScrollEvent &event) override;
    void postKeyEvent(const KeyEvent &event) override;
    void postMediaKeyEvent(const MediaKeyEvent &event) override;
    void releaseAll() override;

    std::optional<QString> typeText(const QString &text) override;
    std::optional<QString> pasteText(const QString &text) override;

    // Why input does not reach the desktop now; empty while it does or is being set up.
    QString unavailableReason() const;

private:
    struct HeldModifier
    {
        std::uint16_t virtualKey;
        // A key, button or wheel event went out while it was held; released unused, it was a tap.
        bool used;
    };
    // What a key-down became: a Linux key, or nothing when a session action took its place.
    using Press = std::optional<EvdevKey>;
    // Pressed keys by what pressed them: a virtual key code, or a media key (mediaSource + type).
    using Source = std::uint32_t;
    static constexpr Source mediaSource = 0x10000;

    void modifierDown(std::uint16_t virtualKey);
    void modifierUp(std::uint16_t virtualKey);
    void keyDown(std::uint16_t virtualKey, std::optional<std::uint64_t> flags);
    void keyUp(Source source);
    void press(Source source, Press key);
    void tap(EvdevKey key);
    void buttonDown(EvdevKey button, std::int64_t clickState);
    void buttonUp(EvdevKey button);
    void moveTo(PointF topLeftPosition, bool skipIfWarpedThere);
    // Moves the pointer there: to the place, or by the offset from where it was sent last.
    void sendMotion(QPoint target);
    std::optional<QPoint> targetOf(PointF position);
    // Whether input can go out now; asks a backend that lost its way to try again, now and then.
    bool deliverable();
    void backendStateChanged();
    std::optional<QString> typeCharacters(const QString &text);

    // Before a key, button or wheel event: everything held so far has been used.
    void beginAction();
    std::vector<EvdevKey> heldLinuxModifiers() const;
    unsigned heldRoles() const;
    // Presses and releases Linux modifier keys until exactly these are down.
    void setModifiers(const std::vector<EvdevKey> &wanted);
    // Once no key is down, lets go of the modifiers that no held modifier key asks for.
    void relaxModifiers();
    // Lets go of every key, modifier and button the commands hold.
    void releaseHeld();
    // After every event: times how long whatever is held has been held without a command.
    void watchHeldInput();
    struct HeldWatch
    {
        explicit HeldWatch(InputTranslator &translator) : m_translator(translator) {}
        ~HeldWatch() { m_translator.watchHeldInput(); }
        HeldWatch(const HeldWatch &) = delete;
        HeldWatch &operator=(const HeldWatch &) = delete;
        InputTranslator &m_translator;
    };

    std::unique_ptr<ILinuxInput> m_backend;
    ISessionActions &m_session;
    Log &m_log;
    std::vector<HeldModifier> m_heldModifiers;
    std::vector<EvdevKey> m_modifiersDown;
    std::map<Source, Press> m_pressed;
    std::set<EvdevKey> m_buttonsDown;
    // Where the last warp put the pointer. It answers the cursor read and makes the moved event
    // that follow a warp within one command redundant, without a round trip; any other event
    // forgets it.
    std::optional<QPoint> m_warpTarget;
    // Without absolute motion, where the pointer would be had nothing but these commands moved
    // it: only the offsets between these places reach the desktop.
    bool m_relative = false;
    QPoint m_tracked;
    InputState m_state = InputState::Ready;
    bool m_sessionLost = false;
    bool m_dropReported = false;
    Clock m_clock;
    std::optional<std::chrono::steady_clock::time_point> m_lastRestart;
    QTimer m_heldTimer;
};

} // namespace zc

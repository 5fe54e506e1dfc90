#pragma once

#include "ilinuxinput.h"
#include "ixlib.h"
#include "waitinginput.h"

#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <vector>

namespace zc {

class Log;

// Synthetic input through the X server's XTEST extension, on one connection of the main thread.
//
// Linux key codes become X key codes by the offset of 8 that every evdev-based X server uses.
// Text is typed character by character: a character of the current layout through its key and
// Shift level, any other by binding a spare (unmapped) key code to the character's keysym, two
// characters to a key code, the second on the Shift level. The bindings outlive the typing for a
// while, because each client looks a key code up only when it handles the press, possibly after
// the next text has been sent; they are undone once typing has paused for `bindingLifetime`, when
// everything is released, and at destruction.
//
// A text that needs more key codes than are free at once is typed in runs: it pauses until a
// binding has settled and goes on from a timer. Until it is done, later keys and texts wait
// behind it, in order. The pointer does not: moves and buttons go out at once, unless a button
// needs a modifier key that is still waiting, in which case it waits for it, and the pointer
// keeps its order behind that button.
class X11Input final : public ILinuxInput
{
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Clock = std::function<TimePoint()>;

    static constexpr std::chrono::milliseconds bindingLifetime{2000};
    // Clients fetch the keymap lazily, when they handle the press that follows a change: one that
    // handles a press after its key code was bound again shows the new character. A binding is
    // only rebound once it has gone untyped this long, ample time for a client that keeps up
    // with the input to have handled its last press.
    static constexpr std::chrono::milliseconds settleTime{50};
    // At 19 spare key codes, two characters each, characters off the layout are typed at about
    // 760 a second: beyond these bounds a phone could keep the keyboard busy for minutes and
    // fill the memory. A text is cut to `maxTextLength` characters, and to what keeps the
    // characters waiting to be typed within `maxWaitingCharacters`.
    static constexpr std::size_t maxTextLength = 10'000;
    static constexpr std::size_t maxWaitingCharacters = 20'000;

    X11Input(
        std::unique_ptr<IXlib> xlib, Log &log,
        Clock clock = [] { return std::chrono::steady_clock::now(); });
    ~X11Input() override;
    X11Input(const X11Input &) = delete;
    X11Input &operator=(const X11Input &) = delete;

    QString name() const override;
    InputCapabilities capabilities() const override;
    InputState state() const override;
    QString unavailableReason() const override;
    void setStateHandler(std::function<void()> handler) override;
    // A lost display stays lost: the program is restarted with the next session.
    void restart() override {}
    std::optional<QPoint> pointerPosition() override;
    QSize desktopSize() override;
    void movePointer(QPoint position) override;
    void movePointerBy(QPoint offset) override;
    void button(EvdevKey button, bool down) override;
    void scroll(int verticalSteps, int horizontalSteps) override;
    void key(EvdevKey key, bool down) override;
    std::optional<QString> typeText(QStringView text) override;
    // Also drops the rest of a text being typed and every operation waiting behind it.
    void releaseAll() override;

private:
    struct Binding
    {
        unsigned keycode;
        TimePoint lastTyped;
    };
    struct Place;
    class Layout;
    bool typing() const { return m_typed < m_text.size(); }
    std::optional<QString> startText(std::vector<char32_t> characters);
    // Types as much of the text as the free key codes allow, then pauses or finishes.
    std::optional<QString> typeAvailable();
    // Binds the characters ahead before any of them is typed; returns where the key codes run
    // out.
    std::size_t bindAhead(Layout &layout, TimePoint now, std::optional<QString> &failure);
    void typeUpTo(std::size_t end, const Layout &layout, bool capsLocked);
    void continueText();
    // False when the operation is dropped: too many wait.
    bool enqueue(WaitingInput::Operation operation);
    void runWaiting();
    void dropWaiting();
    void pointerButton(unsigned button, bool down);
    void sendMotion(QPoint position);
    void sendButton(unsigned button, bool down);
    void sendKey(unsigned keycode, bool down);
    std::set<unsigned> modifiersDown() const;
    // A spare key code, or else the binding typed longest ago once it has settled.
    std::optional<unsigned> freeKeycode(Layout &layout, TimePoint now);
    void claim(unsigned keycode, TimePoint now);
    void markTyped(unsigned keycode, TimePoint now);
    std::chrono::milliseconds untilOldestSettles(TimePoint now) const;
    void restoreBindings();
    // Says once in the log when the display has gone away.
    bool connected();

    std::unique_ptr<IXlib> m_xlib;
    Log &m_log;
    Clock m_clock;
    std::set<unsigned> m_keysDown;
    std::set<unsigned> m_buttonsDown;
    std::set<EvdevKey> m_unmappableKeysReported;
    std::vector<Binding> m_bindings;
    std::vector<char32_t> m_text;
    std::size_t m_typed = 0;
    WaitingInput m_waiting;
    // The modifier keys held once every waiting key has gone out.
    std::set<unsigned> m_modifiersWhenDone;
    bool m_lossReported = false;
    std::function<void()> m_stateHandler;
    QTimer m_restoreTimer;
    QTimer m_continueTimer;
};

} // namespace zc

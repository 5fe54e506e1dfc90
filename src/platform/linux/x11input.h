#pragma once

#include "ilinuxinput.h"
#include "ixlib.h"

#include <QTimer>

#include <chrono>
#include <cstdint>
#include <memory>
#include <set>
#include <vector>

namespace zc {

class Log;

// Synthetic input through the X server's XTEST extension, on one connection of the main thread.
//
// Linux key codes become X key codes by the offset of 8 that every evdev-based X server uses.
// Text is typed character by character: a character of the current layout through its key and
// Shift level, any other by binding a spare (unmapped) key code to the character's keysym. The
// bindings outlive the typing for a while, because each client looks a key code up only when it
// handles the press, possibly after the next text has been sent; they are undone once typing has
// paused for `bindingLifetime`, when everything is released, and at destruction.
class X11Input final : public ILinuxInput
{
public:
    static constexpr std::chrono::milliseconds bindingLifetime{2000};

    X11Input(std::unique_ptr<IXlib> xlib, Log &log);
    ~X11Input() override;
    X11Input(const X11Input &) = delete;
    X11Input &operator=(const X11Input &) = delete;

    std::optional<QPoint> pointerPosition() override;
    QSize desktopSize() override;
    void movePointer(QPoint position) override;
    void button(int button, bool down) override;
    void key(EvdevKey key, bool down) override;
    std::optional<QString> typeText(QStringView text) override;
    void releaseAll() override;

private:
    struct Binding
    {
        unsigned keycode;
        char32_t character;
        std::uint64_t lastUse;
    };
    struct Place;
    class Layout;

    // Binds a spare key code to the character; when every one is taken, the binding used
    // longest ago gives way, one of this text's only if `mayReuseWithinText`.
    std::optional<Place> bindSpareKeycode(char32_t character, Layout &layout,
                                          std::uint64_t firstUseOfText, bool mayReuseWithinText);
    void restoreBindings();
    // Says once in the log when the display has gone away.
    bool connected();

    std::unique_ptr<IXlib> m_xlib;
    Log &m_log;
    std::set<unsigned> m_keysDown;
    std::set<unsigned> m_buttonsDown;
    std::set<EvdevKey> m_unmappableKeysReported;
    std::vector<Binding> m_bindings;
    std::uint64_t m_uses = 0;
    bool m_reuseReported = false;
    bool m_lossReported = false;
    QTimer m_restoreTimer;
};

} // namespace zc

#pragma once

#include "ilinuxinput.h"
#include "waitinginput.h"

#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <vector>

struct wl_registry;
struct wl_seat;
struct zwlr_virtual_pointer_manager_v1;
struct zwlr_virtual_pointer_v1;
struct zwp_virtual_keyboard_manager_v1;
struct zwp_virtual_keyboard_v1;

namespace zc {

class Log;
class VirtualKeymap;
class WaylandConnection;

// Whether the compositor at WAYLAND_DISPLAY offers virtual pointers and keyboards. One round trip.
bool wlrootsInputOffered();
// Input through the virtual pointer and keyboard protocols of a wlroots compositor, or why there
// is none.
std::unique_ptr<ILinuxInput> openWlrootsInput(Log &log, QString &failure);

// A virtual pointer and a virtual keyboard of a wlroots compositor, on a connection of the main
// thread. The keyboard has a keymap of its own (VirtualKeymap): the US layout for the keys, and
// spare keys bound to the characters of the texts, so any character is typed as itself. A
// compositor orders a keyboard's keymaps and keys as they were sent, so a spare key can be bound
// again as soon as its last press has gone out. wlroots takes a virtual keyboard's modifiers only
// from the modifiers request, which follows every key that changes them.
//
// Text goes out at a bounded pace: the compositor passes every key on to the focused client, and
// disconnects a client whose socket fills up. Keys and texts given meanwhile wait behind it; the
// pointer does not, except for a button that needs a modifier key still waiting.
class WlrootsInput final : public ILinuxInput
{
public:
    static constexpr std::size_t maxTextLength = 10'000;
    static constexpr std::size_t maxWaitingCharacters = 20'000;
    // About 2,000 characters a second.
    static constexpr std::size_t charactersPerBurst = 20;
    static constexpr std::chrono::milliseconds burstInterval{10};
    // The farthest the moves joined while the socket is full go, each way.
    static constexpr int maxPendingMotion = 100'000;

    ~WlrootsInput() override;
    WlrootsInput(const WlrootsInput &) = delete;
    WlrootsInput &operator=(const WlrootsInput &) = delete;
    static std::unique_ptr<WlrootsInput> open(Log &log, QString &failure);

    QString name() const override;
    InputCapabilities capabilities() const override;
    InputState state() const override;
    QString unavailableReason() const override;
    void setStateHandler(std::function<void()> handler) override;
    // Connects again, with new devices: a compositor that went away and came back (or another
    // at WAYLAND_DISPLAY) knows nothing of the old ones.
    void restart() override;
    std::optional<QPoint> pointerPosition() override { return std::nullopt; }
    QSize desktopSize() override { return {}; }
    void movePointer(QPoint) override {}
    void movePointerBy(QPoint offset) override;
    void button(EvdevKey button, bool down) override;
    void scroll(int verticalSteps, int horizontalSteps) override;
    void key(EvdevKey key, bool down) override;
    std::optional<QString> typeText(QStringView text) override;
    void releaseAll() override;

private:
    explicit WlrootsInput(Log &log);
    // Connects and makes the devices; on failure what was made is left for dropConnection().
    bool setUp(QString &failure);
    // Frees the connection and its objects, and forgets what they held or queued.
    void dropConnection();
    static void global(void *data, wl_registry *registry, uint32_t name, const char *interface,
                       uint32_t version);
    static void globalRemove(void *data, wl_registry *registry, uint32_t name);
    bool typing() const { return m_typed < m_text.size(); }
    void typeBurst();
    // False when the operation is dropped: too many wait.
    bool enqueue(WaitingInput::Operation operation);
    void runWaiting();
    // Whether requests have to wait: libwayland ends a connection whose own buffer overflows.
    bool socketWaits() const;
    // Runs the operation, or queues it until the socket has taken what waits; false when it is
    // dropped.
    bool whenWritable(std::function<void()> operation);
    // Joins the move to those waiting for the socket, and sends them when it can.
    void moveBy(QPoint offset);
    void dropWaiting();
    bool connected() const;
    void uploadKeymap();
    void sendKey(EvdevKey key, bool down);
    void tap(EvdevKey key);
    void sendModifiers();
    void sendButton(EvdevKey button, bool down);
    void flush();

    std::unique_ptr<WaylandConnection> m_connection;
    Log &m_log;
    std::unique_ptr<VirtualKeymap> m_keymap;
    wl_registry *m_registry = nullptr;
    wl_seat *m_seat = nullptr;
    zwlr_virtual_pointer_manager_v1 *m_pointerManager = nullptr;
    zwp_virtual_keyboard_manager_v1 *m_keyboardManager = nullptr;
    zwlr_virtual_pointer_v1 *m_pointer = nullptr;
    zwp_virtual_keyboard_v1 *m_keyboard = nullptr;
    QPoint m_pendingMotion;
    std::set<EvdevKey> m_keysDown;
    std::set<EvdevKey> m_buttonsDown;
    // The modifier keys held once every waiting key has gone out.
    std::set<EvdevKey> m_modifiersWhenDone;
    // Caps Lock and the like are lifted while a text is typed.
    bool m_locksLifted = false;
    std::vector<char32_t> m_text;
    std::size_t m_typed = 0;
    WaitingInput m_waiting;
    // What was given while the socket was full, in order; the moves before it wait joined in
    // m_pendingMotion.
    WaitingInput m_waitingForSocket;
    std::function<void()> m_stateHandler;
    QTimer m_burstTimer;
    // Why the last restart failed, while there is no connection.
    QString m_failure;
};

} // namespace zc

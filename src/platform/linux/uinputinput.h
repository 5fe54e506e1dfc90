#pragma once

#include "ilinuxinput.h"
#include "waitinginput.h"
#include "xkbkeymap.h"

#include <QByteArrayView>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <vector>

namespace zc {

class Log;

// Whether this user may create input devices through /dev/uinput.
bool uinputWritable();
// Input through a virtual device of the kernel's uinput, or why there is none. Text is typed
// through the keys of the layout /etc/default/keyboard names.
std::unique_ptr<ILinuxInput> openUinputInput(Log &log, QString &failure);

// One input event as the kernel's readers see it.
struct UinputEvent
{
    std::uint16_t type = 0;
    std::uint16_t code = 0;
    std::int32_t value = 0;
    friend bool operator==(const UinputEvent &, const UinputEvent &) = default;
};

// A virtual device of the kernel, seen from the side that writes to it.
class IUinputDevice
{
public:
    virtual ~IUinputDevice() = default;
    // Writes the events and a SYN_REPORT after them: readers take them as happening together.
    // Returns why the write failed, if it did.
    virtual std::optional<QString> write(std::span<const UinputEvent> events) = 0;
};

// Creates a device with relative motion, the wheels, the three buttons and these keys, or says
// why it cannot.
using UinputDeviceOpener = std::function<std::unique_ptr<IUinputDevice>(
    const std::vector<EvdevKey> &keys, QString &failure)>;

// The device of the kernel, through libevdev, under `uinputDeviceName`.
std::unique_ptr<IUinputDevice> openUinputDevice(const std::vector<EvdevKey> &keys,
                                                QString &failure);
inline constexpr char uinputDeviceName[] = "Zanti Connect virtual input";

// The keys the device has: those of the translation tables and every key a layout places a
// character on. The kernel drops the events of any other key.
std::vector<EvdevKey> uinputKeys();

// The layout names of /etc/default/keyboard's text (XKBMODEL="pc105" lines); "us" when it names
// no layout.
XkbKeymap::Names keyboardConfiguration(QByteArrayView text);

// Synthetic input through one virtual mouse and keyboard of the kernel. The desktop treats it
// as a device plugged in: it moves the pointer by offsets and cannot say where the pointer is,
// and its keys mean what the desktop's own layout says. Text is typed through that layout's
// keys, so it has to be the layout the desktop uses; a character the layout has no key for is
// left out.
//
// A long text goes out in runs, `eventsPerRun` events at a time with `runInterval` between
// them, and later keys and texts wait behind it. The pointer does not, except a button or wheel
// that needs a modifier key still waiting.
class UinputInput final : public ILinuxInput
{
public:
    static constexpr std::size_t maxTextLength = 10'000;
    static constexpr std::size_t maxWaitingCharacters = 20'000;
    // Hazard: the kernel keeps 128 events for each reader of a device with these capabilities
    // and drops the rest once the reader falls behind (SYN_DROPPED), and a compositor reads
    // between the frames it draws. Half of that at a time leaves room for a slow reader; at
    // about eight events a character, text goes out at some 800 characters a second.
    static constexpr std::size_t eventsPerRun = 64;
    static constexpr std::chrono::milliseconds runInterval{10};

    // Without a keymap only "\n" and "\t" are typed; keymapFailure says why there is none.
    UinputInput(UinputDeviceOpener opener, std::unique_ptr<XkbKeymap> keymap, QString keymapFailure,
                Log &log);
    ~UinputInput() override;
    UinputInput(const UinputInput &) = delete;
    UinputInput &operator=(const UinputInput &) = delete;

    QString name() const override;
    InputCapabilities capabilities() const override;
    InputState state() const override;
    QString unavailableReason() const override;
    void setStateHandler(std::function<void()> handler) override;
    // Creates the device again after a write failed.
    void restart() override;
    std::optional<QPoint> pointerPosition() override { return std::nullopt; }
    QSize desktopSize() override { return {}; }
    // Not a capability of this backend: does nothing.
    void movePointer(QPoint) override {}
    void movePointerBy(QPoint offset) override;
    void button(EvdevKey button, bool down) override;
    void scroll(int verticalSteps, int horizontalSteps) override;
    void key(EvdevKey key, bool down) override;
    std::optional<QString> typeText(QStringView text) override;
    // Also drops the rest of a text being typed and everything waiting behind it.
    void releaseAll() override;

private:
    bool typing() const { return m_typed < m_text.size(); }
    bool open(QString &failure);
    // Writes one group; on failure the device is given up and the state changes.
    bool send(std::initializer_list<UinputEvent> events);
    bool send(std::span<const UinputEvent> events);
    void sendMotion(QPoint offset);
    void sendKey(EvdevKey key, bool down);
    void sendButton(EvdevKey button, bool down);
    void sendWheel(int verticalSteps, int horizontalSteps);
    void typeRun();
    // False when the operation is dropped: too many wait.
    bool enqueue(WaitingInput::Operation operation);
    void runWaiting();
    void dropWaiting();
    std::set<EvdevKey> modifiersDown() const;
    // Whether a button or wheel event has to wait for the keys before it.
    bool pointerWaits() const;
    void fail(const QString &reason);

    UinputDeviceOpener m_opener;
    std::unique_ptr<IUinputDevice> m_device;
    std::unique_ptr<XkbKeymap> m_keymap;
    QString m_keymapFailure;
    Log &m_log;
    std::vector<EvdevKey> m_keys;
    QString m_failure;
    std::function<void()> m_stateHandler;
    std::set<EvdevKey> m_keysDown;
    std::set<EvdevKey> m_buttonsDown;
    std::set<EvdevKey> m_unknownKeysReported;
    std::vector<KeyStroke> m_text;
    std::size_t m_typed = 0;
    WaitingInput m_waiting;
    // The modifier keys held once every waiting key has gone out.
    std::set<EvdevKey> m_modifiersWhenDone;
    QTimer m_runTimer;
};

} // namespace zc

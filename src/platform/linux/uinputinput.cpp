#include "uinputinput.h"

#include "log.h"

#include <QFile>
#include <QList>

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/input-event-codes.h>
#include <linux/input.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zc {

namespace {

constexpr auto keyboardConfigurationPath = "/etc/default/keyboard";

bool isModifier(EvdevKey key)
{
    switch (key) {
    case KEY_LEFTSHIFT:
    case KEY_RIGHTSHIFT:
    case KEY_LEFTCTRL:
    case KEY_RIGHTCTRL:
    case KEY_LEFTALT:
    case KEY_RIGHTALT:
    case KEY_LEFTMETA:
    case KEY_RIGHTMETA:
        return true;
    default:
        return false;
    }
}

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The events of one keystroke of a text, SYN_REPORTs included.
std::size_t eventCount(const KeyStroke &stroke)
{
    const std::size_t modifiers = stroke.modifiers.size();
    return 4 + (modifiers > 0 ? 2 * (modifiers + 1) : 0);
}

class LibevdevDevice final : public IUinputDevice
{
public:
    static std::unique_ptr<IUinputDevice> create(const std::vector<EvdevKey> &keys,
                                                 QString &failure)
    {
        libevdev *device = libevdev_new();
        if (!device) {
            failure = QStringLiteral("libevdev could not start");
            return nullptr;
        }
        libevdev_set_name(device, uinputDeviceName);
        libevdev_set_id_bustype(device, BUS_VIRTUAL);
        libevdev_enable_event_type(device, EV_REL);
        for (const unsigned axis : std::initializer_list<unsigned>{
                 REL_X, REL_Y, REL_WHEEL, REL_HWHEEL, REL_WHEEL_HI_RES, REL_HWHEEL_HI_RES})
            libevdev_enable_event_code(device, EV_REL, axis, nullptr);
        libevdev_enable_event_type(device, EV_KEY);
        for (const unsigned button :
             std::initializer_list<unsigned>{BTN_LEFT, BTN_RIGHT, BTN_MIDDLE})
            libevdev_enable_event_code(device, EV_KEY, button, nullptr);
        for (const EvdevKey key : keys)
            libevdev_enable_event_code(device, EV_KEY, key, nullptr);
        libevdev_uinput *uinput = nullptr;
        const int result =
            libevdev_uinput_create_from_device(device, LIBEVDEV_UINPUT_OPEN_MANAGED, &uinput);
        libevdev_free(device);
        if (result < 0) {
            failure =
                QStringLiteral("/dev/uinput refused a new device: %1").arg(errorText(-result));
            return nullptr;
        }
        return std::unique_ptr<IUinputDevice>(new LibevdevDevice(uinput));
    }

    ~LibevdevDevice() override { libevdev_uinput_destroy(m_uinput); }
    LibevdevDevice(const LibevdevDevice &) = delete;
    LibevdevDevice &operator=(const LibevdevDevice &) = delete;

    std::optional<QString> write(std::span<const UinputEvent> events) override
    {
        for (const UinputEvent &event : events) {
            if (const int result =
                    libevdev_uinput_write_event(m_uinput, event.type, event.code, event.value);
                result < 0)
                return errorText(-result);
        }
        if (const int result = libevdev_uinput_write_event(m_uinput, EV_SYN, SYN_REPORT, 0);
            result < 0)
            return errorText(-result);
        return std::nullopt;
    }

private:
    explicit LibevdevDevice(libevdev_uinput *uinput) : m_uinput(uinput) {}
    libevdev_uinput *m_uinput;
};

// The code points of a text; an unpaired surrogate is left out.
std::vector<char32_t> codePoints(QStringView text)
{
    std::vector<char32_t> characters;
    characters.reserve(std::size_t(text.size()));
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            characters.push_back(QChar::surrogateToUcs4(c, text[i + 1]));
            ++i;
        } else if (!c.isSurrogate()) {
            characters.push_back(c.unicode());
        }
    }
    return characters;
}

} // namespace

std::unique_ptr<IUinputDevice> openUinputDevice(const std::vector<EvdevKey> &keys, QString &failure)
{
    return LibevdevDevice::create(keys, failure);
}

bool uinputWritable()
{
    return access("/dev/uinput", W_OK) == 0;
}

std::vector<EvdevKey> uinputKeys()
{
    std::vector<EvdevKey> keys;
    // The keys of a PC keyboard, where every XKB layout places its characters; the modifiers
    // and the keys of the desktop's shortcuts are among them.
    for (EvdevKey key = KEY_ESC; key <= KEY_COMPOSE; ++key)
        keys.push_back(key);
    for (std::uint16_t virtualKey = 0; virtualKey < 256; ++virtualKey) {
        if (const std::optional<EvdevKey> key = evdevKeyForVirtualKey(virtualKey))
            keys.push_back(*key);
    }
    for (std::int64_t type = 0; type < 64; ++type) {
        if (const std::optional<EvdevKey> key = evdevKeyForMediaKey(type))
            keys.push_back(*key);
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

XkbKeymap::Names keyboardConfiguration(QByteArrayView text)
{
    XkbKeymap::Names names;
    const QList<QByteArray> lines = text.toByteArray().split('\n');
    for (const QByteArray &whole : lines) {
        const QByteArrayView line = QByteArrayView(whole).trimmed();
        const qsizetype equals = line.indexOf('=');
        if (line.startsWith('#') || equals <= 0)
            continue;
        const QByteArrayView variable = line.first(equals).trimmed();
        QByteArrayView value = line.sliced(equals + 1).trimmed();
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.sliced(1, value.size() - 2);
        const QString decoded = QString::fromUtf8(value);
        if (variable == "XKBMODEL")
            names.model = decoded;
        else if (variable == "XKBLAYOUT")
            names.layout = decoded;
        else if (variable == "XKBVARIANT")
            names.variant = decoded;
        else if (variable == "XKBOPTIONS")
            names.options = decoded;
    }
    if (names.layout.isEmpty()) {
        names.layout = QStringLiteral("us");
        names.variant.clear();
    }
    return names;
}

std::unique_ptr<ILinuxInput> openUinputInput(Log &log, QString &failure)
{
    QFile file(QString::fromLatin1(keyboardConfigurationPath));
    const XkbKeymap::Names names =
        keyboardConfiguration(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray());
    QString keymapFailure;
    std::unique_ptr<XkbKeymap> keymap = XkbKeymap::fromNames(names, keymapFailure);
    if (!keymap && names.layout != u"us") {
        log.line("Keyboard layout of", keyboardConfigurationPath, "not usable:", keymapFailure);
        XkbKeymap::Names us;
        us.layout = QStringLiteral("us");
        keymap = XkbKeymap::fromNames(us, keymapFailure);
    }
    if (keymap)
        log.line("Text typed through uinput with the keyboard layout", keymap->layoutName());
    else
        log.line("Text cannot be typed through uinput:", keymapFailure);
    auto input =
        std::make_unique<UinputInput>(&openUinputDevice, std::move(keymap), keymapFailure, log);
    if (input->state() != InputState::Ready) {
        failure = input->unavailableReason();
        return nullptr;
    }
    return input;
}

UinputInput::UinputInput(UinputDeviceOpener opener, std::unique_ptr<XkbKeymap> keymap,
                         QString keymapFailure, Log &log)
    : m_opener(std::move(opener)), m_keymap(std::move(keymap)),
      m_keymapFailure(std::move(keymapFailure)), m_log(log), m_keys(uinputKeys())
{
    m_runTimer.setSingleShot(true);
    m_runTimer.setTimerType(Qt::PreciseTimer);
    m_runTimer.callOnTimeout([this] {
        typeRun();
        runWaiting();
    });
    QString failure;
    if (!open(failure))
        m_failure = failure;
}

UinputInput::~UinputInput()
{
    // Hazard: the owner is going away too; a write that fails now must not call back into it.
    m_stateHandler = nullptr;
    releaseAll();
}

bool UinputInput::open(QString &failure)
{
    m_device = m_opener(m_keys, failure);
    return m_device != nullptr;
}

QString UinputInput::name() const
{
    return QStringLiteral("uinput");
}

InputCapabilities UinputInput::capabilities() const
{
    return {.absoluteMotion = false,
            .relativeMotion = true,
            .positionQuery = false,
            .keysymTyping = true,
            .unicodeTyping = false};
}

InputState UinputInput::state() const
{
    return m_device ? InputState::Ready : InputState::Unavailable;
}

QString UinputInput::unavailableReason() const
{
    return m_device ? QString() : m_failure;
}

void UinputInput::setStateHandler(std::function<void()> handler)
{
    m_stateHandler = std::move(handler);
}

void UinputInput::restart()
{
    if (m_device)
        return;
    QString failure;
    if (!open(failure)) {
        m_log.line("The uinput device could not be created again:", failure);
        return;
    }
    m_failure.clear();
    if (m_stateHandler)
        m_stateHandler();
}

void UinputInput::fail(const QString &reason)
{
    m_device.reset();
    m_failure = reason;
    m_log.line("Mouse and keyboard input stopped:", reason);
    // The kernel lets go of whatever the device held when it goes.
    m_text.clear();
    m_typed = 0;
    m_runTimer.stop();
    m_keysDown.clear();
    m_buttonsDown.clear();
    dropWaiting();
    if (m_stateHandler)
        m_stateHandler();
}

bool UinputInput::send(std::initializer_list<UinputEvent> events)
{
    return send(std::span<const UinputEvent>(events.begin(), events.size()));
}

bool UinputInput::send(std::span<const UinputEvent> events)
{
    if (!m_device)
        return false;
    if (const std::optional<QString> failure = m_device->write(events)) {
        fail(QStringLiteral("writing to the uinput device failed: %1").arg(*failure));
        return false;
    }
    return true;
}

void UinputInput::movePointerBy(QPoint offset)
{
    if (!m_device)
        return;
    if (m_waiting.pointerWaits()) {
        enqueue({.run = [this, offset] { sendMotion(offset); }, .pointer = true});
        return;
    }
    sendMotion(offset);
}

void UinputInput::sendMotion(QPoint offset)
{
    // The kernel drops an axis that does not move.
    if (offset.x() != 0 && offset.y() != 0)
        send({{EV_REL, REL_X, offset.x()}, {EV_REL, REL_Y, offset.y()}});
    else if (offset.x() != 0)
        send({{EV_REL, REL_X, offset.x()}});
    else if (offset.y() != 0)
        send({{EV_REL, REL_Y, offset.y()}});
}

bool UinputInput::pointerWaits() const
{
    // A click with Control held waits for the Control press that waits behind the text.
    return m_waiting.pointerWaits() || m_modifiersWhenDone != modifiersDown();
}

void UinputInput::button(EvdevKey button, bool down)
{
    if (!m_device || (button != BTN_LEFT && button != BTN_RIGHT && button != BTN_MIDDLE))
        return;
    if (pointerWaits()) {
        enqueue({.run = [this, button, down] { sendButton(button, down); }, .pointer = true});
        return;
    }
    sendButton(button, down);
}

void UinputInput::sendButton(EvdevKey button, bool down)
{
    if (down) {
        m_buttonsDown.insert(button);
    } else if (m_buttonsDown.erase(button) == 0) {
        return;
    }
    send({{EV_KEY, button, down ? 1 : 0}});
}

void UinputInput::scroll(int verticalSteps, int horizontalSteps)
{
    if (!m_device)
        return;
    if (pointerWaits()) {
        enqueue({.run = [this, verticalSteps,
                         horizontalSteps] { sendWheel(verticalSteps, horizontalSteps); },
                 .pointer = true});
        return;
    }
    sendWheel(verticalSteps, horizontalSteps);
}

void UinputInput::sendWheel(int verticalSteps, int horizontalSteps)
{
    // All the notches of an axis in one group, with the high-resolution value that newer readers
    // take instead (120 a notch): a group a notch would overflow the reader's buffer on a long
    // scroll. The kernel's vertical wheel counts up.
    constexpr int notch = 120;
    if (verticalSteps != 0 && !send({{EV_REL, REL_WHEEL, -verticalSteps},
                                     {EV_REL, REL_WHEEL_HI_RES, -verticalSteps * notch}}))
        return;
    if (horizontalSteps != 0)
        send({{EV_REL, REL_HWHEEL, horizontalSteps},
              {EV_REL, REL_HWHEEL_HI_RES, horizontalSteps * notch}});
}

void UinputInput::key(EvdevKey key, bool down)
{
    if (!m_device)
        return;
    if (!std::binary_search(m_keys.cbegin(), m_keys.cend(), key)) {
        if (m_unknownKeysReported.insert(key).second)
            m_log.line("The uinput device has no key for Linux key", key);
        return;
    }
    if (typing()) {
        if (!enqueue({.run = [this, key, down] { sendKey(key, down); }}))
            return;
    } else {
        sendKey(key, down);
    }
    if (isModifier(key)) {
        if (down)
            m_modifiersWhenDone.insert(key);
        else
            m_modifiersWhenDone.erase(key);
    }
}

void UinputInput::sendKey(EvdevKey key, bool down)
{
    if (down) {
        m_keysDown.insert(key);
    } else if (m_keysDown.erase(key) == 0) {
        return;
    }
    send({{EV_KEY, key, down ? 1 : 0}});
}

std::set<EvdevKey> UinputInput::modifiersDown() const
{
    std::set<EvdevKey> modifiers;
    for (const EvdevKey key : m_keysDown) {
        if (isModifier(key))
            modifiers.insert(key);
    }
    return modifiers;
}

std::optional<QString> UinputInput::typeText(QStringView text)
{
    if (!m_device) {
        QString reason = m_failure;
        if (!reason.isEmpty())
            reason[0] = reason[0].toUpper();
        return reason;
    }
    std::vector<char32_t> characters = codePoints(text);
    const std::size_t waiting = (m_text.size() - m_typed) + m_waiting.characters();
    const std::size_t room =
        std::min(maxTextLength, maxWaitingCharacters - std::min(waiting, maxWaitingCharacters));
    if (characters.size() > room) {
        m_log.line("Typing cut short,", characters.size() - room, "characters not typed: at most",
                   maxTextLength, "per text and", maxWaitingCharacters, "waiting");
        characters.resize(room);
    }
    std::vector<KeyStroke> strokes;
    strokes.reserve(characters.size());
    std::size_t dropped = 0;
    const auto hasKey = [this](EvdevKey key) {
        return std::binary_search(m_keys.cbegin(), m_keys.cend(), key);
    };
    for (const char32_t character : characters) {
        std::optional<KeyStroke> stroke;
        if (character == U'\n') {
            stroke = KeyStroke{KEY_ENTER, {}};
        } else if (character == U'\t') {
            stroke = KeyStroke{KEY_TAB, {}};
        } else if (m_keymap) {
            if (const std::optional<Keysym> keysym = m_keymap->keysymFor(character))
                stroke = m_keymap->strokeFor(*keysym);
        }
        if (stroke && hasKey(stroke->key) &&
            std::all_of(stroke->modifiers.cbegin(), stroke->modifiers.cend(), hasKey)) {
            strokes.push_back(std::move(*stroke));
        } else {
            ++dropped;
        }
    }
    std::optional<QString> failure;
    // Not the characters themselves: typed text may be a password.
    if (dropped > 0 && m_keymap)
        failure = QStringLiteral("%1 characters not typed: the keyboard layout %2 has no key for "
                                 "them")
                      .arg(dropped)
                      .arg(m_keymap->layoutName());
    else if (dropped > 0)
        failure = QStringLiteral("%1 characters not typed: %2").arg(dropped).arg(m_keymapFailure);
    if (strokes.empty())
        return failure;
    if (typing()) {
        const std::size_t count = strokes.size();
        enqueue({.run =
                     [this, strokes = std::move(strokes)]() mutable {
                         m_text = std::move(strokes);
                         m_typed = 0;
                         typeRun();
                     },
                 .characters = count});
        return failure;
    }
    m_text = std::move(strokes);
    m_typed = 0;
    typeRun();
    return failure;
}

void UinputInput::typeRun()
{
    std::size_t events = 0;
    while (typing()) {
        const KeyStroke stroke = m_text[m_typed];
        const std::size_t count = eventCount(stroke);
        if (events > 0 && events + count > eventsPerRun)
            break;
        events += count;
        ++m_typed;
        std::vector<UinputEvent> modifiers;
        for (const EvdevKey modifier : stroke.modifiers)
            modifiers.push_back({EV_KEY, modifier, 1});
        if (!modifiers.empty() && !send(modifiers))
            return;
        if (!send({{EV_KEY, stroke.key, 1}}) || !send({{EV_KEY, stroke.key, 0}}))
            return;
        if (!modifiers.empty()) {
            std::reverse(modifiers.begin(), modifiers.end());
            for (UinputEvent &modifier : modifiers)
                modifier.value = 0;
            if (!send(modifiers))
                return;
        }
    }
    if (typing()) {
        m_runTimer.start(runInterval);
        return;
    }
    m_text.clear();
    m_typed = 0;
}

bool UinputInput::enqueue(WaitingInput::Operation operation)
{
    return m_waiting.push(std::move(operation), m_log);
}

void UinputInput::runWaiting()
{
    m_waiting.run([this] { return typing(); });
}

void UinputInput::dropWaiting()
{
    m_waiting.clear();
    m_modifiersWhenDone = modifiersDown();
}

void UinputInput::releaseAll()
{
    if (typing())
        m_log.line("Typing stopped,", m_text.size() - m_typed + m_waiting.characters(),
                   "characters not typed");
    m_text.clear();
    m_typed = 0;
    m_runTimer.stop();
    const std::set<EvdevKey> keys = std::exchange(m_keysDown, {});
    for (const EvdevKey key : keys)
        send({{EV_KEY, key, 0}});
    dropWaiting();
    const std::set<EvdevKey> buttons = std::exchange(m_buttonsDown, {});
    for (const EvdevKey button : buttons)
        send({{EV_KEY, button, 0}});
}

} // namespace zc

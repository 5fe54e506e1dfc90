#include "wlrootsinput.h"

#include "log.h"
#include "virtualkeymap.h"
#include "waylandconnection.h"

#include <virtual-keyboard-unstable-v1-client-protocol.h>
#include <wayland-client.h>
#include <wlr-virtual-pointer-unstable-v1-client-protocol.h>

#include <fcntl.h>
#include <linux/input-event-codes.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

namespace zc {

namespace {

// A wheel's step, in the units a wl_pointer.axis event counts.
constexpr int axisValuePerStep = 15;

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

// Milliseconds of the monotonic clock, which the compositor's own devices count in too.
uint32_t now()
{
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return uint32_t(uint64_t(time.tv_sec) * 1000 + uint64_t(time.tv_nsec) / 1'000'000);
}

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

struct Globals
{
    bool pointer = false;
    bool keyboard = false;
};

void noteGlobal(void *data, wl_registry *, uint32_t, const char *interface, uint32_t)
{
    auto *globals = static_cast<Globals *>(data);
    if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0)
        globals->pointer = true;
    else if (std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0)
        globals->keyboard = true;
}
void ignoreRemoval(void *, wl_registry *, uint32_t) {}
constexpr wl_registry_listener globalsListener{noteGlobal, ignoreRemoval};

} // namespace

bool wlrootsInputOffered()
{
    wl_display *display = wl_display_connect(nullptr);
    if (!display)
        return false;
    Globals globals;
    wl_registry *registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &globalsListener, &globals);
    const bool answered = wl_display_roundtrip(display) >= 0;
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return answered && globals.pointer && globals.keyboard;
}

std::unique_ptr<ILinuxInput> openWlrootsInput(Log &log, QString &failure)
{
    return WlrootsInput::open(log, failure);
}

std::unique_ptr<WlrootsInput> WlrootsInput::open(Log &log, QString &failure)
{
    std::unique_ptr<WlrootsInput> input(new WlrootsInput(log));
    if (!input->setUp(failure))
        return nullptr;
    return input;
}

WlrootsInput::WlrootsInput(Log &log) : m_log(log)
{
    m_burstTimer.setSingleShot(true);
    m_burstTimer.setTimerType(Qt::PreciseTimer);
    // What waits behind the text runs from here, not from the burst that ends the text: the
    // waiting texts would each nest a call deeper, thousands of them.
    m_burstTimer.callOnTimeout([this] {
        typeBurst();
        runWaiting();
    });
}

void WlrootsInput::global(void *data, wl_registry *registry, uint32_t name, const char *interface,
                          uint32_t)
{
    auto *self = static_cast<WlrootsInput *>(data);
    if (std::strcmp(interface, wl_seat_interface.name) == 0 && !self->m_seat) {
        self->m_seat =
            static_cast<wl_seat *>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    } else if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0) {
        self->m_pointerManager = static_cast<zwlr_virtual_pointer_manager_v1 *>(
            wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
    } else if (std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
        self->m_keyboardManager = static_cast<zwp_virtual_keyboard_manager_v1 *>(
            wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
    }
}

void WlrootsInput::globalRemove(void *, wl_registry *, uint32_t) {}

bool WlrootsInput::setUp(QString &failure)
{
    m_connection = WaylandConnection::open(failure);
    if (!m_connection)
        return false;
    // A new keyboard starts with no key held and no character bound.
    m_keymap = VirtualKeymap::create(failure);
    if (!m_keymap)
        return false;
    static constexpr wl_registry_listener listener{global, globalRemove};
    m_registry = wl_display_get_registry(m_connection->display());
    wl_registry_add_listener(m_registry, &listener, this);
    if (!m_connection->roundtrip()) {
        failure = m_connection->failure();
        return false;
    }
    if (!m_pointerManager || !m_keyboardManager) {
        failure = QStringLiteral("the Wayland compositor offers no virtual pointer and keyboard "
                                 "(zwlr_virtual_pointer_manager_v1, "
                                 "zwp_virtual_keyboard_manager_v1)");
        return false;
    }
    if (!m_seat) {
        failure = QStringLiteral("the Wayland compositor offers no seat");
        return false;
    }
    m_pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(m_pointerManager, m_seat);
    m_keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(m_keyboardManager, m_seat);
    uploadKeymap();
    // A compositor that refuses virtual keyboards to this client says so now.
    if (!m_connection->roundtrip()) {
        failure = m_connection->failure();
        return false;
    }
    // Only now: a connection that fails while it is set up was never up, and is not "stopped".
    m_connection->setDrainedHandler([this] {
        // In the order they were made: the joined moves came before anything that waits for the
        // socket (later moves wait in turn), and that before anything behind the text.
        moveBy({});
        m_waitingForSocket.run([this] { return m_connection->congested() || !connected(); });
        runWaiting();
    });
    m_connection->setFailureHandler([this] {
        m_log.line("Mouse and keyboard input stopped:", m_connection->failure());
        m_burstTimer.stop();
        m_text.clear();
        m_typed = 0;
        dropWaiting();
        if (m_stateHandler)
            m_stateHandler();
    });
    return true;
}

namespace {

// Hazard: on a failed connection libwayland may be asked for nothing but to free its objects
// and to disconnect; a destroy request is for a live one only.
template <typename Object>
void destroyProxy(Object *&object, void (*destroyRequest)(Object *), bool live)
{
    if (!object)
        return;
    if (live)
        destroyRequest(object);
    else
        wl_proxy_destroy(reinterpret_cast<wl_proxy *>(object));
    object = nullptr;
}

} // namespace

void WlrootsInput::dropConnection()
{
    m_burstTimer.stop();
    m_text.clear();
    m_typed = 0;
    m_waiting.clear();
    m_waitingForSocket.clear();
    m_keysDown.clear();
    m_buttonsDown.clear();
    m_modifiersWhenDone.clear();
    m_locksLifted = false;
    m_pendingMotion = {};
    if (!m_connection)
        return;
    m_connection->setFailureHandler({});
    m_connection->setDrainedHandler({});
    const bool live = connected();
    destroyProxy(m_keyboard, zwp_virtual_keyboard_v1_destroy, live);
    destroyProxy(m_pointer, zwlr_virtual_pointer_v1_destroy, live);
    destroyProxy(m_keyboardManager, zwp_virtual_keyboard_manager_v1_destroy, live);
    destroyProxy(m_pointerManager, zwlr_virtual_pointer_manager_v1_destroy, live);
    destroyProxy(m_seat, wl_seat_destroy, live);
    destroyProxy(m_registry, wl_registry_destroy, live);
    // The devices' end goes out before the connection closes.
    if (live)
        wl_display_flush(m_connection->display());
    m_connection.reset();
}

WlrootsInput::~WlrootsInput()
{
    if (m_connection)
        m_connection->setFailureHandler({});
    releaseAll();
    dropConnection();
}

void WlrootsInput::restart()
{
    if (connected())
        return;
    // Hazard: this destroys the connection, so it must not run from inside one of its handlers;
    // the translator calls it from a command, and takes the state change in afterwards.
    dropConnection();
    QString failure;
    if (!setUp(failure)) {
        dropConnection();
        if (std::exchange(m_failure, failure) != failure)
            m_log.line("Mouse and keyboard input not restarted:", failure);
        return;
    }
    m_failure.clear();
    if (m_stateHandler)
        m_stateHandler();
}

QString WlrootsInput::name() const
{
    return QStringLiteral("wlroots virtual input");
}

InputCapabilities WlrootsInput::capabilities() const
{
    return {.absoluteMotion = false,
            .relativeMotion = true,
            .positionQuery = false,
            .keysymTyping = false,
            .unicodeTyping = true};
}

bool WlrootsInput::connected() const
{
    return m_connection && !m_connection->failed();
}

InputState WlrootsInput::state() const
{
    return connected() ? InputState::Ready : InputState::Unavailable;
}

QString WlrootsInput::unavailableReason() const
{
    if (connected())
        return {};
    return m_connection ? m_connection->failure() : m_failure;
}

void WlrootsInput::setStateHandler(std::function<void()> handler)
{
    m_stateHandler = std::move(handler);
}

void WlrootsInput::flush()
{
    if (m_connection)
        m_connection->flush();
}

bool WlrootsInput::socketWaits() const
{
    return (m_connection && m_connection->congested()) || !m_waitingForSocket.empty();
}

bool WlrootsInput::whenWritable(std::function<void()> operation)
{
    if (!socketWaits()) {
        operation();
        return true;
    }
    return m_waitingForSocket.push({.run = std::move(operation)}, m_log, "for the compositor");
}

void WlrootsInput::moveBy(QPoint offset)
{
    // Moves made while the socket is full go out as one. Hazard: the protocol's numbers
    // carry 24 bits of integer, which a long wait's sum would overflow; the pointer stops
    // at the desktop's edge long before the bound.
    const auto sum = [](int pending, int more) {
        return int(std::clamp<std::int64_t>(std::int64_t(pending) + more, -maxPendingMotion,
                                            maxPendingMotion));
    };
    m_pendingMotion =
        QPoint(sum(m_pendingMotion.x(), offset.x()), sum(m_pendingMotion.y(), offset.y()));
    if (m_connection->congested() || m_pendingMotion.isNull())
        return;
    const QPoint motion = std::exchange(m_pendingMotion, QPoint());
    zwlr_virtual_pointer_v1_motion(m_pointer, now(), wl_fixed_from_int(motion.x()),
                                   wl_fixed_from_int(motion.y()));
    zwlr_virtual_pointer_v1_frame(m_pointer);
    flush();
}

void WlrootsInput::movePointerBy(QPoint offset)
{
    if (!connected())
        return;
    // Behind a button that waits, so that a drag keeps its shape.
    if (m_waiting.pointerWaits())
        enqueue({.run = [this, offset] { moveBy(offset); }, .pointer = true});
    else if (m_waitingForSocket.empty())
        moveBy(offset);
    else
        whenWritable([this, offset] { moveBy(offset); });
}

void WlrootsInput::button(EvdevKey button, bool down)
{
    if (!connected())
        return;
    // A click with Control held waits for the Control press that waits behind the text.
    std::set<EvdevKey> modifiersNow;
    for (const EvdevKey key : m_keysDown) {
        if (isModifier(key))
            modifiersNow.insert(key);
    }
    if (m_waiting.pointerWaits() || m_modifiersWhenDone != modifiersNow) {
        enqueue({.run = [this, button, down] { sendButton(button, down); }, .pointer = true});
        return;
    }
    whenWritable([this, button, down] { sendButton(button, down); });
}

void WlrootsInput::sendButton(EvdevKey button, bool down)
{
    if (down) {
        m_buttonsDown.insert(button);
    } else if (m_buttonsDown.erase(button) == 0) {
        return;
    }
    zwlr_virtual_pointer_v1_button(m_pointer, now(), button,
                                   down ? WL_POINTER_BUTTON_STATE_PRESSED
                                        : WL_POINTER_BUTTON_STATE_RELEASED);
    zwlr_virtual_pointer_v1_frame(m_pointer);
    flush();
}

void WlrootsInput::scroll(int verticalSteps, int horizontalSteps)
{
    if (!connected())
        return;
    const auto run = [this, verticalSteps, horizontalSteps] {
        const std::pair<uint32_t, int> axes[] = {
            {WL_POINTER_AXIS_VERTICAL_SCROLL, verticalSteps},
            {WL_POINTER_AXIS_HORIZONTAL_SCROLL, horizontalSteps}};
        for (const auto &[axis, steps] : axes) {
            if (steps == 0)
                continue;
            zwlr_virtual_pointer_v1_axis_source(m_pointer, WL_POINTER_AXIS_SOURCE_WHEEL);
            zwlr_virtual_pointer_v1_axis_discrete(
                m_pointer, now(), axis, wl_fixed_from_int(steps * axisValuePerStep), steps);
            zwlr_virtual_pointer_v1_frame(m_pointer);
        }
        flush();
    };
    if (m_waiting.pointerWaits())
        enqueue({.run = run, .pointer = true});
    else
        whenWritable(run);
}

void WlrootsInput::key(EvdevKey key, bool down)
{
    if (!connected())
        return;
    if (typing() || !m_waiting.empty()) {
        if (!enqueue({.run = [this, key, down] {
                sendKey(key, down);
                flush();
            }}))
            return;
    } else if (!whenWritable([this, key, down] {
                   sendKey(key, down);
                   flush();
               })) {
        return;
    }
    if (isModifier(key)) {
        if (down)
            m_modifiersWhenDone.insert(key);
        else
            m_modifiersWhenDone.erase(key);
    }
}

void WlrootsInput::sendKey(EvdevKey key, bool down)
{
    if (down) {
        m_keysDown.insert(key);
    } else if (m_keysDown.erase(key) == 0) {
        return;
    }
    zwp_virtual_keyboard_v1_key(m_keyboard, now(), key,
                                down ? WL_KEYBOARD_KEY_STATE_PRESSED
                                     : WL_KEYBOARD_KEY_STATE_RELEASED);
    if (m_keymap->updateKey(key, down))
        sendModifiers();
}

void WlrootsInput::tap(EvdevKey key)
{
    const uint32_t time = now();
    zwp_virtual_keyboard_v1_key(m_keyboard, time, key, WL_KEYBOARD_KEY_STATE_PRESSED);
    zwp_virtual_keyboard_v1_key(m_keyboard, time, key, WL_KEYBOARD_KEY_STATE_RELEASED);
}

void WlrootsInput::sendModifiers()
{
    VirtualKeymap::Modifiers modifiers = m_keymap->modifiers();
    if (m_locksLifted)
        modifiers.locked = 0;
    zwp_virtual_keyboard_v1_modifiers(m_keyboard, modifiers.depressed, modifiers.latched,
                                      modifiers.locked, modifiers.group);
}

void WlrootsInput::uploadKeymap()
{
    const QByteArray text = m_keymap->text();
    const int fd = memfd_create("zanti-connect-keymap", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) {
        m_log.line("Keymap not sent to the compositor: memfd_create failed");
        return;
    }
    // The compositor maps the file; it must not shrink under it.
    if (ftruncate(fd, text.size()) == 0) {
        void *map = mmap(nullptr, size_t(text.size()), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map != MAP_FAILED) {
            std::memcpy(map, text.constData(), size_t(text.size()));
            munmap(map, size_t(text.size()));
            fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
            zwp_virtual_keyboard_v1_keymap(m_keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                           uint32_t(text.size()));
            // A new keymap starts with a new state: the modifiers are told again.
            sendModifiers();
        }
    }
    close(fd);
}

std::optional<QString> WlrootsInput::typeText(QStringView text)
{
    if (!connected())
        return unavailableReason();
    std::vector<char32_t> characters = codePoints(text);
    const std::size_t waiting = (m_text.size() - m_typed) + m_waiting.characters();
    const std::size_t room =
        std::min(maxTextLength, maxWaitingCharacters - std::min(waiting, maxWaitingCharacters));
    if (characters.size() > room) {
        m_log.line("Typing cut short,", characters.size() - room, "characters not typed: at most",
                   maxTextLength, "per text and", maxWaitingCharacters, "waiting");
        characters.resize(room);
    }
    if (characters.empty())
        return std::nullopt;
    if (typing() || !m_waiting.empty()) {
        const std::size_t count = characters.size();
        enqueue({.run =
                     [this, characters = std::move(characters)]() mutable {
                         m_text = std::move(characters);
                         m_typed = 0;
                         typeBurst();
                     },
                 .characters = count});
        return std::nullopt;
    }
    m_text = std::move(characters);
    m_typed = 0;
    typeBurst();
    return std::nullopt;
}

void WlrootsInput::typeBurst()
{
    if (!connected())
        return;
    if (socketWaits()) {
        m_burstTimer.start(burstInterval);
        return;
    }
    const std::size_t end = std::min(m_text.size(), m_typed + charactersPerBurst);
    // Every character of the burst gets its key before the first is typed, in one keymap.
    std::set<EvdevKey> keep;
    std::vector<char32_t> unplaced;
    for (std::size_t i = m_typed; i < end; ++i) {
        if (const std::optional<VirtualKeymap::Place> place = m_keymap->find(m_text[i]))
            keep.insert(place->key);
        else if (m_text[i] != U'\n' && m_text[i] != U'\t')
            unplaced.push_back(m_text[i]);
    }
    if (!unplaced.empty()) {
        // With more characters than spare keys in one burst, those beyond are typed in the next.
        if (!m_keymap->bind(unplaced, keep)) {
            m_log.line("Characters not typed: more different ones in a row than spare keys");
        }
        uploadKeymap();
    }
    if (m_keymap->modifiers().locked != 0 && !m_locksLifted) {
        m_locksLifted = true;
        sendModifiers();
    }
    bool shifted = false;
    const auto setShift = [this, &shifted](bool down) {
        if (shifted == down)
            return;
        shifted = down;
        sendKey(KEY_LEFTSHIFT, down);
    };
    for (; m_typed < end; ++m_typed) {
        const char32_t character = m_text[m_typed];
        if (character == U'\n' || character == U'\t') {
            setShift(false);
            tap(character == U'\n' ? KEY_ENTER : KEY_TAB);
        } else if (const std::optional<VirtualKeymap::Place> place = m_keymap->find(character)) {
            setShift(place->shifted);
            tap(place->key);
            m_keymap->used(place->key);
        }
    }
    setShift(false);
    if (typing()) {
        flush();
        m_burstTimer.start(burstInterval);
        return;
    }
    m_text.clear();
    m_typed = 0;
    if (m_locksLifted) {
        m_locksLifted = false;
        sendModifiers();
    }
    flush();
}

bool WlrootsInput::enqueue(WaitingInput::Operation operation)
{
    return m_waiting.push(std::move(operation), m_log);
}

void WlrootsInput::runWaiting()
{
    m_waiting.run([this] { return typing() || socketWaits() || !connected(); });
}

void WlrootsInput::dropWaiting()
{
    m_waiting.clear();
    m_waitingForSocket.clear();
    m_modifiersWhenDone.clear();
    for (const EvdevKey key : m_keysDown) {
        if (isModifier(key))
            m_modifiersWhenDone.insert(key);
    }
}

void WlrootsInput::releaseAll()
{
    if (typing())
        m_log.line("Typing stopped,", m_text.size() - m_typed + m_waiting.characters(),
                   "characters not typed");
    m_burstTimer.stop();
    m_text.clear();
    m_typed = 0;
    m_waiting.clear();
    m_waitingForSocket.clear();
    m_modifiersWhenDone.clear();
    if (!connected()) {
        m_keysDown.clear();
        m_buttonsDown.clear();
        return;
    }
    // What is held when the socket takes it: the keys that waited for it were never pressed.
    whenWritable([this] {
        for (const EvdevKey key : std::set<EvdevKey>(m_keysDown))
            sendKey(key, false);
        for (const EvdevKey button : std::set<EvdevKey>(m_buttonsDown))
            sendButton(button, false);
        if (m_locksLifted) {
            m_locksLifted = false;
            sendModifiers();
        }
        flush();
    });
}

} // namespace zc

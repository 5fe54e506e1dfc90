#include "x11input.h"

#include "keysyms.h"
#include "log.h"

#include <QHash>

#include <linux/input-event-codes.h>

#include <cstdlib>

#include <algorithm>

namespace zc {

namespace {

// evdev-based X servers number their keys as the kernel does, plus 8.
constexpr unsigned evdevToX11Keycode = 8;
constexpr unsigned shiftKeycode = KEY_LEFTSHIFT + evdevToX11Keycode;

bool isModifier(unsigned keycode)
{
    switch (keycode - evdevToX11Keycode) {
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

struct X11Input::Place
{
    unsigned keycode;
    bool shifted;
};

// Where each character of the current layout is typed, and which key codes are free.
class X11Input::Layout
{
public:
    explicit Layout(const KeyboardMapping &mapping)
    {
        // A character reachable without Shift is typed that way, wherever it is.
        for (const bool shifted : {false, true}) {
            for (std::size_t i = 0; i < mapping.keys.size(); ++i) {
                const KeyboardMapping::Key &key = mapping.keys[i];
                const std::optional<char32_t> character =
                    characterForKeysym(shifted ? key.shifted : key.plain);
                if (character && !m_places.contains(*character))
                    m_places.insert(*character, {mapping.firstKeycode + unsigned(i), shifted});
            }
        }
        // From the top down: the codes of real keys that a layout leaves unmapped sit low.
        for (std::size_t i = mapping.keys.size(); i-- > 0;) {
            if (!mapping.keys[i].bound)
                m_spare.push_back(mapping.firstKeycode + unsigned(i));
        }
    }

    std::optional<Place> find(char32_t character) const
    {
        const auto place = m_places.constFind(character);
        if (place == m_places.cend())
            return std::nullopt;
        return *place;
    }

    std::optional<unsigned> takeSpare()
    {
        if (m_spare.empty())
            return std::nullopt;
        const unsigned keycode = m_spare.front();
        m_spare.erase(m_spare.begin());
        return keycode;
    }

    // The key code's earlier characters are gone.
    void bind(unsigned keycode, char32_t character)
    {
        m_places.removeIf([keycode](QHash<char32_t, Place>::iterator place) {
            return place->keycode == keycode;
        });
        m_places.insert(character, {keycode, false});
    }

    void bindShifted(unsigned keycode, char32_t character)
    {
        m_places.insert(character, {keycode, true});
    }

private:
    QHash<char32_t, Place> m_places;
    std::vector<unsigned> m_spare;
};

X11Input::X11Input(std::unique_ptr<IXlib> xlib, Log &log, Clock clock)
    : m_xlib(std::move(xlib)), m_log(log), m_clock(std::move(clock))
{
    m_restoreTimer.setSingleShot(true);
    m_restoreTimer.setInterval(bindingLifetime);
    m_restoreTimer.callOnTimeout([this] {
        restoreBindings();
        m_xlib->flush();
    });
    m_continueTimer.setSingleShot(true);
    m_continueTimer.setTimerType(Qt::PreciseTimer);
    m_continueTimer.callOnTimeout([this] { continueText(); });
}

X11Input::~X11Input()
{
    releaseAll();
}

bool X11Input::connected()
{
    if (m_xlib->isConnected())
        return true;
    if (!m_lossReported) {
        m_lossReported = true;
        m_log.line("Mouse and keyboard input stopped: the connection to the X display is lost");
        if (m_stateHandler)
            m_stateHandler();
    }
    return false;
}

QString X11Input::name() const
{
    return QStringLiteral("XTEST");
}

InputCapabilities X11Input::capabilities() const
{
    return {.absoluteMotion = true,
            .relativeMotion = false,
            .positionQuery = true,
            .keysymTyping = true,
            .unicodeTyping = true};
}

InputState X11Input::state() const
{
    return m_xlib->isConnected() ? InputState::Ready : InputState::Unavailable;
}

QString X11Input::unavailableReason() const
{
    if (m_xlib->isConnected())
        return {};
    return QStringLiteral("the connection to the X display is lost");
}

void X11Input::setStateHandler(std::function<void()> handler)
{
    m_stateHandler = std::move(handler);
}

void X11Input::movePointerBy(QPoint offset)
{
    if (const std::optional<QPoint> position = pointerPosition())
        movePointer(*position + offset);
}

std::optional<QPoint> X11Input::pointerPosition()
{
    if (!connected())
        return std::nullopt;
    // Callers move relative to this: a warp still waiting is where the pointer is going to be.
    if (const std::optional<QPoint> warp = m_waiting.lastWarp())
        return warp;
    return m_xlib->queryPointer();
}

QSize X11Input::desktopSize()
{
    return m_xlib->rootSize();
}

// The user who moves the pointer while a long text is being typed expects to see it move: the
// pointer goes ahead of the keys, except where a button has to wait for its modifiers.
void X11Input::movePointer(QPoint position)
{
    if (!connected())
        return;
    if (m_waiting.pointerWaits()) {
        enqueue(
            {.run = [this, position] { sendMotion(position); }, .warp = position, .pointer = true});
        return;
    }
    sendMotion(position);
}

void X11Input::button(EvdevKey button, bool down)
{
    switch (button) {
    case BTN_LEFT:
        pointerButton(1, down);
        break;
    case BTN_MIDDLE:
        pointerButton(2, down);
        break;
    case BTN_RIGHT:
        pointerButton(3, down);
        break;
    default:
        // The commands use no other button.
        break;
    }
}

void X11Input::scroll(int verticalSteps, int horizontalSteps)
{
    // The core protocol's wheel: buttons 4 and 5 scroll up and down, 6 and 7 left and right, one
    // click per step.
    const auto clicks = [this](unsigned button, int steps) {
        for (int i = 0; i < steps; ++i) {
            pointerButton(button, true);
            pointerButton(button, false);
        }
    };
    clicks(verticalSteps < 0 ? 4 : 5, std::abs(verticalSteps));
    clicks(horizontalSteps < 0 ? 6 : 7, std::abs(horizontalSteps));
}

void X11Input::pointerButton(unsigned button, bool down)
{
    if (!connected())
        return;
    // A click with Control held waits for the Control press that waits behind the text.
    if (m_waiting.pointerWaits() || m_modifiersWhenDone != modifiersDown()) {
        enqueue({.run = [this, button, down] { sendButton(button, down); }, .pointer = true});
        return;
    }
    sendButton(button, down);
}

void X11Input::key(EvdevKey key, bool down)
{
    if (!connected())
        return;
    const unsigned keycode = unsigned(key) + evdevToX11Keycode;
    if (keycode < m_xlib->minKeycode() || keycode > m_xlib->maxKeycode()) {
        if (m_unmappableKeysReported.insert(key).second)
            m_log.line("No X key code for Linux key", key);
        return;
    }
    if (typing()) {
        if (!enqueue({.run = [this, keycode, down] { sendKey(keycode, down); }}))
            return;
    } else {
        sendKey(keycode, down);
    }
    if (isModifier(keycode)) {
        if (down)
            m_modifiersWhenDone.insert(keycode);
        else
            m_modifiersWhenDone.erase(keycode);
    }
}

void X11Input::sendMotion(QPoint position)
{
    m_xlib->fakeMotion(position);
    m_xlib->flush();
}

void X11Input::sendButton(unsigned button, bool down)
{
    if (down) {
        m_buttonsDown.insert(button);
    } else if (m_buttonsDown.erase(button) == 0) {
        return;
    }
    m_xlib->fakeButton(button, down);
    m_xlib->flush();
}

void X11Input::sendKey(unsigned keycode, bool down)
{
    if (down) {
        m_keysDown.insert(keycode);
    } else if (m_keysDown.erase(keycode) == 0) {
        return;
    }
    m_xlib->fakeKey(keycode, down);
    m_xlib->flush();
}

std::set<unsigned> X11Input::modifiersDown() const
{
    std::set<unsigned> modifiers;
    for (const unsigned keycode : m_keysDown) {
        if (isModifier(keycode))
            modifiers.insert(keycode);
    }
    return modifiers;
}

std::optional<QString> X11Input::typeText(QStringView text)
{
    if (!connected())
        return QStringLiteral("The connection to the X display is lost");
    std::vector<char32_t> characters = codePoints(text);
    const std::size_t waiting = (m_text.size() - m_typed) + m_waiting.characters();
    const std::size_t room =
        std::min(maxTextLength, maxWaitingCharacters - std::min(waiting, maxWaitingCharacters));
    if (characters.size() > room) {
        m_log.line("Typing cut short,", characters.size() - room, "characters not typed: at most",
                   maxTextLength, "per text and", maxWaitingCharacters, "waiting");
        characters.resize(room);
    }
    if (typing()) {
        const std::size_t count = characters.size();
        auto typeInTurn = [this, characters = std::move(characters)]() mutable {
            if (const std::optional<QString> failure = startText(std::move(characters)))
                m_log.line(*failure);
        };
        enqueue({.run = std::move(typeInTurn), .characters = count});
        return std::nullopt;
    }
    return startText(std::move(characters));
}

std::optional<QString> X11Input::startText(std::vector<char32_t> characters)
{
    m_text = std::move(characters);
    m_typed = 0;
    return typeAvailable();
}

std::optional<QString> X11Input::typeAvailable()
{
    const TimePoint now = m_clock();
    // Read again for every run: the layout may have changed during a pause.
    const KeyboardMapping mapping = m_xlib->readKeyboardMapping();
    Layout layout(mapping);
    std::optional<QString> failure;
    typeUpTo(bindAhead(layout, now, failure), layout, mapping.capsLocked);
    if (typing()) {
        m_restoreTimer.stop();
        m_continueTimer.start(untilOldestSettles(now));
    } else {
        m_text.clear();
        m_typed = 0;
        if (!m_bindings.empty())
            m_restoreTimer.start();
    }
    return failure;
}

std::size_t X11Input::bindAhead(Layout &layout, TimePoint now, std::optional<QString> &failure)
{
    // Each key code of the run gets two characters, the second on the Shift level, in one
    // request: a key code's two levels change together, and only once it has settled.
    struct Pending
    {
        unsigned keycode;
        char32_t plain;
        std::optional<char32_t> shifted = std::nullopt;
    };
    std::vector<Pending> pending;
    std::size_t end = m_text.size();
    for (std::size_t i = m_typed; i < m_text.size(); ++i) {
        const char32_t character = m_text[i];
        if (character == U'\n' || character == U'\t')
            continue;
        if (const std::optional<Place> place = layout.find(character)) {
            // Marked now, so that no later character of the run takes its key code.
            markTyped(place->keycode, now);
        } else if (!pending.empty() && !pending.back().shifted) {
            pending.back().shifted = character;
            layout.bindShifted(pending.back().keycode, character);
        } else if (const std::optional<unsigned> keycode = freeKeycode(layout, now)) {
            pending.push_back({*keycode, character});
            layout.bind(*keycode, character);
            claim(*keycode, now);
        } else if (!m_bindings.empty()) {
            end = i;
            break;
        } else if (!failure) {
            // Not the character itself: typed text may be a password.
            failure = QStringLiteral("No spare X key code to type a character of the text");
        }
    }
    // Hazard: a client of Xlib with XKB drops the keymap changes that arrive while it is fetching
    // earlier ones, so a binding announced between two presses of a run may never reach it: all
    // are announced before the run's first press.
    for (const Pending &binding : pending) {
        const Keysym plain = keysymForCharacter(binding.plain);
        // A lone character on both levels, so that a held Shift cannot change it.
        m_xlib->setKeysyms(binding.keycode, plain,
                           binding.shifted ? keysymForCharacter(*binding.shifted) : plain);
    }
    return end;
}

void X11Input::typeUpTo(std::size_t end, const Layout &layout, bool capsLocked)
{
    if (end == m_typed)
        return;
    // Caps Lock would turn the letters' case; it is lifted for the run and put back after.
    if (capsLocked)
        m_xlib->lockCapsLock(false);
    bool shiftDown = false;
    const auto setShift = [this, &shiftDown](bool down) {
        if (shiftDown != down) {
            shiftDown = down;
            m_xlib->fakeKey(shiftKeycode, down);
        }
    };
    const auto tap = [this](unsigned keycode) {
        m_xlib->fakeKey(keycode, true);
        m_xlib->fakeKey(keycode, false);
    };
    for (; m_typed < end; ++m_typed) {
        const char32_t character = m_text[m_typed];
        if (character == U'\n' || character == U'\t') {
            // With Shift, Tab would be ISO_Left_Tab.
            setShift(false);
            tap((character == U'\n' ? KEY_ENTER : KEY_TAB) + evdevToX11Keycode);
        } else if (const std::optional<Place> place = layout.find(character)) {
            setShift(place->shifted);
            tap(place->keycode);
        }
    }
    setShift(false);
    if (capsLocked)
        m_xlib->lockCapsLock(true);
    m_xlib->flush();
}

void X11Input::continueText()
{
    if (!connected()) {
        m_text.clear();
        m_typed = 0;
        dropWaiting();
        return;
    }
    if (const std::optional<QString> failure = typeAvailable())
        m_log.line(*failure);
    runWaiting();
}

bool X11Input::enqueue(WaitingInput::Operation operation)
{
    return m_waiting.push(std::move(operation), m_log);
}

void X11Input::runWaiting()
{
    m_waiting.run([this] { return typing(); });
}

void X11Input::dropWaiting()
{
    m_waiting.clear();
    m_modifiersWhenDone = modifiersDown();
}

std::optional<unsigned> X11Input::freeKeycode(Layout &layout, TimePoint now)
{
    if (const std::optional<unsigned> spare = layout.takeSpare())
        return spare;
    const auto oldest = std::min_element(
        m_bindings.begin(), m_bindings.end(),
        [](const Binding &a, const Binding &b) { return a.lastTyped < b.lastTyped; });
    if (oldest == m_bindings.end() || now - oldest->lastTyped < settleTime)
        return std::nullopt;
    const unsigned keycode = oldest->keycode;
    m_bindings.erase(oldest);
    return keycode;
}

void X11Input::claim(unsigned keycode, TimePoint now)
{
    // A binding undone behind this program's back leaves a stale entry for the key code.
    std::erase_if(m_bindings,
                  [keycode](const Binding &binding) { return binding.keycode == keycode; });
    m_bindings.push_back({keycode, now});
}

void X11Input::markTyped(unsigned keycode, TimePoint now)
{
    for (Binding &binding : m_bindings) {
        if (binding.keycode == keycode)
            binding.lastTyped = now;
    }
}

std::chrono::milliseconds X11Input::untilOldestSettles(TimePoint now) const
{
    const auto oldest = std::min_element(
        m_bindings.cbegin(), m_bindings.cend(),
        [](const Binding &a, const Binding &b) { return a.lastTyped < b.lastTyped; });
    using std::chrono::milliseconds;
    return std::max(std::chrono::ceil<milliseconds>(oldest->lastTyped + settleTime - now),
                    milliseconds(1));
}

void X11Input::restoreBindings()
{
    for (const Binding &binding : m_bindings)
        m_xlib->setKeysyms(binding.keycode, 0, 0);
    m_bindings.clear();
    m_restoreTimer.stop();
}

void X11Input::releaseAll()
{
    if (typing())
        m_log.line("Typing stopped,", m_text.size() - m_typed + m_waiting.characters(),
                   "characters not typed");
    m_text.clear();
    m_typed = 0;
    m_continueTimer.stop();
    for (const unsigned keycode : m_keysDown)
        m_xlib->fakeKey(keycode, false);
    m_keysDown.clear();
    dropWaiting();
    for (const unsigned button : m_buttonsDown)
        m_xlib->fakeButton(button, false);
    m_buttonsDown.clear();
    restoreBindings();
    m_xlib->flush();
}

} // namespace zc

#include "x11input.h"

#include "log.h"
#include "x11keysyms.h"

#include <QHash>

#include <linux/input-event-codes.h>

#include <algorithm>

namespace zc {

namespace {

// evdev-based X servers number their keys as the kernel does, plus 8.
constexpr unsigned evdevToX11Keycode = 8;
constexpr unsigned shiftKeycode = KEY_LEFTSHIFT + evdevToX11Keycode;

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

QString codePointName(char32_t character)
{
    return QStringLiteral("U+%1").arg(quint32(character), 4, 16, QLatin1Char('0')).toUpper();
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

    void bind(unsigned keycode, char32_t character)
    {
        m_places.removeIf([keycode](QHash<char32_t, Place>::iterator place) {
            return place->keycode == keycode;
        });
        m_places.insert(character, {keycode, false});
    }

private:
    QHash<char32_t, Place> m_places;
    std::vector<unsigned> m_spare;
};

X11Input::X11Input(std::unique_ptr<IXlib> xlib, Log &log) : m_xlib(std::move(xlib)), m_log(log)
{
    m_restoreTimer.setSingleShot(true);
    m_restoreTimer.setInterval(bindingLifetime);
    m_restoreTimer.callOnTimeout([this] {
        restoreBindings();
        m_xlib->flush();
    });
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
    }
    return false;
}

std::optional<QPoint> X11Input::pointerPosition()
{
    if (!connected())
        return std::nullopt;
    return m_xlib->queryPointer();
}

QSize X11Input::desktopSize()
{
    return m_xlib->rootSize();
}

void X11Input::movePointer(QPoint position)
{
    if (!connected())
        return;
    m_xlib->fakeMotion(position);
    m_xlib->flush();
}

void X11Input::button(int button, bool down)
{
    if (button < 1 || button > 255 || !connected())
        return;
    const auto number = unsigned(button);
    if (down) {
        m_buttonsDown.insert(number);
    } else if (m_buttonsDown.erase(number) == 0) {
        return;
    }
    m_xlib->fakeButton(number, down);
    m_xlib->flush();
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
    if (down) {
        m_keysDown.insert(keycode);
    } else if (m_keysDown.erase(keycode) == 0) {
        return;
    }
    m_xlib->fakeKey(keycode, down);
    m_xlib->flush();
}

std::optional<QString> X11Input::typeText(QStringView text)
{
    if (!connected())
        return QStringLiteral("The connection to the X display is lost");
    const KeyboardMapping mapping = m_xlib->readKeyboardMapping();
    Layout layout(mapping);
    const std::uint64_t firstUseOfText = m_uses + 1;
    m_reuseReported = false;
    const std::vector<char32_t> characters = codePoints(text);

    // Every character the layout lacks is bound before the first key goes out. Hazard: a client
    // of Xlib with XKB drops the keymap changes that arrive while it is fetching earlier ones,
    // so a binding announced between two of the text's key presses may never reach it.
    for (const char32_t character : characters) {
        if (character == U'\n' || character == U'\t' || layout.find(character))
            continue;
        if (!bindSpareKeycode(character, layout, firstUseOfText, false))
            break;
    }

    // Caps Lock would turn the letters' case; it is lifted for the text and put back after.
    if (mapping.capsLocked)
        m_xlib->lockCapsLock(false);
    std::optional<QString> failure;
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
    for (const char32_t character : characters) {
        if (character == U'\n' || character == U'\t') {
            // With Shift, Tab would be ISO_Left_Tab.
            setShift(false);
            tap((character == U'\n' ? KEY_ENTER : KEY_TAB) + evdevToX11Keycode);
            continue;
        }
        std::optional<Place> place = layout.find(character);
        if (place) {
            for (Binding &binding : m_bindings) {
                if (binding.keycode == place->keycode)
                    binding.lastUse = ++m_uses;
            }
        } else {
            place = bindSpareKeycode(character, layout, firstUseOfText, true);
            if (!place) {
                if (!failure)
                    failure =
                        QStringLiteral("No spare X key code to type ") + codePointName(character);
                continue;
            }
        }
        setShift(place->shifted);
        tap(place->keycode);
    }
    setShift(false);
    if (mapping.capsLocked)
        m_xlib->lockCapsLock(true);
    m_xlib->flush();
    if (!m_bindings.empty())
        m_restoreTimer.start();
    return failure;
}

std::optional<X11Input::Place> X11Input::bindSpareKeycode(char32_t character, Layout &layout,
                                                          std::uint64_t firstUseOfText,
                                                          bool mayReuseWithinText)
{
    std::optional<unsigned> keycode = layout.takeSpare();
    if (!keycode && !m_bindings.empty()) {
        // Every spare key code is taken: the binding used longest ago gives way. Hazard: if that
        // was earlier in this same text, a client that has not yet handled that press would
        // read the new character for it; it takes more distinct characters off the layout in
        // one text than there are spare key codes.
        const auto oldest = std::min_element(
            m_bindings.begin(), m_bindings.end(),
            [](const Binding &a, const Binding &b) { return a.lastUse < b.lastUse; });
        if (oldest->lastUse >= firstUseOfText && !mayReuseWithinText)
            return std::nullopt;
        if (oldest->lastUse >= firstUseOfText && !m_reuseReported) {
            m_reuseReported = true;
            m_log.line("More characters off the keyboard layout in one text than spare X key "
                       "codes; a slow client may show an earlier one wrongly");
        }
        keycode = oldest->keycode;
        m_bindings.erase(oldest);
    }
    if (!keycode)
        return std::nullopt;
    const Keysym keysym = keysymForCharacter(character);
    // The same keysym on both levels, so that a held Shift cannot change it.
    m_xlib->setKeysyms(*keycode, keysym, keysym);
    layout.bind(*keycode, character);
    m_bindings.push_back({*keycode, character, ++m_uses});
    return Place{*keycode, false};
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
    for (const unsigned keycode : m_keysDown)
        m_xlib->fakeKey(keycode, false);
    m_keysDown.clear();
    for (const unsigned button : m_buttonsDown)
        m_xlib->fakeButton(button, false);
    m_buttonsDown.clear();
    restoreBindings();
    m_xlib->flush();
}

} // namespace zc

#include "inputtranslator.h"

#include "ilinuxinput.h"
#include "isessionactions.h"
#include "log.h"

#include <linux/input-event-codes.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

namespace zc {

namespace {

// Virtual key codes of the phone's numbering that this translation treats specially.
namespace VirtualKey {
constexpr std::uint16_t H = 4;
constexpr std::uint16_t Q = 12;
constexpr std::uint16_t RightBracket = 30;
constexpr std::uint16_t LeftBracket = 33;
constexpr std::uint16_t Tab = 48;
constexpr std::uint16_t Space = 49;
constexpr std::uint16_t RightCommand = 54;
constexpr std::uint16_t Command = 55;
constexpr std::uint16_t Shift = 56;
constexpr std::uint16_t Option = 58;
constexpr std::uint16_t Control = 59;
constexpr std::uint16_t RightShift = 60;
constexpr std::uint16_t RightOption = 61;
constexpr std::uint16_t RightControl = 62;
} // namespace VirtualKey

// What a modifier means, whichever of its keys holds it.
enum Role : unsigned
{
    ShiftRole = 1,
    ControlRole = 2,
    OptionRole = 4,
    CommandRole = 8,
};

struct ModifierKey
{
    std::uint16_t virtualKey;
    Role role;
    // Command acts as Control: the shortcuts a Mac user makes with it use Control here.
    EvdevKey linuxKey;
};

constexpr ModifierKey modifierKeys[] = {
    {VirtualKey::Shift, ShiftRole, KEY_LEFTSHIFT},
    {VirtualKey::RightShift, ShiftRole, KEY_RIGHTSHIFT},
    {VirtualKey::Control, ControlRole, KEY_LEFTCTRL},
    {VirtualKey::RightControl, ControlRole, KEY_RIGHTCTRL},
    {VirtualKey::Option, OptionRole, KEY_LEFTALT},
    {VirtualKey::RightOption, OptionRole, KEY_RIGHTALT},
    {VirtualKey::Command, CommandRole, KEY_LEFTCTRL},
    {VirtualKey::RightCommand, CommandRole, KEY_RIGHTCTRL},
};

const ModifierKey *modifierKey(std::uint16_t virtualKey)
{
    for (const ModifierKey &key : modifierKeys) {
        if (key.virtualKey == virtualKey)
            return &key;
    }
    return nullptr;
}

unsigned rolesOfFlags(std::uint64_t flags)
{
    unsigned roles = 0;
    if (flags & ModifierFlag::Shift)
        roles |= ShiftRole;
    if (flags & ModifierFlag::Control)
        roles |= ControlRole;
    if (flags & ModifierFlag::Option)
        roles |= OptionRole;
    if (flags & ModifierFlag::Command)
        roles |= CommandRole;
    return roles;
}

std::vector<EvdevKey> linuxModifiersForRoles(unsigned roles)
{
    std::vector<EvdevKey> keys;
    if (roles & (ControlRole | CommandRole))
        keys.push_back(KEY_LEFTCTRL);
    if (roles & OptionRole)
        keys.push_back(KEY_LEFTALT);
    if (roles & ShiftRole)
        keys.push_back(KEY_LEFTSHIFT);
    return keys;
}

enum class ChordAction : std::uint8_t
{
    Keys,
    LockScreen,
    LogOut,
};

// Mac shortcuts whose Linux counterpart is not simply Control for Command.
struct Chord
{
    unsigned roles;
    std::uint16_t virtualKey;
    ChordAction action;
    // KEY_RESERVED: no modifier.
    EvdevKey modifier = KEY_RESERVED;
    EvdevKey key = KEY_RESERVED;
};

constexpr Chord chords[] = {
    {CommandRole, VirtualKey::Tab, ChordAction::Keys, KEY_LEFTALT, KEY_TAB},
    {CommandRole, VirtualKey::Space, ChordAction::Keys, KEY_RESERVED, KEY_LEFTMETA},
    {CommandRole, VirtualKey::Q, ChordAction::Keys, KEY_LEFTALT, KEY_F4},
    {CommandRole, VirtualKey::LeftBracket, ChordAction::Keys, KEY_LEFTALT, KEY_LEFT},
    {CommandRole, VirtualKey::RightBracket, ChordAction::Keys, KEY_LEFTALT, KEY_RIGHT},
    {ControlRole | CommandRole, VirtualKey::H, ChordAction::Keys, KEY_LEFTALT, KEY_HOME},
    {ControlRole | CommandRole, VirtualKey::Q, ChordAction::LockScreen},
    {ShiftRole | CommandRole, VirtualKey::Q, ChordAction::LogOut},
};

const Chord *chordFor(unsigned roles, std::uint16_t virtualKey)
{
    for (const Chord &chord : chords) {
        if (chord.roles == roles && chord.virtualKey == virtualKey)
            return &chord;
    }
    return nullptr;
}

bool contains(const std::vector<EvdevKey> &keys, EvdevKey key)
{
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

std::int64_t wheelSteps(std::int64_t lines, bool &capped)
{
    // The magnitude of an int32 wheel value always fits an int64; nothing can wrap here.
    const std::int64_t steps = lines < 0 ? -lines : lines;
    if (steps <= InputTranslator::maxScrollSteps)
        return steps;
    capped = true;
    return InputTranslator::maxScrollSteps;
}

bool isControlCharacter(QChar c)
{
    return c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() < 0xa0);
}

} // namespace

InputTranslator::InputTranslator(std::unique_ptr<ILinuxInput> backend, ISessionActions &session,
                                 Log &log, std::chrono::milliseconds releaseHeldAfter, Clock clock)
    : m_backend(std::move(backend)), m_session(session), m_log(log),
      m_relative(!m_backend->capabilities().absoluteMotion), m_state(m_backend->state()),
      m_clock(std::move(clock))
{
    // Backends report a change from inside the call that found it, possibly while this class walks
    // what it holds; the change is taken in once that call is over.
    m_backend->setStateHandler([this] {
        // Noted now: a backend may be up again (uinput's new device) before the change is taken
        // in, and what was held went with the old session all the same.
        if (m_backend->state() != InputState::Ready)
            m_sessionLost = true;
        QMetaObject::invokeMethod(
            &m_heldTimer, [this] { backendStateChanged(); }, Qt::QueuedConnection);
    });
    m_heldTimer.setSingleShot(true);
    m_heldTimer.setInterval(releaseHeldAfter);
    m_heldTimer.callOnTimeout([this] {
        m_log.line("Released the keys and buttons still held after", m_heldTimer.interval(),
                   "ms without a command");
        releaseHeld();
    });
}

InputTranslator::~InputTranslator()
{
    releaseAll();
    m_backend->setStateHandler({});
}

QString InputTranslator::unavailableReason() const
{
    return m_backend->state() == InputState::Unavailable ? m_backend->unavailableReason()
                                                         : QString();
}

void InputTranslator::backendStateChanged()
{
    const InputState state = m_backend->state();
    if (std::exchange(m_sessionLost, false)) {
        // Whatever the commands held went with the old session; a new one starts with nothing.
        m_heldTimer.stop();
        m_pressed.clear();
        m_buttonsDown.clear();
        m_heldModifiers.clear();
        m_modifiersDown.clear();
        m_warpTarget.reset();
    }
    if (state == m_state)
        return;
    const InputState before = std::exchange(m_state, state);
    if (state != InputState::Ready)
        return;
    // A later wait gets its line again; one wait, through restarts, gets one.
    m_dropReported = false;
    if (before == InputState::Starting || m_lastRestart)
        m_log.line("Mouse and keyboard input ready:", m_backend->name());
}

bool InputTranslator::deliverable()
{
    if (m_sessionLost)
        backendStateChanged();
    const InputState state = m_backend->state();
    if (state == InputState::Ready)
        return true;
    if (state == InputState::Unavailable) {
        const auto now = m_clock();
        // The backend says in the log why it is unavailable, and whether it tries again.
        if (!m_lastRestart || now - *m_lastRestart >= restartInterval) {
            m_lastRestart = now;
            m_backend->restart();
        }
        return false;
    }
    if (!m_dropReported) {
        m_dropReported = true;
        m_log.line("Mouse and keyboard input dropped until the desktop allows it");
    }
    return false;
}

std::optional<PointF> InputTranslator::cursorLocation()
{
    std::optional<QPoint> position = m_warpTarget;
    if (!position)
        position = m_relative ? m_tracked : m_backend->pointerPosition();
    const std::optional<double> height = mainScreenHeight();
    if (!position || !height)
        return std::nullopt;
    return PointF{double(position->x()), *height - double(position->y())};
}

std::optional<double> InputTranslator::mainScreenHeight()
{
    const QSize desktop = m_backend->desktopSize();
    if (desktop.isEmpty())
        return m_relative ? std::optional<double>(0) : std::nullopt;
    return double(desktop.height());
}

double InputTranslator::doubleClickInterval()
{
    // The default of GTK and Qt. The desktop's own setting lives in its settings daemon, and the
    // value is only ever logged.
    return 0.4;
}

std::optional<QPoint> InputTranslator::targetOf(PointF position)
{
    if (!std::isfinite(position.x) || !std::isfinite(position.y))
        return std::nullopt;
    if (m_relative) {
        // Only the offset counts, and it is bounded so that the tracked place cannot overflow.
        const auto near = [](double value, int from) {
            return int(
                std::lround(std::clamp(value, from - maxRelativeMove, from + maxRelativeMove)));
        };
        return QPoint(near(position.x, m_tracked.x()), near(position.y, m_tracked.y()));
    }
    const QSize desktop = m_backend->desktopSize();
    if (desktop.isEmpty())
        return std::nullopt;
    // The display server would stop the pointer at the edge anyway; clamping first keeps a far
    // target from wrapping in the protocol's 16-bit coordinates.
    const double x = std::clamp(position.x, 0.0, double(desktop.width() - 1));
    const double y = std::clamp(position.y, 0.0, double(desktop.height() - 1));
    return QPoint(int(std::lround(x)), int(std::lround(y)));
}

void InputTranslator::warpCursor(PointF topLeftPosition)
{
    const std::optional<QPoint> target = targetOf(topLeftPosition);
    m_warpTarget.reset();
    if (!target || !deliverable())
        return;
    sendMotion(*target);
    m_warpTarget = target;
}

void InputTranslator::moveTo(PointF topLeftPosition, bool skipIfWarpedThere)
{
    const std::optional<QPoint> target = targetOf(topLeftPosition);
    const bool warpedThere = skipIfWarpedThere && target && target == m_warpTarget;
    m_warpTarget.reset();
    if (target && !warpedThere)
        sendMotion(*target);
}

void InputTranslator::sendMotion(QPoint target)
{
    if (!m_relative) {
        m_backend->movePointer(target);
        return;
    }
    const QPoint offset = target - m_tracked;
    // Far from the origin the tracked place starts over: only offsets ever leave this class.
    m_tracked = std::abs(target.x()) > trackedBound || std::abs(target.y()) > trackedBound
                    ? QPoint()
                    : target;
    if (!offset.isNull())
        m_backend->movePointerBy(offset);
}

void InputTranslator::postMouseEvent(const MouseEvent &event)
{
    if (!deliverable())
        return;
    const HeldWatch watch(*this);
    switch (event.type) {
    case MouseEventType::MouseMoved:
        moveTo(event.position, true);
        break;
    case MouseEventType::LeftMouseDragged:
        moveTo(event.position, false);
        break;
    case MouseEventType::LeftMouseDown:
        buttonDown(BTN_LEFT, event.clickState);
        break;
    case MouseEventType::LeftMouseUp:
        buttonUp(BTN_LEFT);
        break;
    // The event type names the button; the button field of right-button events is not used.
    case MouseEventType::RightMouseDown:
        buttonDown(BTN_RIGHT, event.clickState);
        break;
    case MouseEventType::RightMouseUp:
        buttonUp(BTN_RIGHT);
        break;
    }
}

void InputTranslator::buttonDown(EvdevKey button, std::int64_t clickState)
{
    beginAction();
    setModifiers(heldLinuxModifiers());
    if (m_buttonsDown.erase(button) > 0)
        m_backend->button(button, false);
    // Linux toolkits count clicks themselves, by time and place: the second click of a double
    // click has to be a click of its own.
    const std::int64_t clicks = std::clamp<std::int64_t>(clickState, 1, 3);
    for (std::int64_t i = 1; i < clicks; ++i) {
        m_backend->button(button, true);
        m_backend->button(button, false);
    }
    m_backend->button(button, true);
    m_buttonsDown.insert(button);
}

void InputTranslator::buttonUp(EvdevKey button)
{
    if (m_buttonsDown.erase(button) == 0)
        return;
    m_warpTarget.reset();
    m_backend->button(button, false);
}

void InputTranslator::postScrollEvent(const ScrollEvent &event)
{
    if (!deliverable())
        return;
    const HeldWatch watch(*this);
    beginAction();
    setModifiers(heldLinuxModifiers());
    bool capped = false;
    const std::int64_t vertical = wheelSteps(event.vertical, capped);
    const std::int64_t horizontal = wheelSteps(event.horizontal, capped);
    if (capped)
        m_log.line("Scroll capped at", maxScrollSteps, "steps per direction:", event.vertical,
                   event.horizontal);
    // The phone's positive values scroll up and left; a desktop's wheel steps count down and right.
    m_backend->scroll(int(event.vertical > 0 ? -vertical : vertical),
                      int(event.horizontal > 0 ? -horizontal : horizontal));
}

void InputTranslator::postKeyEvent(const KeyEvent &event)
{
    if (!deliverable())
        return;
    const HeldWatch watch(*this);
    if (modifierKey(event.keyCode)) {
        if (event.down)
            modifierDown(event.keyCode);
        else
            modifierUp(event.keyCode);
    } else if (event.down) {
        keyDown(event.keyCode, event.flags);
    } else {
        keyUp(event.keyCode);
    }
}

void InputTranslator::modifierDown(std::uint16_t virtualKey)
{
    for (const HeldModifier &held : m_heldModifiers) {
        if (held.virtualKey == virtualKey)
            return;
    }
    m_heldModifiers.push_back({virtualKey, false});
}

void InputTranslator::modifierUp(std::uint16_t virtualKey)
{
    const auto held =
        std::find_if(m_heldModifiers.begin(), m_heldModifiers.end(),
                     [virtualKey](const HeldModifier &h) { return h.virtualKey == virtualKey; });
    if (held == m_heldModifiers.end())
        return;
    const bool tapped = !held->used;
    m_heldModifiers.erase(held);
    const EvdevKey key = modifierKey(virtualKey)->linuxKey;
    if (tapped && !contains(m_modifiersDown, key)) {
        m_warpTarget.reset();
        tap(key);
    }
    relaxModifiers();
}

void InputTranslator::keyDown(std::uint16_t virtualKey, std::optional<std::uint64_t> flags)
{
    beginAction();
    const unsigned roles = flags ? rolesOfFlags(*flags) : heldRoles();
    if (const Chord *chord = chordFor(roles, virtualKey)) {
        switch (chord->action) {
        case ChordAction::LockScreen:
            press(virtualKey, std::nullopt);
            m_session.lockScreen();
            return;
        case ChordAction::LogOut:
            press(virtualKey, std::nullopt);
            m_session.logOut();
            return;
        case ChordAction::Keys:
            if (chord->modifier == KEY_RESERVED)
                setModifiers({});
            else
                setModifiers({chord->modifier});
            press(virtualKey, chord->key);
            return;
        }
    }
    // Without Control, Option or Command a character key means the character the phone's
    // keyboard shows on it. The key in that place may carry another one on this desktop's layout
    // (Y and Z swap on a German one), so the character is typed as text instead.
    if ((roles & ~unsigned(ShiftRole)) == 0) {
        if (const std::optional<char> character =
                usCharacterForVirtualKey(virtualKey, (roles & ShiftRole) != 0)) {
            if (const std::optional<QString> failure =
                    typeCharacters(QString(QLatin1Char(*character))))
                m_log.line(*failure);
            press(virtualKey, std::nullopt);
            return;
        }
    }
    const std::optional<EvdevKey> key = evdevKeyForVirtualKey(virtualKey);
    if (!key) {
        m_log.line("No Linux key for virtual key code", virtualKey);
        return;
    }
    setModifiers(flags ? linuxModifiersForRoles(roles) : heldLinuxModifiers());
    press(virtualKey, *key);
}

void InputTranslator::press(Source source, Press key)
{
    // A second key-down without a key-up would otherwise leave the first press stuck.
    const auto earlier = m_pressed.find(source);
    if (earlier != m_pressed.end() && earlier->second)
        m_backend->key(*earlier->second, false);
    if (key)
        m_backend->key(*key, true);
    m_pressed[source] = key;
}

void InputTranslator::keyUp(Source source)
{
    const auto pressed = m_pressed.find(source);
    if (pressed == m_pressed.end())
        return;
    m_warpTarget.reset();
    if (pressed->second)
        m_backend->key(*pressed->second, false);
    m_pressed.erase(pressed);
    relaxModifiers();
}

void InputTranslator::tap(EvdevKey key)
{
    m_backend->key(key, true);
    m_backend->key(key, false);
}

void InputTranslator::postMediaKeyEvent(const MediaKeyEvent &event)
{
    if (!deliverable())
        return;
    const HeldWatch watch(*this);
    // Only auxiliary-control-button events carry media keys.
    if (event.subtype != 8)
        return;
    const std::int64_t type = (event.data1 >> 16) & 0xffff;
    const std::int64_t state = (event.data1 >> 8) & 0xff;
    const std::optional<EvdevKey> key = evdevKeyForMediaKey(type);
    if (!key) {
        m_log.line("No Linux key for media key type", type);
        return;
    }
    const Source source = mediaSource + Source(type);
    if (state == 0x0a) {
        // A media key acts alone, whatever modifiers the commands hold.
        beginAction();
        setModifiers({});
        press(source, *key);
    } else if (state == 0x0b) {
        keyUp(source);
    }
}

std::optional<QString> InputTranslator::typeText(const QString &text)
{
    return typeCharacters(text);
}

std::optional<QString> InputTranslator::pasteText(const QString &text)
{
    // Typed rather than pasted: the user's clipboard stays as it was, and no clipboard owner has
    // to stay alive for the paste to complete.
    return typeCharacters(text);
}

std::optional<QString> InputTranslator::typeCharacters(const QString &text)
{
    if (!deliverable()) {
        // The wait has its own line.
        if (m_backend->state() == InputState::Starting)
            return std::nullopt;
        QString reason = m_backend->unavailableReason();
        if (!reason.isEmpty())
            reason[0] = reason[0].toUpper();
        return reason;
    }
    const HeldWatch watch(*this);
    beginAction();
    // Characters arrive as themselves: no modifier held by an earlier command may change them.
    setModifiers({});
    // Line ends become one "\n" each, tabs stay; other control characters have no key.
    QString typed;
    typed.reserve(text.size());
    std::int64_t skipped = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u'\r') {
            typed += u'\n';
            if (i + 1 < text.size() && text.at(i + 1) == u'\n')
                ++i;
        } else if (c == u'\n' || c == u'\t' || !isControlCharacter(c)) {
            typed += c;
        } else {
            ++skipped;
        }
    }
    if (skipped > 0)
        m_log.line("Control characters not typed:", skipped);
    if (typed.isEmpty())
        return std::nullopt;
    // The whole text in one call: the backend prepares every character before the first key.
    return m_backend->typeText(typed);
}

void InputTranslator::releaseAll()
{
    releaseHeld();
    m_backend->releaseAll();
}

void InputTranslator::releaseHeld()
{
    m_heldTimer.stop();
    for (const auto &[source, press] : m_pressed) {
        if (press)
            m_backend->key(*press, false);
    }
    m_pressed.clear();
    for (const EvdevKey button : m_buttonsDown)
        m_backend->button(button, false);
    m_buttonsDown.clear();
    m_heldModifiers.clear();
    setModifiers({});
    m_warpTarget.reset();
}

void InputTranslator::watchHeldInput()
{
    if (m_pressed.empty() && m_buttonsDown.empty() && m_heldModifiers.empty() &&
        m_modifiersDown.empty())
        m_heldTimer.stop();
    else
        m_heldTimer.start();
}

void InputTranslator::beginAction()
{
    m_warpTarget.reset();
    for (HeldModifier &held : m_heldModifiers)
        held.used = true;
}

std::vector<EvdevKey> InputTranslator::heldLinuxModifiers() const
{
    std::vector<EvdevKey> keys;
    for (const HeldModifier &held : m_heldModifiers) {
        const EvdevKey key = modifierKey(held.virtualKey)->linuxKey;
        if (!contains(keys, key))
            keys.push_back(key);
    }
    return keys;
}

unsigned InputTranslator::heldRoles() const
{
    unsigned roles = 0;
    for (const HeldModifier &held : m_heldModifiers)
        roles |= modifierKey(held.virtualKey)->role;
    return roles;
}

void InputTranslator::setModifiers(const std::vector<EvdevKey> &wanted)
{
    for (auto down = m_modifiersDown.rbegin(); down != m_modifiersDown.rend(); ++down) {
        if (!contains(wanted, *down))
            m_backend->key(*down, false);
    }
    std::erase_if(m_modifiersDown, [&wanted](EvdevKey key) { return !contains(wanted, key); });
    for (const EvdevKey key : wanted) {
        if (contains(m_modifiersDown, key))
            continue;
        m_backend->key(key, true);
        m_modifiersDown.push_back(key);
    }
}

void InputTranslator::relaxModifiers()
{
    if (!m_pressed.empty())
        return;
    const std::vector<EvdevKey> wanted = heldLinuxModifiers();
    std::vector<EvdevKey> keep;
    for (const EvdevKey key : m_modifiersDown) {
        if (contains(wanted, key))
            keep.push_back(key);
    }
    setModifiers(keep);
}

} // namespace zc

#include "keyboardcontrols.h"

#include "iinputevents.h"
#include "ipoweractions.h"
#include "itextinput.h"
#include "log.h"
#include "requestquery.h"

#include <QHash>
#include <QTextBoundaryFinder>

namespace zc {

namespace {

enum class Action : std::uint8_t
{
    TextInput,
    TypeKey,
    TypeF,
    Combination,
    MediaKey
};

struct Route
{
    Action action;
    std::int32_t mediaKey = 0;
};

// Names left out here are part of the vocabulary but are not executed.
QHash<QString, Route> makeRoutes(const Keyboard &k)
{
    QHash<QString, Route> routes;
    routes.insert(k.TextInput, {Action::TextInput});
    for (QLatin1String name :
         {k.Space,        QLatin1String(" "), k.Backspace,        k.Enter,
          k.Shift,        k.EscapePress,      k.TabPress,         k.Ctrl,
          k.LeftAlt,      k.UpArrow,          k.DownArrow,        k.LeftArrow,
          k.RightArrow,   k.Function,         k.LeftAltMouseDown, k.LeftAltMouseUp,
          k.FunctionOne,  k.FunctionTwo,      k.FunctionThree,    k.FunctionFour,
          k.FunctionFive, k.FunctionSix,      k.FunctionSeven,    k.FunctionEight,
          k.FunctionNine, k.FunctionTen,      k.FunctionEleven,   k.FunctionTwelve})
        routes.insert(name, {Action::TypeKey});
    routes.insert(k.FKeyPress, {Action::TypeF});
    for (QLatin1String name :
         {k.Windows, k.Copy, k.Paste, k.SystemSwitchWindow, k.SystemCloseActiveWindow,
          k.BrowserGoForward, k.BrowserGoBack, k.BrowserRefresh, k.SystemShutDown, k.SystemRestart,
          k.SystemSleep, k.SystemLock, k.SystemLogoff})
        routes.insert(name, {Action::Combination});
    routes.insert(k.MediaTogglePausePlay, {Action::MediaKey, KeyboardControls::NX_KEYTYPE_PLAY});
    routes.insert(k.MediaNext, {Action::MediaKey, KeyboardControls::NX_KEYTYPE_NEXT});
    routes.insert(k.MediaPrevious, {Action::MediaKey, KeyboardControls::NX_KEYTYPE_PREVIOUS});
    routes.insert(k.SystemVolumeUp, {Action::MediaKey, KeyboardControls::NX_KEYTYPE_SOUND_UP});
    routes.insert(k.SystemVolumeDown, {Action::MediaKey, KeyboardControls::NX_KEYTYPE_SOUND_DOWN});
    return routes;
}

bool isSystemCommand(QStringView text)
{
    static constexpr QLatin1String commands[] = {
        QLatin1String("system_shut_down"), QLatin1String("system_restart"),
        QLatin1String("system_sleep"),     QLatin1String("system_lock"),
        QLatin1String("system_logoff"),    QLatin1String("browser_go_home"),
    };
    for (QLatin1String command : commands) {
        if (text == command)
            return true;
    }
    return false;
}

// One user-perceived character: an accented letter or an emoji counts as one.
bool isSingleCharacter(const QString &text)
{
    if (text.isEmpty())
        return false;
    // Among ASCII characters only CR LF make one character of two.
    if (text.size() == 1)
        return true;
    if (text.size() > 2 && text.front().unicode() < 0x80 && text.at(1).unicode() < 0x80)
        return false;
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
    return graphemes.toNextBoundary() == text.size();
}

QString formatCodes(const QList<KeyCode> &codes)
{
    QString text(u'[');
    for (qsizetype i = 0; i < codes.size(); ++i) {
        if (i > 0)
            text += QLatin1String(", ");
        text += QString::number(codes[i]);
    }
    text += u']';
    return text;
}

} // namespace

KeyboardControls::KeyboardControls(IInputEvents &input, ITextInput &text, IPowerActions &power,
                                   Log &log)
    : m_input(input), m_text(text), m_power(power), m_log(log)
{}

void KeyboardControls::handleKeyboardEvent(const QString &request)
{
    handleKeyboardEvent(RequestQuery(request));
}

void KeyboardControls::handleKeyboardEvent(const RequestQuery &query)
{
    static const QHash<QString, Route> routes = makeRoutes(Keyboard{});

    m_log.line(query.itemsText());
    const QString name = query.value(QLatin1String("key"));
    if (!query.hasQuery())
        return;

    const auto route = routes.constFind(name);
    if (route == routes.cend()) {
        m_log.line("Unknown Keyboard event");
        return;
    }
    switch (route->action) {
    case Action::TextInput: {
        m_log.line(name);
        const QString text = query.value(QLatin1String("value"));
        if (isSingleCharacter(text))
            typeKey(text, Origin::TypedText);
        else
            typeCombination(text, Origin::TypedText);
        break;
    }
    case Action::TypeKey:
        typeKey(name);
        break;
    case Action::TypeF:
        typeKey(QStringLiteral("f"));
        break;
    case Action::Combination:
        typeCombination(name);
        break;
    case Action::MediaKey:
        postMediaKey(route->mediaKey);
        break;
    }
}

void KeyboardControls::pressKey(KeyCode code)
{
    m_input.postKeyEvent({code, true, std::nullopt});
    m_input.postKeyEvent({code, false, std::nullopt});
}

void KeyboardControls::typeKey(const QString &text)
{
    typeKey(text, Origin::Command);
}

void KeyboardControls::typeKey(const QString &text, Origin origin)
{
    if (isShiftedCharacter(text)) {
        typeCombination(text, origin);
        return;
    }
    if (text == m_keyboard.LeftAltMouseDown) {
        m_input.postKeyEvent({Key::Command, true, std::nullopt});
        return;
    }
    if (text == m_keyboard.LeftAltMouseUp) {
        m_input.postKeyEvent({Key::Command, false, std::nullopt});
        return;
    }
    if (const std::optional<KeyCode> code = keyCodeForName(text)) {
        pressKey(*code);
        return;
    }
    if (const std::optional<QString> error = m_text.pasteText(text))
        m_log.line(*error);
}

void KeyboardControls::typeCombination(const QString &text)
{
    typeCombination(text, Origin::Command);
}

void KeyboardControls::typeCombination(const QString &text, Origin origin)
{
    const bool typed = origin == Origin::TypedText;
    if (isSystemCommand(text)) {
        runSystemCommand(text);
        return;
    }
    if (const std::optional<QList<KeyCode>> codes = keyCodesForCombination(text)) {
        // The codes of a typed capital or symbol would tell the character.
        if (!typed)
            m_log.line(formatCodes(*codes));
        if (codes->size() >= 2) {
            const KeyCode modifier = codes->at(0);
            const KeyCode key = codes->at(1);
            const std::uint64_t flags =
                isShiftedCharacter(text) ? ModifierFlag::Shift : ModifierFlag::Command;
            m_input.postKeyEvent({modifier, true, std::nullopt});
            m_input.postKeyEvent({key, true, flags});
            m_input.postKeyEvent({key, false, std::nullopt});
            m_input.postKeyEvent({modifier, false, std::nullopt});
        }
    } else if (const std::optional<QString> error = m_text.typeText(text)) {
        m_log.line(*error);
    }
    if (typed)
        m_log.line(QLatin1String("textinput:"), typedTextNote(text));
    else
        m_log.line(text);
}

void KeyboardControls::postChord(KeyCode key, std::uint64_t flags)
{
    m_input.postKeyEvent({Key::Control, true, std::nullopt});
    m_input.postKeyEvent({Key::Command, true, std::nullopt});
    m_input.postKeyEvent({key, true, flags});
    m_input.postKeyEvent({key, false, std::nullopt});
    m_input.postKeyEvent({Key::Command, false, std::nullopt});
    m_input.postKeyEvent({Key::Control, false, std::nullopt});
}

void KeyboardControls::runSystemCommand(QStringView command)
{
    if (command == m_keyboard.BrowserGoHome)
        postChord(Key::H, ModifierFlag::Control | ModifierFlag::Command);
    else if (command == m_keyboard.SystemShutDown)
        m_power.shutDown();
    else if (command == m_keyboard.SystemRestart)
        m_power.restart();
    else if (command == m_keyboard.SystemSleep)
        m_power.sleep();
    else if (command == m_keyboard.SystemLock)
        postChord(Key::Q, ModifierFlag::Control | ModifierFlag::Command);
    else if (command == m_keyboard.SystemLogoff)
        postChord(Key::Q, ModifierFlag::Shift | ModifierFlag::Command);
}

void KeyboardControls::postMediaKey(std::int32_t type)
{
    const std::int64_t key = std::int64_t(type) << 16;
    m_input.postMediaKeyEvent({0xa00, 8, key | 0xa00, -1});
    m_input.postMediaKeyEvent({0xb00, 8, key | 0xb00, -1});
}

} // namespace zc

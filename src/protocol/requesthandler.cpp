#include "requesthandler.h"

#include "log.h"
#include "requestquery.h"
#include "secretmask.h"
#include "zantipreferences.h"

#include <charconv>

namespace zc {

namespace {

// A stamp is a text of decimal digits that fits in 64 unsigned bits.
std::optional<std::uint64_t> parseStamp(const QJsonValue &value)
{
    if (!value.isString())
        return std::nullopt;
    const QString text = value.toString();
    if (text.isEmpty())
        return std::nullopt;
    QByteArray digits;
    digits.reserve(text.size());
    for (QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        digits.append(char(c.unicode()));
    }
    std::uint64_t stamp = 0;
    const auto result = std::from_chars(digits.cbegin(), digits.cend(), stamp);
    if (result.ec != std::errc() || result.ptr != digits.cend())
        return std::nullopt;
    return stamp;
}

} // namespace

RequestHandler::RequestHandler(IInputEvents &input, ITextInput &text, IPowerActions &power,
                               IWorkspace &workspace, ZantiPreferences &preferences, Log &log)
    : m_vlc(workspace, log), m_launchUrls(workspace, log), m_mouseControls(input, log),
      m_keyboardControls(input, text, power, log), m_preferences(preferences), m_log(log)
{}

void RequestHandler::processMessage(const QJsonObject &message)
{
    const QJsonValue key = message.value(QLatin1String("appAuthenticationKey"));
    const QJsonValue password = message.value(QLatin1String("password"));
    const QJsonValue request = message.value(QLatin1String("request"));
    const std::optional<std::uint64_t> stamp = parseStamp(message.value(QLatin1String("sentTime")));
    const char *fault = nullptr;
    if (!key.isString())
        fault = "\"appAuthenticationKey\" is missing or not a text";
    else if (!password.isString())
        fault = "\"password\" is missing or not a text";
    else if (!stamp)
        fault = "\"sentTime\" is not a text of decimal digits that fits in 64 bits";
    else if (!request.isString())
        fault = "\"request\" is missing or not a text";
    if (fault) {
        m_log.line("Ignoring a command message:", fault);
        return;
    }
    if (m_preferences.requiresPassword() &&
        !equalInConstantTime(password.toString(), m_preferences.serverAuthenticationPassword())) {
        m_log.line("Refused a command message: it does not carry the server password");
        return;
    }

    m_appAuthKey = key.toString();
    m_password = password.toString();
    if (m_sentTime < *stamp) {
        m_request = request.toString();
        m_log.line(m_appAuthKey, passwordMask, m_sentTime,
                   hideTypedText(m_request).value_or(m_request));
        m_sentTime = *stamp;
        handleRequest(m_request);
        return;
    }
    m_sentTime = *stamp;
}

void RequestHandler::handleRequest(const QString &request)
{
    const RequestQuery query(request);
    m_log.line(query.itemsText());
    const QString key = query.value(QLatin1String("key"));
    m_log.line(key);
    if (!query.hasQuery())
        return;

    // Button events queued by earlier requests go out before anything this request does.
    m_mouseControls.postQueuedButtons();
    const QList<QString> path = query.pathComponents();
    if (path.contains(QLatin1String("mouse"))) {
        m_mouseControls.handleMouseEvent(query);
    } else if (path.contains(QLatin1String("keyboard"))) {
        m_keyboardControls.handleKeyboardEvent(query);
    } else if (path.contains(QLatin1String("vlc"))) {
        m_vlc.handle(key);
    } else if (path.contains(QLatin1String("system"))) {
        m_log.line(key);
        const QString value = query.value(QLatin1String("value"));
        m_log.line(value);
        m_launchUrls.launch(value);
    }
}

} // namespace zc

#include "zantipreferences.h"

#include "autostartentry.h"
#include "log.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QMetaType>

#include <cmath>
#include <string_view>

namespace zc {

namespace {

enum class Kind : std::uint8_t
{
    Flag, // "true", or "1" too where oneIsTrue
    Port, // decimal 0 to 65535
    Text,
};

struct Definition
{
    const char *key;
    const char *defaultText;
    Kind kind;
    bool oneIsTrue;
};

constexpr std::array<Definition, ZantiPreferences::SettingCount> definitions = {{
    {"zanticonnect.autoStartWithSystem", "true", Kind::Flag, true},
    {"zanticonnect.serverTCPPort", "5916", Kind::Port, false},
    {"zanticonnect.serverUDPPort", "5916", Kind::Port, false},
    {"zanticonnect.VLCPort", "8080", Kind::Port, false},
    {"zanticonnect.addToWindowsStartUp", "true", Kind::Flag, false},
    {"zanticonnect.VLCPassword", "3971", Kind::Text, false},
    {"zanticonnect.isAuthenticationEnabled", "false", Kind::Flag, true},
    {"zanticonnect.serverAuthenticationPassword", "", Kind::Text, false},
    {"zanticonnect.webServerPort", "5915", Kind::Port, false},
    {"zanticonnect.hasAppInstalled", "true", Kind::Flag, false},
    {"zanticonnect.checkForUpdatesAtLaunch", "true", Kind::Flag, true},
}};

std::optional<quint16> parsePort(const QString &text)
{
    bool ok = false;
    const uint value = text.toUInt(&ok, 10);
    if (!ok || value > 65535 || text.isEmpty() || !text.front().isDigit())
        return std::nullopt;
    return quint16(value);
}

std::optional<qint64> wholeNumber(const QVariant &value)
{
    if (value.typeId() != QMetaType::Double)
        return value.toLongLong();
    const double number = value.toDouble();
    // Converting a double beyond qint64's range is undefined behaviour; 2^63 is exact.
    constexpr double limit = 9223372036854775808.0;
    if (!(number >= -limit && number < limit) || number != std::trunc(number))
        return std::nullopt;
    return qint64(number);
}

// The stored value as the text the getters work on, or nothing when it has the wrong type.
std::optional<QString> storedText(const QVariant &value, Kind kind)
{
    switch (value.typeId()) {
    case QMetaType::QString:
        if (kind == Kind::Port && !parsePort(value.toString()))
            return std::nullopt;
        return value.toString();
    case QMetaType::Bool:
        if (kind != Kind::Flag)
            return std::nullopt;
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::Double: {
        const std::optional<qint64> number = wholeNumber(value);
        if (!number)
            return std::nullopt;
        const QString digits = QString::number(*number);
        if (kind == Kind::Port && !parsePort(digits))
            return std::nullopt;
        return digits;
    }
    default:
        return std::nullopt;
    }
}

// A password's bytes as setVLCPasswordBytes stores those that are not UTF-8.
std::optional<QByteArray> storedBytes(const QVariant &value)
{
    const QVariantMap map = value.toMap();
    const QVariant base64 = map.value(QStringLiteral("base64"));
    if (value.typeId() != QMetaType::QVariantMap || map.size() != 1 ||
        base64.typeId() != QMetaType::QString)
        return std::nullopt;
    QByteArray::FromBase64Result bytes = QByteArray::fromBase64Encoding(
        base64.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!bytes)
        return std::nullopt;
    return std::move(*bytes);
}

bool isSwitchText(const QString &text, bool oneIsTrue)
{
    return text == QLatin1String("true") || text == QLatin1String("false") ||
           text == QLatin1String("0") || (oneIsTrue && text == QLatin1String("1"));
}

// A stored value as JSON, shortened, for the log.
QString describe(const QVariant &value)
{
    const QByteArray json =
        QJsonDocument(QJsonArray{QJsonValue::fromVariant(value)}).toJson(QJsonDocument::Compact);
    const QString text = QString::fromUtf8(json.sliced(1, json.size() - 2));
    constexpr qsizetype shown = 40;
    return text.size() > shown ? text.first(shown) + QStringLiteral("...") : text;
}

} // namespace

QString ZantiPreferences::key(Setting setting)
{
    return QString::fromLatin1(definitions[setting].key);
}

ZantiPreferences::ZantiPreferences(const QString &directory, Log &log)
    : m_suite(directory, QString::fromLatin1(ZANTISETTINGSESTOREGROUPNAME), log), m_log(log)
{
    // The server password is in there: not to wait for a save to hide it.
    if (m_suite.unreadableReason().isEmpty())
        m_suite.makePrivate();
    QVariantMap defaults;
    for (const Definition &definition : definitions)
        defaults.insert(QString::fromLatin1(definition.key),
                        QString::fromLatin1(definition.defaultText));
    m_suite.registerDefaults(defaults);

    std::optional<QByteArray> passwordBytes;
    for (int i = 0; i < SettingCount; ++i) {
        const Definition &definition = definitions[std::size_t(i)];
        const QString name = QString::fromLatin1(definition.key);
        const QVariant stored = m_suite.value(name);
        std::optional<QString> text = storedText(stored, definition.kind);
        QString &held = m_texts[std::size_t(i)];
        if (i == VLCPasswordSetting) {
            passwordBytes = storedBytes(stored);
            if (passwordBytes)
                text = QString::fromUtf8(*passwordBytes);
        }
        if (definition.kind == Kind::Flag && !(text && isSwitchText(*text, definition.oneIsTrue))) {
            // A switch typed by hand as "True", "yes" or " true" must not turn the password off
            // unnoticed; the others keep what the getters always made of such a text.
            const bool taken = i == IsAuthenticationEnabled ||
                               (!text && definition.defaultText == std::string_view("true"));
            held = taken ? QStringLiteral("true") : QStringLiteral("false");
            m_log.line("Preferences file", m_suite.filePath(), "holds", describe(stored), "for",
                       name + QStringLiteral("; taken as"), taken);
            continue;
        }
        if (text) {
            held = *text;
            continue;
        }
        held = QString::fromLatin1(definition.defaultText);
        m_log.line("Preferences file", m_suite.filePath(), "holds an unusable value for",
                   name + QStringLiteral("; using its default"));
    }
    m_VLCPasswordBytes = passwordBytes.value_or(m_texts[VLCPasswordSetting].toUtf8());
}

bool ZantiPreferences::flag(Setting setting) const
{
    const QString &value = m_texts[setting];
    return value == QLatin1String("true") ||
           (definitions[setting].oneIsTrue && value == QLatin1String("1"));
}

QVariant ZantiPreferences::storedValue(Setting setting) const
{
    const QVariant stored = m_suite.value(key(setting));
    if (storedText(stored, definitions[setting].kind) == m_texts[setting])
        return stored;
    return m_texts[setting];
}

quint16 ZantiPreferences::port(Setting setting) const
{
    return parsePort(m_texts[setting]).value_or(0);
}

void ZantiPreferences::setFlag(Setting setting, bool value)
{
    const QString text = value ? QStringLiteral("true") : QStringLiteral("false");
    m_suite.setValue(key(setting), text);
    m_texts[setting] = text;
}

void ZantiPreferences::setPort(Setting setting, quint16 value)
{
    m_suite.setValue(key(setting), int(value));
    m_texts[setting] = QString::number(value);
}

void ZantiPreferences::setText(Setting setting, const QString &value)
{
    m_suite.setValue(key(setting), value);
    m_texts[setting] = value;
}

bool ZantiPreferences::autoStartWithSystem() const
{
    return flag(AutoStartWithSystem);
}
void ZantiPreferences::setAutoStartWithSystem(bool value)
{
    setFlag(AutoStartWithSystem, value);
}
quint16 ZantiPreferences::serverTCPPort() const
{
    return port(ServerTCPPort);
}
void ZantiPreferences::setServerTCPPort(quint16 value)
{
    setPort(ServerTCPPort, value);
}
quint16 ZantiPreferences::serverUDPPort() const
{
    return port(ServerUDPPort);
}
void ZantiPreferences::setServerUDPPort(quint16 value)
{
    setPort(ServerUDPPort, value);
}
quint16 ZantiPreferences::VLCPort() const
{
    return port(VLCPortSetting);
}
void ZantiPreferences::setVLCPort(quint16 value)
{
    setPort(VLCPortSetting, value);
}
bool ZantiPreferences::addToMAcStartUp() const
{
    return flag(AddToMAcStartUp);
}
QString ZantiPreferences::VLCPassword() const
{
    return m_texts[VLCPasswordSetting];
}
void ZantiPreferences::setVLCPassword(const QString &value)
{
    setVLCPasswordBytes(value.toUtf8());
}

void ZantiPreferences::setVLCPasswordBytes(const QByteArray &value)
{
    const QString text = QString::fromUtf8(value);
    if (text.toUtf8() == value)
        m_suite.setValue(key(VLCPasswordSetting), text);
    else
        m_suite.setValue(
            key(VLCPasswordSetting),
            QVariantMap{{QStringLiteral("base64"), QString::fromLatin1(value.toBase64())}});
    m_texts[VLCPasswordSetting] = text;
    m_VLCPasswordBytes = value;
}

bool ZantiPreferences::isAuthenticationEnabled() const
{
    m_log.line(m_texts[IsAuthenticationEnabled]);
    return flag(IsAuthenticationEnabled);
}

void ZantiPreferences::setIsAuthenticationEnabled(bool value)
{
    setFlag(IsAuthenticationEnabled, value);
    m_log.line(m_texts[IsAuthenticationEnabled]);
}

bool ZantiPreferences::requiresPassword() const
{
    return flag(IsAuthenticationEnabled);
}

QString ZantiPreferences::serverAuthenticationPassword() const
{
    return m_texts[ServerAuthenticationPassword];
}

void ZantiPreferences::setServerAuthenticationPassword(const QString &value)
{
    setText(ServerAuthenticationPassword, value);
}

quint16 ZantiPreferences::webServerPort() const
{
    return port(WebServerPort);
}
void ZantiPreferences::setWebServerPort(quint16 value)
{
    setPort(WebServerPort, value);
}
bool ZantiPreferences::hasAppInstalled() const
{
    return flag(HasAppInstalled);
}
void ZantiPreferences::setHasAppInstalled(bool value)
{
    setFlag(HasAppInstalled, value);
}
bool ZantiPreferences::checkForUpdates() const
{
    return flag(CheckForUpdates);
}
void ZantiPreferences::setCheckForUpdates(bool value)
{
    setFlag(CheckForUpdates, value);
}

void ZantiPreferences::syncLoginItem(AutostartEntry &entry, const QString &programPath) const
{
    if (flag(AutoStartWithSystem)) {
        if (!entry.isExistLoginItem(programPath))
            entry.addLoginItem(programPath);
    } else if (QFileInfo::exists(entry.filePath())) {
        // One written for another program path, by an earlier install, would still start at login.
        entry.removeLoginItem();
    }
}

PrivateSettings::PrivateSettings(const QString &directory, Log &log)
    : m_suite(directory, QString::fromLatin1(PRIVATESETTINGSSTOREGROUPNAME), log)
{
    const QString key = QString::fromLatin1(hasAppUsed_);
    m_suite.registerDefaults({{key, false}});
    const QVariant stored = m_suite.value(key);
    if (stored.typeId() == QMetaType::Bool)
        m_hasAppUsed = stored.toBool();
    else
        log.line("Preferences file", m_suite.filePath(), "holds an unusable value for",
                 key + QStringLiteral("; using its default"));
}

void PrivateSettings::setHasAppUsed(bool value)
{
    m_suite.setValue(QString::fromLatin1(hasAppUsed_), value);
    m_hasAppUsed = value;
}

QString PrivateSettings::inputRestoreToken() const
{
    const QVariant stored = m_suite.value(QString::fromLatin1(inputRestoreToken_));
    return stored.typeId() == QMetaType::QString ? stored.toString() : QString();
}

void PrivateSettings::setInputRestoreToken(const QString &token)
{
    if (token != inputRestoreToken())
        m_suite.setValue(QString::fromLatin1(inputRestoreToken_), token);
}

} // namespace zc

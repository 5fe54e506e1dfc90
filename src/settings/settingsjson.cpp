// The settings page's side of the preferences: the dictionary and reply it reads, and the posted
// settings it sends.

#include "log.h"
#include "settingspost.h"
#include "zantipreferences.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

namespace zc {

namespace {

const QLatin1String prefix{"zanticonnect."};

// A copy fit for the log: the value of every member whose name speaks of a password, whatever
// its type, becomes the mask.
QJsonValue masked(const QJsonValue &value)
{
    if (value.isArray()) {
        QJsonArray items;
        for (const QJsonValue &item : value.toArray())
            items.append(masked(item));
        return items;
    }
    if (!value.isObject())
        return value;
    QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it.key().contains(QLatin1String("password"), Qt::CaseInsensitive))
            it.value() = QString(passwordMask);
        else
            it.value() = masked(it.value());
    }
    return object;
}

QByteArray forLog(const QJsonObject &object)
{
    return QJsonDocument(masked(object).toObject()).toJson(QJsonDocument::Compact);
}

// A posted value as text: JSON true and false read "1" and "0".
std::optional<QString> textForm(const QJsonValue &value)
{
    if (value.isBool())
        return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    if (value.isString())
        return value.toString();
    return std::nullopt;
}

// Ports come as text of decimal digits; 0 would be a port the phone can never be told.
std::optional<quint16> postedPort(const QJsonValue &value)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
    if (!value.isString() || !digits.match(value.toString()).hasMatch())
        return std::nullopt;
    const uint port = value.toString().toUInt();
    if (port < 1 || port > 65535)
        return std::nullopt;
    return quint16(port);
}

bool isNewline(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 0x0A && u <= 0x0D) || u == 0x85 || u == 0x2028 || u == 0x2029;
}

} // namespace

QJsonObject ZantiPreferences::preferencesDictionary() const
{
    const QJsonObject dictionary = settingsDictionary();
    m_log.line(forLog(dictionary));
    return dictionary;
}

QJsonObject ZantiPreferences::settingsDictionary() const
{
    QJsonObject dictionary;
    for (int i = 0; i < SettingCount; ++i) {
        const auto setting = Setting(i);
        const QString member = key(setting).mid(prefix.size());
        switch (setting) {
        case AddToMAcStartUp:
        case WebServerPort:
            break;
        case HasAppInstalled:
            dictionary.insert(member, QStringLiteral("true"));
            break;
        case AutoStartWithSystem:
        case IsAuthenticationEnabled:
        case CheckForUpdates:
            // As the switch is read, so a "1" that means on is not shown as off.
            dictionary.insert(member, flag(setting));
            break;
        default:
            dictionary.insert(member, QJsonValue::fromVariant(storedValue(setting)));
        }
    }
    return dictionary;
}

QString ZantiPreferences::settingsJSON(const ServerStatus &status) const
{
    const auto port = [](std::optional<quint16> value) {
        return value ? QJsonValue(int(*value)) : QJsonValue(QJsonValue::Null);
    };
    const QJsonObject reply{
        {QStringLiteral("preferences"), settingsDictionary()},
        {QStringLiteral("status"),
         QJsonObject{
             {QStringLiteral("localIPAddress"), status.localIPAddress
                                                    ? QJsonValue(*status.localIPAddress)
                                                    : QJsonValue(QJsonValue::Null)},
             {QStringLiteral("isServerRunning"),
              status.isServerRunning ? QStringLiteral("true") : QStringLiteral("false")},
             {QStringLiteral("udpPortInUse"), port(status.udpPortInUse)},
             {QStringLiteral("tcpPortInUse"), port(status.tcpPortInUse)},
         }},
    };
    return QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Indented));
}

void ZantiPreferences::applySettings(const QJsonObject &posted)
{
    const QJsonValue preferences = posted.value(QLatin1String("preferences"));
    if (!preferences.isObject()) {
        m_log.line("Settings post without a \"preferences\" object; nothing changed");
        return;
    }
    const QJsonObject members = preferences.toObject();
    // The page sends every setting at once: one write of the file for them all.
    const PreferenceSuite::Batch batch(m_suite);
    for (auto it = members.constBegin(); it != members.constEnd(); ++it) {
        const QString name = it.key();
        const QJsonValue value = it.value();
        const auto ignore = [&](const char *why) {
            m_log.line("Settings post: ignoring", name + QLatin1Char(','), why);
        };
        const auto applySwitch = [&](void (ZantiPreferences::*setter)(bool)) {
            const std::optional<QString> text = textForm(value);
            if (!text)
                return ignore("not true, false or text");
            m_log.line(*text);
            (this->*setter)(*text == QLatin1String("true") || *text == QLatin1String("1"));
        };
        const auto applyPort = [&](void (ZantiPreferences::*setter)(quint16)) {
            if (const std::optional<quint16> port = postedPort(value))
                (this->*setter)(*port);
            else
                ignore("not the text of a port from 1 to 65535");
        };
        const auto applyText = [&](void (ZantiPreferences::*setter)(const QString &)) {
            if (value.isString())
                (this->*setter)(value.toString());
            else
                ignore("not text");
        };

        if (name == QLatin1String("serverAuthenticationPassword"))
            applyText(&ZantiPreferences::setServerAuthenticationPassword);
        else if (name == QLatin1String("isAuthenticationEnabled"))
            applySwitch(&ZantiPreferences::setIsAuthenticationEnabled);
        else if (name == QLatin1String("serverUDPPort"))
            applyPort(&ZantiPreferences::setServerUDPPort);
        else if (name == QLatin1String("serverTCPPort"))
            applyPort(&ZantiPreferences::setServerTCPPort);
        else if (name == QLatin1String("hasAppInstalled"))
            applySwitch(&ZantiPreferences::setHasAppInstalled);
        else if (name == QLatin1String("VLCPassword")) {
            // The page shows bytes that are not UTF-8 as U+FFFD; sent back unchanged, they stay.
            if (value.toString() != VLCPassword())
                applyText(&ZantiPreferences::setVLCPassword);
        } else if (name == QLatin1String("VLCPort"))
            applyPort(&ZantiPreferences::setVLCPort);
        else if (name == QLatin1String("autoStartWithSystem"))
            applySwitch(&ZantiPreferences::setAutoStartWithSystem);
        else if (name == QLatin1String("checkForUpdatesAtLaunch"))
            applySwitch(&ZantiPreferences::setCheckForUpdates);
    }
}

SettingsPost findSettingsPost(const QString &requestText, Log &log)
{
    SettingsPost post;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= requestText.size(); ++i) {
        if (i < requestText.size() && !isNewline(requestText[i]))
            continue;
        const QStringView line = QStringView(requestText).mid(start, i - start);
        if (line.startsWith(u'{') && line.endsWith(u'}'))
            post.candidate = line.toString();
        start = i + 1;
    }
    const QString document = post.candidate.isEmpty() ? requestText : post.candidate;
    QJsonParseError error;
    const QJsonDocument parsed = QJsonDocument::fromJson(document.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError) {
        log.line("Settings post: no JSON found:", error.errorString(), "at offset", error.offset);
        return post;
    }
    if (!parsed.isObject()) {
        log.line("Settings post: the JSON found is not an object; nothing changed");
        return post;
    }
    post.settings = parsed.object();
    log.line(forLog(*post.settings));
    return post;
}

} // namespace zc

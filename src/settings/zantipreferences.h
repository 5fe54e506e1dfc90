#pragma once

#include "preferencesuite.h"
#include "serverstatus.h"

#include <QJsonObject>

#include <QString>

#include <array>
#include <cstdint>

namespace zc {

class AutostartEntry;
class Log;

// Every user-visible setting, held in memory as the text read from or written to the suite;
// the typed accessors convert on each call. Getters never touch the file; setters save at once.
class ZantiPreferences
{
public:
    ZantiPreferences(const QString &directory, Log &log);

    static constexpr const char *ZANTISETTINGSESTOREGROUPNAME = "morvell.osx.zanticonnectgroup";

    bool autoStartWithSystem() const;
    void setAutoStartWithSystem(bool value);
    quint16 serverTCPPort() const;
    void setServerTCPPort(quint16 port);
    quint16 serverUDPPort() const;
    void setServerUDPPort(quint16 port);
    quint16 VLCPort() const;
    void setVLCPort(quint16 port);
    bool addToMAcStartUp() const;
    // Bytes that are not UTF-8 show as U+FFFD here; VLCPasswordBytes has them as they are.
    QString VLCPassword() const;
    void setVLCPassword(const QString &password);
    // The password exactly as VLC's file holds it. Stored as the JSON text when it is UTF-8,
    // else as {"base64": "<the bytes>"}, which a JSON text cannot hold losslessly.
    QByteArray VLCPasswordBytes() const { return m_VLCPasswordBytes; }
    void setVLCPasswordBytes(const QByteArray &password);
    // Writes the stored text to the log on every call.
    bool isAuthenticationEnabled() const;
    void setIsAuthenticationEnabled(bool value);
    // The same switch, without the log line, for the check that runs on every command.
    bool requiresPassword() const;
    QString serverAuthenticationPassword() const;
    void setServerAuthenticationPassword(const QString &password);
    quint16 webServerPort() const;
    void setWebServerPort(quint16 port);
    bool hasAppInstalled() const;
    void setHasAppInstalled(bool value);
    bool checkForUpdates() const;
    void setCheckForUpdates(bool value);

    // The settings page's view: one member per setting, named by its key without "zanticonnect.",
    // without the web server's port and the unused start-up switch. Ports stay as
    // stored (the default text until first set, a number afterwards); switches are Booleans.
    QJsonObject preferencesDictionary() const;
    // The page's settings reply: "preferences" and "status", pretty-printed. Not logged: it
    // holds the passwords, and the page may ask for it several times a second.
    QString settingsJSON(const ServerStatus &status) const;
    // Applies the recognised members of the posted object's "preferences"; members of another
    // type than the page sends, ports outside 1 to 65535 and unknown members change nothing.
    void applySettings(const QJsonObject &posted);

    // Makes the desktop's autostart agree with autoStartWithSystem.
    void syncLoginItem(AutostartEntry &entry, const QString &programPath) const;

    QString filePath() const { return m_suite.filePath(); }
    // Why the settings file, which exists, could not be read; empty when it was read or there is
    // none. The values are then the defaults, with authentication off: commands must not be
    // served until the user has mended the file.
    QString unreadableReason() const { return m_suite.unreadableReason(); }

    enum Setting : std::uint8_t
    {
        AutoStartWithSystem,
        ServerTCPPort,
        ServerUDPPort,
        VLCPortSetting,
        AddToMAcStartUp,
        VLCPasswordSetting,
        IsAuthenticationEnabled,
        ServerAuthenticationPassword,
        WebServerPort,
        HasAppInstalled,
        CheckForUpdates,
        SettingCount
    };
    static QString key(Setting setting);
    const QString &text(Setting setting) const { return m_texts[setting]; }

private:
    bool flag(Setting setting) const;
    // The value in the form the file holds it (a port as a number once set), or the text in use
    // when the file holds something unusable.
    QVariant storedValue(Setting setting) const;
    QJsonObject settingsDictionary() const;
    quint16 port(Setting setting) const;
    void setFlag(Setting setting, bool value);
    void setPort(Setting setting, quint16 value);
    void setText(Setting setting, const QString &value);

    PreferenceSuite m_suite;
    std::array<QString, SettingCount> m_texts;
    QByteArray m_VLCPasswordBytes;
    Log &m_log;
};

// Remembers whether a phone has ever connected, and the desktop's permission for remote input.
class PrivateSettings
{
public:
    PrivateSettings(const QString &directory, Log &log);

    static constexpr const char *PRIVATESETTINGSSTOREGROUPNAME = "morvell.osx.settingsgroup";
    static constexpr const char *hasAppUsed_ = "settingsgroup.hasAppUsed";
    static constexpr const char *inputRestoreToken_ = "settingsgroup.inputRestoreToken";

    bool hasAppUsed() const { return m_hasAppUsed; }
    void setHasAppUsed(bool value);
    // What the desktop's portal hands out to start the next remote input session without asking
    // the user again; empty when there is none.
    QString inputRestoreToken() const;
    void setInputRestoreToken(const QString &token);

private:
    PreferenceSuite m_suite;
    bool m_hasAppUsed = false;
};

} // namespace zc

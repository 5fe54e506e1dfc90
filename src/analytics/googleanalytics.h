#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <memory>

class QNetworkAccessManager;
class QTimer;

namespace zc {

class Log;
class PreferenceSuite;

// Anonymous usage pings: one plain GET of the analytics page per event, with the event in the
// query. Nothing is read back. With no page address (the default build) nothing is ever sent.
//
// Build it on the thread whose event loop will carry the requests (the main thread). Only
// sendEvent and doPing may be called from other threads; everything else belongs to that thread.
// Destroy it only once no other thread can still call sendEvent.
class GoogleAnalytics
{
public:
    struct Settings
    {
        QString analyticsPage; // "https://host/gapp.html"; empty switches pings off
        QString propertyId;
        QString appVersion;        // "0.0.0" when empty
        QString osVersion;         // major.minor.patch
        QString localePart;        // first part of the "init" label
        QString settingsDirectory; // where the program's own settings file lives
    };

    // The page address and property identifier this build was configured with
    // (ZC_ANALYTICS_PAGE, ZC_ANALYTICS_PROPERTY_ID), the running kernel's version as
    // major.minor.patch, and the system locale's name such as "en_US".
    static Settings forThisComputer(const QString &appVersion, const QString &settingsDirectory);

    GoogleAnalytics(Settings settings, Log &log);
    ~GoogleAnalytics();
    GoogleAnalytics(const GoogleAnalytics &) = delete;
    GoogleAnalytics &operator=(const GoogleAnalytics &) = delete;

    // Starts the repeating ping unless it runs already, and pings at once either way.
    void startPingTimer(std::chrono::seconds interval);
    void stopPingTimer();
    void doPing();
    // May be called from any thread; the request is made on this object's thread.
    void sendEvent(const QString &category, const QString &event = {}, const QString &label = {});
    // Sends "app"/"init" once per user account, marked by an identifier in the settings file
    // "<settingsDirectory>/zanti-connect.json". With pings off the mark is not set either, so a
    // later build that sends still reports the first run.
    void sendFirstRunEvent();

    // The ping address with the event appended, not yet percent-encoded.
    QString eventAddress(const QString &category, const QString &event, const QString &label) const;
    QString pingURL() const { return m_pingURL; }

    bool isEnabled() const { return m_enabled; }

    static constexpr const char *ownSettingsSuite = "zanti-connect";
    static constexpr const char *userUUIDKey = "User UUID";

private:
    void request(const QString &address);

    const Settings m_settings;
    const QString m_pingURL;
    const bool m_enabled;
    Log &m_log;
    // Lives on the constructing thread and receives the requests handed over by sendEvent.
    std::unique_ptr<QObject> m_context;
    std::unique_ptr<QNetworkAccessManager> m_network;
    std::unique_ptr<QTimer> m_timer;
    std::unique_ptr<PreferenceSuite> m_ownSettings;
};

} // namespace zc

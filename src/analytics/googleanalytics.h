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
class GoogleAnalytics
{
public:
    struct Settings
    {
        QString analyticsPage; // "https://host/gapp.html"; empty switches pings off
        QString propertyId;
        QString appVersion;    // "0.0.0" when empty
        QString osVersion;     // major.minor.patch
        QString localePart;    // first part of the "init" label
        QString settingsDirectory; // where the program's own settings file lives
    };

    GoogleAnalytics(Settings settings, Log &log);
    ~GoogleAnalytics();
    GoogleAnalytics(const GoogleAnalytics &) = delete;
    GoogleAnalytics &operator=(const GoogleAnalytics &) = delete;

    // Starts the repeating ping (once) and pings at once.
    void startPingTimer(std::chrono::seconds interval);
    void stopPingTimer();
    void doPing();
    // May be called from any thread; the request is made on this object's thread.
    void sendEvent(const QString &category, const QString &event = {}, const QString &label = {});
    // Sends "app"/"init" once per user account, marked by an identifier in the settings file.
    void sendFirstRunEvent();

    // The ping address with the event appended, not yet percent-encoded.
    QString eventAddress(const QString &category, const QString &event, const QString &label) const;
    QString pingURL() const { return m_pingURL; }

private:
    void request(const QString &address);

    Settings m_settings;
    QString m_pingURL;
    Log &m_log;
    std::unique_ptr<QObject> m_context;
    std::unique_ptr<QNetworkAccessManager> m_network;
    std::unique_ptr<QTimer> m_timer;
    std::unique_ptr<PreferenceSuite> m_ownSettings;
};

} // namespace zc

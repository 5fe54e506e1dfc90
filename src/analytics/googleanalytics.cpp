#include "googleanalytics.h"

#include "log.h"
#include "preferencesuite.h"

#include <QLocale>
#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSysInfo>
#include <QTimer>
#include <QUrl>
#include <QUuid>
#include <QVersionNumber>

#include <algorithm>
#include <limits>
#include <utility>

namespace zc {

namespace {

GoogleAnalytics::Settings withDefaults(GoogleAnalytics::Settings settings)
{
    if (settings.appVersion.isEmpty())
        settings.appVersion = QStringLiteral("0.0.0");
    return settings;
}

QString pingAddress(const GoogleAnalytics::Settings &settings)
{
    return settings.analyticsPage + QStringLiteral("?id=") + settings.propertyId +
           QStringLiteral("&name=Zanti Connect - Linux&version=") + settings.appVersion;
}

// Letters, digits and "-._~" are never encoded; these are the other characters a query may
// hold as they are. Everything else goes out as %XX per UTF-8 byte.
const QByteArray queryCharacters = QByteArrayLiteral("!$&'()*+,/:;=?@");

// A server that accepts the connection and never answers would otherwise keep the reply, and
// its connection, for the life of the program.
constexpr std::chrono::milliseconds transferTimeout = std::chrono::seconds(60);

} // namespace

GoogleAnalytics::Settings GoogleAnalytics::forThisComputer(const QString &appVersion,
                                                           const QString &settingsDirectory)
{
    const QVersionNumber kernel = QVersionNumber::fromString(QSysInfo::kernelVersion());
    Settings settings;
    settings.analyticsPage = QString::fromUtf8(ZC_ANALYTICS_PAGE);
    settings.propertyId = QString::fromUtf8(ZC_ANALYTICS_PROPERTY_ID);
    settings.appVersion = appVersion;
    settings.osVersion =
        QVersionNumber(kernel.majorVersion(), kernel.minorVersion(), kernel.microVersion())
            .toString();
    settings.localePart = QLocale::system().name();
    settings.settingsDirectory = settingsDirectory;
    return settings;
}

GoogleAnalytics::GoogleAnalytics(Settings settings, Log &log)
    : m_settings(withDefaults(std::move(settings))), m_pingURL(pingAddress(m_settings)),
      m_enabled(!m_settings.analyticsPage.isEmpty() && !m_settings.propertyId.isEmpty()),
      m_log(log), m_context(std::make_unique<QObject>())
{
    if (m_settings.analyticsPage.isEmpty()) {
        m_log.line("Usage pings are off: this build has no analytics page address");
        return;
    }
    if (m_settings.propertyId.isEmpty()) {
        m_log.line("Usage pings are off: this build has no analytics property identifier");
        return;
    }
    m_network = std::make_unique<QNetworkAccessManager>();
}

GoogleAnalytics::~GoogleAnalytics()
{
    // The context goes first: it drops the requests other threads handed over and disconnects
    // every reply handler, so aborting the replies under way cannot call back into this object.
    m_context.reset();
    m_timer.reset();
    m_network.reset();
}

void GoogleAnalytics::startPingTimer(std::chrono::seconds interval)
{
    if (!m_enabled)
        return;
    if (!m_timer) {
        m_timer = std::make_unique<QTimer>();
        // Coarse timers may fire up to 5% early or late, which lets the system batch wake-ups.
        m_timer->setTimerType(Qt::CoarseTimer);
        QObject::connect(m_timer.get(), &QTimer::timeout, m_context.get(), [this] { doPing(); });
    }
    if (!m_timer->isActive()) {
        // Zero would ping on every turn of the event loop; QTimer holds milliseconds in an int.
        const auto clamped = std::clamp<std::chrono::milliseconds>(
            interval, std::chrono::seconds(1),
            std::chrono::milliseconds(std::numeric_limits<int>::max()));
        m_timer->start(clamped);
    }
    doPing();
}

void GoogleAnalytics::stopPingTimer()
{
    if (m_timer)
        m_timer->stop();
}

void GoogleAnalytics::doPing()
{
    sendEvent(QStringLiteral("app"), QStringLiteral("ping"), m_settings.appVersion);
}

void GoogleAnalytics::sendEvent(const QString &category, const QString &event, const QString &label)
{
    if (!m_enabled)
        return;
    // Always queued, even on the object's own thread: the caller may be on the command path,
    // and events keep the order in which they were sent.
    QMetaObject::invokeMethod(
        m_context.get(),
        [this, address = eventAddress(category, event, label)] { request(address); },
        Qt::QueuedConnection);
}

void GoogleAnalytics::sendFirstRunEvent()
{
    if (!m_enabled)
        return;
    if (!m_ownSettings)
        m_ownSettings = std::make_unique<PreferenceSuite>(
            m_settings.settingsDirectory, QString::fromLatin1(ownSettingsSuite), m_log);
    const QString key = QString::fromLatin1(userUUIDKey);
    if (m_ownSettings->value(key).typeId() == QMetaType::QString)
        return;
    m_ownSettings->setValue(key, QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());
    sendEvent(QStringLiteral("app"), QStringLiteral("init"),
              m_settings.localePart + u'_' + m_settings.osVersion + u'_' + m_settings.appVersion);
}

QString GoogleAnalytics::eventAddress(const QString &category, const QString &event,
                                      const QString &label) const
{
    QString address = m_pingURL;
    if (category.isEmpty())
        return address;
    address += address.contains(u'?') ? u'&' : u'?';
    address += QStringLiteral("ca=") + category;
    if (event.isEmpty())
        return address;
    address += QStringLiteral("&ev=") + event;
    if (!label.isEmpty())
        address += QStringLiteral("&la=") + label;
    return address;
}

void GoogleAnalytics::request(const QString &address)
{
    if (!m_network)
        return;
    const QByteArray encoded = QUrl::toPercentEncoding(address, queryCharacters);
    const QUrl url(QString::fromLatin1(encoded), QUrl::StrictMode);
    if (!url.isValid() || url.isRelative()) {
        m_log.line("Failed to generate URL from", address);
        return;
    }
    QNetworkRequest networkRequest(url);
    networkRequest.setTransferTimeout(int(transferTimeout.count()));
    // The pings are anonymous: a cookie the server sets must not link one ping to the next.
    networkRequest.setAttribute(QNetworkRequest::CookieLoadControlAttribute,
                                QNetworkRequest::Manual);
    networkRequest.setAttribute(QNetworkRequest::CookieSaveControlAttribute,
                                QNetworkRequest::Manual);
    QNetworkReply *reply = m_network->get(networkRequest);
    QObject::connect(reply, &QNetworkReply::finished, m_context.get(), [this, reply] {
        if (reply->error() != QNetworkReply::NoError)
            m_log.line("Usage ping failed:", reply->errorString());
        reply->deleteLater();
    });
}

} // namespace zc

#include "linuxsessionactions.h"

#include "dbusrequest.h"
#include "log.h"
#include "sessionmanagers.h"

#include <QDBusMessage>

#include <utility>

namespace zc {

namespace {

DBusRequest screenSaverLock(const QDBusConnection &bus, const QString &path)
{
    return {QStringLiteral("the screen saver"), bus,
            QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.ScreenSaver"), path,
                                           QStringLiteral("org.freedesktop.ScreenSaver"),
                                           QStringLiteral("Lock"))};
}

} // namespace

LinuxSessionActions::LinuxSessionActions(QDBusConnection systemBus, QDBusConnection sessionBus,
                                         Log &log)
    : m_systemBus(std::move(systemBus)), m_sessionBus(std::move(sessionBus)), m_log(log)
{}

void LinuxSessionActions::lockScreen()
{
    const QString action = QStringLiteral("Screen lock");
    // "auto": the session of this process, or else the user's graphical session.
    const DBusRequest logind{
        QStringLiteral("systemd-logind"), m_systemBus,
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.login1"),
                                       QStringLiteral("/org/freedesktop/login1/session/auto"),
                                       QStringLiteral("org.freedesktop.login1.Session"),
                                       QStringLiteral("Lock"))};
    sendRequest(logind, &m_calls, [this, action, logind](const QDBusMessage &reply) {
        if (reply.type() != QDBusMessage::ErrorMessage) {
            m_log.line(action + QStringLiteral(" requested from ") + logind.service);
            return;
        }
        // Screen savers serve the interface at either path, some at both.
        const QList<DBusRequest> fallbacks{
            screenSaverLock(m_sessionBus, QStringLiteral("/org/freedesktop/ScreenSaver")),
            screenSaverLock(m_sessionBus, QStringLiteral("/ScreenSaver"))};
        const QString logindError = reply.errorName();
        sendToFirstPresent(
            fallbacks, &m_calls,
            [this, action, fallbacks, logindError](qsizetype index,
                                                   const QDBusMessage &fallbackReply) {
                if (index < 0)
                    m_log.line(action + QStringLiteral(" unavailable: neither systemd-logind (") +
                               logindError + QStringLiteral(") nor a screen saver answers"));
                else if (fallbackReply.type() == QDBusMessage::ErrorMessage)
                    m_log.line(action + QStringLiteral(" refused by ") + fallbacks[index].service +
                               QStringLiteral(": ") + describeError(fallbackReply));
                else
                    m_log.line(action + QStringLiteral(" requested from ") +
                               fallbacks[index].service);
            });
    });
}

void LinuxSessionActions::logOut()
{
    const QString action = QStringLiteral("Log out");
    const QList<DBusRequest> requests = sessionManagerRequests(m_sessionBus, SessionEnd::LogOut);
    sendToFirstPresent(
        requests, &m_calls, [this, action, requests](qsizetype index, const QDBusMessage &reply) {
            if (index < 0)
                m_log.line(action + QStringLiteral(" unavailable: no desktop session "
                                                   "manager answers"));
            else if (reply.type() == QDBusMessage::ErrorMessage)
                m_log.line(action + QStringLiteral(" refused by ") + requests[index].service +
                           QStringLiteral(": ") + describeError(reply));
            else
                m_log.line(action + QStringLiteral(" requested from ") + requests[index].service);
        });
}

} // namespace zc

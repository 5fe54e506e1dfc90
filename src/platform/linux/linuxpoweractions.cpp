#include "linuxpoweractions.h"

#include "dbusrequest.h"
#include "log.h"

#include <QDBusMessage>
#include <QVariant>

#include <utility>

namespace zc {

namespace {

// The user may be asked for a password before logind acts; the reply waits for that.
constexpr int authorizationTimeout = 5 * 60 * 1000;

QString logindName()
{
    return QStringLiteral("systemd-logind");
}

DBusRequest logindRequest(const QDBusConnection &bus, const QString &method,
                          const QVariantList &arguments = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), method);
    message.setArguments(arguments);
    return {logindName(), bus, message};
}

} // namespace

LinuxPowerActions::LinuxPowerActions(QDBusConnection systemBus, QDBusConnection sessionBus,
                                     Log &log)
    : m_systemBus(std::move(systemBus)), m_sessionBus(std::move(sessionBus)), m_log(log)
{}

void LinuxPowerActions::shutDown()
{
    endSession(SessionEnd::ShutDown, {QStringLiteral("Shut down"), QStringLiteral("PowerOff")});
}

void LinuxPowerActions::restart()
{
    endSession(SessionEnd::Restart, {QStringLiteral("Restart"), QStringLiteral("Reboot")});
}

void LinuxPowerActions::sleep()
{
    askLogind({QStringLiteral("Sleep"), QStringLiteral("Suspend")}, false);
}

void LinuxPowerActions::endSession(SessionEnd end, const LogindAction &action)
{
    const QList<DBusRequest> requests = sessionManagerRequests(m_sessionBus, end);
    sendToFirstPresent(
        requests, &m_calls, [this, requests, action](qsizetype index, const QDBusMessage &reply) {
            if (index < 0) {
                askLogind(action, true);
                return;
            }
            const QString &service = requests[index].service;
            if (reply.type() == QDBusMessage::ErrorMessage)
                m_log.line(action.name + QStringLiteral(" refused by ") + service +
                           QStringLiteral(": ") + describeError(reply));
            else
                m_log.line(action.name + QStringLiteral(" requested from ") + service);
        });
}

void LinuxPowerActions::askLogind(const LogindAction &action, bool desktopAsked)
{
    const QString check = QStringLiteral("Can") + action.method;
    sendRequest(
        logindRequest(m_systemBus, check), &m_calls,
        [this, action, desktopAsked, check](const QDBusMessage &reply) {
            if (reply.type() == QDBusMessage::ErrorMessage) {
                if (isAbsent(QDBusError(reply)))
                    m_log.line(action.name + QStringLiteral(" unavailable: ") +
                               (desktopAsked ? QStringLiteral("no desktop session manager "
                                                              "answers, and ")
                                             : QString()) +
                               logindName() + QStringLiteral(" does not answer (") +
                               reply.errorName() + u')');
                else
                    m_log.line(action.name + QStringLiteral(" refused by ") + logindName() +
                               QStringLiteral(": ") + describeError(reply));
                return;
            }
            const QString answer =
                reply.arguments().isEmpty() ? QString() : reply.arguments().first().toString();
            // "challenge": allowed once the user authenticates, which logind asks for itself.
            if (answer != QLatin1String("yes") && answer != QLatin1String("challenge")) {
                const QString because = check + QStringLiteral(" answers \"") + answer + u'"';
                if (answer == QLatin1String("no"))
                    m_log.line(action.name + QStringLiteral(" refused by ") + logindName() +
                               QStringLiteral(": ") + because);
                else
                    m_log.line(action.name + QStringLiteral(" unavailable: ") + logindName() +
                               QStringLiteral("'s ") + because);
                return;
            }
            // interactive: logind may ask the user to authenticate instead of refusing outright.
            DBusRequest request = logindRequest(m_systemBus, action.method, {true});
            request.message.setInteractiveAuthorizationAllowed(true);
            request.timeout = authorizationTimeout;
            sendRequest(request, &m_calls, [this, action](const QDBusMessage &result) {
                if (result.type() == QDBusMessage::ErrorMessage)
                    m_log.line(action.name + QStringLiteral(" refused by ") + logindName() +
                               QStringLiteral(": ") + describeError(result));
                else
                    m_log.line(action.name + QStringLiteral(" requested from ") + logindName());
            });
        });
}

} // namespace zc

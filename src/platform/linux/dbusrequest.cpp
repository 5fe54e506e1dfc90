#include "dbusrequest.h"

#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QObject>
#include <QPointer>

#include <memory>
#include <utility>

namespace zc {

bool isAbsent(const QDBusError &error)
{
    switch (error.type()) {
    case QDBusError::ServiceUnknown:
    case QDBusError::UnknownObject:
    case QDBusError::UnknownInterface:
    case QDBusError::UnknownMethod:
    case QDBusError::Disconnected:
    case QDBusError::NoServer:
        return true;
    default:
        break;
    }
    // A service that the bus could not start on demand is as absent as one that it does not know.
    const QString name = error.name();
    return name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner") ||
           name.startsWith(QLatin1String("org.freedesktop.DBus.Error.Spawn."));
}

void sendRequest(const DBusRequest &request, QObject *context,
                 std::function<void(const QDBusMessage &reply)> done)
{
    // A call on a connection that is not connected would never finish.
    const QDBusPendingCall call =
        request.bus.isConnected()
            ? request.bus.asyncCall(request.message, request.timeout)
            : QDBusPendingCall::fromError(QDBusError(QDBusError::Disconnected,
                                                     QStringLiteral("Not connected to this bus")));
    auto *watcher = new QDBusPendingCallWatcher(call, context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [done = std::move(done)](QDBusPendingCallWatcher *finished) {
                         finished->deleteLater();
                         done(finished->reply());
                     });
}

namespace {

struct Chain
{
    QList<DBusRequest> requests;
    QPointer<QObject> context;
    std::function<void(qsizetype, const QDBusMessage &)> done;
};

void sendFrom(const std::shared_ptr<Chain> &chain, qsizetype index)
{
    sendRequest(chain->requests[index], chain->context, [chain, index](const QDBusMessage &reply) {
        const bool absent =
            reply.type() == QDBusMessage::ErrorMessage && isAbsent(QDBusError(reply));
        if (!absent) {
            chain->done(index, reply);
        } else if (index + 1 < chain->requests.size()) {
            if (chain->context)
                sendFrom(chain, index + 1);
        } else {
            chain->done(-1, reply);
        }
    });
}

} // namespace

void sendToFirstPresent(QList<DBusRequest> requests, QObject *context,
                        std::function<void(qsizetype index, const QDBusMessage &reply)> done)
{
    if (requests.isEmpty()) {
        done(-1, QDBusMessage());
        return;
    }
    sendFrom(std::make_shared<Chain>(Chain{std::move(requests), context, std::move(done)}), 0);
}

QString describeError(const QDBusMessage &reply)
{
    return reply.errorName() + QStringLiteral(": ") + reply.errorMessage();
}

} // namespace zc

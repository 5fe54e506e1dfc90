#pragma once

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QList>
#include <QString>

#include <functional>

class QObject;

namespace zc {

// One method call to a service that may or may not run on this desktop.
struct DBusRequest
{
    // Who answers, as the log names it: "the GNOME session manager".
    QString service;
    QDBusConnection bus;
    QDBusMessage message;
    // Milliseconds; -1 is the bus's default (25 s).
    int timeout = -1;
};

// Whether the error says that nobody serves the request on that bus, as opposed to a service
// that is there and refused.
bool isAbsent(const QDBusError &error);

// Sends the request without blocking and calls `done` with its reply, which may be an error
// message, on the thread of `context`. Nothing is called once `context` is destroyed.
void sendRequest(const DBusRequest &request, QObject *context,
                 std::function<void(const QDBusMessage &reply)> done);

// Sends the requests one after another, each only when nobody served the previous one, and calls
// `done` with the index and reply of the first request that found its service (answered or
// refused), or with -1 and the last reply when none did.
void sendToFirstPresent(QList<DBusRequest> requests, QObject *context,
                        std::function<void(qsizetype index, const QDBusMessage &reply)> done);

// "name: message" of an error reply, for the log.
QString describeError(const QDBusMessage &reply);

} // namespace zc

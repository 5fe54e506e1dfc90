#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>

#include <functional>
#include <optional>

namespace zc {

class ComputerDetails;
class Log;
class ZantiPreferences;

// The fixed key every client of this system carries; it names the application, not a user.
inline constexpr QLatin1String applicationKey{"Q7w4R#2k81M5T!x09P3Z"};

// Keeps the last discovery request of each host and decides, after every datagram, whether
// its sender gets the full reply, the reduced one, or none.
class DiscoveryResponder
{
public:
    DiscoveryResponder(ComputerDetails &details, ZantiPreferences &preferences, Log &log);

    // A discovery request: an array whose first element is an object.
    void intake(const QJsonArray &request, const QHostAddress &sender);

    using Send = std::function<void(const QByteArray &reply)>;

    // Runs after every datagram of `size` bytes from `sender`, and answers it through `send`
    // when the sender's host has an accepted discovery request.
    void credentialCheck(qint64 size, const QHostAddress &sender, const Send &send);

    // How many hosts the responder remembers; the one that asked longest ago goes first.
    static constexpr qsizetype maximumHosts = 256;

    const std::optional<QByteArray> &dataToSend() const { return m_dataToSend; }

private:
    void sendFullReply(const Send &send);
    void sendReducedReply(const Send &send);

    QHash<QHostAddress, QJsonObject> m_clientRequest;
    QList<QHostAddress> m_order;
    std::optional<QByteArray> m_dataToSend;
    ComputerDetails &m_details;
    ZantiPreferences &m_preferences;
    Log &m_log;
};

} // namespace zc

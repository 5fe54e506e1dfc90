#pragma once

#include "computerdetails.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

namespace zc {

class Log;
class ZantiPreferences;

// The fixed key every client of this system carries; it names the application, not a user.
inline constexpr QLatin1String applicationKey{"Q7w4R#2k81M5T!x09P3Z"};

// Keeps the last discovery request of each host and decides, after every datagram, whether
// its sender gets the full reply, the reduced one, or none. The sender address of a datagram
// can be forged, so each host gets only so many replies a second.
class DiscoveryResponder
{
public:
    DiscoveryResponder(ComputerDetails &details, ZantiPreferences &preferences, Log &log);

    // A discovery request: an array whose first element is an object.
    void intake(const QJsonArray &request, const QHostAddress &sender);

    using Send = std::function<void(const QByteArray &reply)>;

    // Runs after every datagram of `size` bytes from `sender`, and answers it through `send`
    // when the sender's host has an accepted discovery request, the datagram is `answerable`
    // (a command message or a discovery request) and the host has not used up its replies.
    void credentialCheck(qint64 size, const QHostAddress &sender, bool answerable,
                         const Send &send);

    // How many hosts the responder remembers; the one that asked longest ago goes first.
    static constexpr qsizetype maximumHosts = 256;
    // Replies each host may have: a bucket of this many, refilled at this rate a second.
    static constexpr int replyBurst = 20;
    static constexpr int repliesPerSecond = 20;
    // Replies held back are counted and logged once the host has been quiet this long.
    static constexpr std::chrono::seconds burstEnd{1};

    SteadyClock now = [] { return std::chrono::steady_clock::now(); };

    const std::optional<QByteArray> &dataToSend() const { return m_dataToSend; }

private:
    struct Host
    {
        QJsonObject request;
        double replies = double(replyBurst);
        std::chrono::steady_clock::time_point refilled;
        qint64 withheld = 0;
        std::chrono::steady_clock::time_point lastWithheld;
    };

    bool takeReply(const QHostAddress &address, Host &host);
    void reportWithheld(const QHostAddress &address, Host &host, bool whenOver);
    void reportEndedBursts();
    void sendFullReply(const Send &send);
    void sendReducedReply(const Send &send);

    // The last full reply, encoded and as logged: while the facts stay the same, as they do
    // between most requests, encoding it again and masking it for the log is wasted work.
    struct EncodedReply
    {
        UDPResponse response;
        QByteArray bytes;
        QByteArray logged;
    };
    std::optional<EncodedReply> m_fullReply;

    QHash<QHostAddress, Host> m_clientRequest;
    QTimer m_burstCheck;
    QList<QHostAddress> m_order;
    std::optional<QByteArray> m_dataToSend;
    ComputerDetails &m_details;
    ZantiPreferences &m_preferences;
    Log &m_log;
};

} // namespace zc

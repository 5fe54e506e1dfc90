#include "discoveryresponder.h"

#include "computerdetails.h"
#include "log.h"
#include "secretmask.h"
#include "zantipreferences.h"

#include <QJsonDocument>

#include <algorithm>

namespace zc {

namespace {

// A phone on an IPv4 network reaches the dual-stack socket as an IPv4-mapped IPv6 address.
QHostAddress hostOf(const QHostAddress &address)
{
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    return isIpv4 ? QHostAddress(ipv4) : address;
}

QByteArray compact(const QJsonValue &value)
{
    if (value.isObject())
        return QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    return QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact);
}

} // namespace

DiscoveryResponder::DiscoveryResponder(ComputerDetails &details, ZantiPreferences &preferences,
                                       Log &log)
    : m_details(details), m_preferences(preferences), m_log(log)
{
    m_burstCheck.setSingleShot(true);
    m_burstCheck.setInterval(burstEnd);
    QObject::connect(&m_burstCheck, &QTimer::timeout, [this] { reportEndedBursts(); });
}

void DiscoveryResponder::intake(const QJsonArray &request, const QHostAddress &sender)
{
    m_log.line(maskPasswords(compact(request)));
    const QJsonObject first = request.at(0).toObject();
    m_log.line(maskPasswords(compact(first)));

    const QHostAddress host = hostOf(sender);
    auto stored = m_clientRequest.find(host);
    if (stored == m_clientRequest.end()) {
        if (m_order.size() == maximumHosts) {
            const QHostAddress forgotten = m_order.takeFirst();
            reportWithheld(forgotten, m_clientRequest[forgotten], false);
            m_clientRequest.remove(forgotten);
        }
        m_order.append(host);
        stored = m_clientRequest.insert(host, Host{});
        stored->refilled = now();
    }
    stored->request = first;
}

bool DiscoveryResponder::takeReply(const QHostAddress &address, Host &host)
{
    const auto time = now();
    const std::chrono::duration<double> elapsed = time - host.refilled;
    host.replies =
        std::min(double(replyBurst), host.replies + elapsed.count() * double(repliesPerSecond));
    host.refilled = time;
    if (host.replies >= 1) {
        reportWithheld(address, host, true);
        host.replies -= 1;
        return true;
    }
    ++host.withheld;
    host.lastWithheld = time;
    if (!m_burstCheck.isActive())
        m_burstCheck.start();
    return false;
}

void DiscoveryResponder::reportWithheld(const QHostAddress &address, Host &host, bool whenOver)
{
    if (host.withheld == 0 || (whenOver && now() - host.lastWithheld < burstEnd))
        return;
    m_log.line("Withheld", host.withheld, "discovery replies to", address.toString(), "beyond",
               repliesPerSecond, "a second");
    host.withheld = 0;
}

void DiscoveryResponder::reportEndedBursts()
{
    bool ongoing = false;
    for (auto host = m_clientRequest.begin(); host != m_clientRequest.end(); ++host) {
        reportWithheld(host.key(), host.value(), true);
        ongoing = ongoing || host->withheld > 0;
    }
    if (ongoing)
        m_burstCheck.start();
}

void DiscoveryResponder::credentialCheck(qint64 size, const QHostAddress &sender, bool answerable,
                                         const Send &send)
{
    QJsonValue clientKey;
    QJsonValue clientPassword;
    const QHostAddress host = hostOf(sender);
    const auto stored = m_clientRequest.find(host);
    if (stored != m_clientRequest.end()) {
        clientKey = stored->request.value(QLatin1String("app_authentication_key"));
        clientPassword = stored->request.value(QLatin1String("zanti_server_password"));
        if (!clientPassword.isUndefined())
            m_log.line(passwordMask);
    }
    m_log.line(QStringLiteral("incoming message: %1 bytes").arg(size));

    const bool passwordUsable = clientPassword.isUndefined() || clientPassword.isString();
    if (!clientKey.isString() || clientKey.toString() != applicationKey || !passwordUsable) {
        m_log.line("Response is nil");
        return;
    }
    // Anything but a command message or a discovery request, an empty datagram above all, is
    // the cheapest way to make this server send six times as much to a forged address.
    if (!answerable) {
        m_log.line("Not answering a datagram that is neither a command message nor a discovery "
                   "request");
        return;
    }
    if (!takeReply(host, *stored))
        return;

    const bool enabled = m_preferences.isAuthenticationEnabled();
    m_log.line(enabled);
    if (!enabled) {
        sendFullReply(send);
        return;
    }
    m_log.line(passwordMask, passwordMask);
    if (clientPassword.isString() &&
        equalInConstantTime(clientPassword.toString(),
                            m_preferences.serverAuthenticationPassword()))
        sendFullReply(send);
    else
        sendReducedReply(send);
}

void DiscoveryResponder::sendFullReply(const Send &send)
{
    UDPResponse response = m_details.getUDPResponse();
    if (m_fullReply && m_fullReply->response == response) {
        logEncoding(response, m_log);
    } else {
        const std::optional<QByteArray> encoded = encodeResponse(response, m_log);
        if (!encoded)
            return;
        const QJsonDocument parsed = QJsonDocument::fromJson(*encoded);
        m_fullReply =
            EncodedReply{std::move(response), *encoded,
                         parsed.isObject() ? maskPasswords(parsed.toJson(QJsonDocument::Compact))
                                           : QByteArray()};
    }
    m_dataToSend = m_fullReply->bytes;
    if (!m_fullReply->logged.isEmpty())
        m_log.line(m_fullReply->logged);
    send(m_fullReply->bytes);
}

void DiscoveryResponder::sendReducedReply(const Send &send)
{
    const UDPResponse response = m_details.getAuthenticationRequiredResponse();
    m_log.line(response.description());
    const std::optional<QByteArray> encoded = encodeResponse(response, m_log);
    if (!encoded)
        return;
    m_dataToSend = encoded;
    send(*encoded);
    m_log.line(response.description());
}

} // namespace zc

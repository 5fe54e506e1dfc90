#include "discoveryresponder.h"

#include "computerdetails.h"
#include "log.h"
#include "secretmask.h"
#include "zantipreferences.h"

#include <QJsonDocument>

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
{}

void DiscoveryResponder::intake(const QJsonArray &request, const QHostAddress &sender)
{
    m_log.line(maskPasswords(compact(request)));
    const QJsonObject first = request.at(0).toObject();
    m_log.line(maskPasswords(compact(first)));

    const QHostAddress host = hostOf(sender);
    if (!m_clientRequest.contains(host)) {
        if (m_order.size() == maximumHosts)
            m_clientRequest.remove(m_order.takeFirst());
        m_order.append(host);
    }
    m_clientRequest.insert(host, first);
}

void DiscoveryResponder::credentialCheck(qint64 size, const QHostAddress &sender, const Send &send)
{
    QJsonValue clientKey;
    QJsonValue clientPassword;
    const auto stored = m_clientRequest.constFind(hostOf(sender));
    if (stored != m_clientRequest.cend()) {
        clientKey = stored->value(QLatin1String("app_authentication_key"));
        clientPassword = stored->value(QLatin1String("zanti_server_password"));
        if (!clientPassword.isUndefined())
            m_log.line(passwordMask);
    }
    m_log.line(QStringLiteral("incoming message: %1 bytes").arg(size));

    const bool passwordUsable = clientPassword.isUndefined() || clientPassword.isString();
    if (!clientKey.isString() || clientKey.toString() != applicationKey || !passwordUsable) {
        m_log.line("Response is nil");
        return;
    }

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
    const std::optional<QByteArray> encoded = encodeResponse(m_details.getUDPResponse(), m_log);
    if (!encoded)
        return;
    m_dataToSend = encoded;
    const QJsonDocument parsed = QJsonDocument::fromJson(*encoded);
    if (parsed.isObject())
        m_log.line(maskPasswords(parsed.toJson(QJsonDocument::Compact)));
    send(*encoded);
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

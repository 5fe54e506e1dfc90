#include "udpresponse.h"

#include "log.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace zc {

UDPResponse::UDPResponse(QString deviceName, QString dnsHostName, QString macAddress,
                         QString webServerPort, QString tcpServerPort, bool isAuthenticationEnabled,
                         QString vlcPort, QString vlcPassword, QString zantiVersion,
                         QString systemOs)
    : device_name(std::move(deviceName)), dns_host_name(std::move(dnsHostName)),
      mac_address(std::move(macAddress)), web_server_port(std::move(webServerPort)),
      tcp_server_port(std::move(tcpServerPort)),
      is_authentication_enabled(isAuthenticationEnabled ? QStringLiteral("true")
                                                        : QStringLiteral("false")),
      vlc_port(std::move(vlcPort)), vlc_password(std::move(vlcPassword)),
      zanti_version(std::move(zantiVersion)), system_os(std::move(systemOs))
{}

QString UDPResponse::description() const
{
    const auto field = [](const char *name, const QString &value) {
        return QString::fromLatin1(name) + QStringLiteral(": \"") + value + u'"';
    };
    return QStringLiteral("UDPResponse(") + field("device_name", device_name) +
           QStringLiteral(", ") + field("dns_host_name", dns_host_name) + QStringLiteral(", ") +
           field("mac_address", mac_address) + QStringLiteral(", ") +
           field("web_server_port", web_server_port) + QStringLiteral(", ") +
           field("tcp_server_port", tcp_server_port) + QStringLiteral(", ") +
           field("is_authentication_enabled", is_authentication_enabled) + QStringLiteral(", ") +
           field("vlc_port", vlc_port) + QStringLiteral(", ") +
           field("vlc_password", passwordMask) + QStringLiteral(", ") +
           field("zanti_version", zanti_version) + QStringLiteral(", ") +
           field("system_os", system_os) + u')';
}

void logEncoding(const UDPResponse &response, Log &log)
{
    log.line(passwordMask);
    log.line(response.web_server_port);
    bool isNumber = false;
    const int port = response.web_server_port.toInt(&isNumber, 10);
    if (isNumber)
        log.line(port);
    else
        log.line("nil");
    log.line(response.is_authentication_enabled);
}

std::optional<QByteArray> encodeResponse(const UDPResponse &response, Log &log)
{
    const QJsonObject object{
        {QStringLiteral("device_name"), response.device_name},
        {QStringLiteral("dns_host_name"), response.dns_host_name},
        {QStringLiteral("mac_address"), response.mac_address},
        {QStringLiteral("web_server_port"), response.web_server_port},
        {QStringLiteral("tcp_server_port"), response.tcp_server_port},
        {QStringLiteral("is_authentication_enabled"), response.is_authentication_enabled},
        {QStringLiteral("vlc_port"), response.vlc_port},
        {QStringLiteral("vlc_password"), response.vlc_password},
        {QStringLiteral("zanti_version"), response.zanti_version},
        {QStringLiteral("system_os"), response.system_os},
    };
    logEncoding(response, log);
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

} // namespace zc

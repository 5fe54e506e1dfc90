#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace zc {

class Log;

// The discovery reply: ten texts, the ports and the switch included.
struct UDPResponse
{
    QString device_name;
    QString dns_host_name;
    QString mac_address;
    QString web_server_port;
    QString tcp_server_port;
    QString is_authentication_enabled;
    QString vlc_port;
    QString vlc_password;
    QString zanti_version;
    QString system_os;

    UDPResponse(QString deviceName, QString dnsHostName, QString macAddress, QString webServerPort,
                QString tcpServerPort, bool isAuthenticationEnabled, QString vlcPort,
                QString vlcPassword, QString zantiVersion, QString systemOs);

    // One line naming the record and every field, the password masked.
    QString description() const;

    bool operator==(const UDPResponse &) const = default;
};

// The four lines that accompany every encoding: the VLC password (masked), the port, the port
// read as a number, and the switch.
void logEncoding(const UDPResponse &response, Log &log);

// The reply as it goes on the wire: a pretty-printed JSON object of ten strings. Logs the four
// lines that accompany every encoding.
std::optional<QByteArray> encodeResponse(const UDPResponse &response, Log &log);

} // namespace zc

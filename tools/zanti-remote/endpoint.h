#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringView>

#include <optional>

namespace zc::remote {

struct Endpoint
{
    QString host;
    quint16 port = 0;
};

// Splits "HOST", "HOST:PORT", "[IPV6]" or "[IPV6]:PORT". On failure, returns nothing and sets
// error to a one-line explanation.
std::optional<Endpoint> parseEndpoint(QStringView text, quint16 defaultPort, QString &error);

// The addresses of a literal address or a host name, best first. Blocks while a name is looked up.
QList<QHostAddress> resolveHost(const QString &host, QString &error);

// "192.0.2.1:5916" or "[2001:db8::1]:5916"; IPv4-mapped IPv6 addresses are shown as IPv4.
QString formatEndpoint(const QHostAddress &address, quint16 port);

} // namespace zc::remote

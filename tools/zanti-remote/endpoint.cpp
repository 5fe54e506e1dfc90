#include "endpoint.h"

#include <QHostInfo>

namespace zc::remote {

namespace {

std::optional<quint16> parsePort(QStringView text)
{
    // toUInt() alone would also take a sign or surrounding spaces.
    if (text.isEmpty())
        return std::nullopt;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
    }
    bool ok = false;
    const uint value = text.toUInt(&ok);
    if (!ok || value == 0 || value > 65535)
        return std::nullopt;
    return quint16(value);
}

} // namespace

std::optional<Endpoint> parseEndpoint(QStringView text, quint16 defaultPort, QString &error)
{
    Endpoint endpoint{QString(), defaultPort};
    QStringView portText;
    bool hasPort = false;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0) {
            error = QStringLiteral("missing ']' in '%1'").arg(text);
            return std::nullopt;
        }
        const QStringView rest = text.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(u':')) {
            error = QStringLiteral("unexpected text after ']' in '%1'").arg(text);
            return std::nullopt;
        }
        endpoint.host = text.mid(1, close - 1).toString();
        if (QHostAddress(endpoint.host).protocol() != QAbstractSocket::IPv6Protocol) {
            error = QStringLiteral("'%1' is not an IPv6 address").arg(endpoint.host);
            return std::nullopt;
        }
        hasPort = !rest.isEmpty();
        portText = rest.mid(hasPort ? 1 : 0);
    } else {
        const qsizetype colons = text.count(u':');
        if (colons > 1) {
            // "::1:5916" is itself a valid address, so a port can only follow brackets.
            error = QStringLiteral("write an IPv6 address in brackets, as in [::1]:5916, not '%1'")
                        .arg(text);
            return std::nullopt;
        }
        const qsizetype colon = text.indexOf(u':');
        hasPort = colon >= 0;
        endpoint.host = (hasPort ? text.left(colon) : text).toString();
        if (hasPort)
            portText = text.mid(colon + 1);
    }
    if (endpoint.host.isEmpty()) {
        error = QStringLiteral("missing host in '%1'").arg(text);
        return std::nullopt;
    }
    if (hasPort) {
        const std::optional<quint16> port = parsePort(portText);
        if (!port) {
            error = QStringLiteral("bad port '%1' in '%2': expected a number from 1 to 65535")
                        .arg(portText, text);
            return std::nullopt;
        }
        endpoint.port = *port;
    }
    return endpoint;
}

QList<QHostAddress> resolveHost(const QString &host, QString &error)
{
    const QHostAddress literal(host);
    if (!literal.isNull())
        return {literal};
    const QHostInfo info = QHostInfo::fromName(host);
    if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
        error = QStringLiteral("cannot resolve host '%1': %2")
                    .arg(host, info.error() != QHostInfo::NoError ? info.errorString()
                                                                  : QStringLiteral("no address"));
        return {};
    }
    return info.addresses();
}

QString formatEndpoint(const QHostAddress &address, quint16 port)
{
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    if (isIPv4)
        return QStringLiteral("%1:%2").arg(QHostAddress(ipv4).toString()).arg(port);
    return QStringLiteral("[%1]:%2").arg(address.toString()).arg(port);
}

} // namespace zc::remote

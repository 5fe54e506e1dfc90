#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace zc {

// What the system says about itself, read afresh on every call.
class ISystemInfo
{
public:
    virtual ~ISystemInfo() = default;

    // The name the user gave the computer, when one is set.
    virtual std::optional<QString> prettyHostName() = 0;
    virtual QString hostName() = 0;
    // The network interface that carries the IPv4 default route with the lowest metric.
    virtual std::optional<QString> defaultRouteInterface() = 0;
    // The interface's hardware address bytes, when it has one.
    virtual std::optional<QByteArray> hardwareAddress(const QString &interfaceName) = 0;
    // The interface's first IPv4 address in dotted decimal, when it has one.
    virtual std::optional<QString> ipv4Address(const QString &interfaceName) = 0;
    // The running kernel's release, such as "6.1.0-18-amd64".
    virtual QString kernelRelease() = 0;
};

} // namespace zc

#pragma once

#include "isysteminfo.h"

namespace zc::test {

// A system whose every answer the test sets.
class FakeSystemInfo final : public ISystemInfo
{
public:
    std::optional<QString> pretty;
    QString host = QStringLiteral("workstation");
    std::optional<QString> routeInterface = QStringLiteral("eth0");
    std::optional<QByteArray> address = QByteArray::fromHex("0a1b2c3d4e5f");
    QString kernel = QStringLiteral("6.1.0-18-amd64");
    std::optional<QString> ipv4 = QStringLiteral("192.168.1.20");

    std::optional<QString> prettyHostName() override { return pretty; }
    QString hostName() override { return host; }
    std::optional<QString> defaultRouteInterface() override { return routeInterface; }
    std::optional<QByteArray> hardwareAddress(const QString &) override { return address; }
    std::optional<QString> ipv4Address(const QString &) override { return ipv4; }
    QString kernelRelease() override { return kernel; }
};

} // namespace zc::test

#pragma once

#include "isysteminfo.h"

namespace zc {

// Reads the routing table and the machine's names from the files Linux keeps them in.
class LinuxSystemInfo final : public ISystemInfo
{
public:
    explicit LinuxSystemInfo(QString routeTable = QStringLiteral("/proc/net/route"),
                             QString machineInfo = QStringLiteral("/etc/machine-info"));

    std::optional<QString> prettyHostName() override;
    QString hostName() override;
    std::optional<QString> defaultRouteInterface() override;
    std::optional<QByteArray> hardwareAddress(const QString &interfaceName) override;
    std::optional<QString> ipv4Address(const QString &interfaceName) override;
    QString kernelRelease() override;

private:
    QString m_routeTable;
    QString m_machineInfo;
};

} // namespace zc

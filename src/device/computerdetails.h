#pragma once

#include "udpresponse.h"

#include <QString>

#include <functional>
#include <optional>

namespace zc {

class ISystemInfo;
class ZantiPreferences;

// The computer's identity as the phone is shown it, read afresh for every reply.
class ComputerDetails
{
public:
    ComputerDetails(ISystemInfo &system, ZantiPreferences &preferences, Log &log);

    // Six lower-case hexadecimal pairs joined by ":", or "Unknown".
    QString getMACAddress() const;
    QString computerName() const;
    // "Linux - " and the kernel's major.minor.patch, all three always present.
    QString systemDescription() const;
    static QString programVersion();

    // The port the TCP server really listens on, when it runs: it moves up from the configured
    // one when that is taken, and the phone must connect where it is.
    using PortInUse = std::function<std::optional<quint16>()>;
    void setTCPPortInUse(PortInUse port) { m_tcpPortInUse = std::move(port); }

    UDPResponse getUDPResponse() const;
    UDPResponse getAuthenticationRequiredResponse() const;

private:
    ISystemInfo &m_system;
    ZantiPreferences &m_preferences;
    Log &m_log;
    PortInUse m_tcpPortInUse;
};

} // namespace zc

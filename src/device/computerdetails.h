#pragma once

#include "udpresponse.h"

#include <QString>

#include <chrono>
#include <functional>
#include <optional>

namespace zc {

class ISystemInfo;
class ZantiPreferences;

using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;

// The computer's identity as the phone is shown it. The replies take it from a copy at most a
// second old: reading it afresh took a dozen system calls, most of a discovery reply's cost.
// Not safe to use from several threads at once.
class ComputerDetails
{
public:
    // How long the replies may show the name, hardware address and system of an earlier read.
    static constexpr std::chrono::seconds freshFor{1};
    SteadyClock now = [] { return std::chrono::steady_clock::now(); };

    ComputerDetails(ISystemInfo &system, ZantiPreferences &preferences, Log &log);

    // These three read the system afresh at every call.
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
    struct Facts
    {
        QString name;
        QString macAddress;
        QString system;
    };
    const Facts &facts() const;

    mutable std::optional<Facts> m_facts;
    mutable std::chrono::steady_clock::time_point m_factsRead;
    ISystemInfo &m_system;
    ZantiPreferences &m_preferences;
    Log &m_log;
    PortInUse m_tcpPortInUse;
};

} // namespace zc

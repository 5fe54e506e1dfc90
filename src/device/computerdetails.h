#pragma once

#include "udpresponse.h"

#include <QString>

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

    UDPResponse getUDPResponse() const;
    UDPResponse getAuthenticationRequiredResponse() const;

private:
    ISystemInfo &m_system;
    ZantiPreferences &m_preferences;
    Log &m_log;
};

} // namespace zc

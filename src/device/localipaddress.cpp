#include "localipaddress.h"

#include "isysteminfo.h"
#include "log.h"

namespace zc {

std::optional<QString> getLocalIPAddress(ISystemInfo &system, Log &log)
{
    const std::optional<QString> interface = system.defaultRouteInterface();
    if (!interface)
        return std::nullopt;
    std::optional<QString> address = system.ipv4Address(*interface);
    if (address)
        log.line(*address);
    return address;
}

} // namespace zc

#pragma once

#include <QString>

#include <optional>

namespace zc {

class ISystemInfo;
class Log;

// This computer's IPv4 address on the network: that of the interface carrying the default
// route, which is the one the phone's packets arrive on. Nothing without a default route.
std::optional<QString> getLocalIPAddress(ISystemInfo &system, Log &log);

} // namespace zc

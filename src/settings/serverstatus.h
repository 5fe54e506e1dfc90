#pragma once

#include <QString>

#include <optional>

namespace zc {

// What the settings page shows of the running program besides the preferences.
struct ServerStatus
{
    // The UDP, TCP and web servers all run.
    bool isServerRunning = false;
    // This computer's IPv4 address on the network, as the phone would reach it.
    std::optional<QString> localIPAddress;
    // The ports the command servers really listen on; they move up from the configured ones
    // when those are taken.
    std::optional<quint16> udpPortInUse;
    std::optional<quint16> tcpPortInUse;
};

} // namespace zc

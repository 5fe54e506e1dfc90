#pragma once

#include <QtGlobal>

namespace zc {

class Log;

// Checks whether a server could take a port, by briefly taking it.
class Extras
{
public:
    explicit Extras(Log &log);

    // A TCP listener could be opened on the port as TCPServer opens one (all interfaces of both
    // address families, address reuse on), and was closed again.
    bool isPortFree(quint16 port);
    // The same, and a UDP socket could be bound on all interfaces as the UDP server binds it.
    bool isUdpPortFree(quint16 port);

private:
    Log &m_log;
};

} // namespace zc

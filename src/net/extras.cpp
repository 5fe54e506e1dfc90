#include "extras.h"

#include "log.h"

#include <QUdpSocket>

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zc {

namespace {

// A TCP socket as QTcpServer makes one for QHostAddress::Any: dual stack unless the machine has
// no IPv6, so that a port taken for either family counts as taken, and with SO_REUSEADDR, so
// that connections of an earlier run still in TIME_WAIT do not.
int probeSocket(bool &dualStack)
{
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    dualStack = fd >= 0;
    if (fd < 0 && errno == EAFNOSUPPORT)
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fd;
    const int on = 1;
    const int off = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (dualStack)
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    return fd;
}

bool bindToAny(int fd, bool dualStack, quint16 port)
{
    if (dualStack) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        address.sin6_addr = in6addr_any;
        return ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    return ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
}

} // namespace

Extras::Extras(Log &log) : m_log(log) {}

bool Extras::isPortFree(quint16 port)
{
    bool dualStack = false;
    const int fd = probeSocket(dualStack);
    if (fd < 0) {
        m_log.line(QStringLiteral("SocketCreationFailed, ") +
                   QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    const char *failure = nullptr;
    if (!bindToAny(fd, dualStack, port))
        failure = ", BindFailed, ";
    else if (::listen(fd, 128) != 0)
        failure = ", ListenFailed, ";
    const QString reason = failure ? QString::fromLocal8Bit(std::strerror(errno)) : QString();
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    if (failure) {
        m_log.line(QString::number(port) + QLatin1String(failure) + reason);
        return false;
    }
    m_log.line(QString::number(port) + QStringLiteral(" is free for use"));
    return true;
}

bool Extras::isUdpPortFree(quint16 port)
{
    if (!isPortFree(port))
        return false;
    QUdpSocket probe;
    if (probe.bind(QHostAddress::Any, port, QAbstractSocket::DontShareAddress))
        return true;
    m_log.line(QString::number(port) + QStringLiteral(", UDPBindFailed, ") + probe.errorString());
    return false;
}

} // namespace zc

#include "extras.h"

#include "log.h"

#include <QUdpSocket>

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zc {

Extras::Extras(Log &log) : m_log(log) {}

bool Extras::isPortFree(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        m_log.line(QStringLiteral("SocketCreationFailed, ") +
                   QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const char *failure = nullptr;
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
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

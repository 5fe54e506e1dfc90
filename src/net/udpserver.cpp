#include "udpserver.h"

#include "commandmessage.h"
#include "discoveryresponder.h"
#include "log.h"
#include "requesthandler.h"
#include "udpserverrestartdelegate.h"

#include <QNetworkDatagram>
#include <QUdpSocket>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace zc {

namespace {

// Datagrams handled before the event loop gets a turn, so that a flood cannot starve timers,
// signals or the other server.
constexpr int datagramsPerTurn = 256;

// Room for bursts: at 50,000 small datagrams a second the default buffer fills in a few
// milliseconds.
constexpr int receiveBufferBytes = 4 * 1024 * 1024;

} // namespace

UDPServer::UDPServer(RequestHandler &handler, DiscoveryResponder &responder, Log &log)
    : m_handler(handler), m_responder(responder), m_log(log)
{}

UDPServer::~UDPServer() = default;

quint16 UDPServer::localPort() const
{
    return m_socket ? m_socket->localPort() : 0;
}

qintptr UDPServer::socketDescriptor() const
{
    return m_socket ? m_socket->socketDescriptor() : -1;
}

bool UDPServer::setBroadcast(bool enabled)
{
    const int value = enabled ? 1 : 0;
    if (::setsockopt(int(m_socket->socketDescriptor()), SOL_SOCKET, SO_BROADCAST, &value,
                     sizeof value) == 0)
        return true;
    m_log.line(std::strerror(errno));
    return false;
}

void UDPServer::startServer(quint16 port)
{
    m_udpServerPort = port;
    m_socket.reset(new QUdpSocket);
    QUdpSocket *socket = m_socket.get();
    QObject::connect(socket, &QAbstractSocket::stateChanged, socket,
                     [this, socket](QAbstractSocket::SocketState state) {
                         if (state != QAbstractSocket::UnconnectedState)
                             return;
                         // Reported after the stop has finished its own lines.
                         QMetaObject::invokeMethod(
                             socket,
                             [this, socket] {
                                 m_log.line(socket->state() == QAbstractSocket::UnconnectedState);
                             },
                             Qt::QueuedConnection);
                     });

    if (!socket->bind(QHostAddress::Any, port, QAbstractSocket::DontShareAddress)) {
        m_log.line(socket->errorString());
        return;
    }
    if (!setBroadcast(true))
        return;
    socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, receiveBufferBytes);
    QObject::connect(socket, &QIODevice::readyRead, socket, [this] { readDatagrams(); });

    if (m_udpServerDelegate)
        m_udpServerDelegate->udpServerRunningChanged(true);
    m_isServerRunning = true;
    m_log.line(QStringLiteral("UDP server listening on port ") +
               QString::number(socket->localPort()));
}

void UDPServer::readDatagrams()
{
    QUdpSocket *socket = m_socket.get();
    if (!socket || socket->state() != QAbstractSocket::BoundState)
        return;
    // What is left is announced again by the socket's next readyRead. Calling back here by other
    // means risks a readyRead with nothing to read, after which Qt stops watching the socket.
    for (int handled = 0; handled < datagramsPerTurn && socket->hasPendingDatagrams(); ++handled)
        handleDatagram(socket, socket->receiveDatagram());
}

bool UDPServer::isAnsweringMachine(const DecodedDatagram &decoded, quint16 senderPort)
{
    // Every datagram of a host that asked for discovery is answered, so whatever answers back
    // would keep both sides talking for good: the services below 1024 that answer anything
    // (echo, DNS errors), and another server of this kind, whose answer is a discovery reply.
    // A phone sends from a port of its own above them, and never a discovery reply.
    constexpr quint16 firstUnprivilegedPort = 1024;
    return senderPort < firstUnprivilegedPort ||
           (decoded.kind == DecodedDatagram::Kind::CommandMessage &&
            decoded.message.contains(QLatin1String("device_name")) &&
            decoded.message.contains(QLatin1String("tcp_server_port")));
}

void UDPServer::handleDatagram(QUdpSocket *socket, const QNetworkDatagram &datagram)
{
    if (!m_clientSocket.contains(socket))
        m_clientSocket.append(socket);
    const DecodedDatagram decoded = decodeDatagram(datagram.data(), m_log);
    if (decoded.kind == DecodedDatagram::Kind::CommandMessage)
        m_handler.processMessage(decoded.message);
    else if (decoded.kind == DecodedDatagram::Kind::DiscoveryRequest)
        m_responder.intake(decoded.discovery, datagram.senderAddress());

    const QHostAddress sender = datagram.senderAddress();
    const auto senderPort = quint16(datagram.senderPort());
    if (isAnsweringMachine(decoded, senderPort)) {
        m_log.line("Not answering a datagram from port", senderPort,
                   "that may be an answer itself");
        return;
    }
    const bool answerable = decoded.kind != DecodedDatagram::Kind::Unusable;
    m_responder.credentialCheck(
        datagram.data().size(), sender, answerable, [&](const QByteArray &reply) {
            if (socket->writeDatagram(reply, sender, senderPort) == reply.size())
                m_log.line("Data Sent");
            else
                m_log.line(socket->errorString());
        });
}

void UDPServer::stopServer()
{
    if (!m_socket)
        return;
    const QList<QUdpSocket *> clients = m_clientSocket;
    for (QUdpSocket *client : clients) {
        client->close();
        const qsizetype position = m_clientSocket.indexOf(client);
        m_log.line(position);
        m_clientSocket.removeAt(position);
    }
    QObject::disconnect(m_socket.get(), &QIODevice::readyRead, nullptr, nullptr);
    // The socket is usually closed above already, as the one that delivered the datagrams.
    if (m_socket->socketDescriptor() >= 0)
        setBroadcast(false);
    m_socket->close();

    const bool closed = m_socket->state() == QAbstractSocket::UnconnectedState;
    m_log.line(m_clientSocket.isEmpty());
    m_log.line(closed);
    if (closed && m_clientSocket.isEmpty()) {
        m_isServerRunning = false;
        if (m_udpServerDelegate)
            m_udpServerDelegate->udpServerRunningChanged(false);
    }
}

} // namespace zc

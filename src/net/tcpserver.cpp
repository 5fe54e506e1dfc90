#include "tcpserver.h"

#include "commandmessage.h"
#include "log.h"
#include "messagestream.h"
#include "requesthandler.h"
#include "secretmask.h"
#include "tcpserverrestartdelegate.h"
#include "zantipreferences.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

#include <sys/ioctl.h>

namespace zc {

namespace {

constexpr QByteArrayView success("success");

QString optionalPort(quint16 port)
{
    return QStringLiteral("Optional(%1)").arg(port);
}

// An IPv4 client reaches the dual-stack listener as an IPv4-mapped IPv6 address.
QHostAddress hostOf(const QHostAddress &address)
{
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    return isIpv4 ? QHostAddress(ipv4) : address;
}

} // namespace

struct TCPServer::Connection
{
    std::unique_ptr<QTcpSocket, void (*)(QTcpSocket *)> socket{
        nullptr, [](QTcpSocket *s) { s->deleteLater(); }};
    MessageStream stream;
    PasswordMasker masker;
    QTimer idle;
    QHostAddress host;
    quint64 lastActivity = 0;
};

TCPServer::TCPServer(RequestHandler &handler, PrivateSettings &privateSettings,
                     FirstConnection firstConnection, Log &log)
    : m_handler(handler), m_privateSettings(privateSettings),
      m_firstConnection(std::move(firstConnection)), m_log(log)
{}

TCPServer::~TCPServer()
{
    // Sockets go before the server so that none calls back into a half-destroyed object.
    for (const std::shared_ptr<Connection> &connection : m_clientSocket)
        QObject::disconnect(connection->socket.get(), nullptr, nullptr, nullptr);
    m_clientSocket.clear();
}

quint16 TCPServer::localPort() const
{
    return m_tcpServer ? m_tcpServer->serverPort() : 0;
}

void TCPServer::startServer(quint16 port)
{
    m_tcpServerPort = port;
    m_tcpServer = std::make_unique<QTcpServer>();
    if (!m_tcpServer->listen(QHostAddress::Any, port)) {
        m_log.line(QStringLiteral("Cannot listen on port ") + optionalPort(port) +
                   QStringLiteral(": ") + m_tcpServer->errorString());
        return;
    }
    QObject::connect(m_tcpServer.get(), &QTcpServer::newConnection, m_tcpServer.get(),
                     [this] { accept(); });
    m_log.line(QStringLiteral("listening on port ") + optionalPort(m_tcpServer->serverPort()) +
               QStringLiteral(".."));
    if (m_tcpServerDelegate)
        m_tcpServerDelegate->tcpServerRunningChanged(true);
    m_isServerRunning = true;
}

std::shared_ptr<TCPServer::Connection> TCPServer::find(QTcpSocket *socket) const
{
    for (const std::shared_ptr<Connection> &connection : m_clientSocket) {
        if (connection->socket.get() == socket)
            return connection;
    }
    return nullptr;
}

qsizetype TCPServer::positionOf(QTcpSocket *socket) const
{
    for (qsizetype i = 0; i < m_clientSocket.size(); ++i) {
        if (m_clientSocket[i]->socket.get() == socket)
            return i;
    }
    return -1;
}

void TCPServer::removeAt(qsizetype position)
{
    const std::shared_ptr<Connection> connection = m_clientSocket.takeAt(position);
    QObject::disconnect(connection->socket.get(), nullptr, nullptr, nullptr);
}

void TCPServer::accept()
{
    while (QTcpSocket *socket = m_tcpServer->nextPendingConnection()) {
        // The connection owns its socket; left to the listener, it would die with it.
        socket->setParent(nullptr);
        auto connection = std::make_shared<Connection>();
        connection->socket.reset(socket);
        connection->host = hostOf(socket->peerAddress());
        connection->lastActivity = ++m_activity;
        makeRoomFor(connection->host);
        m_log.line("New Socket.");
        if (!m_privateSettings.hasAppUsed()) {
            m_log.line("AppDelegate.settings.hasAppUsed : ", false);
            if (m_firstConnection)
                m_firstConnection();
            m_privateSettings.setHasAppUsed(true);
        }
        m_clientSocket.append(connection);

        Connection *raw = connection.get();
        raw->idle.setSingleShot(true);
        raw->idle.setInterval(timeout);
        QObject::connect(&raw->idle, &QTimer::timeout, socket, [this, socket] {
            m_log.line("Read operation timed out");
            socket->abort();
        });
        QObject::connect(socket, &QIODevice::readyRead, socket, [this, socket] {
            if (const std::shared_ptr<Connection> c = find(socket))
                read(c);
        });
        QObject::connect(socket, &QIODevice::bytesWritten, socket, [this, socket] {
            if (socket->bytesToWrite() > 0)
                return;
            m_log.line("sent!");
            if (const std::shared_ptr<Connection> c = find(socket))
                c->idle.start();
        });
        // A closed connection leaves the list at once, so that closed ones can never fill it
        // and get every new connection refused.
        QObject::connect(socket, &QAbstractSocket::disconnected, socket, [this, socket] {
            if (socket->error() == QAbstractSocket::UnknownSocketError)
                m_log.line("Unknown error!");
            else
                m_log.line(socket->errorString());
            const qsizetype position = positionOf(socket);
            m_log.line(position);
            removeAt(position);
        });
        raw->idle.start();
        if (socket->bytesAvailable() > 0)
            read(connection);
    }
}

void TCPServer::makeRoomFor(const QHostAddress &host)
{
    const auto fromHost =
        std::count_if(m_clientSocket.cbegin(), m_clientSocket.cend(),
                      [&host](const std::shared_ptr<Connection> &c) { return c->host == host; });
    if (fromHost >= maximumConnectionsPerHost)
        closeLongestIdle(&host);
    else if (m_clientSocket.size() >= maximumConnections)
        closeLongestIdle(nullptr);
}

void TCPServer::closeLongestIdle(const QHostAddress *host)
{
    qsizetype oldest = -1;
    for (qsizetype i = 0; i < m_clientSocket.size(); ++i) {
        const Connection &c = *m_clientSocket[i];
        if ((!host || c.host == *host) &&
            (oldest < 0 || c.lastActivity < m_clientSocket[oldest]->lastActivity))
            oldest = i;
    }
    if (oldest < 0)
        return;
    const std::shared_ptr<Connection> connection = m_clientSocket[oldest];
    m_log.line("Closed the TCP connection idle the longest, of", host ? "its host's" : "all",
               m_clientSocket.size(), "connections, from", connection->host.toString());
    removeAt(oldest);
    connection->idle.stop();
    connection->socket->abort();
}

void TCPServer::read(const std::shared_ptr<Connection> &connectionPointer)
{
    // Held here: a command may stop the server and drop the connection from the list.
    const std::shared_ptr<Connection> keep = connectionPointer;
    Connection &connection = *keep;
    QTcpSocket *socket = connection.socket.get();
    const QByteArray bytes = socket->readAll();
    if (bytes.isEmpty())
        return;
    connection.lastActivity = ++m_activity;
    m_log.line(QStringLiteral("%1 bytes").arg(bytes.size()));
    m_log.line(connection.masker.feed(bytes));

    connection.stream.append(bytes);
    while (const std::optional<MessageStream::Frame> frame = connection.stream.next()) {
        switch (frame->kind) {
        case MessageStream::Frame::Kind::Text:
            handleText(frame->bytes);
            break;
        case MessageStream::Frame::Kind::Garbage:
            m_log.line("Tcp Server json error");
            break;
        case MessageStream::Frame::Kind::Overflow:
            m_log.line("Dropped an unfinished TCP message of", frame->bytes.size(),
                       "bytes: longer than", MessageStream::maximumPending, "bytes");
            break;
        }
    }
    // The read may have run a command that stopped this server; the socket is gone then.
    if (!find(socket))
        return;
    socket->write(success.data(), success.size());
    // Written now rather than on the next turn of the event loop: a client that has shut down
    // its side after the command is closed on that turn, and the reply would be lost with it.
    socket->flush();
    int unsentInKernel = 0;
    if (::ioctl(int(socket->socketDescriptor()), TIOCOUTQ, &unsentInKernel) != 0)
        unsentInKernel = 0;
    const qint64 unsent = socket->bytesToWrite() + unsentInKernel;
    if (unsent > maximumUnsentBytes) {
        m_log.line("Closed a TCP connection that does not read its replies:", unsent,
                   "bytes unsent");
        connection.idle.stop();
        removeAt(positionOf(socket));
        socket->abort();
        return;
    }
    connection.idle.start();
}

void TCPServer::handleText(const QByteArray &text)
{
    const std::optional<QJsonValue> value = isUtf8(text) ? parseJsonValue(text) : std::nullopt;
    if (!value) {
        m_log.line("Tcp Server json error");
        return;
    }
    if (!value->isObject())
        return;
    m_log.line(maskPasswords(QJsonDocument(value->toObject()).toJson(QJsonDocument::Compact)));
    m_handler.processMessage(value->toObject());
}

void TCPServer::stopServer()
{
    const QList<std::shared_ptr<Connection>> snapshot = m_clientSocket;
    for (const std::shared_ptr<Connection> &client : snapshot) {
        client->idle.stop();
        const qsizetype position = positionOf(client->socket.get());
        m_log.line(position);
        // Removed first, so that the abort's disconnected signal finds nothing to remove.
        removeAt(position);
        client->socket->abort();
    }
    if (m_tcpServer) {
        QObject::disconnect(m_tcpServer.get(), nullptr, nullptr, nullptr);
        m_tcpServer.reset();
    }
    if (m_clientSocket.isEmpty()) {
        m_isServerRunning = false;
        if (m_tcpServerDelegate)
            m_tcpServerDelegate->tcpServerRunningChanged(false);
    }
}

} // namespace zc

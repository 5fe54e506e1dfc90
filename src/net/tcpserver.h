#pragma once

#include <QList>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QHostAddress;
class QTcpServer;
class QTcpSocket;

namespace zc {

class Log;
class PrivateSettings;
class RequestHandler;
class tcpServerRestartDelegate;

// Receives command messages over TCP connections and answers every read with "success". Each
// connection's bytes are split into whole JSON texts, however the reads cut them.
class TCPServer
{
public:
    // Called once per installation, on the first connection ever accepted.
    using FirstConnection = std::function<void()>;

    TCPServer(RequestHandler &handler, PrivateSettings &privateSettings,
              FirstConnection firstConnection, Log &log);
    ~TCPServer();
    TCPServer(const TCPServer &) = delete;
    TCPServer &operator=(const TCPServer &) = delete;

    // Port 0 picks a free port; localPort() tells which.
    void startServer(quint16 port);
    void stopServer();

    bool isServerRunning() const { return m_isServerRunning; }
    std::optional<quint16> TCPServerPort() const { return m_tcpServerPort; }
    quint16 localPort() const;
    qsizetype connectionCount() const { return m_clientSocket.size(); }
    void setTcpServerDelegate(tcpServerRestartDelegate *delegate)
    {
        m_tcpServerDelegate = delegate;
    }

    // Connections served at once, in all and from one host. A new connection beyond either
    // bound takes the place of the one (of that host, or of all) idle the longest, so idle
    // connections can never lock a phone out. A read or write that makes no progress for the
    // timeout ends its connection.
    int maximumConnections = 256;
    int maximumConnectionsPerHost = 8;
    // Replies a connection may leave unsent (in the socket and in the kernel) before it is
    // closed: a client that never reads would otherwise make them pile up without end.
    qint64 maximumUnsentBytes = 64 * 1024;
    std::chrono::milliseconds timeout = std::chrono::seconds(2000);

private:
    struct Connection;

    void accept();
    void read(const std::shared_ptr<Connection> &connection);
    void handleText(const QByteArray &text);
    std::shared_ptr<Connection> find(QTcpSocket *socket) const;
    qsizetype positionOf(QTcpSocket *socket) const;
    void removeAt(qsizetype position);
    void makeRoomFor(const QHostAddress &host);
    void closeLongestIdle(const QHostAddress *host);

    std::unique_ptr<QTcpServer> m_tcpServer;
    QList<std::shared_ptr<Connection>> m_clientSocket;
    std::optional<quint16> m_tcpServerPort;
    // Counts reads and accepts; a connection's last value of it orders the idle ones.
    quint64 m_activity = 0;
    bool m_isServerRunning = false;
    tcpServerRestartDelegate *m_tcpServerDelegate = nullptr;
    RequestHandler &m_handler;
    PrivateSettings &m_privateSettings;
    FirstConnection m_firstConnection;
    Log &m_log;
};

} // namespace zc

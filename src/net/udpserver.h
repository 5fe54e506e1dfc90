#pragma once

#include <QList>
#include <QObject>

#include <memory>
#include <optional>

class QNetworkDatagram;
class QUdpSocket;

namespace zc {

class DiscoveryResponder;
struct DecodedDatagram;
class Log;
class RequestHandler;
class UDPServerRestartDelegate;

// Receives command messages and discovery requests as UDP datagrams on all interfaces, with
// broadcast enabled, and answers with discovery replies. Every datagram is handled on the thread
// that owns the server, one at a time.
class UDPServer
{
public:
    UDPServer(RequestHandler &handler, DiscoveryResponder &responder, Log &log);
    ~UDPServer();
    UDPServer(const UDPServer &) = delete;
    UDPServer &operator=(const UDPServer &) = delete;

    // Port 0 picks a free port; localPort() tells which.
    void startServer(quint16 port);
    void stopServer();

    bool isServerRunning() const { return m_isServerRunning; }
    std::optional<quint16> UDPServerPort() const { return m_udpServerPort; }
    quint16 localPort() const;
    qintptr socketDescriptor() const;
    void setUdpServerDelegate(UDPServerRestartDelegate *delegate)
    {
        m_udpServerDelegate = delegate;
    }

private:
    void readDatagrams();
    void handleDatagram(QUdpSocket *socket, const QNetworkDatagram &datagram);
    static bool isAnsweringMachine(const DecodedDatagram &decoded, quint16 senderPort);
    bool setBroadcast(bool enabled);

    std::optional<quint16> m_udpServerPort;
    std::unique_ptr<QUdpSocket> m_socket;
    QList<QUdpSocket *> m_clientSocket;
    bool m_isServerRunning = false;
    UDPServerRestartDelegate *m_udpServerDelegate = nullptr;
    RequestHandler &m_handler;
    DiscoveryResponder &m_responder;
    Log &m_log;
};

} // namespace zc

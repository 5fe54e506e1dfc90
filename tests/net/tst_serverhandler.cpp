#include "commandstack.h"
#include "extras.h"
#include "serverhandler.h"
#include "tcpserver.h"
#include "udpserver.h"

#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

#include <atomic>
#include <thread>

using namespace zc;
using namespace zc::test;

namespace {

// A stand-in settings web server that really takes its port.
class FakeWebServer final : public IWebServer
{
public:
    QTcpServer listener;
    webserverRestartDelegate *delegate = nullptr;

    void startServer(quint16 port) override
    {
        if (listener.listen(QHostAddress::Any, port) && delegate)
            delegate->webServerRunningChanged(true);
    }
    void stopServer() override
    {
        listener.close();
        if (delegate)
            delegate->webServerRunningChanged(false);
    }
    bool isServerRunning() const override { return listener.isListening(); }
    void setWebserverDelegate(webserverRestartDelegate *d) override { delegate = d; }
};

// Whether a connection with the local port is in TIME_WAIT.
bool inTimeWait(quint16 port)
{
    const QByteArray local = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file{QLatin1String(table)};
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 3 && fields[1].endsWith(local) && fields[3] == "06")
                return true;
        }
    }
    return false;
}

// Leaves the port as an earlier run that served a phone leaves it: the server side of a
// connection closed first, so that connection lingers in TIME_WAIT, and no listener.
bool leaveTimeWait(quint16 port)
{
    QTcpServer listener;
    if (!listener.listen(QHostAddress::Any, port))
        return false;
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    if (!QTest::qWaitFor([&] { return listener.hasPendingConnections(); }, 5000))
        return false;
    listener.nextPendingConnection()->close();
    return QTest::qWaitFor(
        [&] { return client.state() == QAbstractSocket::UnconnectedState && inTimeWait(port); },
        5000);
}

} // namespace

class TestServerHandler : public QObject
{
    Q_OBJECT

    std::unique_ptr<CommandStack> stack;
    std::unique_ptr<UDPServer> udp;
    std::unique_ptr<TCPServer> tcp;
    std::unique_ptr<FakeWebServer> web;
    std::unique_ptr<Extras> extras;
    std::unique_ptr<ServerHandler> supervisor;
    quint16 base = 0;

    void build(bool withWeb)
    {
        supervisor = std::make_unique<ServerHandler>(*udp, *tcp, withWeb ? web.get() : nullptr,
                                                     stack->preferences, *extras, stack->desktop,
                                                     stack->capture.log);
    }

private slots:
    void init()
    {
        base = freeRun(4);
        QVERIFY(base != 0);
        stack = std::make_unique<CommandStack>();
        stack->preferences.setServerUDPPort(base);
        stack->preferences.setServerTCPPort(base);
        stack->preferences.setWebServerPort(quint16(base + 3));
        udp = std::make_unique<UDPServer>(stack->handler, stack->responder, stack->capture.log);
        tcp = std::make_unique<TCPServer>(stack->handler, stack->privateSettings,
                                          TCPServer::FirstConnection(), stack->capture.log);
        web = std::make_unique<FakeWebServer>();
        extras = std::make_unique<Extras>(stack->capture.log);
        build(false);
    }

    void cleanup()
    {
        supervisor.reset();
        tcp.reset();
        udp.reset();
        stack.reset();
    }

    // Ports as offsets from a run of free ports; the holder takes the first of them.
    void portSearch_data()
    {
        QTest::addColumn<QString>("holder");
        QTest::addColumn<bool>("withWeb"); // wanting the first port too, and searched first
        QTest::addColumn<int>("udpWanted");
        QTest::addColumn<int>("tcpWanted");
        QTest::addColumn<int>("udpFound");
        QTest::addColumn<int>("tcpFound");

        QTest::newRow("common port") << "" << false << 0 << 0 << 0 << 0;
        QTest::newRow("held by a TCP listener: both move") << "tcp" << false << 0 << 0 << 1 << 1;
        QTest::newRow("busy for UDP only: both move") << "udp" << false << 0 << 0 << 1 << 1;
        QTest::newRow("different ports are searched apart") << "tcp" << false << 2 << 0 << 2 << 1;
        QTest::newRow("the web server goes first") << "" << true << 0 << 0 << 1 << 1;
        QTest::newRow("connection of an earlier run in TIME_WAIT: both stay")
            << "time wait" << false << 0 << 0 << 0 << 0;
        QTest::newRow("held by an IPv6-only listener: both move")
            << "tcp6" << false << 0 << 0 << 1 << 1;
    }

    void portSearch()
    {
        QFETCH(QString, holder);
        QFETCH(bool, withWeb);
        QFETCH(int, udpWanted);
        QFETCH(int, tcpWanted);
        QFETCH(int, udpFound);
        QFETCH(int, tcpFound);
        QTcpServer tcpHolder;
        QUdpSocket udpHolder;
        if (holder == u"tcp")
            QVERIFY(tcpHolder.listen(QHostAddress::Any, base));
        if (holder == u"udp")
            QVERIFY(udpHolder.bind(QHostAddress::Any, base, QAbstractSocket::DontShareAddress));
        if (holder == u"time wait")
            QVERIFY(leaveTimeWait(base));
        if (holder == u"tcp6") {
            if (!tcpHolder.listen(QHostAddress::AnyIPv6, base))
                QSKIP("no IPv6 on this machine");
            QTcpServer ipv4;
            QVERIFY(ipv4.listen(QHostAddress::AnyIPv4, base)); // the holder leaves IPv4 alone
        }
        stack->preferences.setServerUDPPort(quint16(base + udpWanted));
        stack->preferences.setServerTCPPort(quint16(base + tcpWanted));
        stack->preferences.setWebServerPort(base);
        build(withWeb);

        supervisor->startServers();
        QVERIFY(supervisor->isServerRunning());
        QCOMPARE(udp->localPort(), quint16(base + udpFound));
        QCOMPARE(tcp->localPort(), quint16(base + tcpFound));
        if (withWeb)
            QCOMPARE(web->listener.serverPort(), base);
    }

    void stopAndRestart()
    {
        build(true);
        supervisor->stopServers(); // with nothing running yet
        supervisor->startServers();
        QVERIFY(supervisor->isServerRunning());
        supervisor->stopServers();
        QVERIFY(!supervisor->isUDPServerRunning());
        QVERIFY(!supervisor->isTCPServerRunning());
        QVERIFY(!supervisor->isWebServerRunning());
        // A key or button a phone held down must not stay down once nobody can release it.
        QCOMPARE(stack->desktop.calls, (QStringList{"release all", "release all"}));
        QVERIFY(tcpFree(base));
        supervisor->startServers();
        QVERIFY(supervisor->isServerRunning());
    }

    void searchEndsAt65535()
    {
        QTcpServer holder;
        if (!holder.listen(QHostAddress::Any, 65535))
            QSKIP("port 65535 is taken on this machine");
        stack->preferences.setServerUDPPort(65535);
        stack->preferences.setServerTCPPort(65535);
        supervisor->startServers();
        QVERIFY(!udp->isServerRunning());
        QVERIFY(!tcp->isServerRunning());
    }

    void callsFromAnotherThreadRunOnTheServersThread()
    {
        std::atomic<bool> started = false;
        std::thread caller([&] {
            supervisor->startServers();
            started = supervisor->isServerRunning();
        });
        // The caller waits for this thread's event loop to do the work.
        QTRY_VERIFY(started);
        caller.join();
        QCOMPARE(udp->localPort(), base);

        std::atomic<bool> stopped = false;
        std::thread stopper([&] {
            supervisor->stopServers();
            stopped = true;
        });
        QTRY_VERIFY(stopped);
        stopper.join();
        QVERIFY(!supervisor->isUDPServerRunning());
        QVERIFY(!supervisor->isTCPServerRunning());
    }
};

QTEST_GUILESS_MAIN(TestServerHandler)
#include "tst_serverhandler.moc"

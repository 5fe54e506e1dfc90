#include "commandstack.h"
#include "extras.h"
#include "logcapture.h"
#include "serverhandler.h"
#include "tcpserver.h"
#include "udpserver.h"

#include <QTcpServer>
#include <QTest>
#include <QThread>
#include <QUdpSocket>

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
        if (!listener.listen(QHostAddress::Any, port))
            return;
        if (delegate)
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

bool tcpFree(quint16 port)
{
    QTcpServer probe;
    return probe.listen(QHostAddress::Any, port);
}

bool udpFree(quint16 port)
{
    QUdpSocket probe;
    return probe.bind(QHostAddress::Any, port, QAbstractSocket::DontShareAddress);
}

// A port from which `count` ports in a row are free for both TCP and UDP.
quint16 freeRun(int count)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::Any, 0))
            continue;
        const quint16 base = probe.serverPort();
        probe.close();
        if (base > 65535 - count)
            continue;
        bool allFree = true;
        for (int i = 0; i < count && allFree; ++i)
            allFree = tcpFree(quint16(base + i)) && udpFree(quint16(base + i));
        if (allFree)
            return base;
    }
    return 0;
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
        stack->preferences.setWebServerPort(quint16(base - 1));
        udp = std::make_unique<UDPServer>(stack->handler, stack->responder, stack->capture.log);
        tcp = std::make_unique<TCPServer>(stack->handler, stack->privateSettings,
                                          TCPServer::FirstConnection(), stack->capture.log);
        web = std::make_unique<FakeWebServer>();
        extras = std::make_unique<Extras>(stack->capture.log);
        build(false);
        stack->capture.clear();
    }

    void cleanup()
    {
        supervisor.reset();
        tcp.reset();
        udp.reset();
        stack.reset();
    }

    void commonPort()
    {
        supervisor->startServers();
        QVERIFY(supervisor->isServerRunning());
        QCOMPARE(udp->localPort(), base);
        QCOMPARE(tcp->localPort(), base);
        QCOMPARE(supervisor->Port(), std::optional<quint16>(base));
        const QStringList lines = stack->capture.lines();
        QCOMPARE(lines.mid(0, 2), (QStringList{QStringLiteral("%1 is free for use").arg(base),
                                               QString::number(base)}));
    }

    void portHeldByTcpListenerMovesBoth()
    {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, base));
        supervisor->startServers();
        QCOMPARE(udp->localPort(), quint16(base + 1));
        QCOMPARE(tcp->localPort(), quint16(base + 1));
        const QStringList lines = stack->capture.lines();
        QCOMPARE(
            lines.mid(0, 4),
            (QStringList{QStringLiteral("%1, BindFailed, Address already in use").arg(base),
                         QString::number(base), QStringLiteral("%1 is free for use").arg(base + 1),
                         QString::number(base + 1)}));
        // The reply still names the configured port, not the one found.
        QCOMPARE(stack->details.getUDPResponse().web_server_port, QString::number(base));
    }

    void portBusyForUdpOnlyIsPassedOver()
    {
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress::Any, base, QAbstractSocket::DontShareAddress));
        supervisor->startServers();
        QVERIFY(supervisor->isServerRunning());
        QCOMPARE(udp->localPort(), quint16(base + 1));
        QCOMPARE(tcp->localPort(), quint16(base + 1));
        QVERIFY(stack->capture.lines().contains(
            QStringLiteral("%1, UDPBindFailed, The bound address is already in use").arg(base)));
    }

    void differentPortsAreSearchedApart()
    {
        stack->preferences.setServerUDPPort(quint16(base + 2));
        stack->preferences.setServerTCPPort(base);
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, base));
        stack->capture.clear();
        supervisor->startServers();
        QCOMPARE(udp->localPort(), quint16(base + 2));
        QCOMPARE(tcp->localPort(), quint16(base + 1));
        QCOMPARE(supervisor->udpPort(), std::optional<quint16>(base + 2));
        QCOMPARE(supervisor->tcpPort(), std::optional<quint16>(base + 1));
        const QStringList lines = stack->capture.lines();
        QVERIFY(!lines.contains(QString::number(base)));
        QVERIFY(!lines.contains(QString::number(base + 1)));
    }

    void webServerIsSearchedFirst()
    {
        build(true);
        // The web server wants the command port's number; the command servers move on.
        stack->preferences.setWebServerPort(base);
        supervisor->startServers();
        QVERIFY(supervisor->isServerRunning());
        QCOMPARE(web->listener.serverPort(), base);
        QCOMPARE(supervisor->webPort(), std::optional<quint16>(base));
        QCOMPARE(udp->localPort(), quint16(base + 1));
        QCOMPARE(tcp->localPort(), quint16(base + 1));
    }

    void stopWithNothingRunning()
    {
        supervisor->stopServers();
        QCOMPARE(stack->capture.lines(), QStringList{"false"});
    }

    void stopAndRestart()
    {
        build(true);
        supervisor->startServers();
        QVERIFY(supervisor->isServerRunning());
        supervisor->stopServers();
        QVERIFY(!supervisor->isUDPServerRunning());
        QVERIFY(!supervisor->isTCPServerRunning());
        QVERIFY(!supervisor->isWebServerRunning());
        // A key or button a phone held down must not stay down once nobody can release it.
        QCOMPARE(stack->desktop.calls, QStringList{"release all"});
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
        stack->capture.clear();
        supervisor->startServers();
        QVERIFY(!udp->isServerRunning());
        QVERIFY(!tcp->isServerRunning());
        QVERIFY(stack->capture.lines().contains(
            QStringLiteral("No free port from 65535 to 65535; that server stays stopped")));
    }

    void callsFromAnotherThreadRunOnTheServersThread()
    {
        bool started = false;
        std::thread caller([&] {
            supervisor->startServers();
            started = supervisor->isServerRunning();
        });
        // The caller waits for this thread's event loop to do the work.
        QTRY_VERIFY(started);
        caller.join();
        QCOMPARE(udp->localPort(), base);

        std::thread stopper([&] { supervisor->stopServers(); });
        QTRY_VERIFY(!supervisor->isUDPServerRunning());
        stopper.join();
        QVERIFY(!supervisor->isTCPServerRunning());
    }
};

QTEST_GUILESS_MAIN(TestServerHandler)
#include "tst_serverhandler.moc"

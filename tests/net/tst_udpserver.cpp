#include "commanddatagram.h"
#include "commandstack.h"
#include "logcapture.h"
#include "udpserver.h"
#include "udpserverrestartdelegate.h"

#include <QTest>
#include <QUdpSocket>

#include <sys/socket.h>

using namespace zc;
using namespace zc::test;

namespace {

class RecordingDelegate final : public UDPServerRestartDelegate
{
public:
    QList<bool> states;
    void udpServerRunningChanged(bool running) override { states.append(running); }
};

} // namespace

// A server on a free loopback port, driven by a real client socket.
class TestUdpServer : public QObject
{
    Q_OBJECT

    std::unique_ptr<CommandStack> stack;
    RecordingDelegate delegate;
    std::unique_ptr<UDPServer> server;
    QUdpSocket client;

    void send(const QByteArray &datagram, const QHostAddress &to = QHostAddress::LocalHost)
    {
        QCOMPARE(client.writeDatagram(datagram, to, server->localPort()), datagram.size());
    }

private slots:
    void init()
    {
        stack = std::make_unique<CommandStack>();
        delegate.states.clear();
        server = std::make_unique<UDPServer>(stack->handler, stack->responder, stack->capture.log);
        server->setUdpServerDelegate(&delegate);
        server->startServer(0);
        QVERIFY(server->isServerRunning());
        QVERIFY(server->localPort() != 0);
    }

    void cleanup()
    {
        server.reset();
        stack.reset();
    }

    void startReportsRunning()
    {
        QCOMPARE(delegate.states, QList<bool>{true});
        QCOMPARE(server->UDPServerPort(), std::optional<quint16>(0));
        QCOMPARE(stack->capture.lines(),
                 QStringList{
                     QStringLiteral("UDP server listening on port %1").arg(server->localPort())});
        int broadcast = 0;
        socklen_t length = sizeof broadcast;
        QCOMPARE(::getsockopt(int(server->socketDescriptor()), SOL_SOCKET, SO_BROADCAST, &broadcast,
                              &length),
                 0);
        QCOMPARE(broadcast, 1);
    }

    void datagramIsExecuted()
    {
        stack->capture.clear();
        send(commandDatagram(1, "/keyboard?key=enter"));
        QTRY_COMPARE(stack->desktop.calls, (QStringList{"key 36 down", "key 36 up"}));
        const QStringList lines = stack->capture.lines();
        QCOMPARE(
            lines.first(),
            QStringLiteral(R"({"appAuthenticationKey":"Q7w4R#2k81M5T!x09P3Z","password":"******",)"
                           R"("request":"/keyboard?key=enter","sentTime":"1"})"));
        QCOMPARE(lines.at(1), QStringLiteral("For Mouse Controls"));
        QVERIFY(!lines.join(u'\n').contains(QLatin1String("hunter2")));
    }

    void commandsArriveInOrderOverIpv6()
    {
        QUdpSocket probe;
        if (!probe.bind(QHostAddress::LocalHostIPv6, 0))
            QSKIP("this machine has no IPv6 loopback");
        for (quint64 stamp = 1; stamp <= 20; ++stamp)
            send(commandDatagram(stamp,
                                 QStringLiteral("/mouse?key=scroll_vertical&value=%1").arg(stamp)),
                 QHostAddress::LocalHostIPv6);
        QTRY_COMPARE(stack->desktop.calls.size(), 20);
        for (int i = 0; i < 20; ++i)
            QCOMPARE(stack->desktop.calls[i], QStringLiteral("scroll %1 0 user 1").arg(i + 1));
    }

    void badDatagramsNeverStopTheServer_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::newRow("not JSON") << QByteArray("hello");
        QTest::newRow("not UTF-8") << QByteArray("\xff\xfe\xfd");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("bare string") << QByteArray("\"x\"");
        QTest::newRow("empty array") << QByteArray("[]");
        QTest::newRow("discovery request") << QByteArray(R"([{"app_authentication_key":"k"}])");
        QTest::newRow("largest datagram") << QByteArray(65507, '{');
        QTest::newRow("stamp too large") << commandDatagram(1, "/keyboard?key=enter")
                                                .replace("\"1\"", "\"99999999999999999999\"");
        QTest::newRow("request not a text") << QByteArray(
            R"({"appAuthenticationKey":"k","password":"p","sentTime":"1","request":5})");
    }

    void badDatagramsNeverStopTheServer()
    {
        QFETCH(QByteArray, datagram);
        send(datagram);
        send(commandDatagram(2, "/keyboard?key=tab"));
        QTRY_COMPARE(stack->desktop.calls, (QStringList{"key 48 down", "key 48 up"}));
        QCOMPARE(stack->handler.sentTime(), 2u);
    }

    void keepsServingAfterBursts()
    {
        // Each burst is more than one turn of the event loop handles, yet small enough for the
        // smallest receive buffer a stock kernel grants.
        constexpr int burst = 300;
        quint64 stamp = 0;
        for (int round = 1; round <= 5; ++round) {
            for (int i = 0; i < burst; ++i)
                send(commandDatagram(++stamp, "/mouse?key=scroll_vertical&value=1"));
            QTRY_COMPARE(stack->desktop.calls.size(), round * burst);
        }
        send(commandDatagram(++stamp, "/keyboard?key=tab"));
        QTRY_COMPARE(stack->desktop.calls.size(), 5 * burst + 2);
        QCOMPARE(stack->desktop.calls.last(), QStringLiteral("key 48 up"));
    }

    void busyPortFailsWithoutRunning()
    {
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress::Any, 0));
        LogCapture otherLog;
        RecordingDelegate otherDelegate;
        UDPServer other(stack->handler, stack->responder, otherLog.log);
        other.setUdpServerDelegate(&otherDelegate);
        other.startServer(holder.localPort());
        QVERIFY(!other.isServerRunning());
        QVERIFY(otherDelegate.states.isEmpty());
        QCOMPARE(otherLog.lines(), QStringList{"The bound address is already in use"});
    }

    void stopAfterDatagramsLogsThePosition()
    {
        send(commandDatagram(1, "/keyboard?key=enter"));
        QTRY_COMPARE(stack->desktop.calls.size(), 2);
        stack->capture.clear();
        server->stopServer();
        QCOMPARE(stack->capture.lines(), (QStringList{"0", "true", "true"}));
        QCOMPARE(delegate.states, (QList<bool>{true, false}));
        QVERIFY(!server->isServerRunning());
        // The socket's own close notice follows once the loop turns.
        QTRY_COMPARE(stack->capture.lines(), (QStringList{"0", "true", "true", "true"}));
    }

    void stopWithoutDatagrams()
    {
        stack->capture.clear();
        server->stopServer();
        QCOMPARE(stack->capture.lines(), (QStringList{"true", "true"}));
        QCOMPARE(delegate.states, (QList<bool>{true, false}));
    }

    void restartKeepsTheStamp()
    {
        send(commandDatagram(5, "/keyboard?key=enter"));
        QTRY_COMPARE(stack->desktop.calls.size(), 2);
        server->stopServer();
        server->startServer(0);
        QVERIFY(server->isServerRunning());
        QCOMPARE(delegate.states, (QList<bool>{true, false, true}));
        send(commandDatagram(5, "/keyboard?key=tab"));
        send(commandDatagram(6, "/keyboard?key=esc"));
        QTRY_COMPARE(stack->desktop.calls.size(), 4);
        QCOMPARE(stack->desktop.calls.mid(2), (QStringList{"key 53 down", "key 53 up"}));
    }

    void stoppedServerHandlesNothing()
    {
        const quint16 port = server->localPort();
        server->stopServer();
        QUdpSocket sender;
        sender.writeDatagram(commandDatagram(1, "/keyboard?key=enter"), QHostAddress::LocalHost,
                             port);
        // A fresh server on another port proves the loop ran; the stopped one stays silent.
        server->startServer(0);
        send(commandDatagram(2, "/keyboard?key=tab"));
        QTRY_COMPARE(stack->desktop.calls, (QStringList{"key 48 down", "key 48 up"}));
    }
};

QTEST_GUILESS_MAIN(TestUdpServer)
#include "tst_udpserver.moc"

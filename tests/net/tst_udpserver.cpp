#include "commandstack.h"
#include "udpserver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QTest>
#include <QUdpSocket>

#include <sys/socket.h>

using namespace zc;
using namespace zc::test;

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
        QCOMPARE(delegate.states, QList<bool>{true});
    }

    void cleanup()
    {
        server.reset();
        stack.reset();
    }

    void broadcastIsOn()
    {
        // Phones find the server by broadcasting to it.
        int broadcast = 0;
        socklen_t length = sizeof broadcast;
        QCOMPARE(::getsockopt(int(server->socketDescriptor()), SOL_SOCKET, SO_BROADCAST, &broadcast,
                              &length),
                 0);
        QCOMPARE(broadcast, 1);
    }

    // Every datagram of a host that asked for discovery is answered: an answer to an answer
    // would start two such servers, or a server and an echo service, talking for good.
    void answersAreNotAnswered_data()
    {
        QTest::addColumn<bool>("fromPrivilegedPort");
        QTest::newRow("a discovery reply") << false;
        QTest::newRow("anything from a port below 1024") << true;
    }

    void answersAreNotAnswered()
    {
        QFETCH(bool, fromPrivilegedPort);
        const QJsonArray request{
            QJsonObject{{QStringLiteral("app_authentication_key"), QString(applicationKey)}}};
        send(QJsonDocument(request).toJson());
        QTRY_VERIFY(client.hasPendingDatagrams());
        const QByteArray reply = client.receiveDatagram().data();

        QUdpSocket echo;
        if (fromPrivilegedPort) {
            quint16 port = 1023;
            while (port > 512 && !echo.bind(QHostAddress::LocalHost, port))
                --port;
            if (echo.state() != QAbstractSocket::BoundState)
                QSKIP("ports below 1024 need root");
            QCOMPARE(echo.writeDatagram("?", QHostAddress::LocalHost, server->localPort()), 1);
        } else {
            send(reply);
        }
        // The command after it is answered, and it is the only answer.
        send(keyCommand(1, "enter"));
        QTRY_COMPARE(stack->desktop.calls, QStringList{"key 36 down"} + QStringList{"key 36 up"});
        QTRY_VERIFY(client.hasPendingDatagrams());
        QCOMPARE(client.receiveDatagram().data(), reply);
        QVERIFY(!client.hasPendingDatagrams());
        QVERIFY(!echo.hasPendingDatagrams());
    }

    void commandsRunInOrder_data()
    {
        QTest::addColumn<QHostAddress>("to");
        QTest::newRow("IPv4") << QHostAddress(QHostAddress::LocalHost);
        // The server's socket takes IPv6 too.
        QTest::newRow("IPv6") << QHostAddress(QHostAddress::LocalHostIPv6);
    }

    void commandsRunInOrder()
    {
        QFETCH(QHostAddress, to);
        QUdpSocket probe;
        if (to.protocol() == QAbstractSocket::IPv6Protocol && !probe.bind(to, 0))
            QSKIP("this machine has no IPv6 loopback");
        QStringList expected;
        for (int stamp = 1; stamp <= 20; ++stamp) {
            send(commandDatagram(quint64(stamp),
                                 QStringLiteral("/mouse?key=scroll_vertical&value=%1").arg(stamp)),
                 to);
            expected.append(QStringLiteral("scroll %1 0 user 1").arg(stamp));
        }
        QTRY_COMPARE(stack->desktop.calls, expected);
        QVERIFY(!stack->capture.lines().join(u'\n').contains(QLatin1String("hunter2")));
    }

    void badDatagramsNeverStopTheServer_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::newRow("not JSON") << QByteArray("hello");
        QTest::newRow("not UTF-8") << QByteArray("\xff\xfe\xfd");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("empty array") << QByteArray("[]");
        QTest::newRow("discovery request") << QByteArray("[{\"app_authentication_key\":\"k\"}]");
        QTest::newRow("largest datagram") << QByteArray(65507, '{');
    }

    void badDatagramsNeverStopTheServer()
    {
        QFETCH(QByteArray, datagram);
        send(datagram);
        send(keyCommand(2, "tab"));
        QTRY_COMPARE(stack->desktop.calls, (QStringList{"key 48 down", "key 48 up"}));
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
        send(keyCommand(++stamp, "tab"));
        QTRY_COMPARE(stack->desktop.calls.size(), 5 * burst + 2);
        QCOMPARE(stack->desktop.calls.last(), QStringLiteral("key 48 up"));
    }

    void busyPortFailsWithoutRunning()
    {
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress::Any, 0));
        RecordingDelegate otherDelegate;
        UDPServer other(stack->handler, stack->responder, stack->capture.log);
        other.setUdpServerDelegate(&otherDelegate);
        other.startServer(holder.localPort());
        QVERIFY(!other.isServerRunning());
        QVERIFY(otherDelegate.states.isEmpty());
    }

    void stop_data()
    {
        QTest::addColumn<bool>("datagramFirst");
        QTest::addColumn<QStringList>("log");
        // No other line: the socket that delivered the datagram is closed already, and turning
        // broadcast off on its descriptor would fail.
        QTest::newRow("after a datagram") << true << QStringList{"0", "true", "true"};
        QTest::newRow("without datagrams") << false << QStringList{"true", "true"};
    }

    void stop()
    {
        QFETCH(bool, datagramFirst);
        QFETCH(QStringList, log);
        if (datagramFirst) {
            send(keyCommand(1, "enter"));
            QTRY_COMPARE(stack->desktop.calls.size(), 2);
        }
        stack->capture.clear();
        server->stopServer();
        QCOMPARE(stack->capture.lines(), log);
        QCOMPARE(delegate.states, (QList<bool>{true, false}));
        QVERIFY(!server->isServerRunning());
    }

    void restartKeepsTheStampAndLeavesTheOldPort()
    {
        send(keyCommand(5, "enter"));
        QTRY_COMPARE(stack->desktop.calls.size(), 2);
        const quint16 oldPort = server->localPort();
        server->stopServer();
        QUdpSocket().writeDatagram(keyCommand(7, "tab"), QHostAddress::LocalHost, oldPort);
        server->startServer(0);
        QCOMPARE(delegate.states, (QList<bool>{true, false, true}));
        // Had the old port still served, stamp 7 would have raised the bar above 6.
        send(keyCommand(5, "tab"));
        send(keyCommand(6, "esc"));
        QTRY_COMPARE(stack->desktop.calls.size(), 4);
        QCOMPARE(stack->desktop.calls.mid(2), (QStringList{"key 53 down", "key 53 up"}));
    }
};

QTEST_GUILESS_MAIN(TestUdpServer)
#include "tst_udpserver.moc"

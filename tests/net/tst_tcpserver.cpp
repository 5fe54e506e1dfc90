#include "commandstack.h"
#include "tcpserver.h"

#include <QTcpSocket>
#include <QTest>

using namespace zc;
using namespace zc::test;

namespace {

// Whether exactly `count` "success" answers arrive. The server runs on this thread too, so the
// wait turns the event loop.
bool awaitSuccesses(QTcpSocket &client, int count)
{
    const QByteArray expected = QByteArray("success").repeated(count);
    QByteArray received;
    return QTest::qWaitFor(
               [&] {
                   received += client.readAll();
                   return received.size() >= expected.size();
               },
               5000) &&
           received == expected;
}

} // namespace

class TestTcpServer : public QObject
{
    Q_OBJECT

    std::unique_ptr<CommandStack> stack;
    RecordingDelegate delegate;
    std::unique_ptr<TCPServer> server;
    int firstConnections = 0;

    std::unique_ptr<QTcpSocket> connectClient()
    {
        auto client = std::make_unique<QTcpSocket>();
        client->connectToHost(QHostAddress::LocalHost, server->localPort());
        [&] { QVERIFY(client->waitForConnected(5000)); }();
        return client;
    }

private slots:
    void init()
    {
        stack = std::make_unique<CommandStack>();
        delegate.states.clear();
        firstConnections = 0;
        server = std::make_unique<TCPServer>(
            stack->handler, stack->privateSettings, [this] { ++firstConnections; },
            stack->capture.log);
        server->setTcpServerDelegate(&delegate);
        server->startServer(0);
        QVERIFY(server->isServerRunning());
        QCOMPARE(delegate.states, QList<bool>{true});
    }

    void cleanup()
    {
        server.reset();
        stack.reset();
    }

    void messagesAsTheyArrive_data()
    {
        QTest::addColumn<QList<QByteArray>>("writes");
        QTest::addColumn<int>("executed");

        const QByteArray enter = keyCommand(1, "enter");
        const QByteArray tab = keyCommand(2, "tab");
        QTest::newRow("one per write") << QList<QByteArray>{enter, tab} << 2;
        QTest::newRow("two in one write") << QList<QByteArray>{enter + tab} << 2;
        QTest::newRow("one split across writes")
            << QList<QByteArray>{enter.left(20), enter.mid(20)} << 1;
        QTest::newRow("garbage, then a message") << QList<QByteArray>{"hello there", enter} << 1;
        QTest::newRow("garbage between messages")
            << QList<QByteArray>{enter + "}}}oops" + tab} << 2;
        QTest::newRow("an array executes nothing")
            << QList<QByteArray>{"[{\"app_authentication_key\":\"Q7w4R#2k81M5T!x09P3Z\"}]"} << 0;
        QTest::newRow("broken object") << QList<QByteArray>{"{\"a\":}", enter} << 1;
        // The quote must not keep the log's masking inside a string for the rest of the stream.
        QTest::newRow("stray quote, then a message") << QList<QByteArray>{"x\"\n", enter} << 1;
    }

    void messagesAsTheyArrive()
    {
        QFETCH(QList<QByteArray>, writes);
        QFETCH(int, executed);
        std::unique_ptr<QTcpSocket> client = connectClient();
        // Each write waits for its answer, so that each is one read on the server.
        for (const QByteArray &bytes : writes) {
            client->write(bytes);
            QVERIFY(awaitSuccesses(*client, 1));
        }
        QTRY_COMPARE(stack->desktop.calls.size(), executed * 2);
        QVERIFY(!stack->capture.lines().join(u'\n').contains(QLatin1String("hunter2")));
    }

    void oversizedPartialIsDroppedAndTheConnectionGoesOn()
    {
        std::unique_ptr<QTcpSocket> client = connectClient();
        client->write("{\"v\":\"" + QByteArray(70 * 1024, 'x'));
        QTRY_VERIFY(stack->capture.lines().join(u'\n').contains(
            QLatin1String("Dropped an unfinished TCP message")));
        client->readAll();
        client->write("\"}" + keyCommand(1, "enter"));
        QTRY_COMPARE(stack->desktop.calls, (QStringList{"key 36 down", "key 36 up"}));
    }

    void manyClientsAtOnce()
    {
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        for (int i = 0; i < 50; ++i)
            clients.push_back(connectClient());
        quint64 stamp = 0;
        for (auto &client : clients)
            client->write(keyCommand(++stamp, "enter"));
        for (auto &client : clients)
            QVERIFY(awaitSuccesses(*client, 1));
        QCOMPARE(stack->desktop.calls.size(), 100);
    }

    void connectionsBeyondTheBoundAreClosed()
    {
        server->maximumConnections = 2;
        std::unique_ptr<QTcpSocket> first = connectClient();
        std::unique_ptr<QTcpSocket> second = connectClient();
        std::unique_ptr<QTcpSocket> third = connectClient();
        QTRY_COMPARE(third->state(), QAbstractSocket::UnconnectedState);
        second->write(keyCommand(1, "enter"));
        QVERIFY(awaitSuccesses(*second, 1));
        QCOMPARE(server->connectionCount(), 2);
    }

    void closedConnectionsMakeRoomForNewOnes()
    {
        const int bound = server->maximumConnections;
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        // In batches that stay below the listen backlog, so that no connection waits for a SYN
        // to be sent again.
        constexpr int batch = 32;
        while (clients.size() < std::size_t(bound)) {
            for (int i = 0; i < batch && clients.size() < std::size_t(bound); ++i)
                clients.push_back(connectClient());
            QTRY_COMPARE(server->connectionCount(), qsizetype(clients.size()));
        }
        for (auto &client : clients)
            client->disconnectFromHost();
        QTRY_COMPARE(
            stack->capture.lines().count(QStringLiteral("The remote host closed the connection")),
            bound);

        std::unique_ptr<QTcpSocket> client = connectClient();
        client->write(keyCommand(1, "enter"));
        QVERIFY(awaitSuccesses(*client, 1));
        QCOMPARE(stack->desktop.calls, (QStringList{"key 36 down", "key 36 up"}));
        QCOMPARE(server->connectionCount(), 1);
    }

    void closedConnectionsLeaveAndTheFirstIsReportedOnce()
    {
        std::unique_ptr<QTcpSocket> first = connectClient();
        std::unique_ptr<QTcpSocket> second = connectClient();
        QTRY_COMPARE(server->connectionCount(), 2);
        first->disconnectFromHost();
        QTRY_VERIFY(stack->capture.lines().contains(
            QStringLiteral("The remote host closed the connection")));
        std::unique_ptr<QTcpSocket> third = connectClient();
        QTRY_COMPARE(stack->capture.lines().count(QStringLiteral("New Socket.")), 3);
        QCOMPARE(server->connectionCount(), 2);
        QCOMPARE(firstConnections, 1);
        // Also after a restart of the program.
        QVERIFY(PrivateSettings(stack->settingsDirectory.path(), stack->capture.log).hasAppUsed());
    }

    void idleConnectionTimesOut()
    {
        server->timeout = std::chrono::milliseconds(200);
        std::unique_ptr<QTcpSocket> client = connectClient();
        QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
    }

    void stopWithClientsConnected()
    {
        std::unique_ptr<QTcpSocket> first = connectClient();
        std::unique_ptr<QTcpSocket> second = connectClient();
        QTRY_COMPARE(server->connectionCount(), 2);
        server->stopServer();
        QCOMPARE(delegate.states, (QList<bool>{true, false}));
        QVERIFY(!server->isServerRunning());
        QCOMPARE(server->connectionCount(), 0);
        QTRY_COMPARE(first->state(), QAbstractSocket::UnconnectedState);
        QTRY_COMPARE(second->state(), QAbstractSocket::UnconnectedState);
    }

    void busyPortFails()
    {
        TCPServer other(stack->handler, stack->privateSettings, {}, stack->capture.log);
        other.startServer(server->localPort());
        QVERIFY(!other.isServerRunning());
    }

    void commandThatStopsTheServerMidRead()
    {
        // The read's own command may stop the server; nothing may touch the freed connection.
        std::unique_ptr<QTcpSocket> client = connectClient();
        QTRY_COMPARE(server->connectionCount(), 1);
        stack->desktop.onPost = [this] { server->stopServer(); };
        client->write(keyCommand(1, "enter") + keyCommand(2, "tab"));
        QTRY_VERIFY(!server->isServerRunning());
        QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
    }
};

QTEST_GUILESS_MAIN(TestTcpServer)
#include "tst_tcpserver.moc"

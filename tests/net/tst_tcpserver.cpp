#include "commandstack.h"
#include "tcpserver.h"

#include <QTcpSocket>
#include <QTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

    // From the loopback host 127.0.0.<host>.
    std::unique_ptr<QTcpSocket> connectClient(int host = 1)
    {
        auto client = std::make_unique<QTcpSocket>();
        if (host != 1)
            [&] { QVERIFY(client->bind(QHostAddress(quint32(0x7f000000 + host)), 0)); }();
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
            clients.push_back(connectClient(1 + i % 10));
        quint64 stamp = 0;
        for (auto &client : clients)
            client->write(keyCommand(++stamp, "enter"));
        for (auto &client : clients)
            QVERIFY(awaitSuccesses(*client, 1));
        QCOMPARE(stack->desktop.calls.size(), 100);
    }

    // A host over its own share, or any host once all are taken, costs the connection idle the
    // longest its place, so that one host's idle connections cannot lock a phone out.
    void boundsCloseTheLongestIdle_data()
    {
        QTest::addColumn<int>("perHost");
        QTest::addColumn<QList<int>>("closed"); // of the four from 127.0.0.1, in order
        QTest::newRow("whole server full") << 8 << QList<int>{1};
        QTest::newRow("host over its share") << 2 << QList<int>{0, 1};
    }

    void boundsCloseTheLongestIdle()
    {
        QFETCH(int, perHost);
        QFETCH(QList<int>, closed);
        server->maximumConnections = 4;
        server->maximumConnectionsPerHost = perHost;
        std::vector<std::unique_ptr<QTcpSocket>> idle;
        for (int i = 0; i < 4; ++i) {
            idle.push_back(connectClient());
            QTRY_COMPARE(server->connectionCount(), qsizetype(std::min(i + 1, perHost)));
            // The first one speaks, so the second is now the one idle the longest.
            if (i == 1) {
                idle[0]->write(keyCommand(1, "enter"));
                QVERIFY(awaitSuccesses(*idle[0], 1));
            }
        }
        std::unique_ptr<QTcpSocket> phone = connectClient(2);
        phone->write(keyCommand(2, "tab"));
        QVERIFY(awaitSuccesses(*phone, 1));
        for (int i = 0; i < 4; ++i)
            QTRY_COMPARE(idle[std::size_t(i)]->state() == QAbstractSocket::UnconnectedState,
                         closed.contains(i));

        QCOMPARE(server->connectionCount(), 4 - qsizetype(closed.size()) + 1);
    }

    // A client that half-closes after its command still gets the reply, then the server closes.
    void halfClosedClientIsAnsweredThenClosed()
    {
        for (quint64 stamp = 1; stamp <= 20; ++stamp) {
            std::unique_ptr<QTcpSocket> client = connectClient();
            client->write(keyCommand(stamp, "enter"));
            QVERIFY(client->waitForBytesWritten(5000));
            QCOMPARE(::shutdown(int(client->socketDescriptor()), SHUT_WR), 0);
            QVERIFY2(awaitSuccesses(*client, 1), qPrintable(stack->capture.lines().join(u'\n')));
            QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
        }
        QTRY_COMPARE(server->connectionCount(), 0);
        QCOMPARE(stack->desktop.calls.size(), 40);
    }

    // A client that never reads its replies is closed once they pile up past the bound.
    void clientThatNeverReadsIsClosed()
    {
        server->maximumUnsentBytes = 700;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        QVERIFY(fd >= 0);
        const int small = 2048;
        QCOMPARE(::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(server->localPort());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        // One byte a turn of the event loop: each is a read of its own and earns a reply.
        int sends = 0;
        while (sends < 100000 && ::send(fd, " ", 1, MSG_NOSIGNAL) == 1) {
            ++sends;
            QCoreApplication::processEvents();
        }
        ::close(fd);
        QVERIFY2(sends < 100000, "the server kept queueing replies");
        QTRY_COMPARE(server->connectionCount(), 0);
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
                clients.push_back(connectClient(1 + int(clients.size()) % 64));
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

#include "commanddatagram.h"
#include "commandstack.h"
#include "logcapture.h"
#include "tcpserver.h"
#include "tcpserverrestartdelegate.h"

#include <QDeadlineTimer>
#include <QTcpSocket>
#include <QTest>

using namespace zc;
using namespace zc::test;

namespace {

class RecordingDelegate final : public tcpServerRestartDelegate
{
public:
    QList<bool> states;
    void tcpServerRunningChanged(bool running) override { states.append(running); }
};

QByteArray command(quint64 stamp, const char *key)
{
    return commandDatagram(stamp, QStringLiteral("/keyboard?key=") + QLatin1String(key));
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

    // Waits for `count` "success" answers on the client and nothing else.
    static bool awaitSuccesses(QTcpSocket &client, int count)
    {
        QByteArray received;
        const QByteArray expected = QByteArray("success").repeated(count);
        QDeadlineTimer deadline(5000);
        // The server runs on this thread too, so the wait has to turn the event loop.
        while (received.size() < expected.size() && !deadline.hasExpired()) {
            QTest::qWait(5);
            received += client.readAll();
        }
        return received == expected;
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

    void startLogsThePortInItsOptionalForm()
    {
        QCOMPARE(stack->capture.lines(),
                 QStringList{
                     QStringLiteral("listening on port Optional(%1)..").arg(server->localPort())});
    }

    void messagesAsTheyArrive_data()
    {
        QTest::addColumn<QList<QByteArray>>("writes");
        QTest::addColumn<int>("executed");

        QTest::newRow("one per write")
            << QList<QByteArray>{command(1, "enter"), command(2, "tab")} << 2;
        QTest::newRow("two in one write")
            << QList<QByteArray>{command(1, "enter") + command(2, "tab")} << 2;
        const QByteArray message = command(1, "enter");
        QTest::newRow("one split across writes")
            << QList<QByteArray>{message.left(20), message.mid(20)} << 1;
        QTest::newRow("garbage, then a message")
            << QList<QByteArray>{"hello there", command(1, "enter")} << 1;
        QTest::newRow("garbage between messages")
            << QList<QByteArray>{command(1, "enter") + "}}}oops" + command(2, "tab")} << 2;
        QTest::newRow("an array executes nothing")
            << QList<QByteArray>{"[{\"app_authentication_key\":\"Q7w4R#2k81M5T!x09P3Z\"}]"} << 0;
        QTest::newRow("broken object") << QList<QByteArray>{"{\"a\":}", command(1, "enter")} << 1;
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
        const QByteArray partial = "{\"v\":\"" + QByteArray(70 * 1024, 'x');
        client->write(partial);
        QTRY_VERIFY(stack->capture.lines().join(u'\n').contains(
            QLatin1String("Dropped an unfinished TCP message")));
        client->readAll();
        client->write("\"}" + command(1, "enter"));
        QTRY_COMPARE(stack->desktop.calls, (QStringList{"key 36 down", "key 36 up"}));
    }

    void manyClientsAtOnce()
    {
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        for (int i = 0; i < 50; ++i)
            clients.push_back(connectClient());
        quint64 stamp = 0;
        for (auto &client : clients)
            client->write(command(++stamp, "enter"));
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
        QTRY_VERIFY(stack->capture.lines().join(u'\n').contains(
            QLatin1String("Closed a new TCP connection: 2")));
        second->write(command(1, "enter"));
        QVERIFY(awaitSuccesses(*second, 1));
        QCOMPARE(server->connectionCount(), 2);
    }

    void disconnectedClientIsPrunedAtTheNextAccept()
    {
        std::unique_ptr<QTcpSocket> first = connectClient();
        std::unique_ptr<QTcpSocket> second = connectClient();
        QTRY_COMPARE(server->connectionCount(), 2);
        first->disconnectFromHost();
        QTRY_VERIFY(stack->capture.lines().contains(
            QStringLiteral("The remote host closed the connection")));
        stack->capture.clear();
        std::unique_ptr<QTcpSocket> third = connectClient();
        QTRY_VERIFY(stack->capture.lines().contains(QStringLiteral("New Socket.")));
        QCOMPARE(stack->capture.lines(), (QStringList{"New Socket.", "0"}));
        QCOMPARE(server->connectionCount(), 2);
    }

    void idleConnectionTimesOut()
    {
        server->timeout = std::chrono::milliseconds(200);
        std::unique_ptr<QTcpSocket> client = connectClient();
        QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
        QVERIFY(stack->capture.lines().contains(QStringLiteral("Read operation timed out")));
    }

    void stopWithClientsConnected()
    {
        std::unique_ptr<QTcpSocket> first = connectClient();
        std::unique_ptr<QTcpSocket> second = connectClient();
        QTRY_COMPARE(server->connectionCount(), 2);
        stack->capture.clear();
        server->stopServer();
        QCOMPARE(stack->capture.lines(),
                 (QStringList{"0", "Unknown error!", "0", "Unknown error!"}));
        QCOMPARE(delegate.states, (QList<bool>{true, false}));
        QVERIFY(!server->isServerRunning());
        QTRY_COMPARE(first->state(), QAbstractSocket::UnconnectedState);
        QTRY_COMPARE(second->state(), QAbstractSocket::UnconnectedState);
    }

    void busyPortFails()
    {
        LogCapture otherLog;
        TCPServer other(stack->handler, stack->privateSettings, {}, otherLog.log);
        other.startServer(server->localPort());
        QVERIFY(!other.isServerRunning());
        const QStringList lines = otherLog.lines();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(
            lines[0].startsWith(
                QStringLiteral("Cannot listen on port Optional(%1): ").arg(server->localPort())),
            qPrintable(lines[0]));
    }

    void firstConnectionEverIsReportedOnce()
    {
        std::unique_ptr<QTcpSocket> first = connectClient();
        QTRY_COMPARE(firstConnections, 1);
        QVERIFY(stack->capture.lines().contains(
            QStringLiteral("AppDelegate.settings.hasAppUsed :  false")));
        std::unique_ptr<QTcpSocket> second = connectClient();
        QTRY_COMPARE(server->connectionCount(), 2);
        QCOMPARE(firstConnections, 1);
        QVERIFY(stack->privateSettings.hasAppUsed());
        // Also after a restart of the program.
        PrivateSettings reloaded(stack->settingsDirectory.path(), stack->capture.log);
        QVERIFY(reloaded.hasAppUsed());
    }

    void commandThatStopsTheServerMidRead()
    {
        // The read's own command may stop the server; nothing may touch the freed connection.
        std::unique_ptr<QTcpSocket> client = connectClient();
        QTRY_COMPARE(server->connectionCount(), 1);
        stack->desktop.onPost = [this] { server->stopServer(); };
        client->write(command(1, "enter") + command(2, "tab"));
        QTRY_VERIFY(!server->isServerRunning());
        QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
    }
};

QTEST_GUILESS_MAIN(TestTcpServer)
#include "tst_tcpserver.moc"

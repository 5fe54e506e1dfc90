#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

namespace {

const QString appKey = QStringLiteral("Q7w4R#2k81M5T!x09P3Z");

struct Result
{
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs the tool to the end while this process's event loop keeps the test's sockets serving.
// Any failure to start or finish is reported as an exit code of -1.
Result runTool(const QStringList &arguments)
{
    QProcess process;
    QSignalSpy finished(&process, &QProcess::finished);
    process.start(QStringLiteral(ZANTI_REMOTE_PATH), arguments);
    if (!process.waitForStarted() || !finished.wait(20000) ||
        process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished();
        return {-1, {}, QStringLiteral("did not run to the end: ") + process.errorString()};
    }
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

// Exit code 0 shows `text` on stdout; any other explains itself with `text` on stderr only.
void verifyOutcome(const Result &result, int exitCode, const QString &text)
{
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(exitCode == 0 ? result.err : result.out, QString());
    const QString &shown = exitCode == 0 ? result.out : result.err;
    QVERIFY2(shown.contains(text), qPrintable(shown));
}

QString local(quint16 port)
{
    return QStringLiteral("127.0.0.1:%1").arg(port);
}

quint64 stampOf(const QJsonObject &message)
{
    return message.value(QLatin1String("sentTime")).toString().toULongLong();
}

// The command message the tool should have sent. Its stamp is its own choice, but must be what
// the server takes: a text of decimal digits within 64 bits.
QJsonObject expectedMessage(const QJsonObject &sent, const QString &password,
                            const QString &request)
{
    return {{QStringLiteral("appAuthenticationKey"), appKey},
            {QStringLiteral("password"), password},
            {QStringLiteral("request"), request},
            {QStringLiteral("sentTime"), QString::number(stampOf(sent))}};
}

// Stands in for discovery servers: every request that reaches `listener` is recorded, then
// answered with `reply` by each socket in `answering`, from that socket's own address.
struct FakeDiscovery
{
    QUdpSocket listener;
    QList<QUdpSocket *> answering;
    QByteArray reply = "{\"name\":\"desk\"}";
    QList<QByteArray> requests;

    FakeDiscovery()
    {
        QObject::connect(&listener, &QIODevice::readyRead, &listener, [this] {
            while (listener.hasPendingDatagrams()) {
                const QNetworkDatagram request = listener.receiveDatagram();
                requests.append(request.data());
                for (QUdpSocket *socket : std::as_const(answering))
                    socket->writeDatagram(reply, request.senderAddress(),
                                          quint16(request.senderPort()));
            }
        });
    }
};

} // namespace

class TestZantiRemote : public QObject
{
    Q_OBJECT

    quint64 lastStamp = 0;

private slots:
    void sendUdp_data()
    {
        QTest::addColumn<QHostAddress>("bindAddress");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("password"); // null: no --password
        QTest::addColumn<QString>("request");

        const QHostAddress v4(QHostAddress::LocalHost);
        const QString enter = QStringLiteral("/keyboard?key=enter");
        QTest::newRow("members, percent-encoding and text beyond ASCII stay as written")
            << v4 << "127.0.0.1" << QString()
            << QStringLiteral("/keyboard?key=type&text=a%20b%26c%3D%25 h\u00e9llo \u20ac&x=1");
        QTest::newRow("password with a quote and an ampersand") << v4 << "127.0.0.1"
                                                                << "s3cr\"et &x" << enter;
        QTest::newRow("host name")
            << QHostAddress(QHostAddress::Any) << "localhost" << QString() << enter;
        QTest::newRow("IPv6 loopback")
            << QHostAddress(QHostAddress::LocalHostIPv6) << "[::1]" << QString() << enter;
    }

    void sendUdp()
    {
        QFETCH(QHostAddress, bindAddress);
        QFETCH(QString, host);
        QFETCH(QString, password);
        QFETCH(QString, request);
        QUdpSocket receiver;
        if (!receiver.bind(bindAddress, 0)) {
            QVERIFY(bindAddress.protocol() == QAbstractSocket::IPv6Protocol);
            QSKIP("This machine has no IPv6 loopback");
        }

        QStringList arguments{QStringLiteral("send")};
        if (!password.isNull())
            arguments << QStringLiteral("--password") << password;
        verifyOutcome(
            runTool(arguments << host + u':' + QString::number(receiver.localPort()) << request), 0,
            QString());
        QTRY_VERIFY(receiver.hasPendingDatagrams());

        const QByteArray payload = receiver.receiveDatagram().data();
        QVERIFY2(!payload.contains('\n'), payload.constData());
        const QJsonObject message = QJsonDocument::fromJson(payload).object();
        QCOMPARE(message, expectedMessage(message, password, request));
        QVERIFY(!receiver.hasPendingDatagrams());

        // The server drops a stamp that does not rise; each row is a later run than the last.
        QVERIFY(stampOf(message) > lastStamp);
        lastStamp = stampOf(message);
    }

    void sendTcp_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("closes");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("text");

        const auto row = [](const char *name, const char *answer, bool closes, int exitCode,
                            const char *text) {
            QTest::newRow(name) << QByteArray(answer) << closes << exitCode << QString(text);
        };
        row("success, then close", "success", true, 0, "success\n");
        row("success, staying open", "success", false, 0, "success\n");
        // The server answers once for each read, and a request may reach it in several.
        row("a success for each read", "successsuccess", true, 0, "success\n");
        row("a success for each read, with line breaks", "success\nsuccess\n", true, 0,
            "success\n");
        row("success, then another answer", "successdenied", true, 1, "successdenied");
        row("close without answering", "", true, 1, "without answering");
        row("another answer", "denied", true, 1, "denied");
        row("silence", "", false, 1, "within 300 ms");
    }

    void sendTcp()
    {
        QFETCH(QByteArray, answer);
        QFETCH(bool, closes);
        QFETCH(int, exitCode);
        const int timeoutMs = answer.isEmpty() && !closes ? 300 : 10000;
        QFETCH(QString, text);

        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        QByteArray received;
        connect(&server, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *socket = server.nextPendingConnection();
            connect(socket, &QIODevice::readyRead, socket, [&, socket] {
                received += socket->readAll();
                // Act only on a whole message, however the bytes were split.
                if (QJsonDocument::fromJson(received).isNull())
                    return;
                socket->write(answer);
                if (closes)
                    socket->disconnectFromHost();
            });
        });

        QElapsedTimer elapsed;
        elapsed.start();
        const QString request = QStringLiteral("/keyboard?key=enter&x=1");
        const Result result =
            runTool({QStringLiteral("send"), QStringLiteral("--tcp"), QStringLiteral("--timeout"),
                     QString::number(timeoutMs), QStringLiteral("--password"), QStringLiteral("pw"),
                     local(server.serverPort()), request});
        const QJsonObject message = QJsonDocument::fromJson(received).object();
        QCOMPARE(message, expectedMessage(message, QStringLiteral("pw"), request));

        verifyOutcome(result, exitCode, text);
        // An answer ends the wait, whether or not the server then closes.
        if (exitCode == 0)
            QVERIFY2(elapsed.elapsed() < timeoutMs, qPrintable(QString::number(elapsed.elapsed())));
    }

    void discover_data()
    {
        QTest::addColumn<QJsonValue>("password"); // undefined: no --password
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("printed");
        QTest::addColumn<int>("answerers");

        const QJsonValue noPassword(QJsonValue::Undefined);
        QTest::newRow("no password, indented JSON reply")
            << noPassword << QByteArray("{\n  \"name\": \"desk\",\n  \"port\": 5916\n}\n")
            << "{\"name\":\"desk\",\"port\":5916}" << 1;
        QTest::newRow("empty password is still sent")
            << QJsonValue("") << QByteArray("{\"a\":1}") << "{\"a\":1}" << 1;
        QTest::newRow("reply beyond ASCII")
            << noPassword << QStringLiteral("{\"n\": \"B\u00fcro \u20ac\"}").toUtf8()
            << QStringLiteral("{\"n\":\"B\u00fcro \u20ac\"}") << 1;
        QTest::newRow("reply that is not JSON")
            << noPassword << QByteArray("hello\nthere") << "hello there" << 1;
        // Servers answering a broadcast reply from their own addresses, so no reply may be
        // dropped for coming from somewhere other than where the request went.
        QTest::newRow("replies from two addresses")
            << noPassword << QByteArray("{\"a\":1}") << "{\"a\":1}" << 2;
        QTest::newRow("no reply") << noPassword << QByteArray() << QString() << 0;
    }

    void discover()
    {
        QFETCH(QJsonValue, password);
        QFETCH(QByteArray, reply);
        QFETCH(QString, printed);
        QFETCH(int, answerers);

        FakeDiscovery server;
        server.reply = reply;
        QVERIFY(server.listener.bind(QHostAddress::LocalHost, 0));
        QUdpSocket other;
        QVERIFY(other.bind(QHostAddress::LocalHost, 0));
        const QList<QUdpSocket *> sockets{&server.listener, &other};
        server.answering = sockets.first(answerers);

        QStringList arguments{QStringLiteral("discover"), QStringLiteral("--timeout"),
                              QStringLiteral("500"), local(server.listener.localPort())};
        QJsonObject request{{QStringLiteral("app_authentication_key"), appKey}};
        if (!password.isUndefined()) {
            arguments << QStringLiteral("--password") << password.toString();
            request.insert(QStringLiteral("zanti_server_password"), password);
        }
        const Result result = runTool(arguments);
        QCOMPARE(server.requests.size(), 1);
        QCOMPARE(QJsonDocument::fromJson(server.requests.first()),
                 QJsonDocument(QJsonArray{request}));

        verifyOutcome(result, answerers == 0 ? 1 : 0,
                      answerers == 0 ? QStringLiteral("no reply within 500 ms") : printed);
        QStringList lines = result.out.split(u'\n', Qt::SkipEmptyParts);
        QStringList expected;
        for (const QUdpSocket *socket : std::as_const(server.answering))
            expected.append(local(socket->localPort()) + u' ' + printed);
        lines.sort();
        expected.sort();
        QCOMPARE(lines, expected);
    }

    void discoverBroadcast()
    {
        FakeDiscovery server;
        QVERIFY(server.listener.bind(QHostAddress::AnyIPv4, 0));
        server.answering = {&server.listener};
        {
            // Containers without a broadcast route cannot run this case at all.
            QUdpSocket probe;
            QVERIFY(probe.bind(QHostAddress::AnyIPv4, 0));
            QSignalSpy arrived(&probe, &QIODevice::readyRead);
            if (probe.writeDatagram("probe", QHostAddress::Broadcast, probe.localPort()) != 5 ||
                !arrived.wait(1000))
                QSKIP("This machine cannot broadcast to itself");
        }

        const Result result = runTool(
            {QStringLiteral("discover"), QStringLiteral("--timeout"), QStringLiteral("1000"),
             QStringLiteral("255.255.255.255:%1").arg(server.listener.localPort())});
        verifyOutcome(result, 0, QStringLiteral(" {\"name\":\"desk\"}"));
        QCOMPARE(server.requests.size(), 1);
    }

    // Misuse exits with 2, a network failure with 1.
    void commandLine_data()
    {
        QTest::addColumn<QString>("arguments"); // split at spaces
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("expected");

        QTest::newRow("no arguments") << "" << 2 << "Usage:";
        QTest::newRow("unknown command") << "launch 127.0.0.1" << 2 << "unknown command 'launch'";
        QTest::newRow("send without REQUEST") << "send 127.0.0.1" << 2 << "missing REQUEST";
        QTest::newRow("send, one argument too many") << "send 127.0.0.1 /x /y" << 2 << "'/y'";
        QTest::newRow("port too big") << "send 127.0.0.1:70000 /x" << 2 << "70000";
        QTest::newRow("port not a number") << "send 127.0.0.1:abc /x" << 2 << "abc";
        QTest::newRow("port zero") << "send 127.0.0.1:0 /x" << 2 << "port '0'";
        QTest::newRow("empty host") << "send :5916 /x" << 2 << "host";
        QTest::newRow("IPv6 without brackets") << "send ::1 /x" << 2 << "brackets";
        QTest::newRow("IPv6 bracket not closed") << "send [::1:5916 /x" << 2 << "]";
        QTest::newRow("IPv4 in brackets") << "send [127.0.0.1]:5916 /x" << 2 << "IPv6";
        QTest::newRow("host that does not resolve")
            << "send no-such-host.invalid /x" << 2 << "no-such-host.invalid";
        QTest::newRow("timeout not a number") << "discover --timeout soon 127.0.0.1" << 2 << "soon";

        QTcpServer closed; // a port that was free a moment ago and that nobody listens on now
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        QTest::newRow("TCP, nobody listening")
            << "send --tcp " + local(closed.serverPort()) + " /x?key=y" << 1 << "cannot connect";
    }

    void commandLine()
    {
        QFETCH(QString, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, expected);
        verifyOutcome(runTool(arguments.split(u' ', Qt::SkipEmptyParts)), exitCode, expected);
    }
};

QTEST_GUILESS_MAIN(TestZantiRemote)
#include "tst_zantiremote.moc"

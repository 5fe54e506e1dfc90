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

#include <memory>

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
    Result result;
    if (!process.waitForStarted() || !finished.wait(20000) ||
        process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished();
        result.err = QStringLiteral("did not run to the end: ") + process.errorString();
        return result;
    }
    result.exitCode = process.exitCode();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

QString hostPort(const QHostAddress &address, quint16 port)
{
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? u'[' + address.toString() + u']'
                             : address.toString();
    return host + u':' + QString::number(port);
}

QJsonObject parseObject(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return {};
    return document.object();
}

bool hasIPv6Loopback()
{
    QUdpSocket probe;
    return probe.bind(QHostAddress::LocalHostIPv6, 0);
}

// A port that was free a moment ago and that nobody listens on now.
quint16 unusedTcpPort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    return server.serverPort();
}

} // namespace

class TestZantiRemote : public QObject
{
    Q_OBJECT

private slots:
    void sendUdp_data();
    void sendUdp();
    void sendUdpStampsRise();
    void sendTcp_data();
    void sendTcp();
    void sendTcpWithNobodyListening();
    void discover_data();
    void discover();
    void discoverPrintsEveryReply();
    void discoverBroadcast();
    void discoverWithoutReply();
    void misuse_data();
    void misuse();
    void helpAndVersion_data();
    void helpAndVersion();
};

void TestZantiRemote::sendUdp_data()
{
    QTest::addColumn<QHostAddress>("bindAddress");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("password");

    const QHostAddress v4 = QHostAddress(QHostAddress::LocalHost);
    QTest::newRow("mouse move, several & members")
        << v4 << QStringLiteral("127.0.0.1") << QStringList()
        << QStringLiteral("/mouse?key=move_by&delta_x=10&delta_y=20") << QString();
    QTest::newRow("percent-encoding stays as written")
        << v4 << QStringLiteral("127.0.0.1") << QStringList()
        << QStringLiteral("/keyboard?key=type&text=a%20b%26c%3D%25") << QString();
    QTest::newRow("text beyond ASCII")
        << v4 << QStringLiteral("127.0.0.1") << QStringList()
        << QStringLiteral("/keyboard?key=type&text=h\u00e9llo \u20ac") << QString();
    QTest::newRow("password carried")
        << v4 << QStringLiteral("127.0.0.1")
        << QStringList{QStringLiteral("--password"), QStringLiteral("s3cr\"et &x")}
        << QStringLiteral("/keyboard?key=enter") << QStringLiteral("s3cr\"et &x");
    QTest::newRow("host name") << QHostAddress(QHostAddress::Any) << QStringLiteral("localhost")
                               << QStringList() << QStringLiteral("/keyboard?key=enter")
                               << QString();
    QTest::newRow("IPv6 loopback")
        << QHostAddress(QHostAddress::LocalHostIPv6) << QStringLiteral("[::1]") << QStringList()
        << QStringLiteral("/keyboard?key=enter") << QString();
}

void TestZantiRemote::sendUdp()
{
    QFETCH(QHostAddress, bindAddress);
    QFETCH(QString, host);
    QFETCH(QStringList, options);
    QFETCH(QString, request);
    QFETCH(QString, password);

    if (bindAddress == QHostAddress::LocalHostIPv6 && !hasIPv6Loopback())
        QSKIP("This machine has no IPv6 loopback");
    QUdpSocket receiver;
    QVERIFY(receiver.bind(bindAddress, 0));

    const Result result =
        runTool(QStringList{QStringLiteral("send")} + options +
                QStringList{host + u':' + QString::number(receiver.localPort()), request});
    QVERIFY2(result.exitCode == 0, qPrintable(result.err));
    QTRY_VERIFY(receiver.hasPendingDatagrams());

    const QByteArray payload = receiver.receiveDatagram().data();
    QVERIFY2(!payload.contains('\n'), payload.constData());
    const QJsonObject message = parseObject(payload);
    QCOMPARE(message.keys(),
             (QStringList{QStringLiteral("appAuthenticationKey"), QStringLiteral("password"),
                          QStringLiteral("request"), QStringLiteral("sentTime")}));
    QCOMPARE(message.value(QLatin1String("appAuthenticationKey")), QJsonValue(appKey));
    QCOMPARE(message.value(QLatin1String("password")), QJsonValue(password));
    QCOMPARE(message.value(QLatin1String("request")), QJsonValue(request));
    QVERIFY(message.value(QLatin1String("sentTime")).isString());
    QVERIFY(!receiver.hasPendingDatagrams());
}

void TestZantiRemote::sendUdpStampsRise()
{
    QUdpSocket receiver;
    QVERIFY(receiver.bind(QHostAddress::LocalHost, 0));
    const QStringList arguments{QStringLiteral("send"),
                                QStringLiteral("127.0.0.1:") +
                                    QString::number(receiver.localPort()),
                                QStringLiteral("/keyboard?key=enter")};

    quint64 previous = 0;
    for (int run = 0; run < 3; ++run) {
        const Result result = runTool(arguments);
        QVERIFY2(result.exitCode == 0, qPrintable(result.err));
        QTRY_VERIFY(receiver.hasPendingDatagrams());
        const QJsonValue stamp =
            parseObject(receiver.receiveDatagram().data()).value(QLatin1String("sentTime"));
        QVERIFY(stamp.isString());
        // What the server accepts: decimal digits only, within 64 bits.
        const QString text = stamp.toString();
        QVERIFY2(!text.isEmpty() && std::all_of(text.cbegin(), text.cend(),
                                                [](QChar c) { return c >= u'0' && c <= u'9'; }),
                 qPrintable(text));
        bool ok = false;
        const quint64 value = text.toULongLong(&ok);
        QVERIFY(ok);
        QVERIFY2(value > previous, qPrintable(text));
        previous = value;
    }
}

enum class TcpServerBehaviour
{
    AnswersAndCloses,
    AnswersAndStaysOpen,
    AnswersWithNewline,
    ClosesWithoutAnswer,
    AnswersOtherwise,
    StaysSilent,
};

void TestZantiRemote::sendTcp_data()
{
    QTest::addColumn<TcpServerBehaviour>("behaviour");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expectedError");

    QTest::newRow("answers success and closes")
        << TcpServerBehaviour::AnswersAndCloses << 10000 << 0 << QString();
    QTest::newRow("answers success and stays open")
        << TcpServerBehaviour::AnswersAndStaysOpen << 10000 << 0 << QString();
    QTest::newRow("answers success and a line break")
        << TcpServerBehaviour::AnswersWithNewline << 10000 << 0 << QString();
    QTest::newRow("closes without answering") << TcpServerBehaviour::ClosesWithoutAnswer << 10000
                                              << 1 << QStringLiteral("without answering");
    QTest::newRow("answers something else")
        << TcpServerBehaviour::AnswersOtherwise << 10000 << 1 << QStringLiteral("denied");
    QTest::newRow("stays silent") << TcpServerBehaviour::StaysSilent << 300 << 1
                                  << QStringLiteral("within 300 ms");
}

void TestZantiRemote::sendTcp()
{
    QFETCH(TcpServerBehaviour, behaviour);
    QFETCH(int, timeoutMs);
    QFETCH(int, exitCode);
    QFETCH(QString, expectedError);

    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QByteArray received;
    connect(&server, &QTcpServer::newConnection, this, [&] {
        QTcpSocket *socket = server.nextPendingConnection();
        connect(socket, &QIODevice::readyRead, socket, [&, socket] {
            received += socket->readAll();
            // Act only on a whole message, however the bytes were split.
            if (parseObject(received).isEmpty())
                return;
            switch (behaviour) {
            case TcpServerBehaviour::AnswersAndCloses:
                socket->write("success");
                socket->disconnectFromHost();
                break;
            case TcpServerBehaviour::AnswersAndStaysOpen:
                socket->write("success");
                break;
            case TcpServerBehaviour::AnswersWithNewline:
                socket->write("success\n");
                socket->disconnectFromHost();
                break;
            case TcpServerBehaviour::ClosesWithoutAnswer:
                socket->disconnectFromHost();
                break;
            case TcpServerBehaviour::AnswersOtherwise:
                socket->write("denied");
                socket->disconnectFromHost();
                break;
            case TcpServerBehaviour::StaysSilent:
                break;
            }
        });
    });

    QElapsedTimer elapsed;
    elapsed.start();
    const Result result =
        runTool({QStringLiteral("send"), QStringLiteral("--tcp"), QStringLiteral("--timeout"),
                 QString::number(timeoutMs), QStringLiteral("--password"), QStringLiteral("pw"),
                 QStringLiteral("127.0.0.1:") + QString::number(server.serverPort()),
                 QStringLiteral("/keyboard?key=enter&x=1")});
    QCOMPARE(result.exitCode, exitCode);

    const QJsonObject message = parseObject(received);
    QCOMPARE(message.value(QLatin1String("request")),
             QJsonValue(QStringLiteral("/keyboard?key=enter&x=1")));
    QCOMPARE(message.value(QLatin1String("password")), QJsonValue(QStringLiteral("pw")));
    QCOMPARE(message.value(QLatin1String("appAuthenticationKey")), QJsonValue(appKey));
    QVERIFY(message.value(QLatin1String("sentTime")).isString());

    if (exitCode == 0) {
        QCOMPARE(result.out, QStringLiteral("success\n"));
        // The answer ends the wait, whether or not the server then closes.
        QVERIFY2(elapsed.elapsed() < timeoutMs, qPrintable(QString::number(elapsed.elapsed())));
    } else {
        QCOMPARE(result.out, QString());
        QVERIFY2(result.err.contains(expectedError), qPrintable(result.err));
        QCOMPARE(result.err.count(u'\n'), 1);
    }
}

void TestZantiRemote::sendTcpWithNobodyListening()
{
    const quint16 port = unusedTcpPort();
    QVERIFY(port != 0);
    const Result result =
        runTool({QStringLiteral("send"), QStringLiteral("--tcp"),
                 QStringLiteral("127.0.0.1:") + QString::number(port), QStringLiteral("/x?key=y")});
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.contains(QLatin1String("cannot connect")), qPrintable(result.err));
}

// A socket standing in for the server: it records each request and answers it with the given
// payload, from each of the given sockets.
class FakeDiscoveryServer
{
public:
    explicit FakeDiscoveryServer(QByteArray reply) : m_reply(std::move(reply))
    {
        QObject::connect(&m_socket, &QIODevice::readyRead, &m_socket, [this] {
            while (m_socket.hasPendingDatagrams()) {
                const QNetworkDatagram request = m_socket.receiveDatagram();
                requests.append(request.data());
                for (QUdpSocket *answering : std::as_const(answeringSockets))
                    answering->writeDatagram(m_reply, request.senderAddress(),
                                             quint16(request.senderPort()));
            }
        });
    }

    bool bind(const QHostAddress &address)
    {
        if (!m_socket.bind(address, 0))
            return false;
        answeringSockets.append(&m_socket);
        return true;
    }
    quint16 port() const { return m_socket.localPort(); }

    QList<QByteArray> requests;
    QList<QUdpSocket *> answeringSockets;

private:
    QUdpSocket m_socket;
    QByteArray m_reply;
};

void TestZantiRemote::discover_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QJsonObject>("expectedRequest");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("printedReply");

    const QJsonObject withoutPassword{{QStringLiteral("app_authentication_key"), appKey}};
    QJsonObject withPassword = withoutPassword;
    withPassword.insert(QStringLiteral("zanti_server_password"), QStringLiteral("pw"));
    QJsonObject withEmptyPassword = withoutPassword;
    withEmptyPassword.insert(QStringLiteral("zanti_server_password"), QString());

    QTest::newRow("no password, indented JSON reply")
        << QStringList() << withoutPassword
        << QByteArray("{\n  \"name\": \"desk\",\n  \"port\": 5916\n}\n")
        << QStringLiteral(R"({"name":"desk","port":5916})");
    QTest::newRow("password, JSON reply")
        << QStringList{QStringLiteral("--password"), QStringLiteral("pw")} << withPassword
        << QByteArray(R"({"name":"desk"})") << QStringLiteral(R"({"name":"desk"})");
    QTest::newRow("empty password is still sent")
        << QStringList{QStringLiteral("--password"), QString()} << withEmptyPassword
        << QByteArray(R"({"name":"desk"})") << QStringLiteral(R"({"name":"desk"})");
    QTest::newRow("reply beyond ASCII")
        << QStringList() << withoutPassword
        << QStringLiteral("{\"name\": \"B\u00fcro \u20ac\"}").toUtf8()
        << QStringLiteral("{\"name\":\"B\u00fcro \u20ac\"}");
    QTest::newRow("reply that is not JSON")
        << QStringList() << withoutPassword << QByteArray("hello\nthere")
        << QStringLiteral("hello there");
}

void TestZantiRemote::discover()
{
    QFETCH(QStringList, options);
    QFETCH(QJsonObject, expectedRequest);
    QFETCH(QByteArray, reply);
    QFETCH(QString, printedReply);

    FakeDiscoveryServer server(reply);
    QVERIFY(server.bind(QHostAddress::LocalHost));

    const Result result = runTool(
        QStringList{QStringLiteral("discover"), QStringLiteral("--timeout"),
                    QStringLiteral("1000")} +
        options + QStringList{QStringLiteral("127.0.0.1:") + QString::number(server.port())});
    QVERIFY2(result.exitCode == 0, qPrintable(result.err));

    QCOMPARE(server.requests.size(), 1);
    QJsonParseError error;
    const QJsonDocument request = QJsonDocument::fromJson(server.requests.first(), &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QVERIFY(request.isArray());
    QCOMPARE(request.array(), QJsonArray{expectedRequest});

    const QStringList lines = result.out.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines.first(),
             QStringLiteral("127.0.0.1:") + QString::number(server.port()) + u' ' + printedReply);
}

void TestZantiRemote::discoverPrintsEveryReply()
{
    // Servers answering a broadcast reply from their own addresses, so no reply may be dropped
    // for coming from somewhere other than where the request went.
    FakeDiscoveryServer server(QByteArray(R"({"name":"desk"})"));
    QVERIFY(server.bind(QHostAddress::LocalHost));
    QUdpSocket other;
    QVERIFY(other.bind(QHostAddress::LocalHost, 0));
    server.answeringSockets.append(&other);

    const Result result =
        runTool({QStringLiteral("discover"), QStringLiteral("--timeout"), QStringLiteral("1000"),
                 QStringLiteral("127.0.0.1:") + QString::number(server.port())});
    QVERIFY2(result.exitCode == 0, qPrintable(result.err));
    QStringList lines = result.out.split(u'\n', Qt::SkipEmptyParts);
    lines.sort();
    QStringList expected{hostPort(QHostAddress::LocalHost, server.port()) +
                             QStringLiteral(R"( {"name":"desk"})"),
                         hostPort(QHostAddress::LocalHost, other.localPort()) +
                             QStringLiteral(R"( {"name":"desk"})")};
    expected.sort();
    QCOMPARE(lines, expected);
}

void TestZantiRemote::discoverBroadcast()
{
    FakeDiscoveryServer server(QByteArray(R"({"name":"desk"})"));
    QVERIFY(server.bind(QHostAddress::AnyIPv4));
    {
        // Containers without a broadcast route cannot run this case at all.
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress::AnyIPv4, 0));
        QSignalSpy arrived(&probe, &QIODevice::readyRead);
        if (probe.writeDatagram("probe", QHostAddress::Broadcast, probe.localPort()) != 5 ||
            !arrived.wait(1000))
            QSKIP("This machine cannot broadcast to itself");
    }

    const Result result =
        runTool({QStringLiteral("discover"), QStringLiteral("--timeout"), QStringLiteral("1000"),
                 QStringLiteral("255.255.255.255:") + QString::number(server.port())});
    QVERIFY2(result.exitCode == 0, qPrintable(result.err));
    QCOMPARE(server.requests.size(), 1);
    QVERIFY2(result.out.contains(QLatin1String(R"( {"name":"desk"})")), qPrintable(result.out));
}

void TestZantiRemote::discoverWithoutReply()
{
    QUdpSocket silent;
    QVERIFY(silent.bind(QHostAddress::LocalHost, 0));

    const Result result =
        runTool({QStringLiteral("discover"), QStringLiteral("--timeout"), QStringLiteral("300"),
                 QStringLiteral("127.0.0.1:") + QString::number(silent.localPort())});
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.out, QString());
    QVERIFY2(result.err.contains(QLatin1String("no reply within 300 ms")), qPrintable(result.err));
    QTRY_VERIFY(silent.hasPendingDatagrams());
}

void TestZantiRemote::misuse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expectedError");

    const auto args = [](std::initializer_list<const char *> list) {
        QStringList result;
        for (const char *item : list)
            result.append(QString::fromUtf8(item));
        return result;
    };
    QTest::newRow("no arguments") << QStringList() << QStringLiteral("Usage:");
    QTest::newRow("unknown command")
        << args({"launch", "127.0.0.1"}) << QStringLiteral("unknown command 'launch'");
    QTest::newRow("unknown option")
        << args({"send", "--bogus", "127.0.0.1", "/x"}) << QStringLiteral("bogus");
    QTest::newRow("send alone") << args({"send"}) << QStringLiteral("REQUEST");
    QTest::newRow("send without REQUEST")
        << args({"send", "127.0.0.1"}) << QStringLiteral("missing REQUEST");
    QTest::newRow("send with one argument too many")
        << args({"send", "127.0.0.1", "/x", "/y"}) << QStringLiteral("'/y'");
    QTest::newRow("port too big") << args({"send", "127.0.0.1:70000", "/x"})
                                  << QStringLiteral("70000");
    QTest::newRow("port not a number")
        << args({"send", "127.0.0.1:abc", "/x"}) << QStringLiteral("abc");
    QTest::newRow("port with a sign")
        << args({"send", "127.0.0.1:+80", "/x"}) << QStringLiteral("+80");
    QTest::newRow("port zero") << args({"send", "127.0.0.1:0", "/x"}) << QStringLiteral("port '0'");
    QTest::newRow("empty port") << args({"send", "127.0.0.1:", "/x"}) << QStringLiteral("port");
    QTest::newRow("empty host") << args({"send", ":5916", "/x"}) << QStringLiteral("host");
    QTest::newRow("IPv6 without brackets")
        << args({"send", "::1", "/x"}) << QStringLiteral("brackets");
    QTest::newRow("IPv6 bracket not closed")
        << args({"send", "[::1:5916", "/x"}) << QStringLiteral("]");
    QTest::newRow("IPv4 in brackets")
        << args({"send", "[127.0.0.1]:5916", "/x"}) << QStringLiteral("IPv6");
    QTest::newRow("host that does not resolve")
        << args({"send", "no-such-host.invalid", "/x"}) << QStringLiteral("no-such-host.invalid");
    QTest::newRow("discover bad port")
        << args({"discover", "127.0.0.1:70000"}) << QStringLiteral("70000");
    QTest::newRow("discover two hosts")
        << args({"discover", "127.0.0.1", "127.0.0.2"}) << QStringLiteral("127.0.0.2");
    QTest::newRow("discover over TCP")
        << args({"discover", "--tcp", "127.0.0.1"}) << QStringLiteral("--tcp");
    QTest::newRow("timeout not a number")
        << args({"discover", "--timeout", "soon", "127.0.0.1"}) << QStringLiteral("soon");
    QTest::newRow("timeout missing value")
        << args({"discover", "--timeout"}) << QStringLiteral("timeout");
}

void TestZantiRemote::misuse()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, expectedError);

    const Result result = runTool(arguments);
    QCOMPARE(result.exitCode, 2);
    QCOMPARE(result.out, QString());
    QVERIFY2(result.err.contains(expectedError), qPrintable(result.err));
}

void TestZantiRemote::helpAndVersion_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QStringList>("expectedText");

    QTest::newRow("--help") << QStringLiteral("--help")
                            << QStringList{QStringLiteral("send"), QStringLiteral("discover"),
                                           QStringLiteral("--password")};
    QTest::newRow("--version") << QStringLiteral("--version")
                               << QStringList{QStringLiteral("zanti-remote")};
}

void TestZantiRemote::helpAndVersion()
{
    QFETCH(QString, option);
    QFETCH(QStringList, expectedText);

    const Result result = runTool({option});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QString());
    for (const QString &text : std::as_const(expectedText))
        QVERIFY2(result.out.contains(text), qPrintable(result.out));
}

QTEST_GUILESS_MAIN(TestZantiRemote)
#include "tst_zantiremote.moc"

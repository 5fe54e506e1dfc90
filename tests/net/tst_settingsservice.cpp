#include "commandstack.h"
#include "extras.h"
#include "serverhandler.h"
#include "tcpserver.h"
#include "testfiles.h"
#include "udpserver.h"
#include "webserver.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

using namespace zc;
using namespace zc::test;

namespace {

struct HttpReply
{
    int status = 0;
    QByteArray head;
    QByteArray body;
};

} // namespace

// The settings service as the page and the program meet it: real HTTP on loopback, in front of
// the real supervisor and command servers.
class TestSettingsService : public QObject
{
    Q_OBJECT

    std::unique_ptr<CommandStack> stack;
    std::unique_ptr<UDPServer> udp;
    std::unique_ptr<TCPServer> tcp;
    std::unique_ptr<Extras> extras;
    std::unique_ptr<WebServer> web;
    std::unique_ptr<ServerHandler> servers;
    QString addressFile;
    int vlcConfigured = 0;
    int restarted = 0;

    QByteArray key() const { return web->pageAddress().fragment().mid(4).toLatin1(); }
    quint16 webPort() const { return *web->ZantiWebServerPort(); }

    // Sends one request on a connection of its own and reads the reply to the end.
    void http(const QByteArray &request, HttpReply &reply)
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, webPort());
        QByteArray received;
        connect(&socket, &QTcpSocket::readyRead, &socket, [&] { received += socket.readAll(); });
        QVERIFY(socket.waitForConnected(5000));
        socket.write(request);
        QTRY_VERIFY_WITH_TIMEOUT(socket.state() == QAbstractSocket::UnconnectedState, 10000);
        const qsizetype end = received.indexOf("\r\n\r\n");
        QVERIFY2(end > 0, received.constData());
        reply.head = received.left(end);
        reply.body = received.mid(end + 4);
        reply.status = received.mid(9, 3).toInt();
    }

    QByteArray request(const QByteArray &method, const QByteArray &path,
                       const QByteArray &extraHeaders = {}, const QByteArray &body = {})
    {
        return method + ' ' + path +
               " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(webPort()) +
               "\r\nConnection: close\r\n" + extraHeaders +
               "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    }

    QByteArray keyHeader() { return "Authorization: Bearer " + key() + "\r\n"; }

    void settings(HttpReply &reply, QJsonObject &json)
    {
        http(request("GET", "/requests/settings/", keyHeader()), reply);
        json = QJsonDocument::fromJson(reply.body).object();
    }

private slots:
    void init()
    {
        stack = std::make_unique<CommandStack>();
        Log &log = stack->capture.log;
        addressFile = stack->settingsDirectory.filePath(QStringLiteral("run/settings-address"));
        const quint16 port = freeRun(2);
        QVERIFY(port);
        stack->preferences.setWebServerPort(port);
        stack->preferences.setServerUDPPort(quint16(port + 1));
        stack->preferences.setServerTCPPort(quint16(port + 1));
        udp = std::make_unique<UDPServer>(stack->handler, stack->responder, log);
        tcp = std::make_unique<TCPServer>(stack->handler, stack->privateSettings, nullptr, log);
        extras = std::make_unique<Extras>(log);
        web = std::make_unique<WebServer>(stack->preferences, log, addressFile);
        servers = std::make_unique<ServerHandler>(*udp, *tcp, web.get(), stack->preferences,
                                                  *extras, stack->desktop, log);
        vlcConfigured = restarted = 0;
        web->setActions({
            .status =
                [this] {
                    return ServerStatus{servers->isServerRunning(), QStringLiteral("192.168.1.20"),
                                        servers->udpPortInUse(), servers->tcpPortInUse()};
                },
            .configureVLC = [this] { ++vlcConfigured; },
            .restartServers = [this] { servers->restartServers([this] { ++restarted; }); },
        });
        servers->startServers();
        QVERIFY(servers->isServerRunning());
    }

    void cleanup()
    {
        servers->stopServers();
        QVERIFY(!QFile::exists(addressFile));
        servers.reset();
        web.reset();
        tcp.reset();
        udp.reset();
        stack.reset();
    }

    void addressFileHoldsThePagesKey()
    {
        QCOMPARE(unixMode(addressFile), 0600);
        QCOMPARE(readBytes(addressFile).trimmed(), web->pageAddress().toEncoded());
        QCOMPARE(key().size(), 64);
        QVERIFY(!stack->capture.lines().join(u'\n').contains(QString::fromLatin1(key())));
    }

    void requests_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("headers");
        QTest::addColumn<bool>("withKey");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("expected");

        const QByteArray get = "GET";
        const QByteArray settings = "/requests/settings/";
        QTest::newRow("settings") << get << settings << QByteArray() << true << 200
                                  << QByteArray("\"localIPAddress\": \"192.168.1.20\"");
        QTest::newRow("without key")
            << get << settings << QByteArray() << false << 403 << QByteArray("--open-settings");
        QTest::newRow("wrong key")
            << get << settings << QByteArray("Authorization: Bearer 0123\r\n") << false << 403
            << QByteArray();
        QTest::newRow("post without key")
            << QByteArray("POST") << settings << QByteArray() << false << 403 << QByteArray();
        QTest::newRow("foreign host") << get << settings << QByteArray("Host: evil.example\r\n")
                                      << true << 403 << QByteArray();
        QTest::newRow("rebound name")
            << get << settings << QByteArray("Host: 127.0.0.1.evil.example\r\n") << true << 403
            << QByteArray();
        QTest::newRow("localhost") << get << settings << QByteArray("Host: LocalHost\r\n") << true
                                   << 200 << QByteArray("\"status\"");
        QTest::newRow("ipv6 loopback") << get << settings << QByteArray("Host: [::1]:80\r\n")
                                       << true << 200 << QByteArray("\"status\"");
        QTest::newRow("page") << get << QByteArray("/") << QByteArray() << false << 200
                              << QByteArray("<title>Zanti Connect settings</title>");
        QTest::newRow("page range") << get << QByteArray("/") << QByteArray("Range: bytes=0-4\r\n")
                                    << false << 206 << QByteArray("<!DOC");
        QTest::newRow("unknown file") << get << QByteArray("/../CMakeLists.txt") << QByteArray()
                                      << false << 404 << QByteArray();
        QTest::newRow("oversized body, refused unread")
            << QByteArray("POST") << settings << QByteArray("Content-Length: 100000000\r\n") << true
            << 413 << QByteArray();
    }

    void requests()
    {
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, headers);
        QFETCH(bool, withKey);
        QFETCH(int, status);
        QFETCH(QByteArray, expected);
        QByteArray text = request(method, path, withKey ? keyHeader() : QByteArray());
        // A header given by the row takes the place of the standard one of that name.
        if (!headers.isEmpty()) {
            const QByteArray name = headers.left(headers.indexOf(':') + 1);
            const qsizetype at = text.indexOf("\r\n" + name);
            if (at > 0)
                text.remove(at + 2, text.indexOf("\r\n", at + 2) - at);
            text.insert(text.indexOf("\r\n") + 2, headers);
        }
        HttpReply reply;
        http(text, reply);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(reply.status, status);
        QVERIFY2(reply.body.contains(expected), reply.body.left(300).constData());
        if (path == "/" && status == 200)
            QVERIFY(reply.head.contains("Cache-Control: max-age=3600"));
        QCOMPARE(vlcConfigured, 0);
    }

    void postAppliesThenRestarts()
    {
        const quint16 oldPort = *servers->udpPortInUse();
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::Any, 0));
        const quint16 newPort = probe.serverPort();
        probe.close();
        const QByteArray body = "{\"preferences\":{\"serverUDPPort\":\"" +
                                QByteArray::number(newPort) +
                                "\",\"isAuthenticationEnabled\":true,\"webServerPort\":\"1\"}}";
        HttpReply reply;
        http(request("POST", "/requests/settings/", keyHeader(), body), reply);
        QCOMPARE(reply.status, 200);
        // The reply shows the servers as they were before the restart.
        const QJsonObject before = QJsonDocument::fromJson(reply.body).object();
        QCOMPARE(before[u"status"][u"udpPortInUse"].toInt(), oldPort);
        QCOMPARE(before[u"preferences"][u"serverUDPPort"].toInt(), newPort);
        QCOMPARE(vlcConfigured, 1);
        QTRY_COMPARE(restarted, 1);
        QCOMPARE(servers->udpPortInUse(), newPort);
        QVERIFY(stack->preferences.requiresPassword());
        QCOMPARE(stack->preferences.webServerPort(), webPort());

        QUdpSocket taken;
        QVERIFY(!taken.bind(QHostAddress::Any, newPort, QAbstractSocket::DontShareAddress));
        QJsonObject after;
        settings(reply, after);
        QCOMPARE(after[u"status"][u"udpPortInUse"].toInt(), newPort);
        QCOMPARE(after[u"status"][u"isServerRunning"].toString(), QStringLiteral("true"));
    }

    // The command port set to the web server's own: after the restart the web server, searched
    // first, keeps it, and the command servers move one up; the reply still arrives.
    void postWhoseRestartMovesThePorts()
    {
        const QByteArray port = QByteArray::number(webPort());
        HttpReply reply;
        http(request("POST", "/requests/settings/", keyHeader(),
                     "{\"preferences\":{\"serverUDPPort\":\"" + port + "\",\"serverTCPPort\":\"" +
                         port + "\"}}"),
             reply);
        QCOMPARE(reply.status, 200);
        QVERIFY(reply.body.contains("\"preferences\""));
        QTRY_COMPARE(restarted, 1);
        QCOMPARE(servers->udpPortInUse(), quint16(webPort() + 1));
        QCOMPARE(servers->tcpPortInUse(), quint16(webPort() + 1));
        QJsonObject after;
        settings(reply, after);
        QCOMPARE(after[u"status"][u"tcpPortInUse"].toInt(), webPort() + 1);
    }

    void postWithoutSettingsChangesNothing_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("spread over lines")
            << QByteArray("{\n  \"preferences\": {\"VLCPort\": \"9\"}\n}") << QByteArray();
        QTest::newRow("not JSON") << QByteArray("{VLCPort}") << QByteArray("{VLCPort}");
    }

    void postWithoutSettingsChangesNothing()
    {
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, reply);
        const QByteArray stored = readBytes(stack->preferences.filePath());
        HttpReply answer;
        http(request("POST", "/requests/settings/", keyHeader(), body), answer);
        QCOMPARE(answer.status, 200);
        QCOMPARE(answer.body, reply);
        QCOMPARE(vlcConfigured, 0);
        QCOMPARE(readBytes(stack->preferences.filePath()), stored);
    }
};

QTEST_GUILESS_MAIN(TestSettingsService)
#include "tst_settingsservice.moc"

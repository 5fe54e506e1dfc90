#include "googleanalytics.h"
#include "logcapture.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>
#include <thread>
#include <vector>

using namespace zc;
using namespace zc::test;
using namespace std::chrono_literals;

namespace {

// A local HTTP/1.1 server that records the target ("/gapp.html?id=...") and the header lines of
// every request, and answers each with the status line and extra header lines it is given; an
// empty status line never answers.
class PingServer
{
public:
    explicit PingServer(QByteArray status = "204 No Content") : m_status(std::move(status))
    {
        if (!m_server.listen(QHostAddress::LocalHost, 0))
            qFatal("Cannot listen on 127.0.0.1");
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] { accept(); });
    }

    QString page() const
    {
        return QStringLiteral("http://127.0.0.1:%1/gapp.html").arg(m_server.serverPort());
    }

    QStringList targets;
    QList<QByteArray> headers;
    int connections = 0;

private:
    void accept()
    {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            ++connections;
            QObject::connect(socket, &QTcpSocket::readyRead, socket,
                             [this, socket] { read(*socket); });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    }

    // A kept-alive connection carries several requests, possibly in one read.
    void read(QTcpSocket &socket)
    {
        QByteArray &buffer = m_buffers[&socket];
        buffer += socket.readAll();
        for (qsizetype end; (end = buffer.indexOf("\r\n\r\n")) >= 0;) {
            const qsizetype lineEnd = buffer.indexOf("\r\n");
            const QByteArray requestLine = buffer.left(lineEnd);
            headers.append(buffer.mid(lineEnd + 2, end - lineEnd));
            buffer.remove(0, end + 4);
            const QList<QByteArray> parts = requestLine.split(' ');
            if (parts.size() != 3 || parts[0] != "GET" || parts[2] != "HTTP/1.1")
                qFatal("Unexpected request line: %s", requestLine.constData());
            targets.append(QString::fromLatin1(parts[1]));
            if (!m_status.isEmpty())
                socket.write("HTTP/1.1 " + m_status + "\r\nContent-Length: 0\r\n\r\n");
        }
    }

    QTcpServer m_server;
    QByteArray m_status;
    QHash<QTcpSocket *, QByteArray> m_buffers;
};

const QString base =
    QStringLiteral("/gapp.html?id=UA-TEST-1&name=Zanti%20Connect%20-%20Linux&version=1.2.3");

QJsonObject readJson(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), content.size());
}

} // namespace

class TestAnalytics : public QObject
{
    Q_OBJECT

    QTemporaryDir directory;
    LogCapture capture;

    GoogleAnalytics::Settings settings(const QString &page, const QString &settingsDirectory = {})
    {
        GoogleAnalytics::Settings result;
        result.analyticsPage = page;
        result.propertyId = QStringLiteral("UA-TEST-1");
        result.appVersion = QStringLiteral("1.2.3");
        result.osVersion = QStringLiteral("6.1.0");
        result.localePart = QStringLiteral("en_US");
        result.settingsDirectory =
            settingsDirectory.isEmpty() ? directory.path() : settingsDirectory;
        return result;
    }

    QString ownFile() const { return directory.filePath(QStringLiteral("zanti-connect.json")); }

private slots:
    void initTestCase()
    {
        QVERIFY(directory.isValid());
        // The requests must reach the local server whatever proxy the environment names.
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    }

    void init()
    {
        QDir(directory.path()).removeRecursively();
        QVERIFY(QDir().mkpath(directory.path()));
        capture.clear();
        // Network objects used from the wrong thread, or left behind, only say so as warnings.
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
    }

    void pingAddress_data()
    {
        QTest::addColumn<QString>("page");
        QTest::addColumn<QString>("propertyId");
        QTest::addColumn<QString>("appVersion");
        QTest::addColumn<QString>("expected");

        QTest::newRow("version given")
            << "https://example.org/gapp.html"
            << "UA-1"
            << "1.2.3"
            << "https://example.org/gapp.html?id=UA-1&name=Zanti Connect - Linux&version=1.2.3";
        QTest::newRow("no version")
            << "https://example.org/gapp.html"
            << "UA-1"
            << ""
            << "https://example.org/gapp.html?id=UA-1&name=Zanti Connect - Linux&version=0.0.0";
        QTest::newRow("kept unencoded")
            << "https://example.org/g app.html"
            << "UA 1"
            << "1.0 é"
            << "https://example.org/g app.html?id=UA 1&name=Zanti Connect - Linux&version=1.0 é";
    }

    void pingAddress()
    {
        QFETCH(QString, page);
        QFETCH(QString, propertyId);
        QFETCH(QString, appVersion);
        QFETCH(QString, expected);
        GoogleAnalytics::Settings given = settings(page);
        given.propertyId = propertyId;
        given.appVersion = appVersion;
        const GoogleAnalytics analytics(given, capture.log);
        QCOMPARE(analytics.pingURL(), expected);
        QVERIFY(analytics.isEnabled());
        QVERIFY(capture.lines().isEmpty());
    }

    void eventAddress_data()
    {
        QTest::addColumn<QString>("category");
        QTest::addColumn<QString>("event");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("appended");

        QTest::newRow("category only") << "app"
                                       << ""
                                       << ""
                                       << "&ca=app";
        QTest::newRow("category and event") << "app"
                                            << "start"
                                            << ""
                                            << "&ca=app&ev=start";
        QTest::newRow("all three") << "Connection"
                                   << "Connected"
                                   << "New User"
                                   << "&ca=Connection&ev=Connected&la=New User";
        QTest::newRow("label without event is dropped") << "app"
                                                        << ""
                                                        << "x"
                                                        << "&ca=app";
        QTest::newRow("no category: ping address unchanged") << ""
                                                             << "ping"
                                                             << "x"
                                                             << "";
        QTest::newRow("values appended raw") << "a&b"
                                             << "c=d"
                                             << "é ?#%"
                                             << "&ca=a&b&ev=c=d&la=é ?#%";
    }

    void eventAddress()
    {
        QFETCH(QString, category);
        QFETCH(QString, event);
        QFETCH(QString, label);
        QFETCH(QString, appended);
        const GoogleAnalytics analytics(settings(QStringLiteral("https://example.org/gapp.html")),
                                        capture.log);
        // The ping address always holds "?", so the first item joins with "&".
        QVERIFY(analytics.pingURL().contains(u'?'));
        QCOMPARE(analytics.eventAddress(category, event, label), analytics.pingURL() + appended);
    }

    void eventsOnTheWire_data()
    {
        QTest::addColumn<QString>("category");
        QTest::addColumn<QString>("event");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("target");

        QTest::newRow("start") << "app"
                               << "start"
                               << "1.2.3" << base + "&ca=app&ev=start&la=1.2.3";
        QTest::newRow("first connection")
            << "Connection"
            << "Connected"
            << "New User" << base + "&ca=Connection&ev=Connected&la=New%20User";
        QTest::newRow("category only") << "app"
                                       << ""
                                       << "" << base + "&ca=app";
        QTest::newRow("no category") << ""
                                     << ""
                                     << "" << base;
        QTest::newRow("blank, accent, ampersand")
            << "app"
            << "start"
            << "a b é&c=d" << base + "&ca=app&ev=start&la=a%20b%20%C3%A9&c=d";
        QTest::newRow("percent, hash, brackets")
            << "app"
            << "start"
            << "100%#[x]" << base + "&ca=app&ev=start&la=100%25%23%5Bx%5D";
        QTest::newRow("query characters stay")
            << "app"
            << "start"
            << "!$'()*+,-./:;=?@_~" << base + "&ca=app&ev=start&la=!$'()*+,-./:;=?@_~";
        QTest::newRow("quote, angle brackets, backslash, caret")
            << "app"
            << "start"
            << "\"<>\\^`{|}" << base + "&ca=app&ev=start&la=%22%3C%3E%5C%5E%60%7B%7C%7D";
        QTest::newRow("outside the basic plane")
            << "app"
            << "start"
            << "\xF0\x9F\x98\x80" << base + "&ca=app&ev=start&la=%F0%9F%98%80";
        QTest::newRow("control character") << "app"
                                           << "start"
                                           << "a\tb" << base + "&ca=app&ev=start&la=a%09b";
    }

    void eventsOnTheWire()
    {
        QFETCH(QString, category);
        QFETCH(QString, event);
        QFETCH(QString, label);
        QFETCH(QString, target);
        PingServer server;
        GoogleAnalytics analytics(settings(server.page()), capture.log);
        analytics.sendEvent(category, event, label);
        QTRY_COMPARE(server.targets, QStringList{target});
        QVERIFY(capture.lines().isEmpty());
    }

    void eventsAtStartKeepTheirOrder()
    {
        PingServer server;
        GoogleAnalytics analytics(settings(server.page()), capture.log);
        analytics.startPingTimer(14400s);
        analytics.sendEvent(QStringLiteral("app"), QStringLiteral("start"),
                            QStringLiteral("1.2.3"));
        analytics.sendFirstRunEvent();
        analytics.sendEvent(QStringLiteral("Connection"), QStringLiteral("Connected"),
                            QStringLiteral("New User"));
        const QStringList expected = {
            base + "&ca=app&ev=ping&la=1.2.3",
            base + "&ca=app&ev=start&la=1.2.3",
            base + "&ca=app&ev=init&la=en_US_6.1.0_1.2.3",
            base + "&ca=Connection&ev=Connected&la=New%20User",
        };
        // Several connections may carry them, so only the set is certain on arrival.
        QTRY_COMPARE(server.targets.size(), expected.size());
        QStringList arrived = server.targets;
        arrived.sort();
        QStringList sorted = expected;
        sorted.sort();
        QCOMPARE(arrived, sorted);
        QVERIFY(capture.lines().isEmpty());
    }

    void firstRun_data()
    {
        QTest::addColumn<QByteArray>("ownFileBefore");
        QTest::addColumn<bool>("firstSendsInit");
        QTest::addColumn<int>("logLines");

        QTest::newRow("no settings file") << QByteArray() << true << 0;
        QTest::newRow("file without the marker") << QByteArray(R"({"kept": "yes"})") << true << 0;
        QTest::newRow("marker that is not a text")
            << QByteArray(R"({"User UUID": 42, "kept": "yes"})") << true << 0;
        QTest::newRow("marker already set")
            << QByteArray(R"({"User UUID": "0F5B3A52-1C1E-4B55-9C5D-9D0A6B2F0E11"})") << false << 0;
        QTest::newRow("unreadable file") << QByteArray("not json") << true << 1;
    }

    void firstRun()
    {
        QFETCH(QByteArray, ownFileBefore);
        QFETCH(bool, firstSendsInit);
        QFETCH(int, logLines);
        const QString zantiSuite =
            directory.filePath(QStringLiteral("morvell.osx.zanticonnectgroup.json"));
        const QString privateSuite =
            directory.filePath(QStringLiteral("morvell.osx.settingsgroup.json"));
        const QByteArray zantiContent = R"({"zanticonnect.serverUDPPort": 6000})";
        const QByteArray privateContent = R"({"settingsgroup.hasAppUsed": true})";
        writeFile(zantiSuite, zantiContent);
        writeFile(privateSuite, privateContent);
        if (!ownFileBefore.isNull())
            writeFile(ownFile(), ownFileBefore);
        const QString init = base + "&ca=app&ev=init&la=en_US_6.1.0_1.2.3";
        const QString marker = base + "&ca=marker";
        PingServer server;

        QString uuid;
        {
            GoogleAnalytics first(settings(server.page()), capture.log);
            first.sendFirstRunEvent();
            first.sendEvent(QStringLiteral("marker"));
            // Requests may overtake one another on separate connections: wait for the marker,
            // sent last, and for the init if one is due.
            QTRY_COMPARE(server.targets.size(), firstSendsInit ? 2 : 1);
            QCOMPARE(server.targets.contains(init), firstSendsInit);
            QVERIFY(server.targets.contains(marker));
            const QJsonObject stored = readJson(ownFile());
            uuid = stored.value(QStringLiteral("User UUID")).toString();
            QVERIFY2(
                QRegularExpression(QStringLiteral("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$"))
                    .match(uuid)
                    .hasMatch(),
                qPrintable(uuid));
            if (ownFileBefore.contains("kept"))
                QCOMPARE(stored.value(QStringLiteral("kept")), QJsonValue(QStringLiteral("yes")));
        }
        server.targets.clear();
        {
            GoogleAnalytics second(settings(server.page()), capture.log);
            second.sendFirstRunEvent();
            second.sendEvent(QStringLiteral("marker"));
            QTRY_COMPARE(server.targets, QStringList{marker});
        }
        QCOMPARE(readJson(ownFile()).value(QStringLiteral("User UUID")).toString(), uuid);
        QCOMPARE(readBytes(zantiSuite), zantiContent);
        QCOMPARE(readBytes(privateSuite), privateContent);
        QCOMPARE(capture.lines().size(), logLines);
    }

    void firstRunCreatesTheSettingsDirectory()
    {
        const QString nested = directory.filePath(QStringLiteral("not/yet/there"));
        PingServer server;
        GoogleAnalytics analytics(settings(server.page(), nested), capture.log);
        analytics.sendFirstRunEvent();
        QTRY_COMPARE(server.targets, QStringList{base + "&ca=app&ev=init&la=en_US_6.1.0_1.2.3"});
        QVERIFY(readJson(QDir(nested).filePath(QStringLiteral("zanti-connect.json")))
                    .value(QStringLiteral("User UUID"))
                    .isString());
        QVERIFY(capture.lines().isEmpty());
    }

    void sendFromOtherThreads()
    {
        PingServer server;
        GoogleAnalytics analytics(settings(server.page()), capture.log);
        constexpr int threadCount = 4;
        constexpr int eventsPerThread = 5;
        QStringList expected;
        std::vector<std::thread> threads;
        for (int t = 0; t < threadCount; ++t) {
            for (int e = 0; e < eventsPerThread; ++e)
                expected.append(base + QStringLiteral("&ca=thread&ev=%1&la=%2").arg(t).arg(e));
            threads.emplace_back([&analytics, t] {
                for (int e = 0; e < eventsPerThread; ++e)
                    analytics.sendEvent(QStringLiteral("thread"), QString::number(t),
                                        QString::number(e));
            });
        }
        for (std::thread &thread : threads)
            thread.join();
        QTRY_COMPARE(server.targets.size(), expected.size());
        QStringList arrived = server.targets;
        arrived.sort();
        expected.sort();
        QCOMPARE(arrived, expected);
        QVERIFY(capture.lines().isEmpty());
    }

    void pingTimerPingsAtOnceEvenWhenRunning()
    {
        PingServer server;
        GoogleAnalytics analytics(settings(server.page()), capture.log);
        const QString ping = base + "&ca=app&ev=ping&la=1.2.3";
        analytics.startPingTimer(3600s);
        QTRY_COMPARE(server.targets, QStringList{ping});
        analytics.startPingTimer(3600s);
        QTRY_COMPARE(server.targets, (QStringList{ping, ping}));
    }

    void pingTimerRepeatsAndStops()
    {
        PingServer server;
        GoogleAnalytics analytics(settings(server.page()), capture.log);
        analytics.startPingTimer(1s);
        QTRY_VERIFY_WITH_TIMEOUT(server.targets.size() >= 3, 10000);
        QVERIFY(server.targets.size() == server.targets.count(base + "&ca=app&ev=ping&la=1.2.3"));

        analytics.stopPingTimer();
        const auto observe = [](std::chrono::milliseconds span) {
            QTimer window;
            window.setSingleShot(true);
            QSignalSpy elapsed(&window, &QTimer::timeout);
            window.start(span);
            return elapsed.wait(int(span.count()) + 5000);
        };
        // A ping already on its way may still arrive; after that, the count must hold for
        // longer than an interval and its tolerance.
        QVERIFY(observe(500ms));
        const qsizetype stopped = server.targets.size();
        QVERIFY(observe(1500ms));
        QCOMPARE(server.targets.size(), stopped);

        analytics.startPingTimer(1s);
        QTRY_VERIFY_WITH_TIMEOUT(server.targets.size() >= stopped + 2, 10000);
        QVERIFY(capture.lines().isEmpty());
    }

    void pingsOff_data()
    {
        QTest::addColumn<bool>("withPage");
        QTest::addColumn<bool>("withPropertyId");
        QTest::addColumn<QString>("line");

        const QString noPage =
            QStringLiteral("Usage pings are off: this build has no analytics page address");
        QTest::newRow("no page address") << false << true << noPage;
        QTest::newRow("no page address, no property") << false << false << noPage;
        QTest::newRow("no property identifier")
            << true << false
            << "Usage pings are off: this build has no analytics property identifier";
    }

    void pingsOff()
    {
        QFETCH(bool, withPage);
        QFETCH(bool, withPropertyId);
        QFETCH(QString, line);
        PingServer server;
        {
            GoogleAnalytics::Settings off = settings(withPage ? server.page() : QString());
            if (!withPropertyId)
                off.propertyId.clear();
            GoogleAnalytics analytics(off, capture.log);
            QVERIFY(!analytics.isEnabled());
            analytics.startPingTimer(1s);
            analytics.doPing();
            analytics.sendEvent(QStringLiteral("app"), QStringLiteral("start"),
                                QStringLiteral("1.2.3"));
            std::thread([&analytics] { analytics.sendEvent(QStringLiteral("thread")); }).join();
            analytics.sendFirstRunEvent();
            analytics.stopPingTimer();

            // An enabled instance's event, sent afterwards, arrives after anything the first
            // one could have sent would have been made.
            GoogleAnalytics on(settings(server.page()), capture.log);
            on.sendEvent(QStringLiteral("marker"));
            QTRY_COMPARE(server.targets, QStringList{base + "&ca=marker"});
            QCOMPARE(capture.lines(), QStringList{line});
        }
        QCOMPARE(server.targets.size(), 1);
        QCOMPARE(server.connections, 1);
        QVERIFY(!QFile::exists(ownFile()));
        QCOMPARE(capture.lines(), QStringList{line});
    }

    void addressThatIsNoURL_data()
    {
        QTest::addColumn<QString>("page");
        QTest::newRow("port that is not a number") << "http://127.0.0.1:notaport/gapp.html";
        QTest::newRow("relative") << "gapp.html";
    }

    void addressThatIsNoURL()
    {
        QFETCH(QString, page);
        PingServer server;
        GoogleAnalytics broken(settings(page), capture.log);
        QVERIFY(broken.isEnabled());
        broken.sendEvent(QStringLiteral("app"), QStringLiteral("start"), QStringLiteral("a b"));
        GoogleAnalytics on(settings(server.page()), capture.log);
        on.sendEvent(QStringLiteral("marker"));
        QTRY_COMPARE(server.targets, QStringList{base + "&ca=marker"});
        QCOMPARE(capture.lines(), QStringList{"Failed to generate URL from " + page +
                                              "?id=UA-TEST-1&name=Zanti Connect - "
                                              "Linux&version=1.2.3&ca=app&ev=start&la=a b"});
    }

    void failureIsOneLine_data()
    {
        QTest::addColumn<bool>("listening");
        QTest::addColumn<QByteArray>("status");
        QTest::newRow("closed port") << false << QByteArray();
        QTest::newRow("server error") << true << QByteArray("503 Service Unavailable");
    }

    void failureIsOneLine()
    {
        QFETCH(bool, listening);
        QFETCH(QByteArray, status);
        QString page;
        std::unique_ptr<PingServer> server;
        if (listening) {
            server = std::make_unique<PingServer>(status);
            page = server->page();
        } else {
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
            page = QStringLiteral("http://127.0.0.1:%1/gapp.html").arg(closed.serverPort());
        }
        GoogleAnalytics analytics(settings(page), capture.log);
        analytics.sendEvent(QStringLiteral("app"), QStringLiteral("start"), QStringLiteral("1"));
        QTRY_COMPARE(capture.lines().size(), 1);
        const QString line = capture.lines().constFirst();
        QVERIFY2(line.startsWith(QLatin1String("Usage ping failed: ")), qPrintable(line));
        if (server)
            QCOMPARE(server->targets, QStringList{base + "&ca=app&ev=start&la=1"});

        // The program carries on: the same event is sent again and fails the same way.
        analytics.sendEvent(QStringLiteral("app"), QStringLiteral("start"), QStringLiteral("1"));
        QTRY_COMPARE(capture.lines().size(), 2);
        QCOMPARE(capture.lines().constLast(), line);
        if (server)
            QCOMPARE(server->targets.size(), 2);
    }

    void cookiesAreNeitherKeptNorSent()
    {
        PingServer server("204 No Content\r\nSet-Cookie: visitor=1; Path=/");
        GoogleAnalytics analytics(settings(server.page()), capture.log);
        analytics.sendEvent(QStringLiteral("first"));
        QTRY_COMPARE(server.targets.size(), 1);
        analytics.sendEvent(QStringLiteral("second"));
        QTRY_COMPARE(server.targets, (QStringList{base + "&ca=first", base + "&ca=second"}));
        for (const QByteArray &block : std::as_const(server.headers))
            QVERIFY2(!block.toLower().contains("cookie"), block.constData());
        QVERIFY(capture.lines().isEmpty());
    }

    void destroyedWithRequestsUnderWay()
    {
        PingServer silent{QByteArray()};
        {
            GoogleAnalytics analytics(settings(silent.page()), capture.log);
            analytics.sendEvent(QStringLiteral("app"), QStringLiteral("start"));
            QTRY_COMPARE(silent.targets.size(), 1);
            // Handed over but not yet made: dropped with the object.
            analytics.sendEvent(QStringLiteral("app"), QStringLiteral("late"));
        }
        PingServer server;
        GoogleAnalytics on(settings(server.page()), capture.log);
        on.sendEvent(QStringLiteral("marker"));
        QTRY_COMPARE(server.targets, QStringList{base + "&ca=marker"});
        QCOMPARE(silent.targets, QStringList{base + "&ca=app&ev=start"});
        QVERIFY(capture.lines().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestAnalytics)
#include "tst_analytics.moc"

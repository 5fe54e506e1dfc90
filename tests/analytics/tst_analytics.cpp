#include "googleanalytics.h"
#include "logcapture.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUuid>

#include <memory>
#include <thread>
#include <vector>

using namespace zc;
using namespace zc::test;
using namespace std::chrono_literals;

namespace {

// A local HTTP/1.1 server that records the target ("/gapp.html?id=...") of every request and
// answers each with the status it is given and a cookie; an empty status never answers. The
// pings are anonymous, so a request that hands the cookie back ends the test run.
class PingServer
{
public:
    explicit PingServer(QByteArray status = "204 No Content") : m_status(std::move(status))
    {
        if (!m_server.listen(QHostAddress::LocalHost, 0))
            qFatal("Cannot listen on 127.0.0.1");
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                ++connections;
                QObject::connect(socket, &QTcpSocket::readyRead, socket,
                                 [this, socket] { read(*socket); });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }

    QString page() const
    {
        return QStringLiteral("http://127.0.0.1:%1/gapp.html").arg(m_server.serverPort());
    }

    QStringList targets;
    int connections = 0;

private:
    // A kept-alive connection carries several requests, possibly in one read.
    void read(QTcpSocket &socket)
    {
        QByteArray &buffer = m_buffers[&socket];
        buffer += socket.readAll();
        for (qsizetype end; (end = buffer.indexOf("\r\n\r\n")) >= 0;) {
            const QByteArray request = buffer.left(end);
            buffer.remove(0, end + 4);
            const QList<QByteArray> parts = request.left(request.indexOf("\r\n")).split(' ');
            if (parts.size() != 3 || parts[0] != "GET" || parts[2] != "HTTP/1.1")
                qFatal("Unexpected request: %s", request.constData());
            if (request.toLower().contains("cookie"))
                qFatal("A ping carried a cookie: %s", request.constData());
            targets.append(QString::fromLatin1(parts[1]));
            if (!m_status.isEmpty())
                socket.write("HTTP/1.1 " + m_status +
                             "\r\nSet-Cookie: visitor=1; Path=/\r\nContent-Length: 0\r\n\r\n");
        }
    }

    QTcpServer m_server;
    QByteArray m_status;
    QHash<QTcpSocket *, QByteArray> m_buffers;
};

const QString base =
    QStringLiteral("/gapp.html?id=UA-TEST-1&name=Zanti%20Connect%20-%20Linux&version=1.2.3");

// Waits out a span in which nothing is expected to happen.
bool observe(std::chrono::milliseconds span)
{
    QTimer window;
    window.setSingleShot(true);
    QSignalSpy elapsed(&window, &QTimer::timeout);
    window.start(span);
    return elapsed.wait(int(span.count()) + 5000);
}

} // namespace

class TestAnalytics : public QObject
{
    Q_OBJECT

    QTemporaryDir directory;
    LogCapture capture;

    // settingsDirectory is relative to the test's directory.
    GoogleAnalytics::Settings settings(const QString &page, const QString &settingsDirectory = {})
    {
        GoogleAnalytics::Settings result;
        result.analyticsPage = page;
        result.propertyId = QStringLiteral("UA-TEST-1");
        result.appVersion = QStringLiteral("1.2.3");
        result.osVersion = QStringLiteral("6.1.0");
        result.localePart = QStringLiteral("en_US");
        result.settingsDirectory = QDir(directory.path()).filePath(settingsDirectory);
        return result;
    }

    // Through an enabled instance that is gone on return.
    void sendMarker(PingServer &server)
    {
        GoogleAnalytics on(settings(server.page()), capture.log);
        on.sendEvent(QStringLiteral("marker"));
        QTRY_VERIFY(server.targets.contains(base + "&ca=marker"));
    }

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

    void eventsOnTheWire_data()
    {
        QTest::addColumn<QString>("appVersion");
        QTest::addColumn<QString>("category");
        QTest::addColumn<QString>("event");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("target");

        const auto row = [](const char *name, const char *category, const char *event,
                            const char *label, const char *appended) {
            QTest::newRow(name) << QStringLiteral("1.2.3") << QString::fromUtf8(category)
                                << QString::fromUtf8(event) << QString::fromUtf8(label)
                                << base + QString::fromUtf8(appended);
        };
        row("all three", "Connection", "Connected", "New User",
            "&ca=Connection&ev=Connected&la=New%20User");
        row("category only", "app", "", "", "&ca=app");
        row("label without event is dropped", "app", "", "x", "&ca=app");
        row("no category: the ping address alone", "", "ping", "x", "");
        row("blank, accent, ampersand, tab, outside the basic plane", "app", "start",
            "a b \xC3\xA9&c=d\t\xF0\x9F\x98\x80",
            "&ca=app&ev=start&la=a%20b%20%C3%A9&c=d%09%F0%9F%98%80");
        row("percent, hash and the other unsafe characters", "app", "start", "100%#[x]\"<>\\^`{|}",
            "&ca=app&ev=start&la=100%25%23%5Bx%5D%22%3C%3E%5C%5E%60%7B%7C%7D");
        row("query characters stay", "app", "start", "!$'()*+,-./:;=?@_~",
            "&ca=app&ev=start&la=!$'()*+,-./:;=?@_~");
        QTest::newRow("no version")
            << QString() << QStringLiteral("app") << QString() << QString()
            << "/gapp.html?id=UA-TEST-1&name=Zanti%20Connect%20-%20Linux&version=0.0.0&ca=app";
    }

    void eventsOnTheWire()
    {
        QFETCH(QString, appVersion);
        QFETCH(QString, category);
        QFETCH(QString, event);
        QFETCH(QString, label);
        QFETCH(QString, target);
        PingServer server;
        GoogleAnalytics::Settings given = settings(server.page());
        given.appVersion = appVersion;
        GoogleAnalytics analytics(given, capture.log);
        analytics.sendEvent(category, event, label);
        QTRY_COMPARE(server.targets, QStringList{target});
        QVERIFY(capture.lines().isEmpty());
    }

    void firstRun_data()
    {
        QTest::addColumn<QString>("settingsDirectory");
        QTest::addColumn<QByteArray>("ownFileBefore");
        QTest::addColumn<bool>("firstSendsInit");
        QTest::addColumn<int>("logLines");

        QTest::newRow("no settings file") << QString() << QByteArray() << true << 0;
        QTest::newRow("settings directory not there yet")
            << "not/yet/there" << QByteArray() << true << 0;
        QTest::newRow("file without the marker")
            << QString() << QByteArray("{\"kept\": \"yes\"}") << true << 0;
        QTest::newRow("marker that is not a text")
            << QString() << QByteArray("{\"User UUID\": 42, \"kept\": \"yes\"}") << true << 0;
        QTest::newRow("marker already set")
            << QString() << QByteArray("{\"User UUID\": \"0F5B3A52-1C1E-4B55-9C5D-9D0A6B2F0E11\"}")
            << false << 0;
        QTest::newRow("unreadable file") << QString() << QByteArray("not json") << true << 1;
    }

    void firstRun()
    {
        QFETCH(QString, settingsDirectory);
        QFETCH(QByteArray, ownFileBefore);
        QFETCH(bool, firstSendsInit);
        QFETCH(int, logLines);
        // The program's other suites share the folder and must come through untouched.
        const QString otherSuite =
            directory.filePath(QStringLiteral("morvell.osx.zanticonnectgroup.json"));
        const QByteArray otherContent = "{\"zanticonnect.serverUDPPort\": 6000}";
        writeFile(otherSuite, otherContent);
        const QString ownFile = QDir(settings({}, settingsDirectory).settingsDirectory)
                                    .filePath(QStringLiteral("zanti-connect.json"));
        if (!ownFileBefore.isNull())
            writeFile(ownFile, ownFileBefore);
        const QString init = base + "&ca=app&ev=init&la=en_US_6.1.0_1.2.3";
        PingServer server;

        GoogleAnalytics analytics(settings(server.page(), settingsDirectory), capture.log);
        analytics.sendFirstRunEvent();
        analytics.sendEvent(QStringLiteral("marker"));
        // Requests may overtake one another on separate connections: wait for the marker, sent
        // last, and for the init if one is due.
        QTRY_COMPARE(server.targets.size(), firstSendsInit ? 2 : 1);
        QCOMPARE(server.targets.contains(init), firstSendsInit);
        QVERIFY(server.targets.contains(base + "&ca=marker"));
        // Saved at once, in the form a later run takes for a marker (the "already set" row).
        const QJsonObject stored = readJson(ownFile);
        QVERIFY(!QUuid::fromString(stored.value(QStringLiteral("User UUID")).toString()).isNull());
        if (ownFileBefore.contains("kept"))
            QCOMPARE(stored.value(QStringLiteral("kept")), QJsonValue(QStringLiteral("yes")));
        if (!firstSendsInit)
            QCOMPARE(readBytes(ownFile), ownFileBefore);
        QCOMPARE(readBytes(otherSuite), otherContent);
        QCOMPARE(capture.lines().size(), logLines);
    }

    void sendFromOtherThreads()
    {
        PingServer server;
        GoogleAnalytics analytics(settings(server.page()), capture.log);
        QStringList expected;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            for (int e = 0; e < 5; ++e)
                expected.append(base + QStringLiteral("&ca=thread&ev=%1&la=%2").arg(t).arg(e));
            threads.emplace_back([&analytics, t] {
                for (int e = 0; e < 5; ++e)
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

    void pingTimer()
    {
        PingServer server;
        GoogleAnalytics analytics(settings(server.page()), capture.log);
        const QString ping = base + "&ca=app&ev=ping&la=1.2.3";
        analytics.startPingTimer(3600s);
        QTRY_COMPARE(server.targets, QStringList{ping});
        // Already running: pings at once all the same.
        analytics.startPingTimer(3600s);
        QTRY_COMPARE(server.targets, (QStringList{ping, ping}));

        // Restarted after a stop, with an interval of zero that must mean one second, not every
        // turn of the event loop.
        analytics.stopPingTimer();
        analytics.startPingTimer(0s);
        QTRY_VERIFY_WITH_TIMEOUT(server.targets.size() >= 5, 10000);
        analytics.stopPingTimer();
        // A ping already on its way may still arrive; after that, the count must hold for
        // longer than an interval and its tolerance.
        QVERIFY(observe(500ms));
        const qsizetype stopped = server.targets.size();
        QVERIFY(observe(1500ms));
        QCOMPARE(server.targets.size(), stopped);
        QVERIFY2(stopped < 10, qPrintable(QString::number(stopped)));
        QCOMPARE(server.targets.count(ping), stopped);
        QVERIFY(capture.lines().isEmpty());
    }

    void pingsOff_data()
    {
        QTest::addColumn<bool>("withPage");
        QTest::newRow("no page address") << false;
        QTest::newRow("no property identifier") << true;
    }

    void pingsOff()
    {
        QFETCH(bool, withPage);
        PingServer server;
        {
            GoogleAnalytics::Settings off = settings(withPage ? server.page() : QString());
            if (withPage)
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

            // Sent afterwards, it arrives after anything the first one could have sent.
            sendMarker(server);
        }
        QCOMPARE(server.targets, QStringList{base + "&ca=marker"});
        QCOMPARE(server.connections, 1);
        QVERIFY(!QFile::exists(directory.filePath(QStringLiteral("zanti-connect.json"))));
        QCOMPARE(capture.lines().size(), 1);
    }

    void failureIsLoggedAndSurvived_data()
    {
        QTest::addColumn<QString>("page"); // empty: the local port
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QString>("line"); // how each log line starts

        const QString failed = QStringLiteral("Usage ping failed: ");
        const QString invalid = QStringLiteral("Failed to generate URL");
        QTest::newRow("closed port") << QString() << QByteArray() << failed;
        QTest::newRow("server error")
            << QString() << QByteArray("503 Service Unavailable") << failed;
        QTest::newRow("port that is not a number")
            << "http://127.0.0.1:notaport/gapp.html" << QByteArray() << invalid;
        QTest::newRow("relative") << "gapp.html" << QByteArray() << invalid;
    }

    void failureIsLoggedAndSurvived()
    {
        QFETCH(QString, page);
        QFETCH(QByteArray, status);
        QFETCH(QString, line);
        std::unique_ptr<PingServer> server;
        if (!status.isEmpty()) {
            server = std::make_unique<PingServer>(status);
            page = server->page();
        } else if (page.isEmpty()) {
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
            page = QStringLiteral("http://127.0.0.1:%1/gapp.html").arg(closed.serverPort());
        }
        GoogleAnalytics analytics(settings(page), capture.log);
        // One line per failure, and the next event fails the same way.
        for (int sent = 1; sent <= 2; ++sent) {
            analytics.sendEvent(QStringLiteral("app"), QStringLiteral("start"),
                                QStringLiteral("a b"));
            QTRY_COMPARE(capture.lines().size(), sent);
        }
        const QStringList lines = capture.lines();
        QVERIFY2(lines[0].startsWith(line), qPrintable(lines[0]));
        QCOMPARE(lines[1], lines[0]);
        if (server)
            QCOMPARE(server->targets, QStringList(2, base + "&ca=app&ev=start&la=a%20b"));
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
        sendMarker(server);
        QCOMPARE(server.targets, QStringList{base + "&ca=marker"});
        QCOMPARE(silent.targets, QStringList{base + "&ca=app&ev=start"});
        QVERIFY(capture.lines().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestAnalytics)
#include "tst_analytics.moc"

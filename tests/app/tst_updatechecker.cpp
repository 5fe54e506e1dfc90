#include "logcapture.h"
#include "updatechecker.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using zc::UpdateChecker;
using zc::UpdateResult;
using Outcome = UpdateResult::Outcome;

namespace {

QByteArray http(int status, const QByteArray &body, const QByteArray &headers = {})
{
    return "HTTP/1.1 " + QByteArray::number(status) +
           " X\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n" + headers + "\r\n" + body;
}

QByteArray appcast(const QByteArray &items)
{
    return "<?xml version=\"1.0\"?><rss version=\"2.0\" "
           "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel>"
           "<title>Zanti Connect</title>" +
           items + "</channel></rss>";
}

QByteArray item(const QByteArray &version, const QByteArray &page = "https://example.org/notes")
{
    return "<item><sparkle:version>" + version + "</sparkle:version><sparkle:releaseNotesLink>" +
           page + "</sparkle:releaseNotesLink></item>";
}

QString localFeed()
{
    return "http://127.0.0.1:%1/update-info.xml";
}

} // namespace

class TestUpdateChecker : public QObject
{
    Q_OBJECT

private slots:
    void compareVersions_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("order");
        const auto row = [](const char *name, const char *a, const char *b, int order) {
            QTest::newRow(name) << QString::fromUtf8(a) << QString::fromUtf8(b) << order;
        };
        row("numeric, not text", "1.10", "1.9", 1);
        row("missing components are 0", "1.2", "1.2.0", 0);
        row("leading zeros", "1.010", "1.9", 1);
        row("beyond 64 bits", "99999999999999999999", "99999999999999999998", 1);
        row("pre-release before release", "1.2.0-beta1", "1.2.0", -1);
        row("beta2 before beta10", "1.2.0-beta2", "1.2.0-beta10", -1);
        row("beta before rc", "1.2.0-beta.9", "1.2.0-RC.1", -1);
        row("tilde as dash", "1.2~rc1", "1.2.0-rc1", 0);
        row("longer tag after", "1.2-alpha", "1.2-alpha.1", -1);
        row("v and build metadata", "v2.0+build.7", "2", 0);
        row("empty tag", "1.2-", "1.2", 0);
        row("empty", "", "0", 0);
        row("malformed", "..-~+", "1.x.-y", -1);
    }
    void compareVersions()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, order);
        QCOMPARE(zc::compareVersions(a, b), order);
        QCOMPARE(zc::compareVersions(b, a), -order);
    }

    void check_data()
    {
        QTest::addColumn<QString>("feed");        // %1: the local server's port
        QTest::addColumn<QByteArray>("response"); // empty: never answers
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("pageOrMessage"); // the page when newer, else the message's start
        const auto row = [](const char *name, const QByteArray &response, Outcome outcome,
                            const char *version, const char *pageOrMessage,
                            const QString &feed = localFeed()) {
            QTest::newRow(name) << feed << response << int(outcome) << QString::fromUtf8(version)
                                << QString::fromUtf8(pageOrMessage);
        };
        const auto newer = Outcome::NewerVersion;
        const auto same = Outcome::UpToDate;
        const auto failed = Outcome::Failed;
        row("newer", http(200, appcast(item("1.10"))), newer, "1.10", "https://example.org/notes");
        row("same", http(200, appcast(item("1.9.0"))), same, "1.9.0", "Version 1.9 is up to date.");
        row("older", http(200, appcast(item("1.8.5"))), same, "1.8.5",
            "Version 1.9 is up to date.");
        row("newest item, not the first",
            http(200, appcast(item("1.9.1") + item("2.0-rc1", "https://x.org/2") + item("1.9.5"))),
            newer, "2.0-rc1", "https://x.org/2");
        row("enclosure only",
            http(200, appcast("<item><link>http://example.org/r</link><enclosure url=\"https://"
                              "example.org/z.deb\" sparkle:version=\"99\" "
                              "sparkle:shortVersionString=\"2.0\"/></item>")),
            newer, "2.0", "http://example.org/r");
        row("shown version compared",
            http(200, appcast("<item><sparkle:version>1234</sparkle:version><sparkle:"
                              "shortVersionString>1.9</sparkle:shortVersionString></item>")),
            same, "1.9", "Version 1.9 is up to date.");
        row("page not offered unless http(s)", http(200, appcast(item("2", "javascript:alert(1)"))),
            newer, "2", "");
        row("malformed XML", http(200, appcast(item("2")).chopped(5)), failed, "",
            "The update feed is not a valid appcast: its XML is broken at line 1");
        row("not an appcast", http(200, "<html><body>Moved</body></html>"), failed, "",
            "The update feed is not a valid appcast: it is not an RSS channel.");
        row("no version", http(200, appcast(item("soon"))), failed, "",
            "The update feed is not a valid appcast: no item names a version.");
        row("too large", http(200, appcast(QByteArray(1 << 20, ' ') + item("2"))), failed, "",
            "The update feed is not a valid appcast: it is larger than 1 MiB.");
        row("HTTP 404", http(404, "gone"), failed, "",
            "The update server answered with HTTP status 404");
        row("redirect away from loopback http",
            http(302, {}, "Location: http://127.0.0.2:1/feed\r\n"), failed, "",
            "The update server redirected to an address that is not https.");
        row("never answers", {}, failed, "", "The update server did not answer in time (0.3 s).");
        row("http on loopback, flag off", {}, failed, "",
            "The update feed is not an https address, so it is not checked.", "http://[::1]:%1/x");
        row("no feed", {}, failed, "", "This build names no update feed", QString());
    }
    void check()
    {
        QFETCH(QString, feed);
        QFETCH(QByteArray, response);
        QFETCH(int, outcome);
        QFETCH(QString, version);
        QFETCH(QString, pageOrMessage);

        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        int connections = 0;
        connect(&server, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *socket = server.nextPendingConnection();
            ++connections;
            connect(socket, &QTcpSocket::readyRead, socket, [socket, response] {
                if (socket->peek(1 << 16).contains("\r\n\r\n") && !response.isEmpty()) {
                    socket->write(response);
                    socket->disconnectFromHost();
                }
            });
        });
        QNetworkAccessManager network;
        network.setProxy(QNetworkProxy::NoProxy);
        zc::test::LogCapture capture;
        UpdateChecker::Options options;
        options.timeout = std::chrono::milliseconds(response.isEmpty() ? 300 : 20000);
        options.allowPlainHttpOnLoopback = !feed.startsWith("http://[");
        UpdateChecker checker(feed.isEmpty() ? QUrl() : QUrl(feed.arg(server.serverPort())), "1.9",
                              network, capture.log, options);
        QCOMPARE(checker.isEnabled(), feed == localFeed());

        // A second check while one is under way shares its answer.
        QList<UpdateResult> answers;
        checker.check([&](const UpdateResult &result) { answers.append(result); });
        checker.check([&](const UpdateResult &result) { answers.append(result); });
        QVERIFY(answers.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(answers.size(), 2, 20000);
        QVERIFY(!checker.isChecking());
        const UpdateResult &result = answers.first();
        QCOMPARE(int(result.outcome), outcome);
        QCOMPARE(result.version, version);
        if (result.outcome == Outcome::NewerVersion) {
            QCOMPARE(result.page.toString(), pageOrMessage);
            QCOMPARE(result.message, "Version " + version + " is available; this is version 1.9.");
        } else {
            QVERIFY2(result.message.startsWith(pageOrMessage), qPrintable(result.message));
        }
        QCOMPARE(answers.last().message, result.message);
        QCOMPARE(connections, checker.isEnabled() ? 1 : 0);
        QVERIFY(capture.lines().endsWith("Update check: " + result.message));
    }

    // Neither an abandoned check nor a checker destroyed by its own answer may call back into it.
    void destroyedMidCheckOrByItsAnswer()
    {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        QNetworkAccessManager network;
        network.setProxy(QNetworkProxy::NoProxy);
        zc::test::LogCapture capture;
        const UpdateChecker::Options options{std::chrono::milliseconds(100), true};
        const QUrl feed(localFeed().arg(silent.serverPort()));
        int answers = 0;
        auto checker = std::make_unique<UpdateChecker>(feed, "1", network, capture.log, options);
        checker->check([&](const UpdateResult &) { ++answers; });
        QTRY_VERIFY(silent.hasPendingConnections());
        checker.reset();
        for (const QUrl &address : {feed, QUrl()}) {
            checker = std::make_unique<UpdateChecker>(address, "1", network, capture.log, options);
            checker->check([&](const UpdateResult &) {
                ++answers;
                checker.reset();
            });
            QTRY_VERIFY(!checker);
        }
        QCOMPARE(answers, 2);
    }
};

QTEST_GUILESS_MAIN(TestUpdateChecker)
#include "tst_updatechecker.moc"

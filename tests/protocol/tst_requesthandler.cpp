#include "logcapture.h"
#include "recordingdesktop.h"
#include "requesthandler.h"
#include "zantipreferences.h"

#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace zc;
using namespace zc::test;

namespace {

QJsonObject message(const QString &stamp, const QString &request,
                    const QString &key = QStringLiteral("Q7w4R#2k81M5T!x09P3Z"),
                    const QString &password = QStringLiteral("hunter2"))
{
    return {{QStringLiteral("appAuthenticationKey"), key},
            {QStringLiteral("password"), password},
            {QStringLiteral("sentTime"), stamp},
            {QStringLiteral("request"), request}};
}

} // namespace

class TestRequestHandler : public QObject
{
    Q_OBJECT

    RecordingDesktop desktop;
    LogCapture capture;
    QTemporaryDir settingsDirectory;
    std::optional<ZantiPreferences> preferences;

    RequestHandler makeHandler()
    {
        return RequestHandler(desktop, desktop, desktop, desktop, *preferences, capture.log);
    }

private slots:
    void init()
    {
        desktop = RecordingDesktop();
        preferences.emplace(settingsDirectory.path(), capture.log);
        capture.clear();
    }

    void stampRule_data()
    {
        QTest::addColumn<QStringList>("stamps");
        QTest::addColumn<QList<bool>>("executed");

        QTest::newRow("first stamp 0 is not newer than the initial 0")
            << QStringList{"0"} << QList<bool>{false};
        QTest::newRow("first stamp 1") << QStringList{"1"} << QList<bool>{true};
        QTest::newRow("equal stamps run once") << QStringList{"7", "7"} << QList<bool>{true, false};
        QTest::newRow("a lower stamp resets the rule")
            << QStringList{"100", "50", "60"} << QList<bool>{true, false, true};
        QTest::newRow("rising") << QStringList{"1", "2", "3"} << QList<bool>{true, true, true};
        QTest::newRow("largest 64-bit stamp")
            << QStringList{"18446744073709551614", "18446744073709551615"}
            << QList<bool>{true, true};
        QTest::newRow("leading zeros are the same number")
            << QStringList{"0009", "9"} << QList<bool>{true, false};
    }

    void stampRule()
    {
        QFETCH(QStringList, stamps);
        QFETCH(QList<bool>, executed);
        RequestHandler handler = makeHandler();
        for (qsizetype i = 0; i < stamps.size(); ++i) {
            desktop.calls.clear();
            handler.processMessage(message(stamps[i], QStringLiteral("/system?value=https://")));
            QCOMPARE(!desktop.calls.isEmpty(), executed[i]);
            QCOMPARE(handler.sentTime(), stamps[i].toULongLong());
        }
    }

    void acceptedMessageLogsFourItemsWithPasswordMasked()
    {
        RequestHandler handler = makeHandler();
        handler.processMessage(message(QStringLiteral("5"), QStringLiteral("/other?key=x")));
        handler.processMessage(message(QStringLiteral("9"), QStringLiteral("/other?key=y"),
                                       QStringLiteral("wrong key"), QStringLiteral("s3cr3t")));
        const QStringList lines = capture.lines();
        QCOMPARE(lines, (QStringList{"Q7w4R#2k81M5T!x09P3Z ****** 0 /other?key=x", "[key=x]", "x",
                                     "wrong key ****** 5 /other?key=y", "[key=y]", "y"}));
        QCOMPARE(handler.appAuthKey(), QStringLiteral("wrong key"));
        QCOMPARE(handler.password(), QStringLiteral("s3cr3t"));
        QCOMPARE(handler.request(), QStringLiteral("/other?key=y"));
    }

    void staleMessageIsDroppedSilently()
    {
        RequestHandler handler = makeHandler();
        handler.processMessage(message(QStringLiteral("5"), QStringLiteral("/other?key=x")));
        capture.clear();
        handler.processMessage(message(QStringLiteral("5"), QStringLiteral("/other?key=z")));
        QVERIFY(capture.lines().isEmpty());
        QCOMPARE(handler.request(), QStringLiteral("/other?key=x"));
    }

    void malformedMessageIsNeverExecuted_data()
    {
        QTest::addColumn<QJsonObject>("message");
        QTest::addColumn<QString>("reason");

        const QJsonObject good = message(QStringLiteral("5"), QStringLiteral("/vlc?key=start_vlc"));
        auto without = [&good](const char *key) {
            QJsonObject m = good;
            m.remove(QLatin1String(key));
            return m;
        };
        auto with = [&good](const char *key, const QJsonValue &value) {
            QJsonObject m = good;
            m.insert(QLatin1String(key), value);
            return m;
        };
        QTest::newRow("no key") << without("appAuthenticationKey") << "appAuthenticationKey";
        QTest::newRow("numeric password") << with("password", 1234) << "password";
        QTest::newRow("no stamp") << without("sentTime") << "sentTime";
        QTest::newRow("numeric stamp") << with("sentTime", 5) << "sentTime";
        QTest::newRow("empty stamp") << with("sentTime", QString()) << "sentTime";
        QTest::newRow("signed stamp") << with("sentTime", QStringLiteral("+5")) << "sentTime";
        QTest::newRow("negative stamp") << with("sentTime", QStringLiteral("-5")) << "sentTime";
        QTest::newRow("fractional stamp") << with("sentTime", QStringLiteral("5.5")) << "sentTime";
        QTest::newRow("stamp beyond 64 bits")
            << with("sentTime", QStringLiteral("18446744073709551616")) << "sentTime";
        QTest::newRow("arabic-indic digits")
            << with("sentTime", QStringLiteral("\u0665")) << "sentTime";
        QTest::newRow("no request") << without("request") << "request";
        QTest::newRow("request is an object") << with("request", QJsonObject()) << "request";
    }

    void malformedMessageIsNeverExecuted()
    {
        QFETCH(QJsonObject, message);
        QFETCH(QString, reason);
        RequestHandler handler = makeHandler();
        handler.processMessage(message);
        QVERIFY(desktop.calls.isEmpty());
        const QStringList lines = capture.lines();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].startsWith(QLatin1String("Ignoring a command message:")) &&
                     lines[0].contains(reason),
                 qPrintable(lines[0]));
        QVERIFY(!lines[0].contains(QLatin1String("hunter2")));
        QCOMPARE(handler.sentTime(), 0u);
        QVERIFY(handler.appAuthKey().isEmpty());
    }

    void serverPasswordGuardsCommands_data()
    {
        QTest::addColumn<bool>("authentication");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<bool>("executed");

        QTest::newRow("off: any password") << false << "pw"
                                           << "guess" << true;
        QTest::newRow("on: right password") << true << "pw"
                                            << "pw" << true;
        QTest::newRow("on: wrong password") << true << "pw"
                                            << "guess" << false;
        QTest::newRow("on: other case") << true << "pw"
                                        << "PW" << false;
        QTest::newRow("on: longer") << true << "pw"
                                    << "pw " << false;
        QTest::newRow("on: empty") << true << "pw"
                                   << "" << false;
        QTest::newRow("on: empty stored, empty sent") << true << ""
                                                      << "" << true;
        QTest::newRow("on: non-ASCII") << true << "pässwort"
                                       << "pässwort" << true;
    }

    void serverPasswordGuardsCommands()
    {
        QFETCH(bool, authentication);
        QFETCH(QString, stored);
        QFETCH(QString, sent);
        QFETCH(bool, executed);
        preferences->setIsAuthenticationEnabled(authentication);
        preferences->setServerAuthenticationPassword(stored);
        capture.clear();
        RequestHandler handler = makeHandler();
        handler.processMessage(message(QStringLiteral("5"), QStringLiteral("/vlc?key=start_vlc"),
                                       QStringLiteral("k"), sent));
        QCOMPARE(desktop.calls.contains(QStringLiteral("launch VLC")), executed);
        QCOMPARE(handler.sentTime(), executed ? 5u : 0u);
        const QStringList lines = capture.lines();
        QCOMPARE(lines.contains(QStringLiteral(
                     "Refused a command message: it does not carry the server password")),
                 !executed);
        if (!sent.isEmpty())
            QVERIFY(!lines.join(u'\n').contains(sent));
    }

    void dispatch_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QStringList>("calls");

        QTest::newRow("mouse gets the whole request")
            << "/mouse?key=left_button_click"
            << QStringList{"[key=left_button_click]", "left_button_click",
                           "[key=left_button_click]", "Left Click"}
            << QStringList{"mouse left down (100, 50) button 0",
                           "mouse left up (100, 50) button 0"};
        QTest::newRow("mouse without a query does nothing")
            << "/mouse" << QStringList{"", ""} << QStringList{};
        QTest::newRow("no leading slash does nothing")
            << "mouse?key=left_button_click" << QStringList{"", ""} << QStringList{};
        QTest::newRow("empty query still reaches the mouse")
            << "/mouse?" << QStringList{"", "", "", "Unknown mouse event"} << QStringList{};
        QTest::newRow("mouse row comes first")
            << "/keyboard/mouse?key=x"
            << QStringList{"[key=x]", "x", "[key=x]", "Unknown mouse event"} << QStringList{};
        QTest::newRow("keyboard before vlc")
            << "/keyboard/vlc?key=x"
            << QStringList{"[key=x]", "x", "[key=x]", "Unknown Keyboard event"} << QStringList{};
        QTest::newRow("words are case-sensitive")
            << "/MOUSE?key=left_button_click"
            << QStringList{"[key=left_button_click]", "left_button_click"} << QStringList{};
        QTest::newRow("percent-encoded path word")
            << "/%6Douse?key=x" << QStringList{"[key=x]", "x", "[key=x]", "Unknown mouse event"}
            << QStringList{};
        QTest::newRow("vlc gets the key")
            << "/vlc?key=start_vlc" << QStringList{"[key=start_vlc]", "start_vlc"}
            << QStringList{"launch VLC"};
        QTest::newRow("vlc without a key")
            << "/vlc?value=start_vlc" << QStringList{"[value=start_vlc]", "", "Unknown VLC ommand"}
            << QStringList{};
        QTest::newRow("system gets the value")
            << "/system?key=open&value=https://www.netflix.com"
            << QStringList{"[key=open, value=https://www.netflix.com]", "open", "open",
                           "https://www.netflix.com"}
            << QStringList{"open https://www.netflix.com"};
        QTest::newRow("system logs refused value")
            << "/system?key=open&value=x"
            << QStringList{"[key=open, value=x]", "open", "open", "x", "Unknown Command:  x"}
            << QStringList{};
        QTest::newRow("unknown path logs and stops")
            << "/other?key=x" << QStringList{"[key=x]", "x"} << QStringList{};
        QTest::newRow("first key wins")
            << "/other?key=a&key=b" << QStringList{"[key=a, key=b]", "a"} << QStringList{};
        QTest::newRow("item without value")
            << "/other?key" << QStringList{"[key]", ""} << QStringList{};
        QTest::newRow("percent-decoded items, plus stays")
            << "/other?key=a%20b+c%26d" << QStringList{"[key=a b+c&d]", "a b+c&d"} << QStringList{};
        QTest::newRow("line break in an item cannot forge a log line")
            << "/other?key=a%0AUDP" << QStringList{"[key=a\\nUDP]", "a\\nUDP"} << QStringList{};
    }

    void dispatch()
    {
        QFETCH(QString, request);
        QFETCH(QStringList, log);
        QFETCH(QStringList, calls);
        RequestHandler handler = makeHandler();
        handler.handleRequest(request);
        QCOMPARE(capture.lines(), log);
        QCOMPARE(desktop.calls, calls);
    }
};

QTEST_GUILESS_MAIN(TestRequestHandler)
#include "tst_requesthandler.moc"

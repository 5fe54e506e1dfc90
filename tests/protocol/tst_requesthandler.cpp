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
                    const QString &password = QStringLiteral("hunter2"))
{
    return {{QStringLiteral("appAuthenticationKey"), QStringLiteral("Q7w4R#2k81M5T!x09P3Z")},
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
    std::optional<RequestHandler> handler;

private slots:
    void init()
    {
        desktop = RecordingDesktop();
        preferences.emplace(settingsDirectory.path(), capture.log);
        handler.emplace(desktop, desktop, desktop, desktop, *preferences, capture.log);
        capture.clear();
    }

    // Control+click from requests that arrive together: the queued click must not slip past
    // the release of Control.
    void requestsArrivingTogetherKeepTheirOrder()
    {
        const char *requests[] = {"/keyboard?key=alt_mouse_down", "/mouse?key=left_button_down",
                                  "/mouse?key=left_button_up", "/keyboard?key=alt_mouse_up"};
        int stamp = 0;
        for (const char *request : requests)
            handler->processMessage(
                message(QString::number(++stamp), QString::fromLatin1(request)));
        QCoreApplication::processEvents();
        QCOMPARE(desktop.calls, (QStringList{"key 55 down", "mouse left down (100, 50) button 0",
                                             "mouse left up (100, 50) button 0", "key 55 up"}));
    }

    void stampRule_data()
    {
        QTest::addColumn<QStringList>("stamps");
        QTest::addColumn<QList<bool>>("executed");

        QTest::newRow("first stamp 0 is not newer than the initial 0")
            << QStringList{"0"} << QList<bool>{false};
        QTest::newRow("equal stamps run once") << QStringList{"7", "7"} << QList<bool>{true, false};
        QTest::newRow("a lower stamp resets the rule")
            << QStringList{"100", "50", "60"} << QList<bool>{true, false, true};
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
        for (qsizetype i = 0; i < stamps.size(); ++i) {
            desktop.calls.clear();
            handler->processMessage(message(stamps[i], QStringLiteral("/system?value=https://")));
            QCOMPARE(!desktop.calls.isEmpty(), executed[i]);
            QCOMPARE(handler->sentTime(), stamps[i].toULongLong());
        }
    }

    void malformedMessageIsNeverExecuted_data()
    {
        QTest::addColumn<QString>("member");
        QTest::addColumn<QJsonValue>("value"); // undefined: the member is left out

        QTest::newRow("no key") << "appAuthenticationKey" << QJsonValue(QJsonValue::Undefined);
        QTest::newRow("numeric password") << "password" << QJsonValue(1234);
        QTest::newRow("no stamp") << "sentTime" << QJsonValue(QJsonValue::Undefined);
        QTest::newRow("numeric stamp") << "sentTime" << QJsonValue(5);
        QTest::newRow("empty stamp") << "sentTime" << QJsonValue(QString());
        QTest::newRow("signed stamp") << "sentTime" << QJsonValue("+5");
        QTest::newRow("negative stamp") << "sentTime" << QJsonValue("-5");
        QTest::newRow("fractional stamp") << "sentTime" << QJsonValue("5.5");
        QTest::newRow("stamp beyond 64 bits") << "sentTime" << QJsonValue("18446744073709551616");
        QTest::newRow("arabic-indic digits") << "sentTime" << QJsonValue(QStringLiteral("\u0665"));
        QTest::newRow("no request") << "request" << QJsonValue(QJsonValue::Undefined);
        QTest::newRow("request is an object") << "request" << QJsonValue(QJsonObject());
    }

    void malformedMessageIsNeverExecuted()
    {
        QFETCH(QString, member);
        QFETCH(QJsonValue, value);
        QJsonObject bad = message(QStringLiteral("5"), QStringLiteral("/vlc?key=start_vlc"));
        if (value.isUndefined())
            bad.remove(member);
        else
            bad.insert(member, value);
        handler->processMessage(bad);
        QVERIFY(desktop.calls.isEmpty());
        QCOMPARE(handler->sentTime(), 0u);
        // One line names the faulty member, and no line the password.
        const QStringList lines = capture.lines();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].contains(member) && !lines[0].contains(QLatin1String("hunter2")),
                 qPrintable(lines[0]));
    }

    void serverPasswordGuardsCommands_data()
    {
        QTest::addColumn<bool>("authentication");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("executed");
        QTest::addColumn<QString>("sent");

        QTest::newRow("off: any password") << false << "pw" << true << "guess";
        QTest::newRow("on: right password") << true << "pw" << true << "pw";
        QTest::newRow("on: wrong password") << true << "pw" << false << "guess";
        QTest::newRow("on: other case") << true << "pw" << false << "PW";
        QTest::newRow("on: longer") << true << "pw" << false << "pw ";
        QTest::newRow("on: empty") << true << "pw" << false << "";
        QTest::newRow("on: empty stored, empty sent") << true << "" << true << "";
    }

    void serverPasswordGuardsCommands()
    {
        QFETCH(bool, authentication);
        QFETCH(QString, stored);
        QFETCH(bool, executed);
        QFETCH(QString, sent);
        preferences->setIsAuthenticationEnabled(authentication);
        preferences->setServerAuthenticationPassword(stored);
        capture.clear();
        handler->processMessage(
            message(QStringLiteral("5"), QStringLiteral("/vlc?key=start_vlc"), sent));
        QCOMPARE(desktop.calls.contains(QStringLiteral("launch VLC")), executed);
        QCOMPARE(handler->sentTime(), executed ? 5u : 0u);
        if (!sent.isEmpty())
            QVERIFY(!capture.lines().join(u'\n').contains(sent));
    }

    // Typed text may be a password: every line shows it by its length only.
    void typedTextIsLoggedByItsLengthOnly()
    {
        preferences->setIsAuthenticationEnabled(false);
        capture.clear();
        handler->processMessage(message(
            QStringLiteral("1"), QStringLiteral("/keyboard?key=textinput&value=pw%20secret")));
        const QStringList lines = capture.lines();
        QCOMPARE(lines.value(0), QStringLiteral("Q7w4R#2k81M5T!x09P3Z ****** 0 "
                                                "/keyboard?key=textinput&value=<9 characters>"));
        QCOMPARE(lines.filter(QStringLiteral("9 characters")).size(), 4);
        QVERIFY(!lines.join(u'\n').contains(QLatin1String("secret")));
        QCOMPARE(desktop.calls, QStringList{"type pw secret"});
    }

    // The log lines, then the desktop calls. The log shows which executor a request reached,
    // also when it does nothing with it.
    void dispatch_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QStringList>("outcome");

        QTest::newRow("mouse gets the whole request")
            << "/mouse?key=left_button_click"
            << QStringList{"[key=left_button_click]",
                           "left_button_click",
                           "[key=left_button_click]",
                           "Left Click",
                           "mouse left down (100, 50) button 0",
                           "mouse left up (100, 50) button 0"};
        QTest::newRow("mouse without a query does nothing") << "/mouse" << QStringList{"", ""};
        QTest::newRow("no leading slash does nothing")
            << "mouse?key=left_button_click" << QStringList{"", ""};
        QTest::newRow("empty query still reaches the mouse")
            << "/mouse?" << QStringList{"", "", "", "Unknown mouse event"};
        QTest::newRow("mouse row comes first")
            << "/keyboard/mouse?key=x"
            << QStringList{"[key=x]", "x", "[key=x]", "Unknown mouse event"};
        QTest::newRow("keyboard before vlc")
            << "/keyboard/vlc?key=x"
            << QStringList{"[key=x]", "x", "[key=x]", "Unknown Keyboard event"};
        QTest::newRow("words are case-sensitive")
            << "/MOUSE?key=left_button_click"
            << QStringList{"[key=left_button_click]", "left_button_click"};
        QTest::newRow("percent-encoded path word")
            << "/%6Douse?key=x" << QStringList{"[key=x]", "x", "[key=x]", "Unknown mouse event"};
        QTest::newRow("vlc gets the key")
            << "/vlc?key=start_vlc" << QStringList{"[key=start_vlc]", "start_vlc", "launch VLC"};
        QTest::newRow("system gets the value")
            << "/system?key=open&value=https://www.netflix.com"
            << QStringList{"[key=open, value=https://www.netflix.com]", "open", "open",
                           "https://www.netflix.com", "open https://www.netflix.com"};
        QTest::newRow("unknown path logs and stops")
            << "/other?key=x" << QStringList{"[key=x]", "x"};
        QTest::newRow("first key wins")
            << "/other?key=a&key=b" << QStringList{"[key=a, key=b]", "a"};
        QTest::newRow("item without value") << "/other?key" << QStringList{"[key]", ""};
        QTest::newRow("percent-decoded items, plus stays")
            << "/other?key=a%20b+c%26d" << QStringList{"[key=a b+c&d]", "a b+c&d"};
        QTest::newRow("line break in an item cannot forge a log line")
            << "/other?key=a%0AUDP" << QStringList{"[key=a\\nUDP]", "a\\nUDP"};
    }

    void dispatch()
    {
        QFETCH(QString, request);
        QFETCH(QStringList, outcome);
        handler->handleRequest(request);
        QCOMPARE(capture.lines() + desktop.calls, outcome);
    }
};

QTEST_GUILESS_MAIN(TestRequestHandler)
#include "tst_requesthandler.moc"

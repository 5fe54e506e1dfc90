#include "logcapture.h"
#include "settingspost.h"
#include "zantipreferences.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

using namespace zc;
using zc::test::LogCapture;

// What the settings page reads and posts, on preferences in a folder of their own.
class TestSettingsJson : public QObject
{
    Q_OBJECT

    QJsonValue parse(const QByteArray &json)
    {
        return QJsonDocument::fromJson("[" + json + "]").array().first();
    }

private slots:
    void freshInstallation()
    {
        QTemporaryDir directory;
        LogCapture capture;
        const ZantiPreferences preferences(directory.path(), capture.log);
        const QJsonObject expected = QJsonDocument::fromJson(R"({
            "autoStartWithSystem": true, "isAuthenticationEnabled": false,
            "checkForUpdatesAtLaunch": true, "serverTCPPort": "5916", "serverUDPPort": "5916",
            "VLCPort": "8080", "VLCPassword": "3971", "serverAuthenticationPassword": "",
            "hasAppInstalled": "true"})")
                                         .object();
        QCOMPARE(preferences.preferencesDictionary(), expected);
        const QJsonObject reply =
            QJsonDocument::fromJson(preferences.settingsJSON({}).toUtf8()).object();
        QCOMPARE(reply[u"status"].toObject(),
                 QJsonDocument::fromJson(R"({"localIPAddress": null, "isServerRunning": "false",
                     "udpPortInUse": null, "tcpPortInUse": null})")
                     .object());
    }

    void applySettings_data()
    {
        QTest::addColumn<QByteArray>("posted");
        QTest::addColumn<QString>("member");
        QTest::addColumn<QByteArray>("shown");

        QTest::newRow("port text becomes a number")
            << QByteArray(R"({"serverUDPPort": "6000"})") << "serverUDPPort" << QByteArray("6000");
        QTest::newRow("port beyond 16 bits, others applied")
            << QByteArray(R"({"serverTCPPort": "70000", "VLCPort": "9000"})") << "serverTCPPort"
            << QByteArray("\"5916\"");
        QTest::newRow("others applied")
            << QByteArray(R"({"serverTCPPort": "70000", "VLCPort": "9000"})") << "VLCPort"
            << QByteArray("9000");
        QTest::newRow("port 0") << QByteArray(R"({"VLCPort": "0"})") << "VLCPort"
                                << QByteArray("\"8080\"");
        QTest::newRow("port as a number")
            << QByteArray(R"({"VLCPort": 9000})") << "VLCPort" << QByteArray("\"8080\"");
        QTest::newRow("port with a sign")
            << QByteArray(R"({"VLCPort": "+9000"})") << "VLCPort" << QByteArray("\"8080\"");
        QTest::newRow("switch true") << QByteArray(R"({"isAuthenticationEnabled": true})")
                                     << "isAuthenticationEnabled" << QByteArray("true");
        QTest::newRow("switch \"1\"") << QByteArray(R"({"isAuthenticationEnabled": "1"})")
                                      << "isAuthenticationEnabled" << QByteArray("true");
        QTest::newRow("switch \"yes\" is off")
            << QByteArray(R"({"isAuthenticationEnabled": "true", "autoStartWithSystem": "yes"})")
            << "autoStartWithSystem" << QByteArray("false");
        QTest::newRow("switch as a number") << QByteArray(R"({"checkForUpdatesAtLaunch": 0})")
                                            << "checkForUpdatesAtLaunch" << QByteArray("true");
        QTest::newRow("password") << QByteArray(R"({"VLCPassword": "p\u00e4ss"})") << "VLCPassword"
                                  << QByteArray("\"p\u00e4ss\"");
        QTest::newRow("password not text")
            << QByteArray(R"({"serverAuthenticationPassword": ["x"]})")
            << "serverAuthenticationPassword" << QByteArray("\"\"");
        QTest::newRow("web server port has no member")
            << QByteArray(R"({"webServerPort": "6001"})") << "webServerPort" << QByteArray();
    }

    void applySettings()
    {
        QFETCH(QByteArray, posted);
        QFETCH(QString, member);
        QFETCH(QByteArray, shown);
        QTemporaryDir directory;
        LogCapture capture;
        {
            ZantiPreferences preferences(directory.path(), capture.log);
            preferences.applySettings(
                QJsonObject{{QStringLiteral("preferences"), parse(posted).toObject()}});
        }
        // What the page is shown after a restart, read back from the file.
        const ZantiPreferences reloaded(directory.path(), capture.log);
        const QJsonObject dictionary = reloaded.preferencesDictionary();
        QCOMPARE(dictionary.value(member),
                 shown.isEmpty() ? QJsonValue(QJsonValue::Undefined) : parse(shown));
        QCOMPARE(reloaded.webServerPort(), quint16(5915));
    }

    void undecodableVLCPasswordSurvivesThePage()
    {
        QTemporaryDir directory;
        LogCapture capture;
        ZantiPreferences preferences(directory.path(), capture.log);
        const QByteArray bytes("pa\xffss");
        preferences.setVLCPasswordBytes(bytes);
        const QJsonObject shown = preferences.preferencesDictionary();
        preferences.applySettings(QJsonObject{{QStringLiteral("preferences"), shown}});
        QCOMPARE(preferences.VLCPasswordBytes(), bytes);
    }

    void postedPasswordsNeverLogged()
    {
        QTemporaryDir directory;
        LogCapture capture;
        ZantiPreferences preferences(directory.path(), capture.log);
        const QString text =
            QStringLiteral("POST / HTTP/1.1\n\n") +
            R"({"preferences": {"VLCPassword": "hunter2", "serverAuthenticationPassword": "swordfish", "x": {"password": ["hunter3"]}}})";
        const SettingsPost post = zc::findSettingsPost(text, capture.log);
        QVERIFY(post.settings);
        preferences.applySettings(*post.settings);
        preferences.settingsJSON({});
        const QString log = capture.lines().join(u'\n');
        for (const char *secret : {"hunter2", "swordfish", "hunter3"})
            QVERIFY2(!log.contains(QLatin1String(secret)), qPrintable(log));
        QCOMPARE(preferences.VLCPassword(), QStringLiteral("hunter2"));
    }

    void findSettingsPost_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("candidate");
        QTest::addColumn<bool>("found");

        const QString head =
            QStringLiteral("POST /requests/settings/ HTTP/1.1\r\nHost: localhost\r\n\r\n");
        QTest::newRow("one-line body") << head + R"({"preferences":{}})"
                                       << R"({"preferences":{}})" << true;
        QTest::newRow("last line wins") << head + "{\"a\":1}\n{\"b\":2}"
                                        << "{\"b\":2}" << true;
        QTest::newRow("line separator") << head + QChar(0x2028) + "{\"b\":2}"
                                        << "{\"b\":2}" << true;
        QTest::newRow("body over lines")
            << head + "{\n\"preferences\": {}\n}" << QString() << false;
        QTest::newRow("not JSON") << head + "{preferences}"
                                  << "{preferences}" << false;
        QTest::newRow("not an object") << head + "[1]" << QString() << false;
        QTest::newRow("empty") << QString() << QString() << false;
    }

    void findSettingsPost()
    {
        QFETCH(QString, request);
        QFETCH(QString, candidate);
        QFETCH(bool, found);
        LogCapture capture;
        const SettingsPost post = zc::findSettingsPost(request, capture.log);
        QCOMPARE(post.candidate, candidate);
        QCOMPARE(post.settings.has_value(), found);
    }
};

QTEST_GUILESS_MAIN(TestSettingsJson)
#include "tst_settingsjson.moc"

#include "autostartentry.h"
#include "logcapture.h"
#include "zantipreferences.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace zc;
using namespace zc::test;

namespace {

QJsonObject readJson(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

} // namespace

class TestPreferences : public QObject
{
    Q_OBJECT

    QTemporaryDir directory;
    LogCapture capture;

    QString mainFile() const
    {
        return directory.filePath(QStringLiteral("morvell.osx.zanticonnectgroup.json"));
    }
    QString privateFile() const
    {
        return directory.filePath(QStringLiteral("morvell.osx.settingsgroup.json"));
    }

private slots:
    void init()
    {
        QVERIFY(directory.isValid());
        QDir(directory.path()).removeRecursively();
        QDir().mkpath(directory.path());
        capture.clear();
    }

    void defaultsAreNeverWritten()
    {
        ZantiPreferences preferences(directory.path(), capture.log);
        QCOMPARE(preferences.autoStartWithSystem(), true);
        QCOMPARE(preferences.serverTCPPort(), 5916);
        QCOMPARE(preferences.serverUDPPort(), 5916);
        QCOMPARE(preferences.VLCPort(), 8080);
        QCOMPARE(preferences.addToMAcStartUp(), true);
        QCOMPARE(preferences.VLCPassword(), QStringLiteral("3971"));
        QCOMPARE(preferences.isAuthenticationEnabled(), false);
        QCOMPARE(preferences.serverAuthenticationPassword(), QString());
        QCOMPARE(preferences.webServerPort(), 5915);
        QCOMPARE(preferences.hasAppInstalled(), true);
        QCOMPARE(preferences.checkForUpdates(), true);
        QCOMPARE(capture.lines(), QStringList{"false"});
        PrivateSettings privateSettings(directory.path(), capture.log);
        QCOMPARE(privateSettings.hasAppUsed(), false);
        QVERIFY(QDir(directory.path()).isEmpty());
    }

    void settersSurviveARestartWithTheirStoredForms()
    {
        {
            ZantiPreferences preferences(directory.path(), capture.log);
            preferences.setServerUDPPort(6000);
            preferences.setServerTCPPort(6001);
            preferences.setVLCPort(65535);
            preferences.setWebServerPort(0);
            preferences.setVLCPassword(QStringLiteral("ab\"c d"));
            preferences.setServerAuthenticationPassword(QStringLiteral("s3cr3t"));
            preferences.setIsAuthenticationEnabled(true);
            preferences.setAutoStartWithSystem(false);
            preferences.setHasAppInstalled(false);
            preferences.setCheckForUpdates(false);
            PrivateSettings privateSettings(directory.path(), capture.log);
            privateSettings.setHasAppUsed(true);
        }
        const QJsonObject stored = readJson(mainFile());
        QCOMPARE(stored.value("zanticonnect.serverUDPPort"), QJsonValue(6000));
        QCOMPARE(stored.value("zanticonnect.webServerPort"), QJsonValue(0));
        QCOMPARE(stored.value("zanticonnect.isAuthenticationEnabled"), QJsonValue("true"));
        QCOMPARE(stored.value("zanticonnect.autoStartWithSystem"), QJsonValue("false"));
        QCOMPARE(stored.value("zanticonnect.checkForUpdatesAtLaunch"), QJsonValue("false"));
        QCOMPARE(stored.value("zanticonnect.VLCPassword"), QJsonValue("ab\"c d"));
        QVERIFY(!stored.contains("zanticonnect.addToWindowsStartUp"));
        QCOMPARE(readJson(privateFile()).value("settingsgroup.hasAppUsed"), QJsonValue(true));

        ZantiPreferences preferences(directory.path(), capture.log);
        QCOMPARE(preferences.serverUDPPort(), 6000);
        QCOMPARE(preferences.text(ZantiPreferences::ServerUDPPort), QStringLiteral("6000"));
        QCOMPARE(preferences.serverTCPPort(), 6001);
        QCOMPARE(preferences.VLCPort(), 65535);
        QCOMPARE(preferences.webServerPort(), 0);
        QCOMPARE(preferences.VLCPassword(), QStringLiteral("ab\"c d"));
        QCOMPARE(preferences.serverAuthenticationPassword(), QStringLiteral("s3cr3t"));
        QCOMPARE(preferences.requiresPassword(), true);
        QCOMPARE(preferences.autoStartWithSystem(), false);
        QCOMPARE(preferences.hasAppInstalled(), false);
        QCOMPARE(preferences.checkForUpdates(), false);
        QCOMPARE(PrivateSettings(directory.path(), capture.log).hasAppUsed(), true);
    }

    void authenticationSwitchIsLogged()
    {
        ZantiPreferences preferences(directory.path(), capture.log);
        preferences.setIsAuthenticationEnabled(false);
        QVERIFY(!preferences.isAuthenticationEnabled());
        QCOMPARE(capture.lines(), (QStringList{"false", "false"}));
        QCOMPARE(readJson(mainFile()).value("zanticonnect.isAuthenticationEnabled"),
                 QJsonValue("false"));
    }

    void handEditedValues_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("logged");

        QTest::newRow("1 is true for the start-at-login switch")
            << QByteArray(R"({"zanticonnect.isAuthenticationEnabled": "1"})")
            << "isAuthenticationEnabled"
            << "1" << false;
        QTest::newRow("JSON true for a switch")
            << QByteArray(R"({"zanticonnect.checkForUpdatesAtLaunch": true})") << "checkForUpdates"
            << "true" << false;
        QTest::newRow("port as a number")
            << QByteArray(R"({"zanticonnect.serverUDPPort": 6001})") << "serverUDPPort"
            << "6001" << false;
        QTest::newRow("port as digits")
            << QByteArray(R"({"zanticonnect.serverUDPPort": "6002"})") << "serverUDPPort"
            << "6002" << false;
        QTest::newRow("port beyond 16 bits")
            << QByteArray(R"({"zanticonnect.serverUDPPort": 70000})") << "serverUDPPort"
            << "5916" << true;
        QTest::newRow("negative port")
            << QByteArray(R"({"zanticonnect.serverUDPPort": -1})") << "serverUDPPort"
            << "5916" << true;
        QTest::newRow("fractional port")
            << QByteArray(R"({"zanticonnect.serverUDPPort": 80.5})") << "serverUDPPort"
            << "5916" << true;
        QTest::newRow("port text")
            << QByteArray(R"({"zanticonnect.serverUDPPort": "http"})") << "serverUDPPort"
            << "5916" << true;
        QTest::newRow("signed port text")
            << QByteArray(R"({"zanticonnect.serverUDPPort": "+80"})") << "serverUDPPort"
            << "5916" << true;
        QTest::newRow("numeric password")
            << QByteArray(R"({"zanticonnect.VLCPassword": 1234})") << "VLCPassword"
            << "1234" << false;
        QTest::newRow("password as a list")
            << QByteArray(R"({"zanticonnect.VLCPassword": ["x"]})") << "VLCPassword"
            << "3971" << true;
        QTest::newRow("switch as null")
            << QByteArray(R"({"zanticonnect.autoStartWithSystem": null})") << "autoStartWithSystem"
            << "true" << true;
    }

    void handEditedValues()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, setting);
        QFETCH(QString, text);
        QFETCH(bool, logged);
        writeFile(mainFile(), json);
        ZantiPreferences preferences(directory.path(), capture.log);
        const QHash<QString, ZantiPreferences::Setting> settings = {
            {"isAuthenticationEnabled", ZantiPreferences::IsAuthenticationEnabled},
            {"checkForUpdates", ZantiPreferences::CheckForUpdates},
            {"serverUDPPort", ZantiPreferences::ServerUDPPort},
            {"VLCPassword", ZantiPreferences::VLCPasswordSetting},
            {"autoStartWithSystem", ZantiPreferences::AutoStartWithSystem},
        };
        QCOMPARE(preferences.text(settings.value(setting)), text);
        const QStringList lines = capture.lines();
        QCOMPARE(lines.size(), logged ? 1 : 0);
        if (logged)
            QVERIFY2(lines[0].contains(ZantiPreferences::key(settings.value(setting))),
                     qPrintable(lines[0]));
        // Whatever it holds, the user's file stays as it was.
        QFile file(mainFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), json);
    }

    void flagRules_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("lenient");
        QTest::addColumn<bool>("strict");
        QTest::newRow("true") << "true" << true << true;
        QTest::newRow("1") << "1" << true << false;
        QTest::newRow("TRUE") << "TRUE" << false << false;
        QTest::newRow("yes") << "yes" << false << false;
        QTest::newRow("0") << "0" << false << false;
    }

    void flagRules()
    {
        QFETCH(QString, text);
        QFETCH(bool, lenient);
        QFETCH(bool, strict);
        writeFile(mainFile(),
                  QJsonDocument(QJsonObject{{"zanticonnect.autoStartWithSystem", text},
                                            {"zanticonnect.isAuthenticationEnabled", text},
                                            {"zanticonnect.checkForUpdatesAtLaunch", text},
                                            {"zanticonnect.addToWindowsStartUp", text},
                                            {"zanticonnect.hasAppInstalled", text}})
                      .toJson());
        ZantiPreferences preferences(directory.path(), capture.log);
        QCOMPARE(preferences.autoStartWithSystem(), lenient);
        QCOMPARE(preferences.requiresPassword(), lenient);
        QCOMPARE(preferences.checkForUpdates(), lenient);
        QCOMPARE(preferences.addToMAcStartUp(), strict);
        QCOMPARE(preferences.hasAppInstalled(), strict);
    }

    void unreadableFileIsKeptAside_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("not JSON") << QByteArray("zanticonnect.serverUDPPort=6000");
        QTest::newRow("truncated") << QByteArray(R"({"zanticonnect.serverUDPPort": 60)");
        QTest::newRow("an array") << QByteArray("[1, 2]");
    }

    void unreadableFileIsKeptAside()
    {
        QFETCH(QByteArray, content);
        writeFile(mainFile(), content);
        {
            ZantiPreferences preferences(directory.path(), capture.log);
            QCOMPARE(preferences.serverUDPPort(), 5916);
            const QStringList lines = capture.lines();
            QCOMPARE(lines.size(), 1);
            QVERIFY2(lines[0].contains(QLatin1String("kept as")), qPrintable(lines[0]));
            preferences.setServerTCPPort(7000);
        }
        const QStringList aside =
            QDir(directory.path()).entryList({"morvell.osx.zanticonnectgroup.json.corrupt-*"});
        QCOMPARE(aside.size(), 1);
        QFile kept(directory.filePath(aside.first()));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), content);
        QCOMPARE(readJson(mainFile()), (QJsonObject{{"zanticonnect.serverTCPPort", 7000}}));
    }

    void savingKeepsWhatElseTheFileHolds()
    {
        writeFile(mainFile(), R"({"zanticonnect.VLCPassword": "mine", "note": "by hand"})");
        ZantiPreferences(directory.path(), capture.log).setServerUDPPort(6500);
        const QJsonObject stored = readJson(mainFile());
        QCOMPARE(stored.value("zanticonnect.VLCPassword"), QJsonValue("mine"));
        QCOMPARE(stored.value("note"), QJsonValue("by hand"));
        QCOMPARE(stored.value("zanticonnect.serverUDPPort"), QJsonValue(6500));
        QCOMPARE(QDir(directory.path()).entryList(QDir::Files).size(), 1);
    }

    void loginItem_data()
    {
        QTest::addColumn<bool>("autoStart");
        QTest::addColumn<QByteArray>("existing");
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("exec");

        const QByteArray none;
        QTest::newRow("added") << true << none << "/usr/bin/zanti-connect"
                               << "Exec=/usr/bin/zanti-connect";
        QTest::newRow("path with blanks and quotes")
            << true << none << "/opt/my \"apps\"/zanti-connect"
            << R"(Exec="/opt/my \\"apps\\"/zanti-connect")";
        QTest::newRow("percent doubled") << true << none << "/opt/100%/zanti-connect"
                                         << "Exec=/opt/100%%/zanti-connect";
        QTest::newRow("entry the user disabled is replaced")
            << true << QByteArray("[Desktop Entry]\nExec=/usr/bin/zanti-connect\nHidden=true\n")
            << "/usr/bin/zanti-connect"
            << "Exec=/usr/bin/zanti-connect";
        QTest::newRow("entry for a moved program is replaced")
            << true << QByteArray("[Desktop Entry]\nExec=/old/zanti-connect\n")
            << "/usr/bin/zanti-connect"
            << "Exec=/usr/bin/zanti-connect";
        QTest::newRow("removed") << false
                                 << QByteArray("[Desktop Entry]\nExec=/usr/bin/zanti-connect\n")
                                 << "/usr/bin/zanti-connect" << QString();
        QTest::newRow("nothing to remove")
            << false << none << "/usr/bin/zanti-connect" << QString();
    }

    void loginItem()
    {
        QFETCH(bool, autoStart);
        QFETCH(QByteArray, existing);
        QFETCH(QString, program);
        QFETCH(QString, exec);
        const QString entryPath =
            directory.filePath(QStringLiteral("autostart/zanti-connect.desktop"));
        if (!existing.isNull())
            writeFile(entryPath, existing);

        ZantiPreferences preferences(directory.path(), capture.log);
        preferences.setAutoStartWithSystem(autoStart);
        AutostartEntry entry(directory.path(), capture.log);
        preferences.syncLoginItem(entry, program);

        if (exec.isEmpty()) {
            QVERIFY(!QFile::exists(entryPath));
            return;
        }
        QFile file(entryPath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString content = QString::fromUtf8(file.readAll());
        QVERIFY2(content.startsWith(QLatin1String("[Desktop Entry]\n")), qPrintable(content));
        QVERIFY2(content.split(u'\n').contains(exec), qPrintable(content));
        QVERIFY(!content.contains(QLatin1String("Hidden")));
        QVERIFY(entry.isExistLoginItem(program));

        // In agreement already: a second sync leaves the entry alone.
        capture.clear();
        preferences.syncLoginItem(entry, program);
        QVERIFY(capture.lines().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestPreferences)
#include "tst_preferences.moc"

#include "autostartentry.h"
#include "logcapture.h"
#include "testfiles.h"
#include "zantipreferences.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <limits>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

using namespace zc;
using namespace zc::test;

namespace {

// Private, as the program keeps it; savedFileIsPrivate covers one that is not.
void writePrivate(const QString &path, const QByteArray &content)
{
    writeFile(path, content);
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
}

// Valid JSON holding the port 6000, just beyond the largest file read.
QByteArray oversized()
{
    QByteArray json = R"({"zanticonnect.serverUDPPort": 6000, "padding": ")";
    json += QByteArray(1024 * 1024 - json.size() - 1, 'x') + "\"}";
    return json;
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

    void verifyKeptAside(const QByteArray &content)
    {
        const QStringList aside =
            QDir(directory.path()).entryList({"morvell.osx.zanticonnectgroup.json.*"});
        QCOMPARE(aside.size(), 1);
        QVERIFY2(aside[0].contains(content.size() > PreferenceSuite::maximumFileSize
                                       ? QLatin1String(".too-large-")
                                       : QLatin1String(".corrupt-")),
                 qPrintable(aside[0]));
        QCOMPARE(readBytes(directory.filePath(aside.first())), content);
    }

private slots:
    void init()
    {
        QVERIFY(directory.isValid());
        QDir(directory.path()).removeRecursively();
        QVERIFY(
            QDir().mkdir(directory.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        capture.clear();
    }

    void savedValuesSurviveARestart()
    {
        {
            ZantiPreferences preferences(directory.path(), capture.log);
            PrivateSettings privateSettings(directory.path(), capture.log);
            QVERIFY(!privateSettings.hasAppUsed());
            // The defaults live in memory only.
            QVERIFY(QDir(directory.path()).isEmpty());
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
            privateSettings.setHasAppUsed(true);
        }
        // Ports go to the file as numbers, switches as the texts "true" and "false".
        QCOMPARE(readJson(mainFile()),
                 (QJsonObject{{"zanticonnect.serverUDPPort", 6000},
                              {"zanticonnect.serverTCPPort", 6001},
                              {"zanticonnect.VLCPort", 65535},
                              {"zanticonnect.webServerPort", 0},
                              {"zanticonnect.VLCPassword", "ab\"c d"},
                              {"zanticonnect.serverAuthenticationPassword", "s3cr3t"},
                              {"zanticonnect.isAuthenticationEnabled", "true"},
                              {"zanticonnect.autoStartWithSystem", "false"},
                              {"zanticonnect.hasAppInstalled", "false"},
                              {"zanticonnect.checkForUpdatesAtLaunch", "false"}}));
        QCOMPARE(readJson(directory.filePath(QStringLiteral("morvell.osx.settingsgroup.json"))),
                 (QJsonObject{{"settingsgroup.hasAppUsed", true}}));

        // Reading each form back is what handEditedValues covers.
        ZantiPreferences preferences(directory.path(), capture.log);
        QCOMPARE(preferences.webServerPort(), 0);
        QCOMPARE(preferences.VLCPassword(), QStringLiteral("ab\"c d"));
        QCOMPARE(preferences.autoStartWithSystem(), false);
        QCOMPARE(PrivateSettings(directory.path(), capture.log).hasAppUsed(), true);
    }

    void handEditedValues_data()
    {
        QTest::addColumn<int>("setting");
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QString>("text");  // as the getters take it
        QTest::addColumn<bool>("unusable"); // logged, and the default taken

        using P = ZantiPreferences;
        const auto row = [](const char *name, P::Setting setting, const QJsonValue &value,
                            const char *text, bool unusable) {
            QTest::newRow(name) << int(setting) << value << QString::fromLatin1(text) << unusable;
        };
        row("JSON true for a switch", P::CheckForUpdates, true, "true", false);
        row("switch as null", P::AutoStartWithSystem, QJsonValue(), "true", true);
        // A password the user asked for stays asked for, whatever the switch's spelling.
        row("authentication as null", P::IsAuthenticationEnabled, QJsonValue(), "true", true);
        row("authentication as 2", P::IsAuthenticationEnabled, 2, "true", true);
        row("authentication as 0", P::IsAuthenticationEnabled, 0, "0", false);
        row("port as a number", P::ServerUDPPort, 6001, "6001", false);
        row("port as digits", P::ServerUDPPort, "6002", "6002", false);
        row("port beyond 16 bits", P::ServerUDPPort, 70000, "5916", true);
        row("negative port", P::ServerUDPPort, -1, "5916", true);
        row("fractional port", P::ServerUDPPort, 80.5, "5916", true);
        row("port text", P::ServerUDPPort, "http", "5916", true);
        row("signed port text", P::ServerUDPPort, "+80", "5916", true);
        row("switch value for a port", P::ServerTCPPort, true, "5916", true);
        row("numeric password", P::VLCPasswordSetting, 1234, "1234", false);
        row("password as a list", P::VLCPasswordSetting, QJsonArray{"x"}, "3971", true);
        row("port just beyond 16 bits", P::ServerTCPPort, 65536, "5916", true);
        row("port too large for any integer", P::ServerTCPPort, 1e300, "5916", true);
        row("port too small for any integer", P::ServerTCPPort, -1e300, "5916", true);
        row("fractional password", P::VLCPasswordSetting, 1.5, "3971", true);
        row("password too large for any integer", P::VLCPasswordSetting, 1e300, "3971", true);
        row("password at the 64-bit limit", P::VLCPasswordSetting,
            QJsonValue(std::numeric_limits<qint64>::max()), "9223372036854775807", false);
    }

    void handEditedValues()
    {
        QFETCH(int, setting);
        QFETCH(QJsonValue, value);
        QFETCH(QString, text);
        QFETCH(bool, unusable);
        const QString key = ZantiPreferences::key(ZantiPreferences::Setting(setting));
        const QJsonObject edited{{key, value}, {"note", "by hand"}};
        const QByteArray json = QJsonDocument(edited).toJson();
        writePrivate(mainFile(), json);

        ZantiPreferences preferences(directory.path(), capture.log);
        QCOMPARE(preferences.text(ZantiPreferences::Setting(setting)), text);
        const QStringList lines = capture.lines();
        QCOMPARE(lines.size(), unusable ? 1 : 0);
        if (unusable)
            QVERIFY2(lines[0].contains(key), qPrintable(lines[0]));
        // Whatever it holds, the user's file stays as it was, and a save keeps all of it.
        QCOMPARE(readBytes(mainFile()), json);
        preferences.setWebServerPort(6500);
        QJsonObject saved = edited;
        saved.insert(QStringLiteral("zanticonnect.webServerPort"), 6500);
        QCOMPARE(readJson(mainFile()), saved);
        QCOMPARE(QDir(directory.path()).entryList(QDir::Files).size(), 1);
    }

    void flagRules_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("lenient");
        QTest::addColumn<bool>("strict");
        QTest::addColumn<bool>("authentication");
        QTest::addColumn<QStringList>("logged"); // keys, each with the value taken
        const QStringList lenientKeys{"autoStartWithSystem false", "checkForUpdatesAtLaunch false",
                                      "isAuthenticationEnabled true"};
        const QStringList strictKeys{"addToWindowsStartUp false", "hasAppInstalled false"};
        QTest::newRow("true") << "true" << true << true << true << QStringList();
        QTest::newRow("1") << "1" << true << false << true << strictKeys;
        QTest::newRow("false") << "false" << false << false << false << QStringList();
        QTest::newRow("0") << "0" << false << false << false << QStringList();
        for (const char *text : {"TRUE", "True", "yes", "on", " true", ""})
            QTest::newRow(text) << text << false << false << true << lenientKeys + strictKeys;
    }

    void flagRules()
    {
        static int writes = 0;
        QFETCH(QString, text);
        QFETCH(bool, lenient);
        QFETCH(bool, strict);
        QFETCH(bool, authentication);
        QFETCH(QStringList, logged);
        writePrivate(mainFile(),
                     QJsonDocument(QJsonObject{{"zanticonnect.autoStartWithSystem", text},
                                               {"zanticonnect.isAuthenticationEnabled", text},
                                               {"zanticonnect.checkForUpdatesAtLaunch", text},
                                               {"zanticonnect.addToWindowsStartUp", text},
                                               {"zanticonnect.hasAppInstalled", text},
                                               // QSettings keeps files read by path and reads
                                               // one again only when its size or time changed.
                                               {"size", QString(++writes, u' ')}})
                         .toJson());
        ZantiPreferences preferences(directory.path(), capture.log);
        QStringList lines = capture.lines();
        QCOMPARE(lines.size(), logged.size());
        for (const QString &line : lines) {
            QVERIFY2(line.contains(" holds \"" + text + "\" for zanticonnect."), qPrintable(line));
            const QString item = line.section(u'.', -1).replace(QLatin1String("; taken as"), "");
            QVERIFY2(logged.removeOne(item), qPrintable(line));
        }
        capture.clear();
        QCOMPARE(preferences.autoStartWithSystem(), lenient);
        QCOMPARE(preferences.requiresPassword(), authentication);
        QCOMPARE(preferences.checkForUpdates(), lenient);
        QCOMPARE(preferences.addToMAcStartUp(), strict);
        QCOMPARE(preferences.hasAppInstalled(), strict);
        // The check made on every command must not write to the log.
        QVERIFY(capture.lines().isEmpty());
    }

    void unreadableFileIsKeptAside_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("not JSON") << QByteArray("zanticonnect.serverUDPPort=6000");
        QTest::newRow("truncated") << QByteArray("{\"zanticonnect.serverUDPPort\": 60");
        QTest::newRow("an array") << QByteArray("[1, 2]");
        // Read whole, a 1 GiB file took a minute and gigabytes of memory.
        QTest::newRow("beyond 1 MiB") << oversized();
    }

    void unreadableFileIsKeptAside()
    {
        QFETCH(QByteArray, content);
        writePrivate(mainFile(), content);
        {
            ZantiPreferences preferences(directory.path(), capture.log);
            QCOMPARE(preferences.serverUDPPort(), 5916);
            QCOMPARE(capture.lines().size(), 1);
            preferences.setServerTCPPort(7000);
        }
        verifyKeptAside(content);
        QCOMPARE(readJson(mainFile()), (QJsonObject{{"zanticonnect.serverTCPPort", 7000}}));
    }

    void fileBrokenWhileRunning_data()
    {
        QTest::addColumn<QByteArray>("broken");
        QTest::newRow("trailing comma") << QByteArray("{\"zanticonnect.serverUDPPort\": 6000,}");
        QTest::newRow("partial write") << QByteArray("{\"zanticonnect.serverUDPPo");
        QTest::newRow("grown beyond 1 MiB") << oversized();
    }

    void fileBrokenWhileRunning()
    {
        QFETCH(QByteArray, broken);
        writePrivate(
            mainFile(),
            QJsonDocument(QJsonObject{{"zanticonnect.isAuthenticationEnabled", "true"},
                                      {"zanticonnect.serverAuthenticationPassword", "s3cr3t"},
                                      {"zanticonnect.serverUDPPort", 6000}})
                .toJson());
        {
            ZantiPreferences preferences(directory.path(), capture.log);
            preferences.setServerTCPPort(6001);
            writePrivate(mainFile(), broken);
            capture.clear();
            preferences.setVLCPassword(QStringLiteral("1234"));
            QCOMPARE(capture.lines().size(), 1);
        }
        verifyKeptAside(broken);

        capture.clear();
        ZantiPreferences preferences(directory.path(), capture.log);
        QVERIFY(capture.lines().isEmpty());
        QCOMPARE(preferences.requiresPassword(), true);
        QCOMPARE(preferences.serverAuthenticationPassword(), QStringLiteral("s3cr3t"));
        QCOMPARE(preferences.serverUDPPort(), 6000);
        QCOMPARE(preferences.serverTCPPort(), 6001);
        QCOMPARE(preferences.VLCPassword(), QStringLiteral("1234"));
    }

    // The values are then the defaults, with authentication off: the program must not serve.
    void existingFileCannotBeRead_data()
    {
        QTest::addColumn<QString>("blocker");
        QTest::addColumn<QString>("reason"); // empty: readable after all
        QTest::newRow("file is a folder") << "folder"
                                          << "it is a folder";
        QTest::newRow("folder is a file") << "file as folder"
                                          << "Not a directory";
        QTest::newRow("link to nothing") << "dangling link"
                                         << "it is a link to nothing";
        QTest::newRow("folder a link to nothing") << "dangling folder link"
                                                  << "its folder is a link to nothing";
        QTest::newRow("not the user's to read") << "mode 000"
                                                << "Permission denied";
        QTest::newRow("no file yet") << "none"
                                     << "";
    }

    void existingFileCannotBeRead()
    {
        QFETCH(QString, blocker);
        QFETCH(QString, reason);
        if (blocker == "mode 000" && ::geteuid() == 0)
            QSKIP("Root reads a file whatever its permission bits");
        const QString folder = directory.filePath(QStringLiteral("zanti-connect"));
        const QString file = folder + QStringLiteral("/morvell.osx.zanticonnectgroup.json");
        const QByteArray settings = R"({"zanticonnect.isAuthenticationEnabled": "true"})";
        if (blocker == "folder")
            QVERIFY(QDir().mkpath(file) &&
                    QFile::setPermissions(folder,
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        if (blocker == "file as folder")
            writePrivate(folder, settings);
        if (blocker == "dangling link")
            QVERIFY(QDir().mkpath(folder) && QFile::link(folder + "/gone.json", file));
        if (blocker == "dangling folder link")
            QVERIFY(QFile::link(directory.filePath("unmounted"), folder));
        if (blocker == "mode 000") {
            writePrivate(file, settings);
            QVERIFY(QFile::setPermissions(file, {}));
        }

        ZantiPreferences preferences(folder, capture.log);
        QCOMPARE(preferences.unreadableReason(), reason);
        const QStringList lines = capture.lines();
        QCOMPARE(lines.size(), reason.isEmpty() ? 0 : 1);
        if (!reason.isEmpty())
            QCOMPARE(lines[0], "Cannot read the preferences file " + file + ": " + reason);
        // Nothing is moved aside or made private: the user's file is for the user to mend.
        QCOMPARE(QDir(directory.path())
                     .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
                 reason.isEmpty() ? QStringList() : QStringList{"zanti-connect"});

        // These blockers stop root too, which ignores permission bits: a save fails while one
        // stands, and the next save after it is gone holds both values.
        if (blocker != "folder" && blocker != "file as folder")
            return;
        capture.clear();
        preferences.setServerTCPPort(7000);
        QCOMPARE(capture.lines().size(), 1);
        QVERIFY2(capture.lines()[0].startsWith(QLatin1String("Cannot save")),
                 qPrintable(capture.lines()[0]));
        QVERIFY(blocker == "folder" ? QDir(file).removeRecursively() : QFile::remove(folder));
        capture.clear();
        preferences.setVLCPassword(QStringLiteral("1234"));
        QVERIFY2(capture.lines().isEmpty(), qPrintable(capture.lines().join(u'\n')));
        QCOMPARE(readJson(file), (QJsonObject{{"zanticonnect.serverTCPPort", 7000},
                                              {"zanticonnect.VLCPassword", "1234"}}));
    }

    void savedFileIsPrivate_data()
    {
        QTest::addColumn<int>("fileMode"); // 0: none
        QTest::addColumn<int>("folderMode");
        QTest::addColumn<QStringList>("madePrivate");
        QTest::newRow("first save") << 0 << 0 << QStringList();
        QTest::newRow("file readable by everyone") << 0644 << 0700 << QStringList{"file"};
        QTest::newRow("both open to others") << 0664 << 0755 << QStringList{"folder", "file"};
        QTest::newRow("folder open, file private") << 0600 << 0750 << QStringList{"folder"};
    }

    void savedFileIsPrivate()
    {
        QFETCH(int, fileMode);
        QFETCH(int, folderMode);
        QFETCH(QStringList, madePrivate);
        const QString folder = directory.filePath(QStringLiteral("zanti-connect"));
        const QString file = folder + QStringLiteral("/morvell.osx.zanticonnectgroup.json");
        if (fileMode != 0) {
            writePrivate(file, R"({"zanticonnect.serverAuthenticationPassword": "old"})");
            QCOMPARE(::chmod(QFile::encodeName(file).constData(), mode_t(fileMode)), 0);
            QCOMPARE(::chmod(QFile::encodeName(folder).constData(), mode_t(folderMode)), 0);
        }

        // Private from the start, not from the first save on: the password is in there.
        std::optional<ZantiPreferences> preferences(std::in_place, folder, capture.log);
        if (fileMode != 0) {
            QCOMPARE(unixMode(file), 0600);
            QCOMPARE(unixMode(folder), 0700);
        }
        const QStringList lines = capture.lines();
        QCOMPARE(lines.size(), madePrivate.isEmpty() ? 0 : 1);
        if (!madePrivate.isEmpty())
            QCOMPARE(lines[0], "Others could read the preferences; made private to their owner: " +
                                   madePrivate.replaceInStrings("folder", folder)
                                       .replaceInStrings("file", file)
                                       .join(", "));
        capture.clear();
        preferences.emplace(folder, capture.log);
        preferences->setServerAuthenticationPassword(QStringLiteral("s3cr3t"));
        QVERIFY2(capture.lines().isEmpty(), qPrintable(capture.lines().join(u'\n')));
        QCOMPARE(readJson(file).value(QLatin1String("zanticonnect.serverAuthenticationPassword")),
                 QJsonValue("s3cr3t"));
        QCOMPARE(unixMode(file), 0600);
        QCOMPARE(unixMode(folder), 0700);
        // Saves replace the file: the mode must carry over.
        preferences->setVLCPassword(QStringLiteral("1234"));
        QCOMPARE(unixMode(file), 0600);
    }

    // VLC's file may hold any bytes: those kept exactly, UTF-8 still stored as a JSON text.
    void vlcPasswordBytes_data()
    {
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<QJsonValue>("stored");
        QTest::newRow("UTF-8") << QByteArray("ä 1") << QJsonValue("ä 1");
        QTest::newRow("Latin-1") << QByteArray("caf\xE9")
                                 << QJsonValue(QJsonObject{{"base64", "Y2Fm6Q=="}});
    }

    void vlcPasswordBytes()
    {
        QFETCH(QByteArray, password);
        QFETCH(QJsonValue, stored);
        {
            ZantiPreferences preferences(directory.path(), capture.log);
            preferences.setVLCPasswordBytes(password);
            QCOMPARE(preferences.VLCPasswordBytes(), password);
        }
        QCOMPARE(readJson(mainFile()).value("zanticonnect.VLCPassword"), stored);
        ZantiPreferences preferences(directory.path(), capture.log);
        QCOMPARE(preferences.VLCPasswordBytes(), password);
        QCOMPARE(preferences.VLCPassword(), QString::fromUtf8(password));
        QVERIFY(capture.lines().isEmpty());
    }

    void loginItem_data()
    {
        QTest::addColumn<bool>("autoStart");
        QTest::addColumn<QByteArray>("existing");
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("exec"); // empty: no entry

        const QString usual = QStringLiteral("/usr/bin/zanti-connect");
        const QByteArray entry = "[Desktop Entry]\nExec=/usr/bin/zanti-connect\n";
        QTest::newRow("added") << true << QByteArray() << usual << "Exec=" + usual;
        QTest::newRow("path with blanks and quotes")
            << true << QByteArray() << "/opt/my \"apps\"/zanti-connect"
            << "Exec=\"/opt/my \\\\\"apps\\\\\"/zanti-connect\"";
        QTest::newRow("percent doubled") << true << QByteArray() << "/opt/100%/zanti-connect"
                                         << "Exec=/opt/100%%/zanti-connect";
        QTest::newRow("line feed in path") << true << QByteArray() << "/opt/a\nb/zanti-connect"
                                           << "Exec=\"/opt/a\\nb/zanti-connect\"";
        QTest::newRow("tab in path") << true << QByteArray() << "/opt/a\tb/zanti-connect"
                                     << "Exec=\"/opt/a\\tb/zanti-connect\"";
        QTest::newRow("carriage return in path")
            << true << QByteArray() << "/opt/a\rb/zanti-connect"
            << "Exec=/opt/a\\rb/zanti-connect";
        QTest::newRow("entry the user disabled is replaced") << true << entry + "Hidden=true\n"
                                                             << usual << "Exec=" + usual;
        QTest::newRow("entry for a moved program is replaced")
            << true << QByteArray("[Desktop Entry]\nExec=/old/zanti-connect\n") << usual
            << "Exec=" + usual;
        QTest::newRow("removed") << false << entry << usual << QString();
        QTest::newRow("entry for another program path removed")
            << false << QByteArray("[Desktop Entry]\nExec=/opt/old/zanti-connect\n") << usual
            << QString();
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
            writePrivate(entryPath, existing);

        ZantiPreferences preferences(directory.path(), capture.log);
        preferences.setAutoStartWithSystem(autoStart);
        AutostartEntry entry(directory.path(), capture.log);
        preferences.syncLoginItem(entry, program);
        if (exec.isEmpty()) {
            QVERIFY(!QFile::exists(entryPath));
        } else {
            const QString content = QString::fromUtf8(readBytes(entryPath));
            QVERIFY2(content.startsWith(QLatin1String("[Desktop Entry]\n")), qPrintable(content));
            QVERIFY2(content.split(u'\n').contains(exec), qPrintable(content));
            QVERIFY(!content.contains(QLatin1String("Hidden")));
            QVERIFY(entry.isExistLoginItem(program));
        }

        // In agreement already: a second sync neither writes nor removes anything.
        capture.clear();
        preferences.syncLoginItem(entry, program);
        QVERIFY(capture.lines().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestPreferences)
#include "tst_preferences.moc"

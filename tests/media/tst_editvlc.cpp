#include "editvlc.h"
#include "logcapture.h"
#include "recordingdesktop.h"
#include "zantipreferences.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <optional>

using namespace zc;
using namespace zc::test;

namespace {

enum class Fixture
{
    File,
    Missing,
    Unreadable,
};

using Value = std::optional<QString>;

// Stands for the random password in expected texts.
const QByteArray randomPassword = "<random>";

// Preference values no edit produces, so that untouched preferences show.
const QString passwordBefore = "before";
constexpr quint16 portBefore = 1111;

// The shape of the vlcrc VLC writes with --reset-config, shortened.
const QByteArray head = "\xEF\xBB\xBF###\n###  vlc 3.0.24\n###\n\n"
                        "[chromecast] # Chromecast\n\n"
                        "# HTTP port (integer)\n#sout-chromecast-http-port=8010\n\n"
                        "# Password (string)\n#sout-http-pwd=\n\n";

QByteArray vlcDefaults(const QByteArray &password = "#http-password=",
                       const QByteArray &port = "#http-port=8080",
                       const QByteArray &interfaces = "#extraintf=")
{
    return head + "[lua] # Lua interpreter\n\n# Password (string)\n" + password +
           "\n\n[core] # core program\n\n# HTTP server port (integer)\n" + port +
           "\n\n# Extra interface modules (string)\n" + interfaces +
           "\n\n# Main interfaces\n#intf=\n";
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

bool writeAll(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}

uint modeOf(const QString &path)
{
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return 0;
    return status.st_mode & 07777;
}

ino_t inodeOf(const QString &path)
{
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return 0;
    return status.st_ino;
}

bool isFourDigitPassword(const QString &password)
{
    bool ok = false;
    const int value = password.toInt(&ok);
    return ok && password.size() == 4 && value >= 1000 && value <= 9999;
}

} // namespace

Q_DECLARE_METATYPE(Fixture)
Q_DECLARE_METATYPE(std::optional<QString>)

class TestEditVLC : public QObject
{
    Q_OBJECT

    RecordingDesktop desktop;
    LogCapture capture;
    std::unique_ptr<QTemporaryDir> directory;
    std::unique_ptr<ZantiPreferences> preferences;
    std::unique_ptr<EditVLC> editor;
    int doneCount = 0;

    QString configHome() const { return directory->filePath("config"); }
    QString home() const { return directory->filePath("home"); }
    QString vlcrc() const { return configHome() + "/vlc/vlcrc"; }
    QString flatpakVlcrc() const { return home() + "/.var/app/org.videolan.VLC/config/vlc/vlcrc"; }

    void configure(const Value &password, const Value &port)
    {
        editor->configureVLC(password, port, [this] { ++doneCount; });
    }

    // The file stands in for an unreadable vlcrc; root reads any file, so then a directory does.
    void makeUnreadable(const QString &path, const QByteArray &content)
    {
        QVERIFY(writeAll(path, content));
        QVERIFY(QFile::setPermissions(path, {}));
        QFile probe(path);
        if (probe.open(QIODevice::ReadOnly)) {
            probe.close();
            QVERIFY(QFile::remove(path));
            QVERIFY(QDir().mkdir(path));
        }
    }

private slots:
    void init()
    {
        desktop = RecordingDesktop();
        directory = std::make_unique<QTemporaryDir>();
        QVERIFY(directory->isValid());
        preferences =
            std::make_unique<ZantiPreferences>(directory->filePath("settings"), capture.log);
        preferences->setVLCPassword(passwordBefore);
        preferences->setVLCPort(portBefore);
        // Quick, so that the rows do not each wait the second a real restart waits.
        editor = std::make_unique<EditVLC>(desktop, *preferences, configHome(), capture.log, home(),
                                           std::chrono::milliseconds(10));
        doneCount = 0;
        capture.clear();
    }

    void cleanup()
    {
        editor.reset();
        preferences.reset();
        if (directory) {
            // A file made unreadable must not stop the directory from going.
            QFile::setPermissions(vlcrc(), QFile::ReadOwner | QFile::WriteOwner);
            directory.reset();
        }
    }

    void edit_data()
    {
        QTest::addColumn<Fixture>("fixture");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<bool>("installed");
        QTest::addColumn<Value>("password");
        QTest::addColumn<Value>("port");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<QString>("storedPassword");
        QTest::addColumn<quint16>("storedPort");

        const Value none;
        const QByteArray random = randomPassword;
        const QString stored = QString::fromLatin1(randomPassword);

        QTest::newRow("VLC's defaults, no values: commented port stays, VLC's 8080 applies")
            << Fixture::File << vlcDefaults() << true << none << none
            << vlcDefaults("http-password=" + random, "#http-port=8080", "extraintf=http") << stored
            << quint16(8080);
        QTest::newRow("VLC's defaults, port 9090")
            << Fixture::File << vlcDefaults() << true << none << Value("9090")
            << vlcDefaults("http-password=" + random, "http-port=9090", "extraintf=http") << stored
            << quint16(9090);
        QTest::newRow("VLC's defaults, password and port given")
            << Fixture::File << vlcDefaults() << true << Value("secret") << Value("8081")
            << vlcDefaults("http-password=secret", "http-port=8081", "extraintf=http") << "secret"
            << quint16(8081);
        QTest::newRow("active lines keep their values")
            << Fixture::File
            << vlcDefaults("http-password=secret", "http-port=8081", "extraintf=http") << true
            << none << none
            << vlcDefaults("http-password=secret", "http-port=8081", "extraintf=http") << "secret"
            << quint16(8081);
        QTest::newRow("a commented password's old value goes with the whole line")
            << Fixture::File << vlcDefaults("#http-password=old") << true << Value("new") << none
            << vlcDefaults("http-password=new", "#http-port=8080", "extraintf=http") << "new"
            << quint16(8080);
        QTest::newRow("a commented password is not in effect: a random one replaces it")
            << Fixture::File << vlcDefaults("#http-password=old") << true << none << none
            << vlcDefaults("http-password=" + random, "#http-port=8080", "extraintf=http") << stored
            << quint16(8080);
        QTest::newRow("an empty password given becomes a random one")
            << Fixture::File << vlcDefaults("http-password=secret") << true << Value("") << none
            << vlcDefaults("http-password=" + random, "#http-port=8080", "extraintf=http") << stored
            << quint16(8080);
        QTest::newRow("an empty password in the file becomes a random one")
            << Fixture::File << vlcDefaults("http-password=") << true << none << none
            << vlcDefaults("http-password=" + random, "#http-port=8080", "extraintf=http") << stored
            << quint16(8080);
        QTest::newRow("dollar and digit written literally")
            << Fixture::File << vlcDefaults("http-password=old") << true << Value("a$1$0b") << none
            << vlcDefaults("http-password=a$1$0b", "#http-port=8080", "extraintf=http") << "a$1$0b"
            << quint16(8080);
        QTest::newRow("backslashes written literally")
            << Fixture::File << vlcDefaults("#http-password=old") << true << Value("a\\b\\\\c")
            << none << vlcDefaults("http-password=a\\b\\\\c", "#http-port=8080", "extraintf=http")
            << "a\\b\\\\c" << quint16(8080);
        QTest::newRow("equals sign and spaces written literally")
            << Fixture::File << vlcDefaults() << true << Value("a=b c") << none
            << vlcDefaults("http-password=a=b c", "#http-port=8080", "extraintf=http") << "a=b c"
            << quint16(8080);
        QTest::newRow("password in UTF-8")
            << Fixture::File << vlcDefaults() << true << Value(QString::fromUtf8("pässwört"))
            << none
            << vlcDefaults("http-password=p\xC3\xA4sswört", "#http-port=8080", "extraintf=http")
            << QString::fromUtf8("pässwört") << quint16(8080);
        QTest::newRow("password from the file read with its exact key")
            << Fixture::File << QByteArray("x-http-password=wrong\nhttp-password=right\n") << true
            << none << none
            << QByteArray("x-http-password=wrong\nhttp-password=right\nextraintf=http\n") << "right"
            << quint16(8080);
        QTest::newRow("port from the file read with its exact key")
            << Fixture::File << QByteArray("sout-chromecast-http-port=8010\nhttp-port=8082\n")
            << true << none << none
            << QByteArray("sout-chromecast-http-port=8010\nhttp-port=8082\nextraintf=http\n"
                          "http-password=" +
                          random + "\n")
            << stored << quint16(8082);
        QTest::newRow("longer keys untouched, missing lines appended")
            << Fixture::File
            << QByteArray("#sout-chromecast-http-port=8010\n#sout-http-pwd=\nlua-http-password=x\n"
                          "#myextraintf=\n# http-port=1 is a comment, not a setting\n")
            << true << Value("secret") << Value("9090")
            << QByteArray("#sout-chromecast-http-port=8010\n#sout-http-pwd=\nlua-http-password=x\n"
                          "#myextraintf=\n# http-port=1 is a comment, not a setting\n"
                          "extraintf=http\nhttp-password=secret\nhttp-port=9090\n")
            << "secret" << quint16(9090);
        QTest::newRow("missing lines appended; no port line for VLC's own 8080")
            << Fixture::File << QByteArray("[core]\nfoo=bar\n") << true << none << none
            << "[core]\nfoo=bar\nextraintf=http\nhttp-password=" + random + "\n"
            << stored << quint16(8080);
        QTest::newRow("missing lines appended with the port given")
            << Fixture::File << QByteArray("[core]\nfoo=bar\n") << true << none << Value("9090")
            << "[core]\nfoo=bar\nextraintf=http\nhttp-password=" + random + "\nhttp-port=9090\n"
            << stored << quint16(9090);
        QTest::newRow("an empty file")
            << Fixture::File << QByteArray() << true << Value("secret") << none
            << QByteArray("extraintf=http\nhttp-password=secret\n") << "secret" << quint16(8080);
        QTest::newRow("CRLF line endings become LF")
            << Fixture::File
            << QByteArray("[core]\r\n#extraintf=\r\n#http-password=\r\nhttp-port=8081\r\n") << true
            << Value("secret") << none
            << QByteArray("[core]\nextraintf=http\nhttp-password=secret\nhttp-port=8081\n")
            << "secret" << quint16(8081);
        QTest::newRow("no final newline on an untouched line")
            << Fixture::File << QByteArray("#extraintf=\n#http-password=\n#http-port=8080") << true
            << Value("secret") << none
            << QByteArray("extraintf=http\nhttp-password=secret\n#http-port=8080\n") << "secret"
            << quint16(8080);
        QTest::newRow("no final newline on an edited line")
            << Fixture::File << QByteArray("#http-port=8080\n#http-password=\n#extraintf=") << true
            << Value("secret") << none
            << QByteArray("#http-port=8080\nhttp-password=secret\nextraintf=http\n") << "secret"
            << quint16(8080);
        QTest::newRow("8080 given: a commented port line with another value stays commented")
            << Fixture::File << vlcDefaults("#http-password=", "#http-port=9000") << true
            << Value("secret") << Value("8080")
            << vlcDefaults("http-password=secret", "#http-port=9000", "extraintf=http") << "secret"
            << quint16(8080);
        QTest::newRow("8080 given: an active port line is set to it")
            << Fixture::File << vlcDefaults("#http-password=", "http-port=9000") << true
            << Value("secret") << Value("8080")
            << vlcDefaults("http-password=secret", "http-port=8080", "extraintf=http") << "secret"
            << quint16(8080);
        QTest::newRow("leading zeros dropped")
            << Fixture::File << vlcDefaults("http-password=secret", "http-port=08081") << true
            << none << none
            << vlcDefaults("http-password=secret", "http-port=8081", "extraintf=http") << "secret"
            << quint16(8081);
        for (const char *port : {"0", "65536", "-1", "80a", "", "99999999999"})
            QTest::addRow("port \"%s\" given: neither written nor stored", port)
                << Fixture::File << vlcDefaults("#http-password=", "http-port=8081") << true
                << Value("secret") << Value(QString::fromLatin1(port))
                << vlcDefaults("http-password=secret", "http-port=8081", "extraintf=http")
                << "secret" << portBefore;
        QTest::newRow("port in the file not a number: neither rewritten nor stored")
            << Fixture::File << vlcDefaults("http-password=secret", "http-port=abc") << true << none
            << none << vlcDefaults("http-password=secret", "http-port=abc", "extraintf=http")
            << "secret" << portBefore;
        QTest::newRow("active interfaces gain http")
            << Fixture::File
            << vlcDefaults("#http-password=", "#http-port=8080", "extraintf=telnet") << true
            << Value("secret") << none
            << vlcDefaults("http-password=secret", "#http-port=8080", "extraintf=telnet:http")
            << "secret" << quint16(8080);
        QTest::newRow("active interfaces holding http stay")
            << Fixture::File
            << vlcDefaults("#http-password=", "#http-port=8080", "extraintf=http:telnet") << true
            << Value("secret") << none
            << vlcDefaults("http-password=secret", "#http-port=8080", "extraintf=http:telnet")
            << "secret" << quint16(8080);
        QTest::newRow("commented interfaces with an old value")
            << Fixture::File
            << vlcDefaults("#http-password=", "#http-port=8080", "#extraintf=telnet") << true
            << Value("secret") << none
            << vlcDefaults("http-password=secret", "#http-port=8080", "extraintf=http") << "secret"
            << quint16(8080);
        QTest::newRow("every line of a key rewritten")
            << Fixture::File
            << QByteArray("http-password=a\n#http-password=b\nhttp-port=1\nhttp-port=2\n") << true
            << none << Value("9090")
            << QByteArray("http-password=a\nhttp-password=a\nhttp-port=9090\nhttp-port=9090\n"
                          "extraintf=http\n")
            << "a" << quint16(9090);
        QTest::newRow("bytes that are not UTF-8 kept")
            << Fixture::File << QByteArray("#title=\xFF\xFE\n#http-password=\n") << true
            << Value("secret") << none
            << QByteArray("#title=\xFF\xFE\nhttp-password=secret\nextraintf=http\n") << "secret"
            << quint16(8080);
        QTest::newRow("a password with a line break changes nothing")
            << Fixture::File << vlcDefaults() << true << Value("a\nhttp-port=1") << none
            << vlcDefaults() << passwordBefore << portBefore;
        QTest::newRow("missing, VLC installed: created with the three lines")
            << Fixture::Missing << QByteArray() << true << none << none
            << "extraintf=http\nhttp-password=" + random + "\nhttp-port=8080\n"
            << stored << quint16(8080);
        QTest::newRow("missing, VLC installed, values given")
            << Fixture::Missing << QByteArray() << true << Value("secret") << Value("9090")
            << QByteArray("extraintf=http\nhttp-password=secret\nhttp-port=9090\n") << "secret"
            << quint16(9090);
        QTest::newRow("missing, VLC not installed: left missing")
            << Fixture::Missing << QByteArray() << false << Value("secret") << Value("9090")
            << QByteArray() << passwordBefore << portBefore;
        QTest::newRow("unreadable: left alone, preferences too")
            << Fixture::Unreadable << vlcDefaults() << true << Value("secret") << Value("9090")
            << QByteArray() << passwordBefore << portBefore;
    }

    void edit()
    {
        QFETCH(Fixture, fixture);
        QFETCH(QByteArray, input);
        QFETCH(bool, installed);
        QFETCH(Value, password);
        QFETCH(Value, port);
        QFETCH(QByteArray, expected);
        QFETCH(QString, storedPassword);
        QFETCH(quint16, storedPort);

        if (fixture == Fixture::File)
            QVERIFY(writeAll(vlcrc(), input));
        if (fixture == Fixture::Unreadable)
            makeUnreadable(vlcrc(), input);
        if (QTest::currentTestFailed())
            return;
        if (!installed)
            desktop.installed.reset();

        configure(password, port);
        QTRY_COMPARE_WITH_TIMEOUT(doneCount, 1, 5000);

        const QString actualPassword = preferences->VLCPassword();
        if (storedPassword == QString::fromLatin1(randomPassword)) {
            QVERIFY2(isFourDigitPassword(actualPassword), qPrintable(actualPassword));
            storedPassword = actualPassword;
            expected.replace(randomPassword, actualPassword.toUtf8());
        }
        QCOMPARE(actualPassword, storedPassword);
        QCOMPARE(preferences->VLCPort(), storedPort);

        switch (fixture) {
        case Fixture::Unreadable:
            QVERIFY(capture.lines().last().startsWith("Cannot read " + vlcrc() + ':'));
            if (QFileInfo(vlcrc()).isDir()) {
                QVERIFY(QDir(vlcrc()).isEmpty());
            } else {
                QCOMPARE(modeOf(vlcrc()), 0u);
                QVERIFY(QFile::setPermissions(vlcrc(), QFile::ReadOwner));
                QCOMPARE(readAll(vlcrc()), input);
            }
            break;
        case Fixture::Missing:
            if (!installed) {
                QVERIFY(!QFileInfo::exists(vlcrc()));
                break;
            }
            QCOMPARE(modeOf(vlcrc()), 0600u);
            QCOMPARE(modeOf(configHome() + "/vlc"), 0700u);
            Q_FALLTHROUGH();
        case Fixture::File:
            QCOMPARE(readAll(vlcrc()), expected);
            break;
        }

        const QString log = capture.lines().join(u'\n');
        for (const QString &secret : {password.value_or(QString()), actualPassword})
            if (secret.size() > 1 && secret != passwordBefore)
                QVERIFY2(!log.contains(secret), qPrintable(log));
        QVERIFY(desktop.calls.isEmpty());
    }

    void logLines()
    {
        QVERIFY(writeAll(vlcrc(), "#sout-chromecast-http-port=8010\n#http-password=old\n"
                                  "#http-port=8080\n#extraintf=\n"));
        desktop.applications = {{"Files", true, 10}, {"vlc-helper", false, 12}};
        // The password also stands where it is no password, and is masked there too.
        configure(QString("8010"), QString("8010"));
        QTRY_COMPARE_WITH_TIMEOUT(doneCount, 1, 5000);
        QCOMPARE(capture.lines(),
                 (QStringList{"Files", "VLC configuration file: " + vlcrc(),
                              "vlcrc line 2 http-password=******", "vlcrc line 3 http-port=******",
                              "vlcrc line 4 extraintf=http"}));
        QCOMPARE(readAll(vlcrc()),
                 QByteArray("#sout-chromecast-http-port=8010\nhttp-password=8010\n"
                            "http-port=8010\nextraintf=http\n"));
    }

    void permissionsKept_data()
    {
        QTest::addColumn<uint>("mode");
        QTest::newRow("0640") << 0640u;
        QTest::newRow("0600") << 0600u;
        QTest::newRow("0644") << 0644u;
        QTest::newRow("0660") << 0660u;
    }

    void permissionsKept()
    {
        QFETCH(uint, mode);
        QVERIFY(writeAll(vlcrc(), vlcDefaults()));
        QCOMPARE(::chmod(QFile::encodeName(vlcrc()).constData(), mode), 0);
        configure(QString("secret"), std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(doneCount, 1, 5000);
        QCOMPARE(modeOf(vlcrc()), mode);
        QCOMPARE(readAll(vlcrc()),
                 vlcDefaults("http-password=secret", "#http-port=8080", "extraintf=http"));
    }

    void ownerKept()
    {
        if (::geteuid() != 0)
            QSKIP("Only root can give a file to another owner");
        QVERIFY(writeAll(vlcrc(), vlcDefaults()));
        const uid_t owner = 54321;
        const gid_t group = 54322;
        QCOMPARE(::chown(QFile::encodeName(vlcrc()).constData(), owner, group), 0);
        configure(QString("secret"), std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(doneCount, 1, 5000);
        struct stat status = {};
        QCOMPARE(::stat(QFile::encodeName(vlcrc()).constData(), &status), 0);
        QCOMPARE(status.st_uid, owner);
        QCOMPARE(status.st_gid, group);
        QCOMPARE(readAll(vlcrc()),
                 vlcDefaults("http-password=secret", "#http-port=8080", "extraintf=http"));
    }

    void unchangedFileNotRewritten()
    {
        const QByteArray text =
            vlcDefaults("http-password=secret", "http-port=8081", "extraintf=http");
        QVERIFY(writeAll(vlcrc(), text));
        // A replaced file would be a new one.
        const ino_t inode = inodeOf(vlcrc());
        QVERIFY(inode != 0);
        configure(std::nullopt, std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(doneCount, 1, 5000);
        QCOMPARE(inodeOf(vlcrc()), inode);
        QCOMPARE(readAll(vlcrc()), text);
        QCOMPARE(preferences->VLCPassword(), QString("secret"));
        QCOMPARE(preferences->VLCPort(), 8081);
    }

    void editedFileReplacedWhole()
    {
        QVERIFY(writeAll(vlcrc(), vlcDefaults()));
        const ino_t inode = inodeOf(vlcrc());
        QVERIFY(inode != 0);
        configure(QString("secret"), std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(doneCount, 1, 5000);
        QVERIFY(inodeOf(vlcrc()) != inode);
        QVERIFY(QDir(configHome() + "/vlc").entryList(QDir::Files | QDir::Hidden).size() == 1);
    }

    void readOnlyFileLeftAlone()
    {
        if (::geteuid() == 0)
            QSKIP("Root may write any file");
        QVERIFY(writeAll(vlcrc(), vlcDefaults()));
        QVERIFY(QFile::setPermissions(vlcrc(), QFile::ReadOwner));
        configure(QString("secret"), QString("9090"));
        QTRY_COMPARE_WITH_TIMEOUT(doneCount, 1, 5000);
        QCOMPARE(readAll(vlcrc()), vlcDefaults());
        QCOMPARE(modeOf(vlcrc()), 0400u);
        QCOMPARE(preferences->VLCPassword(), passwordBefore);
        QCOMPARE(preferences->VLCPort(), portBefore);
        QVERIFY(capture.lines().last().startsWith("Cannot write " + vlcrc()));
    }

    void writeFailureLeavesPreferences()
    {
        if (::geteuid() == 0)
            QSKIP("Root writes into any directory");
        QVERIFY(writeAll(vlcrc(), vlcDefaults()));
        QVERIFY(QFile::setPermissions(configHome() + "/vlc", QFile::ReadOwner | QFile::ExeOwner));
        configure(QString("secret"), QString("9090"));
        QTRY_COMPARE_WITH_TIMEOUT(doneCount, 1, 5000);
        QVERIFY(QFile::setPermissions(configHome() + "/vlc",
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QCOMPARE(readAll(vlcrc()), vlcDefaults());
        QCOMPARE(preferences->VLCPassword(), passwordBefore);
        QCOMPARE(preferences->VLCPort(), portBefore);
        QVERIFY(capture.lines().last().startsWith("Cannot write " + vlcrc()));
    }

    void runningVLCQuitEditedAndStartedAgain()
    {
        QVERIFY(writeAll(vlcrc(), vlcDefaults()));
        desktop.applications = {
            {"Files", true, 10}, {"VLC", true, 42}, {"VLC", false, 43}, {"Terminal", true, 11}};
        editor =
            std::make_unique<EditVLC>(desktop, *preferences, configHome(), capture.log, home());
        QStringList callsAtDone;
        QElapsedTimer clock;
        clock.start();
        editor->configureVLC(QString("secret"), QString("9090"), [&] {
            ++doneCount;
            callsAtDone = desktop.calls;
        });
        QCOMPARE(desktop.calls, (QStringList{"quit VLC", "wait for 1"}));
        QTRY_COMPARE_WITH_TIMEOUT(desktop.calls,
                                  (QStringList{"quit VLC", "wait for 1", "launch VLC"}), 5000);
        QVERIFY2(clock.elapsed() >= 900, qPrintable(QString::number(clock.elapsed())));
        QTRY_COMPARE_WITH_TIMEOUT(doneCount, 1, 5000);
        QCOMPARE(callsAtDone, desktop.calls);
        QCOMPARE(readAll(vlcrc()),
                 vlcDefaults("http-password=secret", "http-port=9090", "extraintf=http"));
        QCOMPARE(capture.lines().mid(0, 3), (QStringList{"Files", "VLC", "Terminal"}));
    }

    void everyVLCQuitOneStart()
    {
        QVERIFY(writeAll(vlcrc(), vlcDefaults()));
        desktop.applications = {{"VLC", true, 42}, {"VLC", true, 44}};
        configure(QString("secret"), std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(doneCount, 1, 5000);
        QCOMPARE(desktop.calls, (QStringList{"quit VLC", "quit VLC", "wait for 2", "launch VLC"}));
        QCOMPARE(preferences->VLCPassword(), QString("secret"));
    }

    void vlcThatDoesNotQuitLeavesTheFile()
    {
        const QByteArray text = vlcDefaults();
        QVERIFY(writeAll(vlcrc(), text));
        desktop.applications = {{"VLC", true, 42}};
        desktop.applicationsQuit = false;
        configure(QString("secret"), QString("9090"));
        QTRY_COMPARE_WITH_TIMEOUT(doneCount, 1, 5000);
        QCOMPARE(desktop.calls, (QStringList{"quit VLC", "wait for 1"}));
        QCOMPARE(readAll(vlcrc()), text);
        QCOMPARE(preferences->VLCPassword(), passwordBefore);
        QCOMPARE(preferences->VLCPort(), portBefore);
        QCOMPARE(capture.lines(),
                 (QStringList{"VLC", "VLC did not quit within 5 seconds; its configuration is left "
                                     "unchanged"}));
    }

    void flatpakConfiguration()
    {
        desktop.installed =
            InstalledApplication{InstalledApplication::Kind::Flatpak, "org.videolan.VLC"};
        QVERIFY(writeAll(vlcrc(), vlcDefaults()));
        QVERIFY(writeAll(flatpakVlcrc(), vlcDefaults()));
        QCOMPARE(editor->vlcrcPath(), flatpakVlcrc());
        configure(QString("secret"), QString("9090"));
        QTRY_COMPARE_WITH_TIMEOUT(doneCount, 1, 5000);
        QCOMPARE(readAll(flatpakVlcrc()),
                 vlcDefaults("http-password=secret", "http-port=9090", "extraintf=http"));
        QCOMPARE(readAll(vlcrc()), vlcDefaults());
        QCOMPARE(editor->readVLCPort(), QString("9090"));
    }

    void readValues_data()
    {
        QTest::addColumn<Fixture>("fixture");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("port");

        QTest::newRow("VLC's defaults") << Fixture::File << vlcDefaults() << ""
                                        << "8080";
        QTest::newRow("active lines")
            << Fixture::File << vlcDefaults("http-password=secret", "http-port=8081") << "secret"
            << "8081";
        QTest::newRow("commented lines with values")
            << Fixture::File << vlcDefaults("#http-password=old", "#http-port=9000") << ""
            << "8080";
        QTest::newRow("longer keys are other settings")
            << Fixture::File << QByteArray("sout-chromecast-http-port=8010\nlua-http-password=x\n")
            << ""
            << "8080";
        QTest::newRow("first active line wins")
            << Fixture::File << QByteArray("http-password=a\nhttp-password=b\nhttp-port=1\n") << "a"
            << "1";
        QTest::newRow("CRLF") << Fixture::File << QByteArray("http-password=a\r\nhttp-port=2\r\n")
                              << "a"
                              << "2";
        QTest::newRow("literal") << Fixture::File << QByteArray("http-password=$1\\=x\n")
                                 << "$1\\=x"
                                 << "8080";
        QTest::newRow("missing") << Fixture::Missing << QByteArray() << ""
                                 << "8080";
        QTest::newRow("unreadable")
            << Fixture::Unreadable << vlcDefaults("http-password=secret", "http-port=8081") << ""
            << "8080";
    }

    void readValues()
    {
        QFETCH(Fixture, fixture);
        QFETCH(QByteArray, input);
        QFETCH(QString, password);
        QFETCH(QString, port);
        if (fixture == Fixture::File)
            QVERIFY(writeAll(vlcrc(), input));
        if (fixture == Fixture::Unreadable)
            makeUnreadable(vlcrc(), input);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(editor->readVLCPassword(), password);
        QCOMPARE(editor->readVLCPort(), port);
        if (password.size() > 1)
            QVERIFY(!capture.lines().join(u'\n').contains(password));
        if (fixture == Fixture::File)
            QCOMPARE(readAll(vlcrc()), input);
    }

    void callsRunOneAfterTheOther()
    {
        QVERIFY(writeAll(vlcrc(), vlcDefaults()));
        desktop.applications = {{"VLC", true, 42}};
        editor =
            std::make_unique<EditVLC>(desktop, *preferences, configHome(), capture.log, home());
        QList<QByteArray> filesAtDone;
        editor->configureVLC(QString("first"), QString("9091"), [&] {
            filesAtDone.append(readAll(vlcrc()));
            // VLC was started again; the second call quits it once more.
            desktop.applications = {{"VLC", true, 45}};
        });
        editor->configureVLC(QString("second"), QString("9092"),
                             [&] { filesAtDone.append(readAll(vlcrc())); });
        QCOMPARE(desktop.calls, (QStringList{"quit VLC", "wait for 1"}));
        QTRY_COMPARE_WITH_TIMEOUT(filesAtDone.size(), 2, 8000);
        QCOMPARE(filesAtDone[0],
                 vlcDefaults("http-password=first", "http-port=9091", "extraintf=http"));
        QCOMPARE(filesAtDone[1],
                 vlcDefaults("http-password=second", "http-port=9092", "extraintf=http"));
        QCOMPARE(desktop.calls, (QStringList{"quit VLC", "wait for 1", "launch VLC", "quit VLC",
                                             "wait for 1", "launch VLC"}));
        QCOMPARE(preferences->VLCPassword(), QString("second"));
        QCOMPARE(preferences->VLCPort(), 9092);
    }

    void destroyedEditorCallsNothing()
    {
        QVERIFY(writeAll(vlcrc(), vlcDefaults()));
        desktop.applications = {{"VLC", true, 42}};
        configure(QString("secret"), std::nullopt);
        editor.reset();
        QTimer later;
        later.setSingleShot(true);
        QSignalSpy passed(&later, &QTimer::timeout);
        later.start(500);
        QVERIFY(passed.wait(5000));
        QCOMPARE(doneCount, 0);
        QCOMPARE(desktop.calls, (QStringList{"quit VLC", "wait for 1"}));
    }
};

QTEST_GUILESS_MAIN(TestEditVLC)
#include "tst_editvlc.moc"

#include "editvlc.h"
#include "logcapture.h"
#include "recordingdesktop.h"
#include "testfiles.h"
#include "zantipreferences.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

using namespace zc;
using namespace zc::test;

namespace {

// Unreadable: a folder stands where the vlcrc would be, which not even root reads as a file.
// NoFolder: a file stands where its folder would be made, which fails for root too.
// TooLarge: a file beyond EditVLC::maximumFileSize, which is kept aside for a new one.
enum class Fixture
{
    File,
    TooLarge,
    Missing,
    NotInstalled,
    Unreadable,
    NoFolder,
    ReadOnlyFile,
};

using Value = std::optional<QString>;

// Stands for the random four-digit password in expected texts and stored values.
const QByteArray pin = "<pin>";

// Preference values no edit produces, so that untouched preferences show.
const QString passwordBefore = "before";
constexpr quint16 portBefore = 1111;

// The shape of the vlcrc VLC writes with --reset-config, shortened.
QByteArray vlcDefaults(const QByteArray &password = "#http-password=",
                       const QByteArray &port = "#http-port=8080",
                       const QByteArray &interfaces = "#extraintf=")
{
    return "\xEF\xBB\xBF###  vlc 3.0.24\n\n[lua] # Lua interpreter\n# Password (string)\n" +
           password + "\n\n[core] # core program\n" + port + "\n" + interfaces + "\n#intf=\n";
}

QByteArray edited(const QByteArray &password, const QByteArray &port = "#http-port=8080",
                  const QByteArray &interfaces = "extraintf=http")
{
    return vlcDefaults("http-password=" + password, port, interfaces);
}

struct stat statOf(const QString &path)
{
    struct stat status = {};
    ::stat(QFile::encodeName(path).constData(), &status);
    return status;
}

void editRow(const char *name, const QByteArray &input, const Value &password, const Value &port,
             const QByteArray &expected, const QByteArray &storedPassword, quint16 storedPort,
             Fixture fixture = Fixture::File)
{
    QTest::newRow(name) << fixture << input << password << port << expected << storedPassword
                        << storedPort;
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

    void configure(const Value &password, const Value &port)
    {
        editor->configureVLC(password, port, [this] { ++doneCount; });
    }

    void comparePreferences(const QString &password, quint16 port)
    {
        QCOMPARE(preferences->VLCPassword(), password);
        QCOMPARE(preferences->VLCPort(), port);
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
        directory.reset();
    }

    void edit_data()
    {
        QTest::addColumn<Fixture>("fixture");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<Value>("password");
        QTest::addColumn<Value>("port");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<QByteArray>("storedPassword");
        QTest::addColumn<quint16>("storedPort");

        const Value none;

        // No commented value is in effect: the port stays commented, VLC's own 8080 applies.
        editRow("VLC's defaults, commented values",
                vlcDefaults("#http-password=old", "#http-port=9000", "#extraintf=telnet"), none,
                none, edited(pin, "#http-port=9000"), pin, 8080);
        editRow("an empty password given becomes a random one", vlcDefaults("http-password=secret"),
                "", none, edited(pin), pin, 8080);
        editRow("password written literally, in UTF-8", vlcDefaults("#http-password=old"),
                "a$1$0\\b\\\\c=d ä", none, edited("a$1$0\\b\\\\c=d ä"), "a$1$0\\b\\\\c=d ä", 8080);
        // The password is masked in the log wherever it stands, here in the port line too.
        editRow("password equal to the port", vlcDefaults(), "8010", "8010",
                edited("8010", "http-port=8010"), "8010", 8010);
        // Keys that only end in or hold one of the three are neither read nor touched.
        const QByteArray keys = "x-http-password=wrong\nhttp-password=right\nlua-http-password=x\n"
                                "sout-chromecast-http-port=8010\n#sout-http-pwd=\n#myextraintf=\n"
                                "# http-port=1 is a comment, not a setting\n";
        editRow("exact keys only; no port line for VLC's own 8080", keys, none, none,
                keys + "extraintf=http\n", "right", 8080);
        editRow("an empty file", "", "secret", "9090",
                "extraintf=http\nhttp-password=secret\nhttp-port=9090\n", "secret", 9090);
        editRow("CRLF line endings become LF",
                "[core]\r\n#extraintf=\r\n#http-password=\r\nhttp-port=8081\r\n", "secret", none,
                "[core]\nextraintf=http\nhttp-password=secret\nhttp-port=8081\n", "secret", 8081);
        editRow("no final newline", "#extraintf=\n#http-password=\n#http-port=8080", "secret", none,
                "extraintf=http\nhttp-password=secret\n#http-port=8080\n", "secret", 8080);
        editRow("8080 given: active port set, active interfaces gain http",
                vlcDefaults("#http-password=", "http-port=9000", "extraintf=telnet"), "secret",
                "8080", edited("secret", "http-port=8080", "extraintf=telnet:http"), "secret",
                8080);
        editRow("leading zeros dropped, interfaces holding http kept",
                vlcDefaults("http-password=secret", "http-port=08081", "extraintf=http:telnet"),
                none, none, edited("secret", "http-port=8081", "extraintf=http:telnet"), "secret",
                8081);
        // VLC splits the list at ':', ',' and spaces; only a whole "http" item counts.
        const std::pair<QByteArray, QByteArray> interfaceLists[] = {
            {"telnet,http", "telnet,http"},        {"telnet http", "telnet http"},
            {"http,telnet", "http,telnet"},        {"a:b,http c", "a:b,http c"},
            {"telnet,https", "telnet,https:http"}, {"xhttp http2", "xhttp http2:http"}};
        for (const auto &[before, after] : interfaceLists)
            editRow(qPrintable("interfaces \"" + before + "\" become \"" + after + '"'),
                    vlcDefaults("http-password=secret", "#http-port=8080", "extraintf=" + before),
                    none, none, edited("secret", "#http-port=8080", "extraintf=" + after), "secret",
                    8080);
        for (const char *port : {"0", "65536", "-1", "80a", "", "99999999999"})
            editRow(qPrintable(QString("port \"%1\" given: neither written nor stored")
                                   .arg(QString::fromLatin1(port))),
                    vlcDefaults("#http-password=", "http-port=8081"), "secret", port,
                    edited("secret", "http-port=8081"), "secret", portBefore);
        editRow("port in the file not a number: neither rewritten nor stored",
                vlcDefaults("http-password=secret", "http-port=abc"), none, none,
                edited("secret", "http-port=abc"), "secret", portBefore);
        editRow("every line of a key rewritten",
                "http-password=a\n#http-password=b\nhttp-port=1\nhttp-port=2\n", none, "9090",
                "http-password=a\nhttp-password=a\nhttp-port=9090\nhttp-port=9090\n"
                "extraintf=http\n",
                "a", 9090);
        editRow("already edited: not rewritten", edited("secret"), none, none, edited("secret"),
                "secret", 8080);
        editRow("password that is not UTF-8 kept", edited("caf\xE9"), none, none, edited("caf\xE9"),
                "caf\xE9", 8080);
        editRow("bytes that are not UTF-8 kept", "#title=\xFF\xFE\n#http-password=\n", "secret",
                none, "#title=\xFF\xFE\nhttp-password=secret\nextraintf=http\n", "secret", 8080);
        for (const char16_t character : {u'\n', u'\r', u'\0'})
            editRow(qPrintable(QString("password holding U+%1: nothing changed")
                                   .arg(int(character), 4, 16, QChar(u'0'))),
                    vlcDefaults(), "a" + QString(QChar(character)) + "http-port=1", none,
                    vlcDefaults(), passwordBefore.toUtf8(), portBefore);
        editRow("missing, VLC installed: created with the three lines", "", none, none,
                "extraintf=http\nhttp-password=" + pin + "\nhttp-port=8080\n", pin, 8080,
                Fixture::Missing);
        editRow("missing, VLC not installed: left missing", "", "secret", "9090", "",
                passwordBefore.toUtf8(), portBefore, Fixture::NotInstalled);
        const std::pair<const char *, Fixture> failures[] = {
            {"unreadable", Fixture::Unreadable},
            {"no folder can be made", Fixture::NoFolder},
            {"read-only vlcrc", Fixture::ReadOnlyFile}};
        for (const auto &[name, fixture] : failures) {
            const QByteArray left = fixture == Fixture::ReadOnlyFile ? vlcDefaults() : "";
            editRow(qPrintable(QString(name) + ": file and preferences left alone"), left, "secret",
                    "9090", left, passwordBefore.toUtf8(), portBefore, fixture);
        }
        // Neither taken as the password's source nor read whole: 300 MiB stalled the servers.
        editRow("beyond 16 MiB: kept aside, a new one made",
                vlcDefaults("http-password=secret") + '#' +
                    QByteArray(EditVLC::maximumFileSize, 'x') + '\n',
                none, none, "extraintf=http\nhttp-password=" + pin + "\nhttp-port=8080\n", pin,
                8080, Fixture::TooLarge);
    }

    void edit()
    {
        QFETCH(Fixture, fixture);
        QFETCH(QByteArray, input);
        QFETCH(Value, password);
        QFETCH(Value, port);
        QFETCH(QByteArray, expected);
        QFETCH(QByteArray, storedPassword);
        QFETCH(quint16, storedPort);

        const bool readOnly = fixture == Fixture::ReadOnlyFile;
        if (readOnly && ::geteuid() == 0)
            QSKIP("Root may write any file");
        const QByteArray path = QFile::encodeName(vlcrc());
        if (fixture == Fixture::File || fixture == Fixture::TooLarge || readOnly) {
            writeFile(vlcrc(), input);
            QCOMPARE(::chmod(path.constData(), readOnly ? 0400 : 0640), 0);
        }
        if (fixture == Fixture::File && ::geteuid() == 0)
            QCOMPARE(::chown(path.constData(), 54321, 54322), 0);
        const struct stat before = statOf(vlcrc());
        if (fixture == Fixture::NotInstalled)
            desktop.installed.reset();
        if (fixture == Fixture::Unreadable)
            QVERIFY(QDir().mkpath(vlcrc()));
        if (fixture == Fixture::NoFolder)
            writeFile(configHome(), "not a folder");
        configure(password, port);
        QTRY_COMPARE_WITH_TIMEOUT(doneCount, 1, 5000);

        const QByteArray actualPassword = preferences->VLCPasswordBytes();
        if (storedPassword == pin) {
            const int value = actualPassword.toInt();
            QVERIFY2(value >= 1000 && value <= 9999, actualPassword.constData());
            storedPassword = actualPassword;
            expected.replace(pin, actualPassword);
        }
        QCOMPARE(actualPassword, storedPassword);
        comparePreferences(QString::fromUtf8(storedPassword), storedPort);
        QCOMPARE(readBytes(vlcrc()), expected);
        if (fixture == Fixture::TooLarge) {
            const QStringList aside = QDir(configHome() + "/vlc").entryList({"vlcrc.too-large-*"});
            QCOMPARE(aside.size(), 1);
            QVERIFY(readBytes(configHome() + "/vlc/" + aside[0]) == input);
            QCOMPARE(statOf(vlcrc()).st_mode & 07777, 0600u);
        }
        if (fixture == Fixture::File || fixture == Fixture::Missing) {
            const struct stat after = statOf(vlcrc());
            // Replaced whole, and only when it changes, so that VLC never reads half a file.
            QCOMPARE(after.st_ino != before.st_ino, input != expected);
            QCOMPARE(QDir(configHome() + "/vlc").entryList(QDir::Files | QDir::Hidden),
                     QStringList{"vlcrc"});
            // The password is in there: a new file is for the user alone, an old one keeps its
            // mode and owner, so that VLC still reads it.
            QCOMPARE(after.st_mode & 07777, fixture == Fixture::Missing ? 0600u : 0640u);
            QCOMPARE(after.st_uid, fixture == Fixture::Missing ? ::geteuid() : before.st_uid);
            QCOMPARE(after.st_gid, fixture == Fixture::Missing ? ::getegid() : before.st_gid);
        }
        if (fixture == Fixture::Missing)
            QCOMPARE(statOf(configHome() + "/vlc").st_mode & 07777, 0700u);
        if (expected.isEmpty()) {
            // What cannot be read gives VLC's defaults.
            QCOMPARE(editor->readVLCPassword(), QString());
            QCOMPARE(editor->readVLCPort(), QString("8080"));
        }

        const QString log = capture.lines().join(u'\n');
        for (const QString &secret :
             {password.value_or(QString()), QString::fromUtf8(actualPassword)})
            if (secret.size() > 1 && secret != passwordBefore)
                QVERIFY2(!log.contains(secret), qPrintable(log));
        QVERIFY(desktop.calls.isEmpty());
    }

    // VLC rewrites its vlcrc when it quits: every regular VLC is quit and waited for before the
    // edit, and started again once, a second later, before `done`. This one is a Flatpak, whose
    // vlcrc is its own.
    void runningVLC_data()
    {
        QTest::addColumn<bool>("quits");
        QTest::newRow("quits: edited and started again") << true;
        QTest::newRow("does not quit: nothing changed, nothing started") << false;
    }

    void runningVLC()
    {
        QFETCH(bool, quits);
        desktop.installed =
            InstalledApplication{InstalledApplication::Kind::Flatpak, "org.videolan.VLC"};
        const QString flatpakVlcrc = home() + "/.var/app/org.videolan.VLC/config/vlc/vlcrc";
        writeFile(vlcrc(), vlcDefaults());
        writeFile(flatpakVlcrc, vlcDefaults());
        desktop.applications = {
            {"Files", true, 10}, {"VLC", true, 42}, {"VLC", false, 43}, {"VLC", true, 44}};
        desktop.applicationsQuit = quits;
        // VLC's real delay before it is started again.
        editor =
            std::make_unique<EditVLC>(desktop, *preferences, configHome(), capture.log, home());
        std::optional<QStringList> callsAtDone;
        QElapsedTimer clock;
        clock.start();
        editor->configureVLC(QString("secret"), QString("9090"),
                             [&] { callsAtDone = desktop.calls; });
        QStringList calls{"quit VLC", "quit VLC", "wait for 2"};
        QCOMPARE(desktop.calls, calls);
        QTRY_VERIFY_WITH_TIMEOUT(callsAtDone, 5000);
        if (quits) {
            QVERIFY2(clock.elapsed() >= 900, qPrintable(QString::number(clock.elapsed())));
            calls.append("launch VLC");
        }
        QCOMPARE(callsAtDone, calls);
        QCOMPARE(readBytes(flatpakVlcrc),
                 quits ? edited("secret", "http-port=9090") : vlcDefaults());
        QCOMPARE(editor->readVLCPort(), quits ? "9090" : "8080");
        QCOMPARE(readBytes(vlcrc()), vlcDefaults());
        comparePreferences(quits ? "secret" : passwordBefore, quits ? quint16(9090) : portBefore);
    }

    void readValues()
    {
        // Commented lines and longer keys are not the values; the first active line is, literally.
        const QByteArray input = "#http-password=old\nx-http-password=x\nhttp-password=$1\\=x\r\n"
                                 "http-password=b\n#http-port=9\nx-http-port=3\nhttp-port=1\r\n"
                                 "http-port=2\n";
        writeFile(vlcrc(), input);
        QCOMPARE(editor->readVLCPassword(), QString("$1\\=x"));
        QCOMPARE(editor->readVLCPort(), QString("1"));
        QVERIFY(!capture.lines().join(u'\n').contains("$1\\=x"));
        QCOMPARE(readBytes(vlcrc()), input);
    }

    // The caller's thread serves the phones: reading the file, however long it takes (a slow
    // disk, a huge file), must not hold it. A pipe in the file's place holds the read until fed.
    void fileIsReadOffTheCallingThread()
    {
        const QByteArray path = QFile::encodeName(vlcrc());
        QVERIFY(QDir().mkpath(configHome() + "/vlc"));
        QCOMPARE(::mkfifo(path.constData(), 0640), 0);
        std::mutex mutex;
        std::condition_variable returned;
        bool hasReturned = false;
        bool fedBeforeReturn = false;
        std::thread feeder([&] {
            // Waits for the editor to open the pipe for reading.
            const int fd = ::open(path.constData(), O_WRONLY);
            std::unique_lock lock(mutex);
            // Read on the caller's thread, configureVLC would never return unfed.
            fedBeforeReturn =
                !returned.wait_for(lock, std::chrono::seconds(5), [&] { return hasReturned; });
            const QByteArray content = vlcDefaults();
            if (fd >= 0 && ::write(fd, content.constData(), std::size_t(content.size())) >= 0)
                ::close(fd);
        });
        configure(QString("secret"), QString("9090"));
        {
            const std::lock_guard lock(mutex);
            hasReturned = true;
        }
        returned.notify_one();
        feeder.join();
        QVERIFY(!fedBeforeReturn);
        QTRY_COMPARE_WITH_TIMEOUT(doneCount, 1, 5000);
        QCOMPARE(readBytes(vlcrc()), edited("secret", "http-port=9090"));
        comparePreferences("secret", 9090);
    }

    void callsRunOneAfterTheOther()
    {
        writeFile(vlcrc(), vlcDefaults());
        desktop.applications = {{"VLC", true, 42}};
        QList<QByteArray> filesAtDone;
        editor->configureVLC(QString("first"), QString("9091"), [&] {
            filesAtDone.append(readBytes(vlcrc()));
            // VLC was started again; the second call quits it once more.
            desktop.applications = {{"VLC", true, 45}};
        });
        editor->configureVLC(QString("second"), QString("9092"),
                             [&] { filesAtDone.append(readBytes(vlcrc())); });
        QCOMPARE(desktop.calls, (QStringList{"quit VLC", "wait for 1"}));
        QTRY_COMPARE_WITH_TIMEOUT(filesAtDone.size(), 2, 5000);
        QCOMPARE(filesAtDone, (QList<QByteArray>{edited("first", "http-port=9091"),
                                                 edited("second", "http-port=9092")}));
        QCOMPARE(desktop.calls, (QStringList{"quit VLC", "wait for 1", "launch VLC", "quit VLC",
                                             "wait for 1", "launch VLC"}));
        comparePreferences("second", 9092);
    }

    void destroyedEditorCallsNothing()
    {
        desktop.applications = {{"VLC", true, 42}};
        configure(QString("secret"), std::nullopt);
        editor.reset();
        // A call of the same delay, made later, has finished: the first one never will.
        int laterDone = 0;
        EditVLC later(desktop, *preferences, configHome(), capture.log, home(),
                      std::chrono::milliseconds(10));
        later.configureVLC(QString("later"), std::nullopt, [&] { ++laterDone; });
        QTRY_COMPARE_WITH_TIMEOUT(laterDone, 1, 5000);
        QCOMPARE(doneCount, 0);
        QCOMPARE(desktop.calls, (QStringList{"quit VLC", "wait for 1"}));
    }
};

QTEST_GUILESS_MAIN(TestEditVLC)
#include "tst_editvlc.moc"

#include "editvlc.h"
#include "logcapture.h"
#include "recordingdesktop.h"
#include "zantipreferences.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <utility>

using namespace zc;
using namespace zc::test;

namespace {

enum class Fixture
{
    File,
    Missing,
    NotInstalled,
    Unreadable,
};

using Value = std::optional<QString>;

// Stands for the random four-digit password in expected texts and stored values.
const QByteArray pin = "<pin>";

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

QByteArray edited(const QByteArray &password, const QByteArray &port = "#http-port=8080",
                  const QByteArray &interfaces = "extraintf=http")
{
    return vlcDefaults("http-password=" + password, port, interfaces);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}

struct stat statOf(const QString &path)
{
    struct stat status = {};
    ::stat(QFile::encodeName(path).constData(), &status);
    return status;
}

void editRow(const char *name, const QByteArray &input, const Value &password, const Value &port,
             const QByteArray &expected, const QString &storedPassword, quint16 storedPort,
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

    void setUpFile(Fixture fixture, const QByteArray &input)
    {
        if (fixture == Fixture::File)
            QVERIFY(writeAll(vlcrc(), input));
        if (fixture == Fixture::NotInstalled)
            desktop.installed.reset();
        if (fixture != Fixture::Unreadable)
            return;
        // Root reads any file, so then a directory stands in for the unreadable vlcrc.
        QVERIFY(writeAll(vlcrc(), input));
        QVERIFY(QFile::setPermissions(vlcrc(), {}));
        QFile probe(vlcrc());
        if (probe.open(QIODevice::ReadOnly)) {
            probe.close();
            QVERIFY(QFile::remove(vlcrc()));
            QVERIFY(QDir().mkdir(vlcrc()));
        }
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
        // Files made unreadable or unwritable must not stop the directory from going.
        QFile::setPermissions(vlcrc(), QFile::ReadOwner | QFile::WriteOwner);
        QFile::setPermissions(configHome() + "/vlc",
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        directory.reset();
    }

    void edit_data()
    {
        QTest::addColumn<Fixture>("fixture");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<Value>("password");
        QTest::addColumn<Value>("port");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<QString>("storedPassword");
        QTest::addColumn<quint16>("storedPort");

        const Value none;
        const QString anyPin = QString::fromLatin1(pin);

        editRow("VLC's defaults: the commented port stays, VLC's own 8080 applies", vlcDefaults(),
                none, none, edited(pin), anyPin, 8080);
        editRow("a commented password is not in effect", vlcDefaults("#http-password=old"), none,
                none, edited(pin), anyPin, 8080);
        editRow("an empty password given becomes a random one", vlcDefaults("http-password=secret"),
                "", none, edited(pin), anyPin, 8080);
        editRow("an empty password in the file becomes a random one", vlcDefaults("http-password="),
                none, none, edited(pin), anyPin, 8080);
        editRow("password written literally, in UTF-8", vlcDefaults("#http-password=old"),
                "a$1$0\\b\\\\c=d ä", none, edited("a$1$0\\b\\\\c=d ä"), "a$1$0\\b\\\\c=d ä", 8080);
        // The password is masked in the log wherever it stands, here in the port line too.
        editRow("password equal to the port", vlcDefaults(), "8010", "8010",
                edited("8010", "http-port=8010"), "8010", 8010);
        editRow("values read with their exact keys",
                "x-http-password=wrong\nhttp-password=right\nsout-chromecast-http-port=8010\n"
                "http-port=8082\n",
                none, none,
                "x-http-password=wrong\nhttp-password=right\nsout-chromecast-http-port=8010\n"
                "http-port=8082\nextraintf=http\n",
                "right", 8082);
        editRow("longer keys untouched, missing lines appended",
                "#sout-chromecast-http-port=8010\n#sout-http-pwd=\nlua-http-password=x\n"
                "#myextraintf=\n# http-port=1 is a comment, not a setting\n",
                "secret", "9090",
                "#sout-chromecast-http-port=8010\n#sout-http-pwd=\nlua-http-password=x\n"
                "#myextraintf=\n# http-port=1 is a comment, not a setting\n"
                "extraintf=http\nhttp-password=secret\nhttp-port=9090\n",
                "secret", 9090);
        editRow("missing lines appended; no port line for VLC's own 8080", "[core]\nfoo=bar\n",
                none, none, "[core]\nfoo=bar\nextraintf=http\nhttp-password=" + pin + "\n", anyPin,
                8080);
        editRow("an empty file", "", "secret", none, "extraintf=http\nhttp-password=secret\n",
                "secret", 8080);
        editRow("CRLF line endings become LF",
                "[core]\r\n#extraintf=\r\n#http-password=\r\nhttp-port=8081\r\n", "secret", none,
                "[core]\nextraintf=http\nhttp-password=secret\nhttp-port=8081\n", "secret", 8081);
        editRow("no final newline", "#extraintf=\n#http-password=\n#http-port=8080", "secret", none,
                "extraintf=http\nhttp-password=secret\n#http-port=8080\n", "secret", 8080);
        editRow("8080 given: an old commented port and interfaces",
                vlcDefaults("#http-password=", "#http-port=9000", "#extraintf=telnet"), "secret",
                "8080", edited("secret", "#http-port=9000"), "secret", 8080);
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
        editRow("bytes that are not UTF-8 kept", "#title=\xFF\xFE\n#http-password=\n", "secret",
                none, "#title=\xFF\xFE\nhttp-password=secret\nextraintf=http\n", "secret", 8080);
        for (const char16_t character : {u'\n', u'\r', u'\0'})
            editRow(qPrintable(QString("password holding U+%1: nothing changed")
                                   .arg(int(character), 4, 16, QChar(u'0'))),
                    vlcDefaults(), "a" + QString(QChar(character)) + "http-port=1", none,
                    vlcDefaults(), passwordBefore, portBefore);
        editRow("missing, VLC installed: created with the three lines", "", none, none,
                "extraintf=http\nhttp-password=" + pin + "\nhttp-port=8080\n", anyPin, 8080,
                Fixture::Missing);
        editRow("missing, VLC not installed: left missing", "", "secret", "9090", "",
                passwordBefore, portBefore, Fixture::NotInstalled);
        editRow("unreadable: left alone, preferences too", vlcDefaults(), "secret", "9090", "",
                passwordBefore, portBefore, Fixture::Unreadable);
    }

    void edit()
    {
        QFETCH(Fixture, fixture);
        QFETCH(QByteArray, input);
        QFETCH(Value, password);
        QFETCH(Value, port);
        QFETCH(QByteArray, expected);
        QFETCH(QString, storedPassword);
        QFETCH(quint16, storedPort);

        setUpFile(fixture, input);
        if (QTest::currentTestFailed())
            return;
        configure(password, port);
        QTRY_COMPARE_WITH_TIMEOUT(doneCount, 1, 5000);

        const QString actualPassword = preferences->VLCPassword();
        if (storedPassword == QString::fromLatin1(pin)) {
            bool number = false;
            const int value = actualPassword.toInt(&number);
            QVERIFY2(number && value >= 1000 && value <= 9999, qPrintable(actualPassword));
            storedPassword = actualPassword;
            expected.replace(pin, actualPassword.toUtf8());
        }
        comparePreferences(storedPassword, storedPort);

        switch (fixture) {
        case Fixture::Unreadable:
        case Fixture::NotInstalled:
            QVERIFY(fixture == Fixture::Unreadable
                        ? QFileInfo(vlcrc()).isDir() || (statOf(vlcrc()).st_mode & 07777) == 0
                        : !QFileInfo::exists(vlcrc()));
            // What cannot be read gives VLC's defaults.
            QCOMPARE(editor->readVLCPassword(), QString());
            QCOMPARE(editor->readVLCPort(), QString("8080"));
            break;
        case Fixture::Missing:
            // The password is in there: for the user alone.
            QCOMPARE(statOf(vlcrc()).st_mode & 07777, 0600u);
            QCOMPARE(statOf(configHome() + "/vlc").st_mode & 07777, 0700u);
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

    void fileReplacement_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<Value>("password");
        QTest::addColumn<QByteArray>("expected");
        // Replaced whole, so that VLC never reads half a file.
        QTest::newRow("edited: replaced") << vlcDefaults() << Value("secret") << edited("secret");
        QTest::newRow("unchanged: not rewritten")
            << edited("secret") << Value() << edited("secret");
    }

    void fileReplacement()
    {
        QFETCH(QByteArray, input);
        QFETCH(Value, password);
        QFETCH(QByteArray, expected);
        QVERIFY(writeAll(vlcrc(), input));
        const QByteArray path = QFile::encodeName(vlcrc());
        QCOMPARE(::chmod(path.constData(), 0640), 0);
        if (::geteuid() == 0)
            QCOMPARE(::chown(path.constData(), 54321, 54322), 0);
        const struct stat before = statOf(vlcrc());
        configure(password, std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(doneCount, 1, 5000);
        const struct stat after = statOf(vlcrc());
        QCOMPARE(after.st_ino != before.st_ino, input != expected);
        QCOMPARE(after.st_mode & 07777, 0640u);
        QCOMPARE(after.st_uid, before.st_uid);
        QCOMPARE(after.st_gid, before.st_gid);
        QCOMPARE(QDir(configHome() + "/vlc").entryList(QDir::Files | QDir::Hidden),
                 QStringList{"vlcrc"});
        QCOMPARE(readAll(vlcrc()), expected);
        comparePreferences("secret", 8080);
    }

    void writeFailureLeavesFileAndPreferences_data()
    {
        QTest::addColumn<QString>("locked");
        QTest::newRow("read-only vlcrc") << "vlc/vlcrc";
        QTest::newRow("read-only folder") << "vlc";
        // A file where the folder would be made: this one fails for root too.
        QTest::newRow("no folder can be made") << "";
    }

    void writeFailureLeavesFileAndPreferences()
    {
        QFETCH(QString, locked);
        if (locked.isEmpty()) {
            QVERIFY(writeAll(configHome(), "not a folder"));
        } else {
            if (::geteuid() == 0)
                QSKIP("Root may write any file");
            QVERIFY(writeAll(vlcrc(), vlcDefaults()));
            QVERIFY(QFile::setPermissions(configHome() + '/' + locked,
                                          QFile::ReadOwner | QFile::ExeOwner));
        }
        configure(QString("secret"), QString("9090"));
        QTRY_COMPARE_WITH_TIMEOUT(doneCount, 1, 5000);
        QCOMPARE(readAll(vlcrc()), locked.isEmpty() ? QByteArray() : vlcDefaults());
        comparePreferences(passwordBefore, portBefore);
    }

    // VLC rewrites its vlcrc when it quits: every regular VLC is quit and waited for before the
    // edit, and started again once, a second later, before `done`.
    void runningVLC_data()
    {
        QTest::addColumn<bool>("quits");
        QTest::newRow("quits: edited and started again") << true;
        QTest::newRow("does not quit: nothing changed, nothing started") << false;
    }

    void runningVLC()
    {
        QFETCH(bool, quits);
        QVERIFY(writeAll(vlcrc(), vlcDefaults()));
        desktop.applications = {
            {"Files", true, 10}, {"VLC", true, 42}, {"VLC", false, 43}, {"VLC", true, 44}};
        desktop.applicationsQuit = quits;
        // VLC's real delay before it is started again.
        editor =
            std::make_unique<EditVLC>(desktop, *preferences, configHome(), capture.log, home());
        QStringList callsAtDone;
        QElapsedTimer clock;
        clock.start();
        editor->configureVLC(QString("secret"), QString("9090"), [&] {
            ++doneCount;
            callsAtDone = desktop.calls;
        });
        QStringList calls{"quit VLC", "quit VLC", "wait for 2"};
        QCOMPARE(desktop.calls, calls);
        QTRY_COMPARE_WITH_TIMEOUT(doneCount, 1, 5000);
        if (quits) {
            QVERIFY2(clock.elapsed() >= 900, qPrintable(QString::number(clock.elapsed())));
            calls.append("launch VLC");
        }
        QCOMPARE(callsAtDone, calls);
        QCOMPARE(desktop.calls, calls);
        QCOMPARE(readAll(vlcrc()), quits ? edited("secret", "http-port=9090") : vlcDefaults());
        comparePreferences(quits ? "secret" : passwordBefore, quits ? quint16(9090) : portBefore);
    }

    void flatpakConfiguration()
    {
        desktop.installed =
            InstalledApplication{InstalledApplication::Kind::Flatpak, "org.videolan.VLC"};
        const QString flatpakVlcrc = home() + "/.var/app/org.videolan.VLC/config/vlc/vlcrc";
        QVERIFY(writeAll(vlcrc(), vlcDefaults()));
        QVERIFY(writeAll(flatpakVlcrc, vlcDefaults()));
        QCOMPARE(editor->vlcrcPath(), flatpakVlcrc);
        configure(QString("secret"), QString("9090"));
        QTRY_COMPARE_WITH_TIMEOUT(doneCount, 1, 5000);
        QCOMPARE(readAll(flatpakVlcrc), edited("secret", "http-port=9090"));
        QCOMPARE(readAll(vlcrc()), vlcDefaults());
        QCOMPARE(editor->readVLCPort(), QString("9090"));
    }

    void readValues_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("port");
        QTest::newRow("commented lines and longer keys are not the values")
            << QByteArray("#http-password=old\n#http-port=9000\nx-http-password=x\nx-http-port=1\n")
            << ""
            << "8080";
        QTest::newRow("the first active line, literally")
            << QByteArray("http-password=$1\\=x\r\nhttp-password=b\nhttp-port=1\r\nhttp-port=2\n")
            << "$1\\=x"
            << "1";
    }

    void readValues()
    {
        QFETCH(QByteArray, input);
        QFETCH(QString, password);
        QFETCH(QString, port);
        QVERIFY(writeAll(vlcrc(), input));
        QCOMPARE(editor->readVLCPassword(), password);
        QCOMPARE(editor->readVLCPort(), port);
        QVERIFY(password.isEmpty() || !capture.lines().join(u'\n').contains(password));
        QCOMPARE(readAll(vlcrc()), input);
    }

    void callsRunOneAfterTheOther()
    {
        QVERIFY(writeAll(vlcrc(), vlcDefaults()));
        desktop.applications = {{"VLC", true, 42}};
        QList<QByteArray> filesAtDone;
        editor->configureVLC(QString("first"), QString("9091"), [&] {
            filesAtDone.append(readAll(vlcrc()));
            // VLC was started again; the second call quits it once more.
            desktop.applications = {{"VLC", true, 45}};
        });
        editor->configureVLC(QString("second"), QString("9092"),
                             [&] { filesAtDone.append(readAll(vlcrc())); });
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
        QVERIFY(writeAll(vlcrc(), vlcDefaults()));
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

// The Linux workspace with real processes and fake executables (tests/platform/fakes) on a PATH
// the test controls: starting VLC natively or as a Flatpak, seeing it run, asking it to quit and
// waiting until it is gone, and opening addresses through xdg-open.

#include "launchurls.h"
#include "linux/linuxworkspace.h"
#include "logcapture.h"
#include "vlccontrols.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <grp.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <optional>

using namespace zc;
using namespace zc::test;
using namespace std::chrono_literals;

namespace {

using Kind = InstalledApplication::Kind;

const QString vlcFlatpak = QStringLiteral("org.videolan.VLC");

bool runsAs(const QList<RunningApplication> &applications, const QString &name, qint64 processId)
{
    for (const RunningApplication &application : applications)
        if (application.processId == processId)
            return application.name == name && application.regular;
    return false;
}

QByteArray readStat(qint64 processId)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(processId));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The state letter of /proc/<pid>/stat: 'R', 'S', 'Z' …; 0 when there is no such process.
char processState(qint64 processId)
{
    const QByteArray stat = readStat(processId);
    const qsizetype close = stat.lastIndexOf(')');
    return close >= 0 && close + 2 < stat.size() ? stat[close + 2] : char(0);
}

QByteArray processName(qint64 processId)
{
    const QByteArray stat = readStat(processId);
    const qsizetype open = stat.indexOf('(');
    const qsizetype close = stat.lastIndexOf(')');
    return open >= 0 && close > open ? stat.mid(open + 1, close - open - 1) : QByteArray();
}

bool isListed(const QList<RunningApplication> &applications, qint64 processId)
{
    for (const RunningApplication &application : applications)
        if (application.processId == processId)
            return true;
    return false;
}

} // namespace

class TestLinuxWorkspace : public QObject
{
    Q_OBJECT

    LogCapture capture;
    std::optional<QTemporaryDir> directory;
    QByteArray originalPath;
    QByteArray originalHome;
    QString sleepExecutable;
    // Every process the workspace reported starting, ended in cleanup().
    QList<qint64> started;

    QString path(const QString &relative) const { return directory->filePath(relative); }

    // Puts the named fakes into the folder that is the whole PATH.
    bool installFakes(const QStringList &names)
    {
        for (const QString &name : names) {
            const QString target = path(QStringLiteral("bin/") + name);
            if (!QFile::copy(QStringLiteral(ZC_FAKES "/") + name, target) ||
                !QFile::setPermissions(target, QFile::ReadOwner | QFile::ExeOwner |
                                                   QFile::ReadGroup | QFile::ExeGroup |
                                                   QFile::ReadOther | QFile::ExeOther))
                return false;
        }
        return true;
    }

    bool installFlatpak(const QString &id) const
    {
        return QDir().mkpath(
            path(QStringLiteral("home/.local/share/flatpak/app/") + id + "/current/active"));
    }

    LinuxWorkspace makeWorkspace()
    {
        return LinuxWorkspace(capture.log, {path(QStringLiteral("home/.local/share/flatpak"))});
    }

    // The arguments a fake was started with, once it has recorded them.
    std::optional<QStringList> recorded(const QString &fake) const
    {
        QFile file(path(QStringLiteral("records/") + fake + QStringLiteral(".args")));
        if (!file.open(QIODevice::ReadOnly))
            return std::nullopt;
        QStringList arguments;
        for (const QByteArray &argument : file.readAll().split('\0'))
            arguments.append(QString::fromUtf8(argument));
        // Each argument ends in a null character, so the last piece is always empty.
        arguments.removeLast();
        return arguments;
    }

    // The process ids in the log's "Started …" and "Opened …" lines, remembered for cleanup().
    QList<qint64> startedProcesses()
    {
        static const QRegularExpression processId(QStringLiteral("\\(process (\\d+)\\)$"));
        QList<qint64> ids;
        for (const QString &line : capture.lines()) {
            const QRegularExpressionMatch match = processId.match(line);
            if (match.hasMatch() && (line.startsWith(QLatin1String("Started ")) ||
                                     line.startsWith(QLatin1String("Opened "))))
                ids.append(match.captured(1).toLongLong());
        }
        for (qint64 id : ids)
            if (!started.contains(id))
                started.append(id);
        return ids;
    }

private slots:
    void initTestCase()
    {
        originalPath = qgetenv("PATH");
        originalHome = qgetenv("HOME");
        sleepExecutable = QStandardPaths::findExecutable(QStringLiteral("sleep"));
        QVERIFY(!sleepExecutable.isEmpty());
    }

    void init()
    {
        directory.emplace();
        QVERIFY(directory->isValid());
        for (const char *folder : {"bin", "records", "home"})
            QVERIFY(QDir(directory->path()).mkdir(QString::fromLatin1(folder)));
        qputenv("PATH", path(QStringLiteral("bin")).toLocal8Bit());
        qputenv("HOME", path(QStringLiteral("home")).toLocal8Bit());
        qputenv("ZC_FAKE_RECORDS", path(QStringLiteral("records")).toLocal8Bit());
        capture.clear();
        started.clear();
    }

    void cleanup()
    {
        startedProcesses();
        // SIGTERM, on which the fake vlc also ends its own child.
        for (qint64 id : std::as_const(started))
            if (processName(id) == "vlc")
                ::kill(static_cast<pid_t>(id), SIGTERM);
        for (qint64 id : std::as_const(started))
            QTRY_VERIFY(processState(id) == 0 || processState(id) == 'Z');
        qputenv("PATH", originalPath);
        qputenv("HOME", originalHome);
        qunsetenv("ZC_FAKE_RECORDS");
        directory.reset();
    }

    void listsThisUsersProcesses()
    {
        LinuxWorkspace workspace = makeWorkspace();
        const QList<RunningApplication> applications = workspace.runningApplications();
        // The kernel keeps the first 15 bytes of a process's name.
        QVERIFY(runsAs(applications, QStringLiteral("tst_linuxworksp"),
                       QCoreApplication::applicationPid()));
        // Kernel threads (root's, when the test runs as root) are nobody's applications.
        QVERIFY(!runsAs(applications, QStringLiteral("kthreadd"), 2));
        QCOMPARE(capture.lines(), QStringList{});
    }

    void findAndLaunch_data()
    {
        QTest::addColumn<QStringList>("fakes");
        QTest::addColumn<bool>("flatpakInstalled");
        QTest::addColumn<std::optional<Kind>>("kind");
        QTest::addColumn<QString>("fake");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("line");

        QTest::newRow("vlc on PATH comes first")
            << QStringList{"vlc", "flatpak"} << true << std::optional(Kind::Native) << "vlc"
            << QStringList{} << "Started VLC: %1/vlc";
        QTest::newRow("the Flatpak")
            << QStringList{"flatpak"} << true << std::optional(Kind::Flatpak) << "flatpak"
            << QStringList{"run", "org.videolan.VLC"}
            << "Started VLC: %1/flatpak run org.videolan.VLC";
        QTest::newRow("the Flatpak, without the flatpak command")
            << QStringList{} << true << std::optional(Kind::Flatpak) << QString() << QStringList{}
            << "Cannot start VLC: the Flatpak org.videolan.VLC is installed, but there is no "
               "flatpak on PATH";
        QTest::newRow("not installed")
            << QStringList{"flatpak", "xdg-open"} << false << std::optional<Kind>() << QString()
            << QStringList{}
            << "Cannot start VLC: no vlc on PATH and no Flatpak org.videolan.VLC installed";
    }

    void findAndLaunch()
    {
        QFETCH(QStringList, fakes);
        QFETCH(bool, flatpakInstalled);
        QFETCH(std::optional<Kind>, kind);
        QFETCH(QString, fake);
        QFETCH(QStringList, arguments);
        QFETCH(QString, line);

        QVERIFY(installFakes(fakes));
        if (flatpakInstalled)
            QVERIFY(installFlatpak(vlcFlatpak));
        LinuxWorkspace workspace = makeWorkspace();

        const std::optional<InstalledApplication> found =
            workspace.findApplication(QStringLiteral("VLC"));
        QCOMPARE(found.has_value(), kind.has_value());
        if (found) {
            QCOMPARE(found->kind, *kind);
            QCOMPARE(found->flatpakId, *kind == Kind::Flatpak ? vlcFlatpak : QString());
        }
        QCOMPARE(workspace.findApplication(QStringLiteral("vlc")), std::nullopt);

        workspace.launchApplication(QStringLiteral("VLC"));
        if (fake.isEmpty()) {
            QCOMPARE(capture.lines(), QStringList{line});
            QCOMPARE(startedProcesses(), QList<qint64>{});
            return;
        }
        const QList<qint64> ids = startedProcesses();
        QCOMPARE(ids.size(), 1);
        QCOMPARE(capture.lines(),
                 QStringList{line.arg(path(QStringLiteral("bin"))) + QStringLiteral(" (process ") +
                             QString::number(ids.first()) + u')'});
        QTRY_COMPARE(recorded(fake), std::optional(arguments));
        for (const QString &other : fakes)
            if (other != fake)
                QCOMPARE(recorded(other), std::nullopt);
    }

    void launchSeeQuitAndWait()
    {
        QVERIFY(installFakes({QStringLiteral("vlc")}));
        LinuxWorkspace workspace = makeWorkspace();
        workspace.launchApplication(QStringLiteral("VLC"));
        const QList<qint64> ids = startedProcesses();
        QCOMPARE(ids.size(), 1);
        const qint64 vlc = ids.first();
        QTRY_VERIFY(recorded(QStringLiteral("vlc")));
        QVERIFY(runsAs(workspace.runningApplications(), QStringLiteral("VLC"), vlc));

        capture.clear();
        workspace.quitApplication({QStringLiteral("VLC"), true, vlc});
        QCOMPARE(capture.lines(),
                 QStringList{"Asked VLC (process " + QString::number(vlc) + ") to quit"});
        std::optional<bool> gone;
        workspace.whenGone({vlc}, 5s, [&gone](bool result) { gone = result; });
        QCOMPARE(gone, std::nullopt);
        QTRY_COMPARE(gone, std::optional(true));
        QVERIFY(!isListed(workspace.runningApplications(), vlc));
    }

    // "start_vlc" starts VLC only while no vlc process of this user runs.
    void startVlcCommand()
    {
        QVERIFY(installFakes({QStringLiteral("vlc")}));
        LinuxWorkspace workspace = makeWorkspace();
        VlcControls controls(workspace, capture.log);
        controls.handle(QStringLiteral("start_vlc"));
        QCOMPARE(startedProcesses().size(), 1);
        const qint64 vlc = startedProcesses().first();
        QTRY_VERIFY(runsAs(workspace.runningApplications(), QStringLiteral("VLC"), vlc));

        controls.handle(QStringLiteral("start_vlc"));
        QCOMPARE(startedProcesses(), QList<qint64>{vlc});
        QVERIFY(capture.lines().contains(QStringLiteral("VLC")));
    }

    void otherUsersProcessesNeverCount()
    {
        if (::geteuid() != 0)
            QSKIP("starting a process as another user needs root");
        // A process of user "nobody" named vlc: its folder must be open to that user.
        QVERIFY(QFile::setPermissions(directory->path(), QFile::ReadOwner | QFile::WriteOwner |
                                                             QFile::ExeOwner | QFile::ReadOther |
                                                             QFile::ExeOther));
        QVERIFY(QFile::link(sleepExecutable, path(QStringLiteral("bin/vlc"))));
        QProcess other;
        other.setChildProcessModifier([] {
            constexpr uid_t nobody = 65534;
            if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0)
                ::_exit(127);
        });
        other.start(path(QStringLiteral("bin/vlc")), {QStringLiteral("30")});
        QVERIFY(other.waitForStarted());

        LinuxWorkspace workspace = makeWorkspace();
        QVERIFY(!isListed(workspace.runningApplications(), other.processId()));
        workspace.quitApplication({QStringLiteral("VLC"), true, other.processId()});
        QCOMPARE(capture.lines(),
                 QStringList{"Cannot ask VLC (process " + QString::number(other.processId()) +
                             ") to quit: no such process of this user"});
        QCOMPARE(other.state(), QProcess::Running);
        other.kill();
        QVERIFY(other.waitForFinished());
    }

    void whenGone_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<bool>("gone");

        // %1: sleep, which is not on the test's PATH.
        QTest::newRow("quits on SIGTERM") << "exec %1 30" << true;
        QTest::newRow("ignores SIGTERM") << "trap '' TERM; exec %1 30" << false;
        // The zombie of a child that its parent, sleep, never waits for.
        QTest::newRow("zombie") << "%1 0 & echo $!; exec %1 30" << true;
    }

    void whenGone()
    {
        QFETCH(QString, script);
        QFETCH(bool, gone);

        QProcess process;
        process.start(QStringLiteral("/bin/sh"),
                      {QStringLiteral("-c"), script.arg(sleepExecutable)});
        QVERIFY(process.waitForStarted());
        qint64 target = process.processId();
        if (script.contains(QLatin1String("echo"))) {
            QVERIFY(process.waitForReadyRead());
            target = process.readLine().trimmed().toLongLong();
            QTRY_COMPARE(processState(target), 'Z');
        } else {
            // The shell has replaced itself with sleep, and so holds the signal disposition.
            QTRY_COMPARE(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(target)),
                         QFileInfo(sleepExecutable).canonicalFilePath());
            LinuxWorkspace workspace = makeWorkspace();
            workspace.quitApplication({QStringLiteral("sleep"), true, target});
        }

        LinuxWorkspace workspace = makeWorkspace();
        const auto limit = 300ms;
        std::optional<bool> result;
        QElapsedTimer elapsed;
        elapsed.start();
        workspace.whenGone({target}, limit, [&result](bool answer) { result = answer; });
        QTRY_VERIFY(result.has_value());
        QCOMPARE(*result, gone);
        if (!gone) {
            QVERIFY(elapsed.elapsed() >= limit.count());
            QCOMPARE(process.state(), QProcess::Running);
        }
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            QVERIFY(process.waitForFinished());
        }
    }

    void whenGoneWithNothingToWaitFor()
    {
        LinuxWorkspace workspace = makeWorkspace();
        std::optional<bool> result;
        workspace.whenGone({}, 1s, [&result](bool answer) { result = answer; });
        QTRY_COMPARE(result, std::optional(true));
    }

    void noAnswerAfterDestruction()
    {
        std::optional<bool> result;
        {
            LinuxWorkspace workspace = makeWorkspace();
            workspace.whenGone({QCoreApplication::applicationPid()}, 0ms,
                               [&result](bool answer) { result = answer; });
        }
        // A wait of the same length, started later, has answered: the first one never will.
        LinuxWorkspace workspace = makeWorkspace();
        std::optional<bool> later;
        workspace.whenGone({QCoreApplication::applicationPid()}, 0ms,
                           [&later](bool answer) { later = answer; });
        QTRY_COMPARE(later, std::optional(false));
        QCOMPARE(result, std::nullopt);
    }

    void openAllowedSites_data()
    {
        QTest::addColumn<QString>("address");

        const AppsToLaunch apps;
        for (QLatin1String site : {apps.Chrome, apps.Youtube, apps.Netflix, apps.PrimeVideo,
                                   apps.Hotstar, apps.HBO, apps.Hulu})
            QTest::newRow(site.data()) << QString(site);
    }

    void openAllowedSites()
    {
        QFETCH(QString, address);

        QVERIFY(installFakes({QStringLiteral("xdg-open")}));
        LinuxWorkspace workspace = makeWorkspace();
        LaunchUrls(workspace, capture.log).launch(address);
        const QList<qint64> ids = startedProcesses();
        QCOMPARE(ids.size(), 1);
        QCOMPARE(capture.lines(),
                 QStringList{"Opened " + address + " with " + path(QStringLiteral("bin/xdg-open")) +
                             " (process " + QString::number(ids.first()) + ')'});
        QTRY_COMPARE(recorded(QStringLiteral("xdg-open")), std::optional(QStringList{address}));
    }

    void refuseOtherAddresses_data()
    {
        QTest::addColumn<QString>("address");
        // Through the site launcher, or straight to the workspace.
        QTest::addColumn<bool>("launcher");
        QTest::addColumn<QString>("line");

        QTest::newRow("the VLC name") << "VLC" << true << "Unknown Command:  VLC";
        QTest::newRow("a command after the address")
            << "https://www.netflix.com; reboot" << true
            << "Unknown Command:  https://www.netflix.com; reboot";
        QTest::newRow("a command substitution")
            << "https://www.youtube.com/$(reboot)" << true
            << "Unknown Command:  https://www.youtube.com/$(reboot)";
        QTest::newRow("an option") << "--help" << true << "Unknown Command:  --help";
        QTest::newRow("a file") << "file:///etc/passwd" << false
                                << "Not opening file:///etc/passwd: only http and https "
                                   "addresses are opened";
        QTest::newRow("a script") << "javascript:alert(1)" << false
                                  << "Not opening javascript:alert(1): only http and https "
                                     "addresses are opened";
        QTest::newRow("an invalid address")
            << "http://exa mple.com" << false
            << "Not opening an invalid address: Invalid hostname (contains invalid characters); "
               "source was \"http://exa mple.com\"; scheme = \"http\", host = \"\"";
    }

    void refuseOtherAddresses()
    {
        QFETCH(QString, address);
        QFETCH(bool, launcher);
        QFETCH(QString, line);

        QVERIFY(installFakes({QStringLiteral("xdg-open")}));
        LinuxWorkspace workspace = makeWorkspace();
        if (launcher)
            LaunchUrls(workspace, capture.log).launch(address);
        else
            workspace.openUrl(QUrl(address));
        // Processes start before the call returns, and each start is logged.
        QCOMPARE(capture.lines(), QStringList{line});
        QCOMPARE(recorded(QStringLiteral("xdg-open")), std::nullopt);
    }

    void openWithoutXdgOpen()
    {
        LinuxWorkspace workspace = makeWorkspace();
        workspace.openUrl(QUrl(QStringLiteral("https://www.netflix.com")));
        QCOMPARE(capture.lines(),
                 QStringList{"Cannot open https://www.netflix.com: there is no xdg-open on PATH "
                             "(Debian package xdg-utils)"});
    }
};

QTEST_GUILESS_MAIN(TestLinuxWorkspace)
#include "tst_linuxworkspace.moc"

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

// The name a regular application of that process is listed under.
std::optional<QString> listedAs(const QList<RunningApplication> &applications, qint64 processId)
{
    for (const RunningApplication &application : applications)
        if (application.processId == processId && application.regular)
            return application.name;
    return std::nullopt;
}

// The name and state letter in /proc/<pid>/stat; state 0 when there is no such process.
std::pair<QByteArray, char> nameAndState(qint64 processId)
{
    QFile file("/proc/" + QString::number(processId) + "/stat");
    const QByteArray stat = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const qsizetype open = stat.indexOf('(');
    const qsizetype close = stat.lastIndexOf(')');
    if (open < 0 || close < open || close + 2 >= stat.size())
        return {};
    return {stat.mid(open + 1, close - open - 1), stat[close + 2]};
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
            const QString target = path("bin/" + name);
            if (!QFile::copy(QString(ZC_FAKES "/") + name, target) ||
                !QFile::setPermissions(target, QFile::ReadOwner | QFile::ExeOwner))
                return false;
        }
        return true;
    }

    LinuxWorkspace makeWorkspace()
    {
        return LinuxWorkspace(capture.log, {path("home/.local/share/flatpak")});
    }

    // The arguments a fake was started with, once it has recorded them.
    std::optional<QStringList> recorded(const QString &fake) const
    {
        QFile file(path("records/" + fake + ".args"));
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
        static const QRegularExpression startLine("^(Started|Opened) .*\\(process (\\d+)\\)$");
        QList<qint64> ids;
        for (const QString &line : capture.lines())
            if (const QRegularExpressionMatch match = startLine.match(line); match.hasMatch())
                ids.append(match.captured(2).toLongLong());
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
        sleepExecutable = QStandardPaths::findExecutable("sleep");
        QVERIFY(!sleepExecutable.isEmpty());
    }

    void init()
    {
        directory.emplace();
        QVERIFY(directory->isValid());
        for (const char *folder : {"bin", "records", "home"})
            QVERIFY(QDir(directory->path()).mkdir(QString::fromLatin1(folder)));
        qputenv("PATH", path("bin").toLocal8Bit());
        qputenv("HOME", path("home").toLocal8Bit());
        qputenv("ZC_FAKE_RECORDS", path("records").toLocal8Bit());
        capture.clear();
        started.clear();
    }

    void cleanup()
    {
        startedProcesses();
        // SIGTERM, on which the fake vlc also ends its own child.
        for (qint64 id : std::as_const(started))
            if (nameAndState(id).first == "vlc")
                ::kill(static_cast<pid_t>(id), SIGTERM);
        for (qint64 id : std::as_const(started))
            QTRY_VERIFY(nameAndState(id).second == 0 || nameAndState(id).second == 'Z');
        qputenv("PATH", originalPath);
        qputenv("HOME", originalHome);
        qunsetenv("ZC_FAKE_RECORDS");
        directory.reset();
    }

    void listsThisUsersApplications()
    {
        // An application as the menu starts it: this test, through a desktop entry of its own.
        qunsetenv("XDG_DATA_HOME");
        QVERIFY(QDir().mkpath(path("home/.local/share/applications")));
        QFile entry(path("home/.local/share/applications/test.desktop"));
        QVERIFY(entry.open(QIODevice::WriteOnly));
        entry.write("[Desktop Entry]\nType=Application\nName=Test\nExec=env A=1 \"" +
                    QCoreApplication::applicationFilePath().toUtf8() + "\" %U\n");
        entry.close();
        QProcess helper;
        helper.start(sleepExecutable, {QStringLiteral("30")});
        QVERIFY(helper.waitForStarted());

        LinuxWorkspace workspace = makeWorkspace();
        const QList<RunningApplication> applications = workspace.runningApplications();
        // The kernel keeps the first 15 bytes of a process's name.
        QCOMPARE(listedAs(applications, QCoreApplication::applicationPid()), "tst_linuxworksp");
        // No entry starts sleep: a helper, not an application.
        QCOMPARE(listedAs(applications, helper.processId()), std::nullopt);
        // Kernel threads (root's, when the test runs as root) are nobody's applications.
        QCOMPARE(listedAs(applications, 2), std::nullopt);
        QCOMPARE(capture.lines(), QStringList{});
        helper.kill();
        helper.waitForFinished();
    }

    void findAndLaunch_data()
    {
        QTest::addColumn<QStringList>("fakes");
        QTest::addColumn<bool>("flatpakInstalled");
        // "native", the Flatpak's id, or empty when not installed.
        QTest::addColumn<QString>("found");
        // Those of the first fake, when it is started.
        QTest::addColumn<std::optional<QStringList>>("arguments");

        const QString id = "org.videolan.VLC";
        QTest::newRow("vlc on PATH comes first")
            << QStringList{"vlc", "flatpak"} << true << "native" << std::optional(QStringList{});
        QTest::newRow("the Flatpak")
            << QStringList{"flatpak"} << true << id << std::optional(QStringList{"run", id});
        QTest::newRow("the Flatpak, without the flatpak command")
            << QStringList{} << true << id << std::optional<QStringList>();
        QTest::newRow("not installed") << QStringList{"flatpak", "xdg-open"} << false << QString()
                                       << std::optional<QStringList>();
    }

    void findAndLaunch()
    {
        QFETCH(QStringList, fakes);
        QFETCH(bool, flatpakInstalled);
        QFETCH(QString, found);
        QFETCH(std::optional<QStringList>, arguments);

        QVERIFY(installFakes(fakes));
        if (flatpakInstalled)
            QVERIFY(QDir().mkpath(
                path("home/.local/share/flatpak/app/org.videolan.VLC/current/active")));
        LinuxWorkspace workspace = makeWorkspace();
        const std::optional<InstalledApplication> installed = workspace.findApplication("VLC");
        QCOMPARE(!installed                         ? QString()
                 : installed->kind == Kind::Flatpak ? installed->flatpakId
                                                    : "native",
                 found);
        QCOMPARE(workspace.findApplication("vlc"), std::nullopt);

        workspace.launchApplication("VLC");
        // Started before the call returns, or refused, and either logged.
        QCOMPARE(capture.lines().size(), 1);
        QCOMPARE(startedProcesses().size(), arguments ? 1 : 0);
        if (arguments)
            QTRY_COMPARE(recorded(fakes.first()), arguments);
        for (const QString &fake : fakes.mid(arguments ? 1 : 0))
            QCOMPARE(recorded(fake), std::nullopt);
    }

    void startSeeQuitAndWait()
    {
        QVERIFY(installFakes({"vlc"}));
        LinuxWorkspace workspace = makeWorkspace();
        VlcControls controls(workspace, capture.log);
        controls.handle("start_vlc");
        const QList<qint64> ids = startedProcesses();
        QCOMPARE(ids.size(), 1);
        const qint64 vlc = ids.first();
        // Ready for the signal once it has recorded its arguments.
        QTRY_VERIFY(recorded("vlc"));
        QCOMPARE(listedAs(workspace.runningApplications(), vlc), "VLC");
        // The vlc process is VLC: no second one is started.
        controls.handle("start_vlc");
        QCOMPARE(startedProcesses(), ids);

        workspace.quitApplication({"VLC", true, vlc});
        std::optional<bool> gone;
        workspace.whenGone({vlc}, 5s, [&gone](bool result) { gone = result; });
        QCOMPARE(gone, std::nullopt);
        QTRY_COMPARE(gone, std::optional(true));
        QCOMPARE(listedAs(workspace.runningApplications(), vlc), std::nullopt);
    }

    void otherUsersProcessesNeverCount()
    {
        if (::geteuid() != 0)
            QSKIP("starting a process as another user needs root");
        QProcess other;
        other.setChildProcessModifier([] {
            constexpr uid_t nobody = 65534;
            if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0)
                ::_exit(127);
        });
        other.start(sleepExecutable, {"30"});
        QVERIFY(other.waitForStarted());

        LinuxWorkspace workspace = makeWorkspace();
        QCOMPARE(listedAs(workspace.runningApplications(), other.processId()), std::nullopt);
        workspace.quitApplication({"VLC", true, other.processId()});
        QCOMPARE(other.state(), QProcess::Running);
        other.kill();
        QVERIFY(other.waitForFinished());
    }

    void whenGone_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<bool>("gone");

        // The script prints the process to wait for; %1: sleep, which is not on the test's PATH.
        QTest::newRow("still running") << "echo $$; exec %1 30" << false;
        // The zombie of a child that its parent, sleep, never waits for.
        QTest::newRow("zombie") << "%1 0 & echo $!; exec %1 30" << true;
        QTest::newRow("nothing to wait for") << QString() << true;
    }

    void whenGone()
    {
        QFETCH(QString, script);
        QFETCH(bool, gone);

        QProcess process;
        QList<qint64> targets;
        if (!script.isEmpty()) {
            process.start("/bin/sh", {"-c", script.arg(sleepExecutable)});
            QVERIFY(process.waitForReadyRead());
            targets = {process.readLine().trimmed().toLongLong()};
        }
        LinuxWorkspace workspace = makeWorkspace();
        const auto limit = 300ms;
        std::optional<bool> result;
        QElapsedTimer elapsed;
        elapsed.start();
        workspace.whenGone(targets, limit, [&result](bool answer) { result = answer; });
        QTRY_COMPARE(result, std::optional(gone));
        if (!gone)
            QVERIFY(elapsed.elapsed() >= limit.count());
        if (!script.isEmpty()) {
            QCOMPARE(process.state(), QProcess::Running);
            process.kill();
            QVERIFY(process.waitForFinished());
        }
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

    void openUrl_data()
    {
        QTest::addColumn<QString>("address");
        // Through the site launcher, as the phone does, or straight to the workspace.
        QTest::addColumn<bool>("launcher");
        QTest::addColumn<bool>("xdgOpen");

        QTest::newRow("the bare scheme, an allowed site") << "https://" << true << true;
        QTest::newRow("an allowed site") << "https://www.hbo.com/" << true << true;
        QTest::newRow("a file") << "file:///etc/passwd" << false << true;
        QTest::newRow("a script") << "javascript:alert(1)" << false << true;
        QTest::newRow("an invalid address") << "http://exa mple.com" << false << true;
        QTest::newRow("no xdg-open") << "https://www.netflix.com" << true << false;
    }

    void openUrl()
    {
        QFETCH(QString, address);
        QFETCH(bool, launcher);
        QFETCH(bool, xdgOpen);

        if (xdgOpen)
            QVERIFY(installFakes({"xdg-open"}));
        LinuxWorkspace workspace = makeWorkspace();
        if (launcher)
            LaunchUrls(workspace, capture.log).launch(address);
        else
            workspace.openUrl(QUrl(address));
        // Opened, or refused, and either logged.
        QCOMPARE(capture.lines().size(), 1);
        if (launcher && xdgOpen) {
            QCOMPARE(startedProcesses().size(), 1);
            QTRY_COMPARE(recorded("xdg-open"), std::optional(QStringList{address}));
        } else {
            QCOMPARE(recorded("xdg-open"), std::nullopt);
        }
    }
};

QTEST_GUILESS_MAIN(TestLinuxWorkspace)
#include "tst_linuxworkspace.moc"

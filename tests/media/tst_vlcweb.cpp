#include "editvlc.h"
#include "iworkspace.h"
#include "logcapture.h"
#include "zantipreferences.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <optional>
#include <vector>

using namespace zc;
using namespace zc::test;

namespace {

using Value = std::optional<QString>;

const QString vlcUserName = "zc-vlc-test";

// VLC refuses to run as root, so root runs it as another user.
struct Account
{
    uid_t uid;
    gid_t gid;
};

// Real VLC processes, all of them run as `account` with their home in `home`, posing as the
// user's desktop. Every VLC still running is killed when it goes.
class VlcDesktop final : public IWorkspace
{
public:
    VlcDesktop(QString cvlc, Account account, QString home)
        : m_cvlc(std::move(cvlc)), m_account(account), m_home(std::move(home))
    {}

    ~VlcDesktop() override
    {
        for (const std::unique_ptr<QProcess> &process : m_processes)
            process->kill();
        for (const std::unique_ptr<QProcess> &process : m_processes)
            process->waitForFinished(5000);
    }

    QProcess *start(const QStringList &arguments)
    {
        auto process = std::make_unique<QProcess>();
        process->setProgram(m_cvlc);
        process->setArguments(arguments);
        process->setWorkingDirectory(m_home);
        QProcessEnvironment environment;
        environment.insert("PATH", "/usr/bin:/bin");
        environment.insert("HOME", m_home);
        environment.insert("XDG_CONFIG_HOME", m_home + "/.config");
        environment.insert("LANG", "C.UTF-8");
        process->setProcessEnvironment(environment);
        process->setStandardOutputFile(log(), QIODevice::Append);
        process->setStandardErrorFile(log(), QIODevice::Append);
        const Account account = m_account;
        process->setChildProcessModifier([account] {
            if (account.uid != ::geteuid() &&
                (::setgroups(0, nullptr) != 0 || ::setgid(account.gid) != 0 ||
                 ::setuid(account.uid) != 0))
                ::_exit(126);
            // Set after the change of user, which clears it: no VLC outlives a crashed test.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        });
        process->start();
        m_processes.push_back(std::move(process));
        return m_processes.back().get();
    }

    // What every VLC wrote.
    QByteArray output() const
    {
        QFile file(log());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QList<RunningApplication> runningApplications() override
    {
        QList<RunningApplication> running;
        for (const std::unique_ptr<QProcess> &process : m_processes)
            // One just launched counts, before the event loop has seen it start.
            if (process->state() != QProcess::NotRunning)
                running.append({"VLC", true, process->processId()});
        return running;
    }

    void launchApplication(const QString &name) override
    {
        if (name == "VLC")
            start({});
    }

    void openUrl(const QUrl &) override {}

    std::optional<InstalledApplication> findApplication(const QString &) override
    {
        return InstalledApplication{};
    }

    void quitApplication(const RunningApplication &application) override
    {
        for (const std::unique_ptr<QProcess> &process : m_processes)
            if (process->processId() == application.processId)
                process->terminate();
    }

    // Blocks, which the editor allows for: it waits for `done` either way.
    void whenGone(const QList<qint64> &processIds, std::chrono::milliseconds limit,
                  std::function<void(bool)> done) override
    {
        bool gone = true;
        for (const std::unique_ptr<QProcess> &process : m_processes)
            if (processIds.contains(process->processId()))
                gone = process->waitForFinished(int(limit.count())) && gone;
        done(gone);
    }

private:
    QString log() const { return m_home + "/vlc.log"; }

    QString m_cvlc;
    Account m_account;
    QString m_home;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

// The status code of GET /requests/status.json, or -1 when nothing answered.
int statusOf(quint16 port, const Value &password)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(2000))
        return -1;
    QByteArray request = "GET /requests/status.json HTTP/1.0\r\nHost: 127.0.0.1\r\n";
    if (password)
        request += "Authorization: Basic " + (':' + password->toUtf8()).toBase64() + "\r\n";
    socket.write(request + "\r\n");
    QByteArray response;
    while (!response.contains("\r\n") && socket.waitForReadyRead(5000))
        response += socket.readAll();
    // "HTTP/1.0 200 OK"
    const QList<QByteArray> words = response.split(' ');
    return words.size() > 1 && words[0].startsWith("HTTP/") ? words[1].toInt() : -1;
}

// The port, or any free one for 0, while it is free; else 0.
quint16 freePort(quint16 port)
{
    QTcpServer server;
    return server.listen(QHostAddress::Any, port) ? server.serverPort() : 0;
}

} // namespace

class TestVlcWeb : public QObject
{
    Q_OBJECT

    QString cvlc;
    std::optional<Account> account;

private slots:
    void initTestCase()
    {
        cvlc = QStandardPaths::findExecutable("cvlc");
        if (cvlc.isEmpty())
            QSKIP("VLC is not installed (Debian packages vlc-bin and vlc-plugin-base)");
        if (::geteuid() != 0) {
            account = Account{::getuid(), ::getgid()};
            return;
        }
        if (!::getpwnam(vlcUserName.toLocal8Bit().constData())) {
            // Adding a system user changes the machine beyond the test; CI opts in.
            if (qEnvironmentVariable("ZC_TEST_ALLOW_SYSTEM_CHANGES") != QLatin1String("1"))
                QSKIP(qPrintable("VLC refuses to run as root, and making the user " + vlcUserName +
                                 " for it needs ZC_TEST_ALLOW_SYSTEM_CHANGES=1"));
            QProcess useradd;
            useradd.start("useradd", {"--system", "--no-create-home", "--home-dir", "/nonexistent",
                                      "--shell", "/usr/sbin/nologin", vlcUserName});
            if (!useradd.waitForFinished(30000) || useradd.exitStatus() != QProcess::NormalExit ||
                useradd.exitCode() != 0)
                QSKIP(qPrintable("VLC refuses to run as root, and no user could be made: " +
                                 useradd.errorString() + ' ' + useradd.readAllStandardError()));
        }
        const passwd *user = ::getpwnam(vlcUserName.toLocal8Bit().constData());
        QVERIFY(user);
        account = Account{user->pw_uid, user->pw_gid};
    }

    void webInterfaceAnswersWithTheStoredPasswordAndPort()
    {
        QTemporaryDir directory;
        QVERIFY(directory.isValid());
        const QString home = directory.filePath("home");
        QVERIFY(QDir().mkdir(home));
        if (::geteuid() == 0) {
            QCOMPARE(::chmod(QFile::encodeName(directory.path()).constData(), 0711), 0);
            QCOMPARE(::chown(QFile::encodeName(home).constData(), account->uid, account->gid), 0);
        }
        LogCapture capture;
        ZantiPreferences preferences(directory.filePath("settings"), capture.log);
        VlcDesktop desktop(cvlc, *account, home);
        EditVLC editor(desktop, preferences, home + "/.config", capture.log, home);

        QProcess *generator = desktop.start({"--reset-config", "--play-and-exit", "vlc://quit"});
        QVERIFY2(generator->waitForFinished(30000) &&
                     generator->exitStatus() == QProcess::NormalExit && generator->exitCode() == 0,
                 desktop.output());
        QVERIFY2(QFileInfo::exists(home + "/.config/vlc/vlcrc"), desktop.output());
        // The user's VLC, running before the web interface is on.
        QVERIFY2(desktop.start({})->waitForStarted(10000), desktop.output());

        // First VLC's own default port, which stays commented, and a random password; the
        // default port is only asked when nothing else holds it.
        const bool defaultPortFree = freePort(8080) != 0;
        const quint16 freeOne = freePort(0);
        QVERIFY(freeOne != 0);
        const QString given = "zc $1\\x=y";
        Value previous;
        for (const auto &[password, port] :
             {std::pair<Value, Value>(),
              std::pair<Value, Value>(given, QString::number(freeOne))}) {
            int done = 0;
            editor.configureVLC(password, port, [&] { ++done; });
            QTRY_COMPARE_WITH_TIMEOUT(done, 1, 15000);
            // Quit and started again: still one.
            QCOMPARE(desktop.runningApplications().size(), 1);
            const quint16 expectedPort = port ? freeOne : 8080;
            QCOMPARE(preferences.VLCPort(), expectedPort);
            const QString stored = preferences.VLCPassword();
            QCOMPARE(stored, password.value_or(stored));
            QCOMPARE(editor.readVLCPassword(), stored);
            if (expectedPort == 8080 && !defaultPortFree) {
                qWarning("Port 8080 is taken by another program: the default port is not asked");
                previous = stored;
                continue;
            }
            QTRY_VERIFY2_WITH_TIMEOUT(statusOf(expectedPort, std::nullopt) == 401, desktop.output(),
                                      20000);
            QCOMPARE(statusOf(expectedPort, stored), 200);
            QCOMPARE(statusOf(expectedPort, previous.value_or("wrong")), 401);
            previous = stored;
        }
        QVERIFY(!capture.lines().join(u'\n').contains(given));
    }
};

QTEST_GUILESS_MAIN(TestVlcWeb)
#include "tst_vlcweb.moc"

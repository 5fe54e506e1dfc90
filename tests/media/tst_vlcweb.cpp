#include "editvlc.h"
#include "iworkspace.h"
#include "logcapture.h"
#include "zantipreferences.h"

#include <QDeadlineTimer>
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
#include <QTimer>

#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <memory>
#include <optional>
#include <vector>

using namespace zc;
using namespace zc::test;

namespace {

const QString vlcUserName = "zc-vlc-test";

struct Account
{
    uid_t uid;
    gid_t gid;
    // VLC refuses to run as root, so root runs it as another user.
    bool switchTo;
};

// Real VLC processes, all of them run as `account` with their home in `home`, posing as the
// user's desktop. Every process still running is killed when it goes.
class VlcDesktop final : public IWorkspace
{
public:
    VlcDesktop(QString cvlc, Account account, QString home)
        : m_cvlc(std::move(cvlc)), m_account(account), m_home(std::move(home))
    {}

    ~VlcDesktop() override
    {
        for (const std::unique_ptr<QProcess> &process : m_processes) {
            process->kill();
            process->waitForFinished(5000);
        }
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
            if (account.switchTo && (::setgroups(0, nullptr) != 0 || ::setgid(account.gid) != 0 ||
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
    QString output() const
    {
        QFile file(log());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    int launches = 0;

    QList<RunningApplication> runningApplications() override
    {
        QList<RunningApplication> running;
        for (const std::unique_ptr<QProcess> &process : m_processes)
            if (process->state() == QProcess::Running)
                running.append({"VLC", true, process->processId()});
        return running;
    }

    void launchApplication(const QString &name) override
    {
        if (name != "VLC")
            return;
        ++launches;
        start({});
    }

    void openUrl(const QUrl &) override {}

    std::optional<InstalledApplication> findApplication(const QString &) override
    {
        return InstalledApplication{};
    }

    void quitApplication(const RunningApplication &application) override
    {
        if (QProcess *process = find(application.processId))
            process->terminate();
    }

    void whenGone(const QList<qint64> &processIds, std::chrono::milliseconds limit,
                  std::function<void(bool)> done) override
    {
        auto *poll = new QTimer(&m_timers);
        const QDeadlineTimer deadline(limit);
        QObject::connect(poll, &QTimer::timeout, [this, poll, processIds, deadline, done] {
            const bool gone = std::none_of(processIds.begin(), processIds.end(),
                                           [this](qint64 id) { return find(id); });
            if (!gone && !deadline.hasExpired())
                return;
            poll->deleteLater();
            poll->stop();
            done(gone);
        });
        poll->start(20);
    }

private:
    QString log() const { return m_home + "/vlc.log"; }

    // The running process with that id.
    QProcess *find(qint64 processId)
    {
        for (const std::unique_ptr<QProcess> &process : m_processes)
            if (process->state() == QProcess::Running && process->processId() == processId)
                return process.get();
        return nullptr;
    }

    QString m_cvlc;
    Account m_account;
    QString m_home;
    std::vector<std::unique_ptr<QProcess>> m_processes;
    QObject m_timers;
};

// The status code of GET /requests/status.json, or -1 when nothing answered.
int statusOf(quint16 port, const std::optional<QString> &password)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(2000))
        return -1;
    QByteArray request =
        "GET /requests/status.json HTTP/1.0\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
        "\r\n";
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

bool portIsFree(quint16 port)
{
    QTcpServer server;
    return server.listen(QHostAddress::Any, port);
}

quint16 freePort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::Any, 0))
        return 0;
    return server.serverPort();
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
            account = Account{::getuid(), ::getgid(), false};
            return;
        }
        if (!::getpwnam(vlcUserName.toLocal8Bit().constData())) {
            QProcess useradd;
            useradd.start("useradd", {"--system", "--no-create-home", "--home-dir", "/nonexistent",
                                      "--shell", "/usr/sbin/nologin", vlcUserName});
            if (!useradd.waitForStarted(10000))
                QSKIP("VLC refuses to run as root, and useradd is missing to make another user");
            QVERIFY(useradd.waitForFinished(30000));
            if (useradd.exitStatus() != QProcess::NormalExit || useradd.exitCode() != 0)
                QSKIP(qPrintable("VLC refuses to run as root, and no user could be made: " +
                                 QString::fromLocal8Bit(useradd.readAllStandardError())));
        }
        const passwd *user = ::getpwnam(vlcUserName.toLocal8Bit().constData());
        QVERIFY(user);
        account = Account{user->pw_uid, user->pw_gid, true};
    }

    void webInterfaceAnswersWithTheStoredPasswordAndPort()
    {
        QTemporaryDir directory;
        QVERIFY(directory.isValid());
        const QString home = directory.filePath("home");
        QVERIFY(QDir().mkdir(home));
        if (account->switchTo) {
            QCOMPARE(::chmod(QFile::encodeName(directory.path()).constData(), 0711), 0);
            QCOMPARE(::chown(QFile::encodeName(home).constData(), account->uid, account->gid), 0);
        }
        const QString configHome = home + "/.config";
        const QString vlcrc = configHome + "/vlc/vlcrc";

        LogCapture capture;
        ZantiPreferences preferences(directory.filePath("settings"), capture.log);
        VlcDesktop desktop(cvlc, *account, home);
        EditVLC editor(desktop, preferences, configHome, capture.log, home);

        QProcess *generator = desktop.start({"--reset-config", "--play-and-exit", "vlc://quit"});
        QVERIFY2(generator->waitForFinished(30000), qPrintable(desktop.output()));
        QVERIFY2(generator->exitStatus() == QProcess::NormalExit && generator->exitCode() == 0,
                 qPrintable(desktop.output()));
        QVERIFY2(QFileInfo::exists(vlcrc), qPrintable(desktop.output()));

        // The user's VLC, running before the web interface is on.
        QProcess *running = desktop.start({});
        QVERIFY2(running->waitForStarted(10000), qPrintable(desktop.output()));

        // The port stays VLC's own default; it is only asked when nothing else holds it.
        const bool defaultPortFree = portIsFree(8080);
        int done = 0;
        editor.configureVLC(std::nullopt, std::nullopt, [&] { ++done; });
        QTRY_COMPARE_WITH_TIMEOUT(done, 1, 15000);
        QCOMPARE(running->state(), QProcess::NotRunning);
        QCOMPARE(desktop.launches, 1);
        QCOMPARE(desktop.runningApplications().size(), 1);

        QCOMPARE(preferences.VLCPort(), 8080);
        const QString password = preferences.VLCPassword();
        QCOMPARE(editor.readVLCPassword(), password);

        if (defaultPortFree) {
            QTRY_VERIFY2_WITH_TIMEOUT(statusOf(8080, std::nullopt) == 401,
                                      qPrintable(desktop.output()), 20000);
            QCOMPARE(statusOf(8080, password), 200);
            QCOMPARE(statusOf(8080, QString("wrong")), 401);
        } else {
            qWarning("Port 8080 is taken by another program: the default port is not asked");
        }

        const quint16 port = freePort();
        QVERIFY(port != 0);
        const QString newPassword = "zc $1\\x=y";
        editor.configureVLC(newPassword, QString::number(port), [&] { ++done; });
        QTRY_COMPARE_WITH_TIMEOUT(done, 2, 15000);
        QCOMPARE(desktop.launches, 2);
        QCOMPARE(desktop.runningApplications().size(), 1);
        QCOMPARE(preferences.VLCPort(), port);
        QCOMPARE(preferences.VLCPassword(), newPassword);
        QTRY_VERIFY2_WITH_TIMEOUT(statusOf(port, std::nullopt) == 401, qPrintable(desktop.output()),
                                  20000);
        QCOMPARE(statusOf(port, newPassword), 200);
        QCOMPARE(statusOf(port, password), 401);
        QVERIFY(!capture.lines().join(u'\n').contains(newPassword));
    }
};

QTEST_GUILESS_MAIN(TestVlcWeb)
#include "tst_vlcweb.moc"

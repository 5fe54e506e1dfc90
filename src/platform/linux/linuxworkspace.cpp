#include "linuxworkspace.h"

#include "log.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

namespace zc {

namespace {

using namespace std::chrono_literals;

constexpr auto pollInterval = 40ms;

// The applications this program knows how to find, start and recognise.
struct KnownApplication
{
    // As the callers name it.
    QLatin1String name;
    // Its executable on PATH, and the name of its process.
    QLatin1String executable;
    QLatin1String flatpakId;
};

constexpr KnownApplication knownApplications[] = {
    {QLatin1String("VLC"), QLatin1String("vlc"), QLatin1String("org.videolan.VLC")},
};

const KnownApplication *knownApplication(const QString &name)
{
    for (const KnownApplication &application : knownApplications)
        if (application.name == name)
            return &application;
    return nullptr;
}

QString applicationName(const QString &processName)
{
    for (const KnownApplication &application : knownApplications)
        if (application.executable == processName)
            return application.name;
    return processName;
}

// The program a desktop entry's Exec starts, cut to the 15 bytes the kernel keeps of a process's
// name; "env VAR=value program" starts the program.
std::optional<QString> desktopEntryProgram(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text) || file.size() > 256 * 1024)
        return std::nullopt;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine(4096).trimmed();
        if (!line.startsWith("Exec="))
            continue;
        QList<QByteArray> words = line.mid(5).split(' ');
        words.removeAll(QByteArray());
        while (!words.isEmpty() && (words.front() == "env" || words.front().contains('=')))
            words.removeFirst();
        if (words.isEmpty())
            return std::nullopt;
        QByteArray program = words.front();
        if (program.startsWith('"'))
            program = program.mid(1).chopped(program.endsWith('"') ? 1 : 0);
        return QString::fromUtf8(program.mid(program.lastIndexOf('/') + 1).left(15));
    }
    return std::nullopt;
}

QByteArray procPath(qint64 processId, const char *entry = nullptr)
{
    QByteArray path = "/proc/" + QByteArray::number(processId);
    if (entry)
        path += QByteArray("/") + entry;
    return path;
}

struct ProcessState
{
    QString name;
    bool zombie = false;
    // Kernel threads belong to root but are no one's applications.
    bool kernelThread = false;
};

constexpr qulonglong kernelThreadFlag = 0x00200000;

// From /proc/<pid>/stat, "pid (name) state ...": the name may hold spaces and parentheses.
std::optional<ProcessState> readState(qint64 processId)
{
    const int fd = ::open(procPath(processId, "stat").constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    char buffer[256];
    const ssize_t size = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (size <= 0)
        return std::nullopt;
    const QByteArrayView text(buffer, size);
    const qsizetype open = text.indexOf('(');
    const qsizetype close = text.lastIndexOf(')');
    if (open < 0 || close < open || close + 2 >= text.size())
        return std::nullopt;
    const char state = text[close + 2];
    // After the name: state ppid pgrp session tty_nr tpgid flags ...
    const QList<QByteArray> fields = text.sliced(close + 2).toByteArray().split(' ');
    const qulonglong flags = fields.size() > 6 ? fields[6].toULongLong() : 0;
    return ProcessState{QString::fromUtf8(text.sliced(open + 1, close - open - 1)),
                        state == 'Z' || state == 'X', (flags & kernelThreadFlag) != 0};
}

bool ownedByThisUser(qint64 processId)
{
    struct stat info = {};
    return ::stat(procPath(processId).constData(), &info) == 0 && info.st_uid == ::geteuid();
}

bool isGone(qint64 processId)
{
    if (processId <= 0)
        return true;
    const std::optional<ProcessState> state = readState(processId);
    return !state || state->zombie;
}

} // namespace

LinuxWorkspace::LinuxWorkspace(Log &log, QStringList flatpakInstallations)
    : m_log(log),
      m_flatpakInstallations(flatpakInstallations.isEmpty() ? defaultFlatpakInstallations()
                                                            : std::move(flatpakInstallations))
{}

QStringList LinuxWorkspace::defaultFlatpakInstallations()
{
    return {QDir::homePath() + QStringLiteral("/.local/share/flatpak"),
            QStringLiteral("/var/lib/flatpak")};
}

QList<RunningApplication> LinuxWorkspace::runningApplications()
{
    QList<RunningApplication> applications;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return applications;
    while (const dirent *entry = ::readdir(proc)) {
        bool numeric = false;
        const qint64 processId = QByteArrayView(entry->d_name).toLongLong(&numeric);
        if (!numeric || processId <= 0 || !ownedByThisUser(processId))
            continue;
        const std::optional<ProcessState> state = readState(processId);
        if (!state || state->zombie || state->kernelThread)
            continue;
        const QString name = applicationName(state->name);
        applications.append({name, isRegular(state->name, name), processId});
    }
    ::closedir(proc);
    return applications;
}

bool LinuxWorkspace::isRegular(const QString &processName, const QString &applicationName)
{
    if (knownApplication(applicationName))
        return true;
    if (!m_desktopPrograms) {
        m_desktopPrograms.emplace();
        for (const QString &folder :
             QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation)) {
            QDirIterator entries(folder, {QStringLiteral("*.desktop")}, QDir::Files,
                                 QDirIterator::Subdirectories);
            while (entries.hasNext())
                if (const std::optional<QString> program = desktopEntryProgram(entries.next()))
                    m_desktopPrograms->insert(*program);
        }
    }
    return m_desktopPrograms->contains(processName);
}

void LinuxWorkspace::launchApplication(const QString &name)
{
    const KnownApplication *application = knownApplication(name);
    if (!application) {
        m_log.line(QStringLiteral("Cannot start ") + name +
                   QStringLiteral(": not an application this program knows"));
        return;
    }
    const QString executable = QStandardPaths::findExecutable(application->executable);
    const QString start = QStringLiteral("start ") + name;
    if (!executable.isEmpty()) {
        if (const std::optional<qint64> processId = startDetached(start, executable, {}))
            m_log.line(QStringLiteral("Started ") + name + QStringLiteral(": ") + executable +
                       QStringLiteral(" (process ") + QString::number(*processId) + u')');
        return;
    }
    if (isFlatpakInstalled(application->flatpakId)) {
        const QString flatpak = QStandardPaths::findExecutable(QStringLiteral("flatpak"));
        if (flatpak.isEmpty())
            m_log.line(QStringLiteral("Cannot start ") + name + QStringLiteral(": the Flatpak ") +
                       application->flatpakId +
                       QStringLiteral(" is installed, but there is no flatpak on PATH"));
        else if (const std::optional<qint64> processId =
                     startDetached(start, flatpak, {QStringLiteral("run"), application->flatpakId}))
            m_log.line(QStringLiteral("Started ") + name + QStringLiteral(": ") + flatpak +
                       QStringLiteral(" run ") + application->flatpakId +
                       QStringLiteral(" (process ") + QString::number(*processId) + u')');
        return;
    }
    m_log.line(QStringLiteral("Cannot start ") + name + QStringLiteral(": no ") +
               application->executable + QStringLiteral(" on PATH and no Flatpak ") +
               application->flatpakId + QStringLiteral(" installed"));
}

void LinuxWorkspace::openUrl(const QUrl &url)
{
    if (!url.isValid()) {
        m_log.line(QStringLiteral("Not opening an invalid address: ") + url.errorString());
        return;
    }
    // Fully encoded, the address holds no space or control character, and it never begins with
    // "-", which xdg-open would read as an option.
    const QString address = url.toString(QUrl::FullyEncoded);
    // A fragment may carry a key for the page (the settings page's does): never logged.
    const QString shown = url.adjusted(QUrl::RemoveFragment).toString(QUrl::FullyEncoded);
    if (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")) {
        m_log.line(QStringLiteral("Not opening ") + shown +
                   QStringLiteral(": only http and https addresses are opened"));
        return;
    }
    // QDesktopServices would need a QGuiApplication, and on this desktop it runs xdg-open too.
    const QString xdgOpen = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (xdgOpen.isEmpty()) {
        m_log.line(QStringLiteral("Cannot open ") + shown +
                   QStringLiteral(": there is no xdg-open on PATH (Debian package xdg-utils)"));
        return;
    }
    if (const std::optional<qint64> processId =
            startDetached(QStringLiteral("open ") + shown, xdgOpen, {address}))
        m_log.line(QStringLiteral("Opened ") + shown + QStringLiteral(" with ") + xdgOpen +
                   QStringLiteral(" (process ") + QString::number(*processId) + u')');
}

std::optional<InstalledApplication> LinuxWorkspace::findApplication(const QString &name)
{
    const KnownApplication *application = knownApplication(name);
    if (!application)
        return std::nullopt;
    if (!QStandardPaths::findExecutable(application->executable).isEmpty())
        return InstalledApplication{InstalledApplication::Kind::Native, QString()};
    if (isFlatpakInstalled(application->flatpakId))
        return InstalledApplication{InstalledApplication::Kind::Flatpak, application->flatpakId};
    return std::nullopt;
}

void LinuxWorkspace::quitApplication(const RunningApplication &application)
{
    const QString which = application.name + QStringLiteral(" (process ") +
                          QString::number(application.processId) + u')';
    if (application.processId <= 0 || application.processId > std::numeric_limits<pid_t>::max() ||
        !ownedByThisUser(application.processId)) {
        m_log.line(QStringLiteral("Cannot ask ") + which +
                   QStringLiteral(" to quit: no such process of this user"));
        return;
    }
    if (::kill(static_cast<pid_t>(application.processId), SIGTERM) != 0) {
        const int error = errno;
        m_log.line(QStringLiteral("Cannot ask ") + which + QStringLiteral(" to quit: ") +
                   QString::fromLocal8Bit(std::strerror(error)));
        return;
    }
    m_log.line(QStringLiteral("Asked ") + which + QStringLiteral(" to quit"));
}

void LinuxWorkspace::whenGone(const QList<qint64> &processIds, std::chrono::milliseconds limit,
                              std::function<void(bool gone)> done)
{
    // A timer must live on the thread whose loop runs it, which is the caller's.
    auto *timer = new QTimer(QThread::currentThread() == m_waits.thread() ? &m_waits : nullptr);
    timer->setInterval(pollInterval);
    const QDeadlineTimer deadline(limit);
    QObject::connect(timer, &QTimer::timeout, timer,
                     [timer, processIds, deadline, done = std::move(done)]() mutable {
                         const bool gone = std::all_of(processIds.begin(), processIds.end(),
                                                       [](qint64 id) { return isGone(id); });
                         if (!gone && !deadline.hasExpired())
                             return;
                         timer->stop();
                         timer->deleteLater();
                         const auto callback = std::move(done);
                         callback(gone);
                     });
    timer->start();
}

bool LinuxWorkspace::isFlatpakInstalled(const QString &id) const
{
    return std::any_of(m_flatpakInstallations.begin(), m_flatpakInstallations.end(),
                       [&id](const QString &installation) {
                           return QFileInfo::exists(installation + QStringLiteral("/app/") + id +
                                                    QStringLiteral("/current/active"));
                       });
}

std::optional<qint64> LinuxWorkspace::startDetached(const QString &what, const QString &program,
                                                    const QStringList &arguments)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setWorkingDirectory(QDir::homePath());
    // Its output would otherwise interleave with this program's log.
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    qint64 processId = 0;
    if (!process.startDetached(&processId)) {
        m_log.line(QStringLiteral("Cannot ") + what + QStringLiteral(" (") +
                   (QStringList{program} + arguments).join(u' ') + QStringLiteral("): ") +
                   process.errorString());
        return std::nullopt;
    }
    return processId;
}

} // namespace zc

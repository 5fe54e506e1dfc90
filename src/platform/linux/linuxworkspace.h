#pragma once

#include "iworkspace.h"

#include <QObject>
#include <QSet>
#include <QStringList>

#include <optional>

namespace zc {

class Log;

// The user's processes, read from /proc, and the applications this program starts: VLC, from
// PATH or as a Flatpak. Addresses open in the desktop's default browser through xdg-open.
//
// A process of this user is a regular application when an installed desktop entry starts it (its
// Exec names the process's program), as the application menu shows it; shells, services and
// helpers are not. The applications this program knows (VLC, also as a Flatpak) always are.
// Other users' processes never count.
class LinuxWorkspace final : public IWorkspace
{
public:
    // Flatpak installation folders, each holding app/<id>/current/active when that application
    // is installed: the user's and the system's unless given.
    explicit LinuxWorkspace(Log &log, QStringList flatpakInstallations = {});

    static QStringList defaultFlatpakInstallations();

    QList<RunningApplication> runningApplications() override;
    void launchApplication(const QString &name) override;
    // Only http and https addresses; anything else is refused with a log line.
    void openUrl(const QUrl &url) override;
    std::optional<InstalledApplication> findApplication(const QString &name) override;
    // SIGTERM, which VLC and other applications take as a request to quit.
    void quitApplication(const RunningApplication &application) override;
    // Polls /proc; a zombie counts as gone. A wait still running when the workspace is destroyed
    // on the same thread ends without calling `done`.
    void whenGone(const QList<qint64> &processIds, std::chrono::milliseconds limit,
                  std::function<void(bool gone)> done) override;

private:
    bool isFlatpakInstalled(const QString &id) const;
    bool isRegular(const QString &processName, const QString &applicationName);
    // The process's id, or nothing after logging "Cannot <what>".
    std::optional<qint64> startDetached(const QString &what, const QString &program,
                                        const QStringList &arguments);

    Log &m_log;
    QStringList m_flatpakInstallations;
    // The programs the installed desktop entries start, as the kernel names their processes;
    // read on first use.
    std::optional<QSet<QString>> m_desktopPrograms;
    // Parent of the polling timers of whenGone.
    QObject m_waits;
};

} // namespace zc

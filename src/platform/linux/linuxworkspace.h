#pragma once

#include "iworkspace.h"

#include <QObject>
#include <QStringList>

namespace zc {

class Log;

// The user's processes, read from /proc, and the applications this program starts: VLC, from
// PATH or as a Flatpak. Addresses open in the desktop's default browser through xdg-open.
//
// Every process of this user counts as a regular application: Linux has no cheap, reliable mark
// for "has a window in the task switcher". Other users' processes never count.
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
    // The process's id, or nothing after logging "Cannot <what>".
    std::optional<qint64> startDetached(const QString &what, const QString &program,
                                        const QStringList &arguments);

    Log &m_log;
    QStringList m_flatpakInstallations;
    // Parent of the polling timers of whenGone.
    QObject m_waits;
};

} // namespace zc

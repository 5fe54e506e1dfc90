#pragma once

#include <QList>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <optional>

namespace zc {

struct RunningApplication
{
    QString name;
    // Applications with a window in the task switcher; helpers and daemons are not regular.
    bool regular = true;
    qint64 processId = 0;
};

// How an application is installed, which decides where it keeps its configuration.
struct InstalledApplication
{
    enum class Kind
    {
        Native,
        Flatpak
    };
    Kind kind = Kind::Native;
    QString flatpakId;
};

// The user's applications and the default handlers for addresses.
class IWorkspace
{
public:
    virtual ~IWorkspace() = default;

    virtual QList<RunningApplication> runningApplications() = 0;
    // Starts the application in the background; the outcome is reported in the log.
    virtual void launchApplication(const QString &name) = 0;
    virtual void openUrl(const QUrl &url) = 0;

    // Nothing when the application is not installed.
    virtual std::optional<InstalledApplication> findApplication(const QString &name) = 0;
    // Asks the application to quit, as closing its last window would.
    virtual void quitApplication(const RunningApplication &application) = 0;
    // Calls `done` on the caller's thread once every process is gone (true) or the limit has
    // passed with some still running (false). Never blocks.
    virtual void whenGone(const QList<qint64> &processIds, std::chrono::milliseconds limit,
                          std::function<void(bool gone)> done) = 0;
};

} // namespace zc

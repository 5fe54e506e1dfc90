#pragma once

#include <QList>
#include <QString>
#include <QUrl>

namespace zc {

struct RunningApplication
{
    QString name;
    // Applications with a window in the task switcher; helpers and daemons are not regular.
    bool regular = true;
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
};

} // namespace zc

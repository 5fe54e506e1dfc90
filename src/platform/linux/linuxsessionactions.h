#pragma once

#include "isessionactions.h"

#include <QDBusConnection>
#include <QObject>

namespace zc {

class Log;

// Locks through systemd-logind's session, or else the desktop's screen saver; logs out only
// through the desktop's own session manager, which lets the user confirm and applications save.
// Never through logind's TerminateSession, which ends the session with its unsaved work. Every
// request is asynchronous; each outcome is one log line.
class LinuxSessionActions final : public ISessionActions
{
public:
    LinuxSessionActions(QDBusConnection systemBus, QDBusConnection sessionBus, Log &log);

    void lockScreen() override;
    void logOut() override;

private:
    QDBusConnection m_systemBus;
    QDBusConnection m_sessionBus;
    Log &m_log;
    // Parent of the pending calls: none answers once this object is gone.
    QObject m_calls;
};

} // namespace zc

#pragma once

#include "ipoweractions.h"
#include "sessionmanagers.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>

namespace zc {

class Log;

// Shut down and restart go through the desktop's session manager first, so that applications
// may save and the user confirms; only when no desktop answers, through systemd-logind, and only
// when logind says that this user may. Sleep goes to logind. Every request is asynchronous; each
// outcome is one log line.
class LinuxPowerActions final : public IPowerActions
{
public:
    LinuxPowerActions(QDBusConnection systemBus, QDBusConnection sessionBus, Log &log);

    void shutDown() override;
    void restart() override;
    void sleep() override;

private:
    struct LogindAction
    {
        // For the log: "Shut down".
        QString name;
        // "PowerOff": asked only after "CanPowerOff" allows it.
        QString method;
    };

    void endSession(SessionEnd end, const LogindAction &action);
    void askLogind(const LogindAction &action, bool desktopAsked);

    QDBusConnection m_systemBus;
    QDBusConnection m_sessionBus;
    Log &m_log;
    // Parent of the pending calls: none answers once this object is gone.
    QObject m_calls;
};

} // namespace zc

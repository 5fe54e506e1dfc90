#pragma once

#include "dbusrequest.h"

#include <QList>

namespace zc {

enum class SessionEnd
{
    LogOut,
    ShutDown,
    Restart
};

// The desktops' own ways to end the session, on the session bus, in the order they are tried:
// GNOME, KDE Plasma, Xfce. Each lets applications save and shows the desktop's confirmation.
QList<DBusRequest> sessionManagerRequests(const QDBusConnection &sessionBus, SessionEnd end);

} // namespace zc

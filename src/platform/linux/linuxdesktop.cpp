#include "linuxdesktop.h"

#include "unavailabledesktop.h"

#include <QString>
#include <QtGlobal>

namespace zc {

namespace {

QString sessionLimitation()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return QStringLiteral("no graphical session (DISPLAY and WAYLAND_DISPLAY are not set)");
    return QStringLiteral("this build has no backend for this desktop session");
}

} // namespace

DesktopServices createLinuxDesktop(Log &log)
{
    const QString reason = sessionLimitation();
    DesktopServices services;
    services.input = std::make_unique<UnavailableInputEvents>(log, reason);
    services.text = std::make_unique<UnavailableTextInput>(log, reason);
    services.power = std::make_unique<UnavailablePowerActions>(log, reason);
    services.workspace = std::make_unique<UnavailableWorkspace>(log, reason);
    return services;
}

} // namespace zc

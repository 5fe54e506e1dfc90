#include "linuxdesktop.h"

#include "inputtranslator.h"
#include "linuxpoweractions.h"
#include "linuxsessionactions.h"
#include "linuxworkspace.h"
#include "unavailabledesktop.h"
#include "x11input.h"
#include "xlibconnection.h"

#include <QDBusConnection>
#include <QFileInfo>
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

// The input backend for this session, or why there is none.
std::unique_ptr<ILinuxInput> openInputBackend(Log &log, QString &failure)
{
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        // XTEST under a Wayland compositor reaches only the X11 applications it runs.
        failure = QStringLiteral("a Wayland session (WAYLAND_DISPLAY is set), and this build "
                                 "has no Wayland input backend");
        return nullptr;
    }
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        failure = sessionLimitation();
        return nullptr;
    }
    std::unique_ptr<XlibConnection> connection = XlibConnection::open(failure);
    if (!connection)
        return nullptr;
    return std::make_unique<X11Input>(std::move(connection), log);
}

// The user's session bus, or a disconnected connection when this session has none. Asked for a
// bus that no variable names, libdbus would start one of its own for the X display
// ("autolaunch") and leave it running; nothing on such a bus serves the desktop.
QDBusConnection sessionBus()
{
    const QString runtimeDirectory = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") &&
        (runtimeDirectory.isEmpty() ||
         !QFileInfo::exists(runtimeDirectory + QStringLiteral("/bus"))))
        return QDBusConnection(QStringLiteral("zc-no-session-bus"));
    return QDBusConnection::sessionBus();
}

} // namespace

DesktopServices createLinuxDesktop(Log &log)
{
    const QDBusConnection systemBus = QDBusConnection::systemBus();
    const QDBusConnection session = sessionBus();
    DesktopServices services;
    services.session = std::make_unique<LinuxSessionActions>(systemBus, session, log);
    QString failure;
    if (std::unique_ptr<ILinuxInput> backend = openInputBackend(log, failure)) {
        const auto translator =
            std::make_shared<InputTranslator>(std::move(backend), *services.session, log);
        services.input = translator;
        services.text = translator;
        services.inputUnavailableReason = [translator] { return translator->unavailableReason(); };
    } else {
        services.input = std::make_shared<UnavailableInputEvents>(log, failure);
        services.text = std::make_shared<UnavailableTextInput>(log, failure);
        services.inputUnavailableReason = [failure] { return failure; };
    }
    services.power = std::make_unique<LinuxPowerActions>(systemBus, session, log);
    services.workspace = std::make_unique<LinuxWorkspace>(log);
    return services;
}

} // namespace zc

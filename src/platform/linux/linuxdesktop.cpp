#include "linuxdesktop.h"

#include "inputtranslator.h"
#include "unavailabledesktop.h"
#include "x11input.h"
#include "xlibconnection.h"

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

} // namespace

DesktopServices createLinuxDesktop(Log &log)
{
    const QString reason = sessionLimitation();
    DesktopServices services;
    services.session = std::make_unique<UnavailableSessionActions>(log, reason);
    if (std::unique_ptr<ILinuxInput> backend =
            openInputBackend(log, services.inputUnavailableReason)) {
        const auto translator =
            std::make_shared<InputTranslator>(std::move(backend), *services.session, log);
        services.input = translator;
        services.text = translator;
    } else {
        services.input =
            std::make_shared<UnavailableInputEvents>(log, services.inputUnavailableReason);
        services.text =
            std::make_shared<UnavailableTextInput>(log, services.inputUnavailableReason);
    }
    services.power = std::make_unique<UnavailablePowerActions>(log, reason);
    services.workspace = std::make_unique<UnavailableWorkspace>(log, reason);
    return services;
}

} // namespace zc

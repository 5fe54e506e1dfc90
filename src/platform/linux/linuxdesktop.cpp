#include "linuxdesktop.h"

#include "inputtranslator.h"
#include "linuxpoweractions.h"
#include "linuxsessionactions.h"
#include "linuxworkspace.h"
#include "log.h"
#include "portalinput.h"
#include "uinputinput.h"
#include "unavailabledesktop.h"
#include "waylandkeymap.h"
#include "wlrootsinput.h"
#include "x11input.h"
#include "xkbkeymap.h"
#include "xlibconnection.h"

#include <QDBusConnection>
#include <QFileInfo>
#include <QString>
#include <QtGlobal>

namespace zc {

namespace {

QString noGraphicalSession()
{
    return QStringLiteral("no graphical session (DISPLAY and WAYLAND_DISPLAY are not set)");
}

// Long enough for a portal started on demand to answer, short enough for a start-up.
constexpr int portalProbeTimeoutMs = 3000;

InputEnvironment probeEnvironment(std::optional<InputBackend> wanted, const QDBusConnection &bus)
{
    InputEnvironment environment;
    environment.x11Display = !qEnvironmentVariableIsEmpty("DISPLAY");
    environment.waylandDisplay = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    // Only what the choice needs is asked for: each question may cost a round trip.
    if (wanted)
        return environment;
    if (environment.waylandDisplay) {
        environment.wlrootsGlobals = wlrootsInputOffered();
        if (environment.wlrootsGlobals)
            return environment;
        environment.portalRemoteDesktop = PortalInput::offeredOn(bus, portalProbeTimeoutMs);
        if (environment.portalRemoteDesktop)
            return environment;
    }
    environment.uinputWritable = uinputWritable();
    return environment;
}

std::unique_ptr<ILinuxInput> openBackend(InputBackend backend, const InputOptions &options,
                                         const QDBusConnection &bus, Log &log, QString &failure)
{
    switch (backend) {
    case InputBackend::X11: {
        if (qEnvironmentVariableIsEmpty("DISPLAY")) {
            failure = QStringLiteral("no X display (DISPLAY is not set)");
            return nullptr;
        }
        std::unique_ptr<XlibConnection> connection = XlibConnection::open(failure);
        if (!connection)
            return nullptr;
        return std::make_unique<X11Input>(std::move(connection), log);
    }
    case InputBackend::Wlroots:
        return openWlrootsInput(log, failure);
    case InputBackend::Portal: {
        if (!bus.isConnected()) {
            failure = QStringLiteral("the RemoteDesktop portal needs a session bus, and there is "
                                     "none");
            return nullptr;
        }
        // The layout tells which characters the desktop can type; without Wayland it is unknown.
        QString keymapFailure;
        std::shared_ptr<WaylandKeymap> keymap;
        if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
            keymap = WaylandKeymap::open(log, keymapFailure);
        if (!keymap && !keymapFailure.isEmpty())
            log.line("The desktop's keyboard layout is unknown:", keymapFailure);
        return std::make_unique<PortalInput>(
            bus, log,
            PortalInput::Hooks{.restoreToken = options.restoreToken,
                               .keepRestoreToken = options.keepRestoreToken,
                               .keymap = [keymap]() -> const XkbKeymap * {
                                   return keymap ? keymap->keymap() : nullptr;
                               }});
    }
    case InputBackend::Uinput:
        return openUinputInput(log, failure);
    }
    return nullptr;
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

std::optional<InputChoice> InputChoice::parse(const QString &name)
{
    if (name == u"auto")
        return InputChoice{};
    if (name == u"x11")
        return InputChoice{InputBackend::X11};
    if (name == u"wlroots")
        return InputChoice{InputBackend::Wlroots};
    if (name == u"portal")
        return InputChoice{InputBackend::Portal};
    if (name == u"uinput")
        return InputChoice{InputBackend::Uinput};
    return std::nullopt;
}

std::variant<InputBackend, QString> chooseInputBackend(InputChoice choice,
                                                       const InputEnvironment &environment)
{
    if (choice.backend)
        return *choice.backend;
    // XTEST under a Wayland compositor reaches only the X11 applications it runs.
    if (environment.x11Display && !environment.waylandDisplay)
        return InputBackend::X11;
    if (environment.waylandDisplay && environment.wlrootsGlobals)
        return InputBackend::Wlroots;
    if (environment.waylandDisplay && environment.portalRemoteDesktop)
        return InputBackend::Portal;
    if (environment.uinputWritable)
        return InputBackend::Uinput;
    if (!environment.waylandDisplay && !environment.x11Display)
        return noGraphicalSession() +
               QStringLiteral(", and /dev/uinput is not writable (install the udev rule "
                              "docs/input.md names, or start zanti-connect in a desktop session)");
    return QStringLiteral("a Wayland session whose compositor offers no virtual pointer and "
                          "keyboard and whose desktop has no RemoteDesktop portal, and "
                          "/dev/uinput is not writable (install the udev rule docs/input.md "
                          "names)");
}

DesktopServices createLinuxDesktop(Log &log, const InputOptions &input)
{
    const QDBusConnection systemBus = QDBusConnection::systemBus();
    const QDBusConnection session = sessionBus();
    DesktopServices services;
    services.session = std::make_unique<LinuxSessionActions>(systemBus, session, log);
    QString failure;
    std::unique_ptr<ILinuxInput> backend;
    const std::variant<InputBackend, QString> chosen =
        chooseInputBackend(input.choice, probeEnvironment(input.choice.backend, session));
    if (const auto *route = std::get_if<InputBackend>(&chosen))
        backend = openBackend(*route, input, session, log, failure);
    else
        failure = std::get<QString>(chosen);
    if (backend) {
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

#pragma once

#include "desktopservices.h"

#include <QString>

#include <functional>
#include <optional>
#include <variant>

namespace zc {

class Log;

// The routes by which synthetic input reaches a Linux desktop.
enum class InputBackend
{
    // XTEST, on an X11 session.
    X11,
    // The virtual pointer and keyboard protocols of wlroots compositors (Sway, Hyprland, ...).
    Wlroots,
    // The RemoteDesktop interface of xdg-desktop-portal (GNOME, KDE), with the user's consent.
    Portal,
    // A virtual device of the kernel's uinput, seen by any session as real hardware.
    Uinput,
};

// What the user asked for: a route, or the best one this session offers.
struct InputChoice
{
    std::optional<InputBackend> backend;

    // "auto", "x11", "wlroots", "portal" or "uinput"; absent for anything else.
    static std::optional<InputChoice> parse(const QString &name);
};

// What this session offers for input, as far as the choice depends on it.
struct InputEnvironment
{
    bool x11Display = false;
    bool waylandDisplay = false;
    // The compositor offers zwlr_virtual_pointer_manager_v1 and zwp_virtual_keyboard_manager_v1.
    bool wlrootsGlobals = false;
    // The desktop's portal offers RemoteDesktop with a keyboard and a pointer.
    bool portalRemoteDesktop = false;
    bool uinputWritable = false;
};

// The route to take, or why there is none. Asked for a route by name, that route is taken; else
// X11 on an X11 session, then wlroots, the portal and uinput, the first one offered.
std::variant<InputBackend, QString> chooseInputBackend(InputChoice choice,
                                                       const InputEnvironment &environment);

struct InputOptions
{
    InputChoice choice;
    // The portal's token for starting the next session without asking the user again.
    std::function<QString()> restoreToken = [] { return QString(); };
    std::function<void(const QString &)> keepRestoreToken = [](const QString &) {};
};

// Picks, for this session, the implementation of each desktop service; a service that cannot
// work here is replaced by one that says so in the log. Input goes by the route
// chooseInputBackend picks. Power and session requests go over the system and session D-Bus;
// applications and addresses through /proc and detached processes.
DesktopServices createLinuxDesktop(Log &log, const InputOptions &input = {});

} // namespace zc

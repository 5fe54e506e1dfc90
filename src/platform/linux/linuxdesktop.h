#pragma once

#include "desktopservices.h"

namespace zc {

class Log;

// Picks, for this session, the implementation of each desktop service; a service that cannot
// work here is replaced by one that says so in the log. Input goes through XTEST when DISPLAY is
// set, WAYLAND_DISPLAY is not, and the X server offers XTEST and XKEYBOARD. Power and session
// requests go over the system and session D-Bus; applications and addresses through /proc and
// detached processes.
DesktopServices createLinuxDesktop(Log &log);

} // namespace zc

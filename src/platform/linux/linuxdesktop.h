#pragma once

#include "desktopservices.h"

namespace zc {

class Log;

// Picks, for this session, the implementation of each desktop service; a service that cannot
// work here is replaced by one that says so in the log.
DesktopServices createLinuxDesktop(Log &log);

} // namespace zc

#pragma once

#include "ilinuxinput.h"

#include <memory>

namespace zc {

class Log;

// Whether the compositor at WAYLAND_DISPLAY offers virtual pointers and keyboards. One round trip.
bool wlrootsInputOffered();
// Input through the virtual pointer and keyboard protocols of a wlroots compositor, or why there
// is none.
std::unique_ptr<ILinuxInput> openWlrootsInput(Log &log, QString &failure);

} // namespace zc

#pragma once

#include "ilinuxinput.h"

#include <memory>

namespace zc {

class Log;

// Whether this user may create input devices through /dev/uinput.
bool uinputWritable();
// Input through a virtual device of the kernel's uinput, or why there is none.
std::unique_ptr<ILinuxInput> openUinputInput(Log &log, QString &failure);

} // namespace zc

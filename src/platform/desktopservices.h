#pragma once

#include "iinputevents.h"
#include "ipoweractions.h"
#include "itextinput.h"
#include "iworkspace.h"

#include <memory>

namespace zc {

// The desktop as the command executors reach it, one implementation per concern.
struct DesktopServices
{
    std::unique_ptr<IInputEvents> input;
    std::unique_ptr<ITextInput> text;
    std::unique_ptr<IPowerActions> power;
    std::unique_ptr<IWorkspace> workspace;
};

} // namespace zc

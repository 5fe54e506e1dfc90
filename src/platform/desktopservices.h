#pragma once

#include "iinputevents.h"
#include "ipoweractions.h"
#include "isessionactions.h"
#include "itextinput.h"
#include "iworkspace.h"

#include <QString>

#include <functional>
#include <memory>

namespace zc {

// The desktop as the command executors reach it, one implementation per concern.
struct DesktopServices
{
    // Declared first, so that it outlives the input services that lock and log out through it.
    std::unique_ptr<ISessionActions> session;
    // Shared, because one object may serve both: typed text must know which keys input holds.
    std::shared_ptr<IInputEvents> input;
    std::shared_ptr<ITextInput> text;
    std::unique_ptr<IPowerActions> power;
    std::unique_ptr<IWorkspace> workspace;
    // Why synthetic input cannot reach this desktop now; empty while it can or while it is being
    // set up (the desktop may be asking the user for permission).
    std::function<QString()> inputUnavailableReason = [] { return QString(); };

    bool inputAvailable() const { return inputUnavailableReason().isEmpty(); }
};

} // namespace zc

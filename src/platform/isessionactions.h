#pragma once

namespace zc {

// The user's desktop session. Each request returns at once; the outcome is reported in the log.
class ISessionActions
{
public:
    virtual ~ISessionActions() = default;

    virtual void lockScreen() = 0;
    // Asks the desktop to log out with its own confirmation, so nothing unsaved is lost silently.
    virtual void logOut() = 0;
};

} // namespace zc

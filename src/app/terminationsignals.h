#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

namespace zc {

// Turns SIGINT and SIGTERM into a call on the event loop's thread, where it is safe to stop the
// servers and quit. Only one may exist at a time.
class TerminationSignals
{
public:
    explicit TerminationSignals(std::function<void(int signal)> onSignal);
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals &) = delete;
    TerminationSignals &operator=(const TerminationSignals &) = delete;

private:
    int m_fds[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::function<void(int)> m_onSignal;
};

} // namespace zc

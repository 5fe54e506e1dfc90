#pragma once

namespace zc {

// Power-state requests. Each returns at once; the outcome is reported in the log.
class IPowerActions
{
public:
    virtual ~IPowerActions() = default;

    virtual void shutDown() = 0;
    virtual void restart() = 0;
    virtual void sleep() = 0;
};

} // namespace zc

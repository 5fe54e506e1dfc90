#pragma once

namespace zc {

// Told by the TCP server whenever it starts or stops serving.
class tcpServerRestartDelegate
{
public:
    virtual ~tcpServerRestartDelegate() = default;
    virtual void tcpServerRunningChanged(bool running) = 0;
};

} // namespace zc

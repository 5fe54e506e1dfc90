#pragma once

namespace zc {

// Told by the UDP server whenever it starts or stops serving.
class UDPServerRestartDelegate
{
public:
    virtual ~UDPServerRestartDelegate() = default;
    virtual void udpServerRunningChanged(bool running) = 0;
};

} // namespace zc

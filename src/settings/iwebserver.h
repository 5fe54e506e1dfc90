#pragma once

#include <QtGlobal>

namespace zc {

// Told by the settings web server whenever it starts or stops serving.
class webserverRestartDelegate
{
public:
    virtual ~webserverRestartDelegate() = default;
    virtual void webServerRunningChanged(bool running) = 0;
};

// What the supervisor needs of the settings web server.
class IWebServer
{
public:
    virtual ~IWebServer() = default;
    virtual void startServer(quint16 port) = 0;
    virtual void stopServer() = 0;
    virtual bool isServerRunning() const = 0;
    virtual void setWebserverDelegate(webserverRestartDelegate *delegate) = 0;
};

} // namespace zc

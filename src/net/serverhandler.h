#pragma once

#include "iwebserver.h"
#include "tcpserverrestartdelegate.h"
#include "udpserverrestartdelegate.h"

#include <QObject>

#include <functional>
#include <optional>

namespace zc {

class Extras;
class IInputEvents;
class Log;
class TCPServer;
class UDPServer;
class ZantiPreferences;

// Starts and stops the servers as one unit, each on the first free port at or above the
// configured one. Callable from any thread: the work always runs on the thread that owns the
// supervisor, which is the servers' thread.
class ServerHandler final : public UDPServerRestartDelegate,
                            public tcpServerRestartDelegate,
                            public webserverRestartDelegate
{
public:
    // The web server is optional. Whatever input the phones still hold (a key, a button) is
    // released whenever the servers stop.
    ServerHandler(UDPServer &udp, TCPServer &tcp, IWebServer *web, ZantiPreferences &preferences,
                  Extras &extras, IInputEvents &input, Log &log);

    void startServers();
    void stopServers();
    // Stops every server, starts them again half a second later, then calls `then`. Returns at
    // once; the pause runs in the event loop.
    void restartServers(std::function<void()> then);

    // All the servers there are run.
    bool isServerRunning() const;

    bool isUDPServerRunning() const { return m_isUDPServerRunning; }
    bool isTCPServerRunning() const { return m_isTCPServerRunning; }
    bool isWebServerRunning() const { return m_isWebServerRunning; }
    std::optional<quint16> Port() const { return m_port; }
    std::optional<quint16> udpPort() const { return m_udpPort; }
    std::optional<quint16> tcpPort() const { return m_tcpPort; }
    std::optional<quint16> webPort() const { return m_webPort; }
    // Where the command servers really listen, while they do.
    std::optional<quint16> udpPortInUse() const;
    std::optional<quint16> tcpPortInUse() const;

    void udpServerRunningChanged(bool running) override { m_isUDPServerRunning = running; }
    void tcpServerRunningChanged(bool running) override { m_isTCPServerRunning = running; }
    void webServerRunningChanged(bool running) override { m_isWebServerRunning = running; }

private:
    void onOwnThread(const std::function<void()> &work);
    void startOnOwnThread();
    void stopOnOwnThread();
    void becomeDelegate();
    // The first port at or above `from` that passes the check; nothing past 65535.
    std::optional<quint16> searchUpward(quint16 from, bool udp, bool logTried);

    std::optional<quint16> m_port;
    std::optional<quint16> m_udpPort;
    std::optional<quint16> m_tcpPort;
    std::optional<quint16> m_webPort;
    bool m_isWebServerRunning = false;
    bool m_isUDPServerRunning = false;
    bool m_isTCPServerRunning = false;
    UDPServer &m_udp;
    TCPServer &m_tcp;
    IWebServer *m_web;
    ZantiPreferences &m_preferences;
    Extras &m_extras;
    IInputEvents &m_input;
    Log &m_log;
    QObject m_context;
};

} // namespace zc

#include "serverhandler.h"

#include "extras.h"
#include "iinputevents.h"
#include "log.h"
#include "tcpserver.h"
#include "udpserver.h"
#include "zantipreferences.h"

#include <QThread>
#include <QTimer>

namespace zc {

ServerHandler::ServerHandler(UDPServer &udp, TCPServer &tcp, IWebServer *web,
                             ZantiPreferences &preferences, Extras &extras, IInputEvents &input,
                             Log &log)
    : m_udp(udp), m_tcp(tcp), m_web(web), m_preferences(preferences), m_extras(extras),
      m_input(input), m_log(log)
{}

void ServerHandler::onOwnThread(const std::function<void()> &work)
{
    if (QThread::currentThread() == m_context.thread())
        work();
    else
        QMetaObject::invokeMethod(&m_context, work, Qt::BlockingQueuedConnection);
}

void ServerHandler::startServers()
{
    onOwnThread([this] { startOnOwnThread(); });
}

void ServerHandler::stopServers()
{
    onOwnThread([this] { stopOnOwnThread(); });
}

void ServerHandler::restartServers(std::function<void()> then)
{
    using namespace std::chrono_literals;
    stopServers();
    QTimer::singleShot(500ms, &m_context, [this, then = std::move(then)] {
        startServers();
        if (then)
            then();
    });
}

std::optional<quint16> ServerHandler::udpPortInUse() const
{
    return m_udp.isServerRunning() ? std::optional(m_udp.localPort()) : std::nullopt;
}

std::optional<quint16> ServerHandler::tcpPortInUse() const
{
    return m_tcp.isServerRunning() ? std::optional(m_tcp.localPort()) : std::nullopt;
}

bool ServerHandler::isServerRunning() const
{
    return m_udp.isServerRunning() && m_tcp.isServerRunning() &&
           (!m_web || m_web->isServerRunning());
}

void ServerHandler::becomeDelegate()
{
    if (m_web)
        m_web->setWebserverDelegate(this);
    m_udp.setUdpServerDelegate(this);
    m_tcp.setTcpServerDelegate(this);
}

std::optional<quint16> ServerHandler::searchUpward(quint16 from, bool udp, bool logTried)
{
    for (quint32 port = from; port <= 65535; ++port) {
        const auto candidate = quint16(port);
        const bool free = udp ? m_extras.isUdpPortFree(candidate) : m_extras.isPortFree(candidate);
        if (logTried)
            m_log.line(candidate);
        if (free)
            return candidate;
    }
    m_log.line("No free port from", from, "to 65535; that server stays stopped");
    return std::nullopt;
}

void ServerHandler::startOnOwnThread()
{
    becomeDelegate();
    if (m_web && !m_isWebServerRunning) {
        m_webPort = searchUpward(m_preferences.webServerPort(), false, false);
        if (m_webPort)
            m_web->startServer(*m_webPort);
    }
    if (m_isUDPServerRunning || m_isTCPServerRunning)
        return;
    const quint16 udpPreference = m_preferences.serverUDPPort();
    const quint16 tcpPreference = m_preferences.serverTCPPort();
    if (udpPreference == tcpPreference) {
        m_port = searchUpward(udpPreference, true, true);
        if (!m_port)
            return;
        m_udp.startServer(*m_port);
        m_tcp.startServer(*m_port);
        return;
    }
    m_udpPort = searchUpward(udpPreference, true, false);
    if (m_udpPort)
        m_udp.startServer(*m_udpPort);
    m_tcpPort = searchUpward(tcpPreference, false, false);
    if (m_tcpPort)
        m_tcp.startServer(*m_tcpPort);
}

void ServerHandler::stopOnOwnThread()
{
    becomeDelegate();
    m_log.line(m_isWebServerRunning);
    if (m_web && m_isWebServerRunning)
        m_web->stopServer();
    if (m_isUDPServerRunning)
        m_udp.stopServer();
    if (m_isTCPServerRunning)
        m_tcp.stopServer();
    m_input.releaseAll();
}

} // namespace zc

#pragma once

#include <QSocketNotifier>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>

struct wl_display;

namespace zc {

// One connection to the Wayland compositor at WAYLAND_DISPLAY, whose events are dispatched on the
// main thread as they arrive. Used by the .cpp files of the Wayland routes only, which add their
// own objects and listeners.
class WaylandConnection
{
public:
    // Null, and the reason, when there is no compositor to connect to.
    static std::unique_ptr<WaylandConnection> open(QString &failure);
    ~WaylandConnection();
    WaylandConnection(const WaylandConnection &) = delete;
    WaylandConnection &operator=(const WaylandConnection &) = delete;

    wl_display *display() const { return m_display; }
    // Sends and dispatches everything up to the compositor's answer; false once the connection
    // has failed. A compositor that does not answer within `roundtripTimeout` fails it.
    static constexpr std::chrono::milliseconds roundtripTimeout{2000};
    bool roundtrip();
    // Sends the requests made so far; false once the connection has failed. What the socket does
    // not take now goes out as soon as it is writable.
    bool flush();
    bool failed() const { return !m_failure.isEmpty(); }
    // Whether requests wait for the socket. libwayland gives up on a connection whose own buffer
    // (4 KiB) overflows, so a client that can wait sends no more meanwhile.
    bool congested() const { return m_writable.isEnabled(); }
    // Called when the requests that waited have gone out.
    void setDrainedHandler(std::function<void()> handler) { m_drainedHandler = std::move(handler); }
    // Why the connection failed; empty while it works.
    const QString &failure() const { return m_failure; }
    // Called once, when the connection fails: the compositor went away or refused a request.
    void setFailureHandler(std::function<void()> handler) { m_failureHandler = std::move(handler); }

private:
    explicit WaylandConnection(wl_display *display);
    void dispatch();
    void checkFailed();
    void fail(const QString &reason);

    wl_display *m_display;
    QSocketNotifier m_readable;
    QSocketNotifier m_writable;
    QString m_failure;
    std::function<void()> m_failureHandler;
    std::function<void()> m_drainedHandler;
};

} // namespace zc

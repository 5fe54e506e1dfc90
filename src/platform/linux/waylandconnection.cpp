#include "waylandconnection.h"

#include <wayland-client.h>

#include <QByteArray>
#include <QDeadlineTimer>
#include <QtGlobal>

#include <poll.h>

#include <cerrno>
#include <cstring>

namespace zc {

std::unique_ptr<WaylandConnection> WaylandConnection::open(QString &failure)
{
    wl_display *display = wl_display_connect(nullptr);
    if (!display) {
        const QString name = qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
                                 ? QStringLiteral("wayland-0")
                                 : qEnvironmentVariable("WAYLAND_DISPLAY");
        failure = QStringLiteral("cannot connect to the Wayland compositor \"%1\"").arg(name);
        return nullptr;
    }
    return std::unique_ptr<WaylandConnection>(new WaylandConnection(display));
}

WaylandConnection::WaylandConnection(wl_display *display)
    : m_display(display), m_readable(wl_display_get_fd(display), QSocketNotifier::Read),
      m_writable(wl_display_get_fd(display), QSocketNotifier::Write)
{
    m_writable.setEnabled(false);
    QObject::connect(&m_readable, &QSocketNotifier::activated, [this] { dispatch(); });
    QObject::connect(&m_writable, &QSocketNotifier::activated, [this] { flush(); });
}

WaylandConnection::~WaylandConnection()
{
    m_readable.setEnabled(false);
    m_writable.setEnabled(false);
    wl_display_disconnect(m_display);
}

bool WaylandConnection::roundtrip()
{
    if (failed())
        return false;
    // Not wl_display_roundtrip(): it waits without a bound, and a compositor that accepted the
    // connection but is stopped would hold the event loop for good.
    bool answered = false;
    static constexpr wl_callback_listener listener{
        [](void *data, wl_callback *, uint32_t) { *static_cast<bool *>(data) = true; }};
    wl_callback *callback = wl_display_sync(m_display);
    wl_callback_add_listener(callback, &listener, &answered);
    const QDeadlineTimer deadline(roundtripTimeout);
    while (!answered && !failed()) {
        if (wl_display_flush(m_display) < 0 && errno != EAGAIN) {
            checkFailed();
            break;
        }
        if (wl_display_prepare_read(m_display) != 0) {
            if (wl_display_dispatch_pending(m_display) < 0)
                checkFailed();
            continue;
        }
        pollfd socket{wl_display_get_fd(m_display), POLLIN, 0};
        const int ready = poll(&socket, 1, int(deadline.remainingTime()));
        if (ready <= 0) {
            wl_display_cancel_read(m_display);
            if (ready == 0 || deadline.hasExpired())
                fail(QStringLiteral("the Wayland compositor did not answer within %1 s")
                         .arg(roundtripTimeout.count() / 1000));
            continue;
        }
        if (wl_display_read_events(m_display) < 0 || wl_display_dispatch_pending(m_display) < 0)
            checkFailed();
    }
    wl_callback_destroy(callback);
    return answered && !failed();
}

void WaylandConnection::fail(const QString &reason)
{
    if (failed())
        return;
    m_failure = reason;
    // A dead socket stays readable: without this the event loop would spin on it.
    m_readable.setEnabled(false);
    m_writable.setEnabled(false);
    if (m_failureHandler)
        m_failureHandler();
}

bool WaylandConnection::flush()
{
    if (failed())
        return false;
    if (wl_display_flush(m_display) < 0) {
        // A connection libwayland gave up on (a request beyond its buffer) answers EAGAIN too.
        if (errno == EAGAIN && wl_display_get_error(m_display) == 0) {
            m_writable.setEnabled(true);
            return true;
        }
        checkFailed();
        return false;
    }
    if (m_writable.isEnabled()) {
        m_writable.setEnabled(false);
        if (m_drainedHandler)
            m_drainedHandler();
    }
    return true;
}

void WaylandConnection::dispatch()
{
    if (failed())
        return;
    // Hazard: wl_display_dispatch() flushes first and, while the socket takes nothing, waits
    // for it without a timeout; a compositor busy elsewhere would stall the event loop. This
    // reads only, which the notifier says it can without waiting, and leaves the requests to
    // flush(), which waits for the socket through the notifier.
    while (wl_display_prepare_read(m_display) != 0) {
        if (wl_display_dispatch_pending(m_display) < 0) {
            checkFailed();
            return;
        }
    }
    if (wl_display_read_events(m_display) < 0 || wl_display_dispatch_pending(m_display) < 0)
        checkFailed();
    else
        flush();
}

void WaylandConnection::checkFailed()
{
    const int error = wl_display_get_error(m_display);
    if (error == 0)
        return;
    if (error != EPROTO) {
        fail(QStringLiteral("the connection to the Wayland compositor is lost (%1)")
                 .arg(QString::fromLocal8Bit(std::strerror(error))));
        return;
    }
    const wl_interface *interface = nullptr;
    const uint32_t code = wl_display_get_protocol_error(m_display, &interface, nullptr);
    fail(QStringLiteral("the Wayland compositor refused a request (%1 error %2)")
             .arg(QString::fromLatin1(interface ? interface->name : "unknown"))
             .arg(code));
}

} // namespace zc

#include "waylandkeymap.h"

#include "log.h"
#include "waylandconnection.h"
#include "xkbkeymap.h"

#include <wayland-client.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace zc {

namespace {

class SeatKeymap final : public WaylandKeymap
{
public:
    SeatKeymap(std::unique_ptr<WaylandConnection> connection, Log &log)
        : m_connection(std::move(connection)), m_log(log)
    {
        m_connection->setFailureHandler([this] {
            m_log.line("The desktop's keyboard layout is no longer followed:",
                       m_connection->failure());
        });
    }

    ~SeatKeymap() override
    {
        if (m_keyboard)
            releaseKeyboard();
        if (m_seat)
            wl_seat_destroy(m_seat);
        if (m_registry)
            wl_registry_destroy(m_registry);
    }

    const XkbKeymap *keymap() const override { return m_keymap.get(); }

    bool start(QString &failure)
    {
        m_registry = wl_display_get_registry(m_connection->display());
        wl_registry_add_listener(m_registry, &registryListener, this);
        // The first round trip brings the globals, the second the seat's capabilities and, for a
        // keyboard, its keymap.
        if (!m_connection->roundtrip() || (m_seat && !m_connection->roundtrip())) {
            failure = m_connection->failure();
            return false;
        }
        if (!m_seat) {
            failure = QStringLiteral("the Wayland compositor offers no seat");
            return false;
        }
        return m_connection->flush();
    }

private:
    static void global(void *data, wl_registry *registry, uint32_t name, const char *interface,
                       uint32_t version)
    {
        auto *self = static_cast<SeatKeymap *>(data);
        // The first seat is the user's; a compositor with several names no other for this.
        if (std::strcmp(interface, wl_seat_interface.name) != 0 || self->m_seat)
            return;
        self->m_seatVersion = std::min(version, 5u);
        self->m_seat = static_cast<wl_seat *>(
            wl_registry_bind(registry, name, &wl_seat_interface, self->m_seatVersion));
        wl_seat_add_listener(self->m_seat, &seatListener, self);
    }
    static void globalRemove(void *, wl_registry *, uint32_t) {}

    static void capabilities(void *data, wl_seat *seat, uint32_t capabilities)
    {
        auto *self = static_cast<SeatKeymap *>(data);
        const bool keyboard = capabilities & WL_SEAT_CAPABILITY_KEYBOARD;
        // A keyboard asked for while the seat has none stays inert: it is asked for again each
        // time one appears.
        if (keyboard && !self->m_keyboard) {
            self->m_keyboard = wl_seat_get_keyboard(seat);
            wl_keyboard_add_listener(self->m_keyboard, &keyboardListener, self);
        } else if (!keyboard && self->m_keyboard) {
            self->releaseKeyboard();
        }
    }
    static void seatName(void *, wl_seat *, const char *) {}

    static void keymapEvent(void *data, wl_keyboard *, uint32_t format, int32_t fd, uint32_t size)
    {
        auto *self = static_cast<SeatKeymap *>(data);
        if (format != WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 || size == 0) {
            close(fd);
            return;
        }
        // MAP_PRIVATE: the compositor may hand every client the same read-only file.
        void *text = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        close(fd);
        if (text == MAP_FAILED) {
            self->m_log.line("The desktop's keyboard layout could not be read: mmap failed");
            return;
        }
        QString failure;
        std::unique_ptr<XkbKeymap> keymap =
            XkbKeymap::fromText(QByteArrayView(static_cast<const char *>(text), size), failure);
        munmap(text, size);
        if (keymap)
            self->m_keymap = std::move(keymap);
        else
            self->m_log.line("The desktop's keyboard layout could not be read:", failure);
    }
    static void enter(void *, wl_keyboard *, uint32_t, wl_surface *, wl_array *) {}
    static void leave(void *, wl_keyboard *, uint32_t, wl_surface *) {}
    static void key(void *, wl_keyboard *, uint32_t, uint32_t, uint32_t, uint32_t) {}
    static void modifiers(void *, wl_keyboard *, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t)
    {}
    static void repeatInfo(void *, wl_keyboard *, int32_t, int32_t) {}

    void releaseKeyboard()
    {
        if (m_seatVersion >= WL_KEYBOARD_RELEASE_SINCE_VERSION)
            wl_keyboard_release(m_keyboard);
        else
            wl_keyboard_destroy(m_keyboard);
        m_keyboard = nullptr;
    }

    static constexpr wl_registry_listener registryListener{global, globalRemove};
    static constexpr wl_seat_listener seatListener{capabilities, seatName};
    static constexpr wl_keyboard_listener keyboardListener{keymapEvent, enter,     leave,
                                                           key,         modifiers, repeatInfo};

    std::unique_ptr<WaylandConnection> m_connection;
    Log &m_log;
    wl_registry *m_registry = nullptr;
    wl_seat *m_seat = nullptr;
    uint32_t m_seatVersion = 0;
    wl_keyboard *m_keyboard = nullptr;
    std::unique_ptr<XkbKeymap> m_keymap;
};

} // namespace

std::unique_ptr<WaylandKeymap> WaylandKeymap::open(Log &log, QString &failure)
{
    std::unique_ptr<WaylandConnection> connection = WaylandConnection::open(failure);
    if (!connection)
        return nullptr;
    auto keymap = std::make_unique<SeatKeymap>(std::move(connection), log);
    if (!keymap->start(failure))
        return nullptr;
    return keymap;
}

} // namespace zc

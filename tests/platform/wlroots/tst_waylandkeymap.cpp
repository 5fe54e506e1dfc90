#include "headlesssway.h"
#include "linux/waylandconnection.h"
#include "linux/waylandkeymap.h"
#include "linux/wlrootsinput.h"
#include "linux/xkbkeymap.h"
#include "logcapture.h"

#include <virtual-keyboard-unstable-v1-client-protocol.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <QTest>

#include <linux/input-event-codes.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

using namespace zc;

namespace {

// A keyboard of the test's own that brings the seat a keymap, as a user's layout switch does.
class TestKeyboard
{
public:
    bool connect()
    {
        m_display = wl_display_connect(nullptr);
        if (!m_display)
            return false;
        wl_registry *registry = wl_display_get_registry(m_display);
        wl_registry_add_listener(registry, &registryListener, this);
        wl_display_roundtrip(m_display);
        wl_registry_destroy(registry);
        if (!m_seat || !m_manager)
            return false;
        m_keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(m_manager, m_seat);
        return true;
    }
    ~TestKeyboard()
    {
        if (m_keyboard)
            zwp_virtual_keyboard_v1_destroy(m_keyboard);
        if (m_manager)
            zwp_virtual_keyboard_manager_v1_destroy(m_manager);
        if (m_seat)
            wl_seat_destroy(m_seat);
        if (m_display)
            wl_display_disconnect(m_display);
    }

    bool upload(const char *layout)
    {
        xkb_context *context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
        const xkb_rule_names names{"evdev", "pc105", layout, nullptr, nullptr};
        xkb_keymap *keymap =
            xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
        char *text = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
        const size_t size = std::strlen(text) + 1;
        const int fd = memfd_create("keymap", MFD_CLOEXEC);
        const bool written = write(fd, text, size) == ssize_t(size);
        zwp_virtual_keyboard_v1_keymap(m_keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                       uint32_t(size));
        // A key makes this keyboard the seat's current one, whose keymap the clients get.
        zwp_virtual_keyboard_v1_key(m_keyboard, 0, 42, WL_KEYBOARD_KEY_STATE_PRESSED);
        zwp_virtual_keyboard_v1_key(m_keyboard, 0, 42, WL_KEYBOARD_KEY_STATE_RELEASED);
        close(fd);
        std::free(text);
        xkb_keymap_unref(keymap);
        xkb_context_unref(context);
        return written && wl_display_roundtrip(m_display) >= 0;
    }

private:
    static void global(void *data, wl_registry *registry, uint32_t name, const char *interface,
                       uint32_t)
    {
        auto *self = static_cast<TestKeyboard *>(data);
        if (std::strcmp(interface, wl_seat_interface.name) == 0)
            self->m_seat =
                static_cast<wl_seat *>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        else if (std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0)
            self->m_manager = static_cast<zwp_virtual_keyboard_manager_v1 *>(
                wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
    }
    static void globalRemove(void *, wl_registry *, uint32_t) {}
    static constexpr wl_registry_listener registryListener{global, globalRemove};

    wl_display *m_display = nullptr;
    wl_seat *m_seat = nullptr;
    zwp_virtual_keyboard_manager_v1 *m_manager = nullptr;
    zwp_virtual_keyboard_v1 *m_keyboard = nullptr;
};

} // namespace

class TestWaylandKeymap : public QObject
{
    Q_OBJECT

private slots:
    void noCompositor()
    {
        qputenv("WAYLAND_DISPLAY", QTemporaryDir().filePath(QStringLiteral("none")).toUtf8());
        test::LogCapture log;
        QString failure;
        QVERIFY(!WaylandKeymap::open(log.log, failure));
        QVERIFY2(failure.startsWith(u"cannot connect to the Wayland compositor \"/"),
                 qPrintable(failure));
    }

    // A compositor that accepted the connection and then says nothing (stopped, or hung) holds
    // the start-up or a restart for a bounded time only. This end plays it.
    void silentCompositorIsGivenUp()
    {
        int ends[2];
        QCOMPARE(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        qputenv("WAYLAND_SOCKET", QByteArray::number(ends[0]));
        test::LogCapture log;
        QString failure;
        QVERIFY(!WaylandKeymap::open(log.log, failure));
        QCOMPARE(failure, QStringLiteral("the Wayland compositor did not answer within 2 s"));
        close(ends[1]);
    }

    // A compositor that takes no requests for a while still has its events read: the event loop
    // never waits for the socket to take the requests. This end plays the compositor.
    void readsWhileTheSocketIsFull()
    {
        int ends[2];
        QCOMPARE(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        const int smallest = 1;
        setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest);
        qputenv("WAYLAND_SOCKET", QByteArray::number(ends[0]));
        QString failure;
        std::unique_ptr<WaylandConnection> connection = WaylandConnection::open(failure);
        QVERIFY2(connection, qPrintable(failure));
        bool done = false;
        static constexpr wl_callback_listener listener{
            [](void *data, wl_callback *, uint32_t) { *static_cast<bool *>(data) = true; }};
        wl_callback *answered = wl_display_sync(connection->display());
        wl_callback_add_listener(answered, &listener, &done);
        while (!connection->congested()) {
            wl_callback_destroy(wl_display_sync(connection->display()));
            QVERIFY(connection->flush());
        }
        // wl_callback.done (opcode 0) for the first: object, size and opcode, callback data.
        const uint32_t event[] = {wl_proxy_get_id(reinterpret_cast<wl_proxy *>(answered)),
                                  12u << 16 | 0u, 0};
        QCOMPARE(write(ends[1], event, sizeof event), ssize_t(sizeof event));

        // Reads the requests after a while, which ends a wait for the socket.
        std::mutex mutex;
        std::condition_variable condition;
        bool finished = false;
        std::atomic<bool> waited = false;
        std::thread watchdog([&] {
            std::unique_lock lock(mutex);
            if (condition.wait_for(lock, std::chrono::seconds(5), [&] { return finished; }))
                return;
            waited = true;
            char buffer[4096];
            while (recv(ends[1], buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
            }
        });
        QTRY_VERIFY_WITH_TIMEOUT(done, 15000);
        {
            const std::lock_guard lock(mutex);
            finished = true;
        }
        condition.notify_one();
        watchdog.join();
        QVERIFY(!waited);
        QVERIFY(connection->congested() && !connection->failed());
        // Requests beyond libwayland's own buffer end the connection: a failure, not a wait.
        for (int i = 0; i < 10'000 && connection->flush(); ++i)
            wl_callback_destroy(wl_display_sync(connection->display()));
        QVERIFY(connection->failed());
        wl_callback_destroy(answered);
        connection.reset();
        close(ends[1]);
    }

    // The keymap follows the seat's keyboard from none to German to US.
    void followsTheSeat()
    {
        if (!test::HeadlessSway::available())
            QSKIP("sway is not installed");
        test::HeadlessSway sway;
        sway.start();
        QTRY_VERIFY_WITH_TIMEOUT(!sway.socket().isEmpty(), 15000);
        qputenv("WAYLAND_DISPLAY", sway.socket().toUtf8());

        test::LogCapture log;
        QString failure;
        std::unique_ptr<WaylandKeymap> keymap = WaylandKeymap::open(log.log, failure);
        QVERIFY2(keymap, qPrintable(failure));
        QVERIFY(!keymap->keymap());

        TestKeyboard keyboard;
        QVERIFY(keyboard.connect());
        QVERIFY(keyboard.upload("de"));
        QTRY_VERIFY(keymap->keymap() && keymap->keymap()->has(XKB_KEY_ssharp));
        QCOMPARE(keymap->keymap()->layoutName(), QStringLiteral("German"));
        QVERIFY(keyboard.upload("us"));
        QTRY_VERIFY(!keymap->keymap()->has(XKB_KEY_ssharp));
        QCOMPARE(log.lines(), QStringList());
    }

    // Input set up again after its compositor went away: not while there is none (said once),
    // then on the next compositor, with the state handler told of each change.
    void wlrootsInputRestarts()
    {
        if (!test::HeadlessSway::available())
            QSKIP("sway is not installed");
        auto sway = std::make_unique<test::HeadlessSway>();
        sway->start();
        QTRY_VERIFY_WITH_TIMEOUT(!sway->socket().isEmpty(), 15000);
        qputenv("WAYLAND_DISPLAY", sway->socket().toUtf8());
        test::LogCapture log;
        QString failure;
        std::unique_ptr<WlrootsInput> input = WlrootsInput::open(log.log, failure);
        QVERIFY2(input, qPrintable(failure));
        int changes = 0;
        input->setStateHandler([&] { ++changes; });
        input->key(KEY_LEFTSHIFT, true);

        sway.reset();
        QTRY_COMPARE_WITH_TIMEOUT(changes, 1, 15000);
        QCOMPARE(input->state(), InputState::Unavailable);
        input->restart();
        input->restart();
        QCOMPARE(input->state(), InputState::Unavailable);
        QVERIFY2(input->unavailableReason().startsWith(u"cannot connect to the Wayland compositor"),
                 qPrintable(input->unavailableReason()));
        QCOMPARE(input->typeText(u"a"), input->unavailableReason());

        sway = std::make_unique<test::HeadlessSway>();
        sway->start();
        QTRY_VERIFY_WITH_TIMEOUT(!sway->socket().isEmpty(), 15000);
        qputenv("WAYLAND_DISPLAY", sway->socket().toUtf8());
        input->restart();
        QCOMPARE(input->state(), InputState::Ready);
        QCOMPARE(input->unavailableReason(), QString());
        QCOMPARE(changes, 2);
        QCOMPARE(input->typeText(u"a"), std::nullopt);
        const QStringList lines = log.lines();
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines[0].contains(u"Mouse and keyboard input stopped: the connection to the "
                                   u"Wayland compositor is lost"),
                 qPrintable(lines[0]));
        QVERIFY2(lines[1].contains(u"Mouse and keyboard input not restarted: cannot connect"),
                 qPrintable(lines[1]));
        input.reset();
        QCOMPARE(log.lines().size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestWaylandKeymap)
#include "tst_waylandkeymap.moc"

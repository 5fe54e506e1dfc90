// Moves through the kernel's uinput, read back by an evdev reader on the device node, for a
// kernel that has uinput (tests/platform/uinput/guest_test.sh runs it in a virtual machine):
//   command path  a move_by datagram through decodeDatagram, the dispatcher, the mouse executor,
//                 the input translator and the uinput backend
//   backend       UinputInput::movePointerBy alone
//   bare          libevdev_uinput_write_event of REL_X, REL_Y and SYN_REPORT on a device of its
//                 own: the floor
// For each: the median and 99th percentile time from the call to the reader holding the whole
// group, one move at a time, and moves per second in bursts of 32, each burst read back before
// the next, so that none is lost.

#include "commandmessage.h"
#include "isessionactions.h"
#include "linux/inputtranslator.h"
#include "linux/uinputinput.h"
#include "log.h"
#include "nulldesktop.h"
#include "requesthandler.h"
#include "zantipreferences.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct NoSession final : zc::ISessionActions
{
    void lockScreen() override {}
    void logOut() override {}
};

// The evdev node of the device with this name, grabbed so that nothing else sees the moves.
class Reader
{
public:
    explicit Reader(const char *name)
    {
        for (const QString &node : QDir(QStringLiteral("/dev/input"))
                                       .entryList({QStringLiteral("event*")}, QDir::System)) {
            const int fd =
                ::open(QFile::encodeName(QStringLiteral("/dev/input/") + node).constData(),
                       O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0)
                continue;
            if (libevdev_new_from_fd(fd, &m_device) == 0 &&
                std::string(libevdev_get_name(m_device)) == name &&
                libevdev_grab(m_device, LIBEVDEV_GRAB) == 0) {
                m_fd = fd;
                return;
            }
            libevdev_free(std::exchange(m_device, nullptr));
            ::close(fd);
        }
    }
    ~Reader()
    {
        if (m_device)
            libevdev_free(m_device);
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    bool found() const { return m_device != nullptr; }

    // Waits for the next whole group of a move; false when none comes within a second or the
    // reader fell behind.
    bool nextMove()
    {
        bool moved = false;
        for (;;) {
            input_event event;
            const int status = libevdev_next_event(m_device, LIBEVDEV_READ_FLAG_NORMAL, &event);
            if (status == -EAGAIN) {
                pollfd readable{m_fd, POLLIN, 0};
                if (::poll(&readable, 1, 1000) <= 0)
                    return false;
                continue;
            }
            if (status != LIBEVDEV_READ_STATUS_SUCCESS)
                return false;
            if (event.type == EV_REL && (event.code == REL_X || event.code == REL_Y))
                moved = true;
            else if (event.type == EV_SYN && event.code == SYN_REPORT && moved)
                return true;
        }
    }

private:
    libevdev *m_device = nullptr;
    int m_fd = -1;
};

struct Figures
{
    double medianMicroseconds = 0;
    double p99Microseconds = 0;
    double movesPerSecond = 0;
    bool complete = false;
};

Figures measure(const std::function<void()> &move, Reader &reader)
{
    Figures figures;
    constexpr int warmUp = 200;
    constexpr int samples = 5000;
    for (int i = 0; i < warmUp; ++i) {
        move();
        if (!reader.nextMove())
            return figures;
    }
    std::vector<double> latencies;
    latencies.reserve(samples);
    for (int i = 0; i < samples; ++i) {
        const Clock::time_point start = Clock::now();
        move();
        if (!reader.nextMove())
            return figures;
        latencies.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(latencies.begin(), latencies.end());
    figures.medianMicroseconds = latencies[latencies.size() / 2];
    figures.p99Microseconds = latencies[latencies.size() * 99 / 100];

    constexpr int bursts = 1000;
    constexpr int burst = 32;
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < bursts; ++i) {
        for (int j = 0; j < burst; ++j)
            move();
        for (int j = 0; j < burst; ++j) {
            if (!reader.nextMove())
                return figures;
        }
    }
    figures.movesPerSecond =
        bursts * burst / std::chrono::duration<double>(Clock::now() - start).count();
    figures.complete = true;
    return figures;
}

// A datagram whose stamp grows by one with every move, so that each passes the stamp rule.
class MoveDatagram
{
public:
    QByteArray next()
    {
        return QByteArrayLiteral(
                   R"({"appAuthenticationKey":"Q7w4R#2k81M5T!x09P3Z","password":"",)") +
               QByteArrayLiteral(R"("sentTime":")") + QByteArray::number(++m_stamp) +
               QByteArrayLiteral(R"(","request":"/mouse?key=move_by&delta_x=5&delta_y=-3"})");
    }

private:
    quint64 m_stamp = 1733400000000;
};

void print(const char *row, const Figures &figures)
{
    if (!figures.complete) {
        std::printf("%-14s incomplete: a move never reached the reader\n", row);
        return;
    }
    std::printf("%-14s median %7.1f us   p99 %7.1f us   %9.0f moves/s\n", row,
                figures.medianMicroseconds, figures.p99Microseconds, figures.movesPerSecond);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int logFd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    zc::Log log(logFd);
    bool complete = true;

    {
        QString failure;
        std::unique_ptr<zc::ILinuxInput> opened = zc::openUinputInput(log, failure);
        if (!opened) {
            std::printf("no uinput device: %s\n", qPrintable(failure));
            return 1;
        }
        zc::ILinuxInput *backend = opened.get();
        NoSession session;
        zc::InputTranslator translator(std::move(opened), session, log);
        zc::bench::NullDesktop desktop;
        QTemporaryDir settingsDirectory;
        zc::ZantiPreferences preferences(settingsDirectory.path(), log);
        zc::RequestHandler handler(translator, translator, desktop, desktop, preferences, log);
        Reader reader(zc::uinputDeviceName);
        if (!reader.found()) {
            std::printf("the uinput device has no evdev node\n");
            return 1;
        }
        MoveDatagram datagram;
        const Figures commandPath = measure(
            [&] {
                const zc::DecodedDatagram decoded = zc::decodeDatagram(datagram.next(), log);
                handler.processMessage(decoded.message);
            },
            reader);
        print("command path", commandPath);
        const Figures direct = measure([&] { backend->movePointerBy({5, -3}); }, reader);
        print("backend", direct);
        complete = commandPath.complete && direct.complete;
    }

    libevdev *device = libevdev_new();
    libevdev_set_name(device, "bench bare writer");
    libevdev_enable_event_type(device, EV_REL);
    libevdev_enable_event_code(device, EV_REL, REL_X, nullptr);
    libevdev_enable_event_code(device, EV_REL, REL_Y, nullptr);
    libevdev_enable_event_type(device, EV_KEY);
    libevdev_enable_event_code(device, EV_KEY, BTN_LEFT, nullptr);
    libevdev_uinput *uinput = nullptr;
    if (libevdev_uinput_create_from_device(device, LIBEVDEV_UINPUT_OPEN_MANAGED, &uinput) < 0) {
        std::printf("no bare uinput device\n");
        return 1;
    }
    libevdev_free(device);
    {
        Reader reader("bench bare writer");
        const Figures bare = measure(
            [&] {
                libevdev_uinput_write_event(uinput, EV_REL, REL_X, 5);
                libevdev_uinput_write_event(uinput, EV_REL, REL_Y, -3);
                libevdev_uinput_write_event(uinput, EV_SYN, SYN_REPORT, 0);
            },
            reader);
        print("bare", bare);
        complete = complete && bare.complete;
    }
    libevdev_uinput_destroy(uinput);
    ::close(logFd);
    return complete ? 0 : 1;
}

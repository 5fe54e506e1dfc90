// Moves through the kernel's uinput, read back by an evdev reader (libevdev, device grabbed) on
// the device node, for a kernel that has uinput; tests/platform/uinput/guest_test.sh runs it in a
// virtual machine, with the server taken along (ZC_GUEST_PROGRAMS=build/src/app/zanti-connect):
//   bench_uinput [--server PATH]
// Rows, all in one run:
//   bare          libevdev_uinput_write_event of REL_X, REL_Y and SYN_REPORT on a device of its
//                 own: the floor
//   bare relay    the same writes by a child process, one for each datagram it takes off a
//                 loopback UDP socket, unread: the floor of any server in a process of its own
//   command path  a move_by datagram in this process: decodeDatagram, the dispatcher, the mouse
//                 executor, the input translator and the uinput backend, without sockets
//   server        the same datagram over loopback UDP to a real `zanti-connect --headless
//                 --input=uinput`, read back from the device that process creates
// For each: the median and 99th percentile time from the send (or call) to the reader holding the
// move's whole group, one move at a time; then floods of 2,000 moves paced at rising rates, and
// the moves per second of the fastest flood whose every move was read back.

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
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct NoSession final : zc::ISessionActions
{
    void lockScreen() override {}
    void logOut() override {}
};

// The evdev node of the device with this name, grabbed so that nothing else sees the moves. It
// counts the moves it has read whole, up to their SYN_REPORT.
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
    long seen() const { return m_seen; }
    // The kernel dropped events because the reader fell behind, or reading failed.
    bool lost() const { return m_lost; }
    void forgetLoss() { m_lost = false; }

    // Reads whatever is there without waiting.
    void drain()
    {
        for (;;) {
            input_event event;
            const int status = libevdev_next_event(m_device, LIBEVDEV_READ_FLAG_NORMAL, &event);
            if (status == -EAGAIN)
                return;
            if (status == LIBEVDEV_READ_STATUS_SYNC) {
                // The kernel dropped events: what libevdev replays to catch up is no move.
                m_lost = true;
                m_moving = false;
                while (libevdev_next_event(m_device, LIBEVDEV_READ_FLAG_SYNC, &event) ==
                       LIBEVDEV_READ_STATUS_SYNC) {
                }
                continue;
            }
            if (status != LIBEVDEV_READ_STATUS_SUCCESS) {
                m_lost = true;
                return;
            }
            if (event.type == EV_REL && (event.code == REL_X || event.code == REL_Y))
                m_moving = true;
            else if (event.type == EV_SYN && event.code == SYN_REPORT && m_moving) {
                m_moving = false;
                ++m_seen;
            }
        }
    }

    // Sleeps until there is something to read or the time is up; false when the time is up.
    bool wait(Clock::duration limit)
    {
        const auto nanoseconds = std::max<std::int64_t>(0, std::chrono::nanoseconds(limit).count());
        const timespec timeout{time_t(nanoseconds / 1000000000), long(nanoseconds % 1000000000)};
        pollfd readable{m_fd, POLLIN, 0};
        return ::ppoll(&readable, 1, &timeout, nullptr) > 0;
    }

    // Waits up to a second for the next whole move.
    bool nextMove()
    {
        const long before = m_seen;
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(1);
        for (;;) {
            drain();
            if (m_seen > before)
                return true;
            if (m_lost || !wait(deadline - Clock::now()))
                return false;
        }
    }

private:
    libevdev *m_device = nullptr;
    int m_fd = -1;
    long m_seen = 0;
    bool m_moving = false;
    bool m_lost = false;
};

struct Figures
{
    double medianMicroseconds = 0;
    double p99Microseconds = 0;
    double movesPerSecond = 0;
    double pacedAt = 0;
    bool complete = false;
};

struct Flood
{
    double movesPerSecond = 0;
    bool complete = false;
};

// Moves sent on a schedule of `rate` a second while the reader takes them in, until all have
// been read or none comes for a second. The reader drains after every send: a writer in this
// process would otherwise overrun its buffer of 128 events between two sleeps.
Flood flood(const std::function<void()> &move, Reader &reader, int moves, double rate)
{
    reader.forgetLoss();
    const long base = reader.seen();
    const std::chrono::duration<double> interval(1.0 / rate);
    const auto due = [&](int index) {
        return std::chrono::duration_cast<Clock::duration>(interval * index);
    };
    const Clock::time_point start = Clock::now();
    int sent = 0;
    for (;;) {
        const Clock::time_point now = Clock::now();
        while (sent < moves && start + due(sent) <= now) {
            move();
            ++sent;
            reader.drain();
        }
        reader.drain();
        if (reader.lost())
            return {};
        if (reader.seen() - base >= moves)
            break;
        if (sent < moves)
            reader.wait(start + due(sent) - Clock::now());
        else if (!reader.wait(std::chrono::seconds(1)))
            return {};
    }
    return {moves / std::chrono::duration<double>(Clock::now() - start).count(), true};
}

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

    // Rates rise by half until a flood loses a move or falls behind its pace, then the gap to
    // the last good rate is halved three times. A flood that loses moves leaves its stragglers
    // to come: the next one starts after a pause that lets them in.
    const auto tryRate = [&](double rate) {
        const long before = reader.seen();
        const Flood paced = flood(move, reader, 2000, rate);
        if (!paced.complete) {
            while (reader.wait(std::chrono::milliseconds(200)))
                reader.drain();
            return false;
        }
        if (reader.seen() - before != 2000)
            return false;
        if (paced.movesPerSecond > figures.movesPerSecond) {
            figures.movesPerSecond = paced.movesPerSecond;
            figures.pacedAt = rate;
        }
        return paced.movesPerSecond >= 0.9 * rate;
    };
    double good = 0;
    double bad = 0;
    for (double rate = 1000; rate <= 300000; rate *= 1.5) {
        if (!tryRate(rate)) {
            bad = rate;
            break;
        }
        good = rate;
    }
    for (int i = 0; i < 3 && good > 0 && bad > 0; ++i) {
        const double middle = std::sqrt(good * bad);
        (tryRate(middle) ? good : bad) = middle;
    }
    figures.complete = figures.movesPerSecond > 0;
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

// A port nothing listens on now, for the server's settings file.
quint16 freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    quint16 port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

// zanti-connect with settings of its own on free ports, its log going to a file.
class Server
{
public:
    explicit Server(const QString &program)
    {
        const QDir home(m_home.path());
        home.mkpath(QStringLiteral("config/zanti-connect"));
        home.mkpath(QStringLiteral("runtime"));
        QFile::setPermissions(home.filePath(QStringLiteral("runtime")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const quint16 commandPort = freePort();
        QFile settings(home.filePath(
            QStringLiteral("config/zanti-connect/morvell.osx.zanticonnectgroup.json")));
        if (!settings.open(QIODevice::WriteOnly))
            return;
        settings.write(
            QJsonDocument(QJsonObject{{QStringLiteral("zanticonnect.serverUDPPort"), commandPort},
                                      {QStringLiteral("zanticonnect.serverTCPPort"), commandPort},
                                      {QStringLiteral("zanticonnect.webServerPort"), freePort()},
                                      {QStringLiteral("zanticonnect.autoStartWithSystem"),
                                       QStringLiteral("false")},
                                      {QStringLiteral("zanticonnect.checkForUpdatesAtLaunch"),
                                       QStringLiteral("false")}})
                .toJson());
        settings.close();

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), home.path());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                           home.filePath(QStringLiteral("config")));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"),
                           home.filePath(QStringLiteral("runtime")));
        m_log = home.filePath(QStringLiteral("zanti-connect.log"));
        m_process.setProcessEnvironment(environment);
        m_process.setStandardOutputFile(m_log);
        m_process.setStandardErrorFile(m_log, QIODevice::Append);
        m_process.start(program, {QStringLiteral("--headless"), QStringLiteral("--input=uinput")});
        if (!m_process.waitForStarted(10000))
            return;
        // The emulated guest takes seconds to start a Qt program.
        static const QRegularExpression listening(
            QStringLiteral("^UDP server listening on port (\\d+)$"),
            QRegularExpression::MultilineOption);
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
        while (Clock::now() < deadline && m_process.state() == QProcess::Running) {
            const QRegularExpressionMatch match = listening.match(QString::fromUtf8(log()));
            if (match.hasMatch()) {
                m_port = match.captured(1).toUShort();
                return;
            }
            m_process.waitForFinished(20);
        }
    }
    ~Server()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
    }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // 0 until the server listens.
    quint16 port() const { return m_port; }
    QByteArray log() const
    {
        QFile file(m_log);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    QTemporaryDir m_home;
    QProcess m_process;
    QString m_log;
    quint16 m_port = 0;
};

// A phone's socket: datagrams to the server over loopback.
class Sender
{
public:
    explicit Sender(quint16 port)
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (m_fd >= 0 &&
            ::connect(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~Sender()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Sender(const Sender &) = delete;
    Sender &operator=(const Sender &) = delete;

    bool open() const { return m_fd >= 0; }
    void send(const QByteArray &datagram)
    {
        if (::send(m_fd, datagram.constData(), size_t(datagram.size()), 0) < 0)
            std::printf("send: %s\n", std::strerror(errno));
    }

private:
    int m_fd = -1;
};

// The device node appears once the server has created the device, which may trail its first
// log lines.
std::unique_ptr<Reader> waitForReader(const char *name)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    for (;;) {
        auto reader = std::make_unique<Reader>(name);
        if (reader->found())
            return reader;
        if (Clock::now() > deadline)
            return nullptr;
        ::usleep(20000);
    }
}

void print(const char *row, const Figures &figures)
{
    if (!figures.complete) {
        std::printf("%-14s incomplete: a move never reached the reader\n", row);
        return;
    }
    std::printf("%-14s median %7.1f us   p99 %7.1f us   %9.0f moves/s (paced at %.0f/s)\n", row,
                figures.medianMicroseconds, figures.p99Microseconds, figures.movesPerSecond,
                figures.pacedAt);
}

// The least any server can do per move: a process that takes each datagram off a UDP socket and
// writes the move, without reading the datagram. It ends with its parent's SIGTERM.
pid_t startRelay(libevdev_uinput *uinput, quint16 &port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return -1;
    port = ntohs(address.sin_port);
    const pid_t pid = ::fork();
    if (pid == 0) {
        char datagram[2048];
        for (;;) {
            if (::recv(fd, datagram, sizeof datagram, 0) < 0 && errno != EINTR)
                ::_exit(1);
            libevdev_uinput_write_event(uinput, EV_REL, REL_X, 5);
            libevdev_uinput_write_event(uinput, EV_REL, REL_Y, -3);
            libevdev_uinput_write_event(uinput, EV_SYN, SYN_REPORT, 0);
        }
    }
    ::close(fd);
    return pid;
}

// The floors: a uinput device written with libevdev alone, by this process and by a relay.
bool measureFloors()
{
    libevdev *device = libevdev_new();
    libevdev_set_name(device, "bench bare writer");
    libevdev_enable_event_type(device, EV_REL);
    libevdev_enable_event_code(device, EV_REL, REL_X, nullptr);
    libevdev_enable_event_code(device, EV_REL, REL_Y, nullptr);
    libevdev_enable_event_type(device, EV_KEY);
    libevdev_enable_event_code(device, EV_KEY, BTN_LEFT, nullptr);
    libevdev_uinput *uinput = nullptr;
    const int created =
        libevdev_uinput_create_from_device(device, LIBEVDEV_UINPUT_OPEN_MANAGED, &uinput);
    libevdev_free(device);
    if (created < 0) {
        std::printf("no bare uinput device\n");
        return false;
    }
    Figures bare;
    Figures relayed;
    {
        Reader reader("bench bare writer");
        bare = measure(
            [&] {
                libevdev_uinput_write_event(uinput, EV_REL, REL_X, 5);
                libevdev_uinput_write_event(uinput, EV_REL, REL_Y, -3);
                libevdev_uinput_write_event(uinput, EV_SYN, SYN_REPORT, 0);
            },
            reader);
        print("bare", bare);
        quint16 port = 0;
        const pid_t relay = startRelay(uinput, port);
        if (relay > 0) {
            {
                Sender sender(port);
                MoveDatagram datagram;
                relayed = measure([&] { sender.send(datagram.next()); }, reader);
            }
            ::kill(relay, SIGTERM);
            ::waitpid(relay, nullptr, 0);
        }
        print("bare relay", relayed);
    }
    libevdev_uinput_destroy(uinput);
    return bare.complete && relayed.complete;
}

bool measureInProcess(zc::Log &log)
{
    QString failure;
    std::unique_ptr<zc::ILinuxInput> opened = zc::openUinputInput(log, failure);
    if (!opened) {
        std::printf("no uinput device: %s\n", qPrintable(failure));
        return false;
    }
    NoSession session;
    zc::InputTranslator translator(std::move(opened), session, log);
    zc::bench::NullDesktop desktop;
    QTemporaryDir settingsDirectory;
    zc::ZantiPreferences preferences(settingsDirectory.path(), log);
    zc::RequestHandler handler(translator, translator, desktop, desktop, preferences, log);
    Reader reader(zc::uinputDeviceName);
    if (!reader.found()) {
        std::printf("the uinput device has no evdev node\n");
        return false;
    }
    MoveDatagram datagram;
    const Figures commandPath = measure(
        [&] {
            const zc::DecodedDatagram decoded = zc::decodeDatagram(datagram.next(), log);
            handler.processMessage(decoded.message);
        },
        reader);
    print("command path", commandPath);
    return commandPath.complete;
}

bool measureServer(const QString &program)
{
    const Server server(program);
    const auto failed = [&](const char *why) {
        std::printf("server: %s; its log:\n%s\n", why, server.log().constData());
        return false;
    };
    if (server.port() == 0)
        return failed("zanti-connect is not listening");
    const std::unique_ptr<Reader> reader = waitForReader(zc::uinputDeviceName);
    if (!reader)
        return failed("no evdev node for the server's uinput device");
    Sender sender(server.port());
    if (!sender.open())
        return failed("no UDP socket to the server");
    MoveDatagram datagram;
    const Figures figures = measure([&] { sender.send(datagram.next()); }, *reader);
    print("server", figures);
    return figures.complete || failed("moves were lost");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const qsizetype serverOption = arguments.indexOf(QStringLiteral("--server"));
    const QString server = serverOption > 0 && serverOption + 1 < arguments.size()
                               ? arguments.at(serverOption + 1)
                               : QStringLiteral(ZC_SERVER);
    if (!QFile::exists(server)) {
        std::printf("%s is not in the guest: name it in ZC_GUEST_PROGRAMS\n", qPrintable(server));
        return 1;
    }
    const int logFd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    bool complete = true;
    {
        zc::Log log(logFd);
        complete = measureFloors();
        // The in-process device has the server's name: it must be gone before the server starts.
        complete = measureInProcess(log) && complete;
        complete = measureServer(server) && complete;
    }
    ::close(logFd);
    return complete ? 0 : 1;
}

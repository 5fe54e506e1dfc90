// End-to-end input under a private Xvfb: command datagrams sent over loopback to a real
// zanti-connect until an independent X client (this program's own connection, a window over the
// whole screen) sees their effect.
//
//   bench_x11_input [--moves 2000] [--flood 20000] [--rate 10000] [--typing 20] [--long 0]
//                   [--server PATH]
//
// 1. floor:    one XTest relative motion posted on a connection of this program, until the
//              observer sees the MotionNotify;
// 2. server:   one "move_by" datagram to zanti-connect, until the observer sees the MotionNotify;
// 3. xdotool:  one `xdotool mousemove_relative` run, until the observer sees the MotionNotify;
// 4. flood:    --flood "move_by" datagrams paced at --rate a second; every move must be seen;
// 5. typing:   a text of 100 mixed characters in one "textinput" datagram, until its last
//              character is seen; every character is checked (--typing 0 leaves it out);
// 6. long:     --long distinct CJK characters, none of them on the layout, in datagrams of 2,000
//              and a "move_by" right behind them: characters per second until the last one is
//              seen, and how long after its send the move is seen.
//
// --server runs another program in zanti-connect's place, such as bench_x11_relay, the least
// any server can do per move.
//
// Moves alternate in direction, so the pointer stays where it started. The server runs
// with an empty configuration of its own (XDG_CONFIG_HOME in a temporary directory), on UDP
// port 5916, its log going to a file.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// Xlib's macros clash with Qt's headers: they come last.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint16_t commandPort = 5916;

struct Options
{
    int moves = 2000;
    int flood = 20000;
    int rate = 10000;
    int typing = 20;
    int longText = 0;
    QString server = QStringLiteral(ZC_SERVER);
};

[[noreturn]] void usage(const char *program)
{
    std::fprintf(stderr,
                 "usage: %s [--moves N] [--flood N] [--rate PER_SECOND] [--typing RUNS] "
                 "[--long CHARACTERS] [--server PATH]\n",
                 program);
    std::exit(2);
}

Options parseOptions(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (i + 1 == argc)
            usage(argv[0]);
        if (name == "--server") {
            options.server = QString::fromLocal8Bit(argv[++i]);
            continue;
        }
        char *end = nullptr;
        const long value = std::strtol(argv[++i], &end, 10);
        if (*end != '\0' || value < (name == "--typing" || name == "--long" ? 0 : 1) ||
            value > 10'000'000)
            usage(argv[0]);
        if (name == "--moves")
            options.moves = int(value);
        else if (name == "--flood")
            options.flood = int(value);
        else if (name == "--rate")
            options.rate = int(value);
        else if (name == "--typing")
            options.typing = int(value);
        else if (name == "--long" && value <= 20'000)
            options.longText = int(value);
        else
            usage(argv[0]);
    }
    return options;
}

// Thrown, so that the server and Xvfb are stopped on the way out.
[[noreturn]] void fail(const std::string &what)
{
    throw std::runtime_error(what);
}

double microseconds(Clock::duration duration)
{
    return std::chrono::duration<double, std::micro>(duration).count();
}

struct Summary
{
    double p50 = 0;
    double p99 = 0;
    double mean = 0;
    double max = 0;
};

Summary summarise(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    Summary summary;
    const auto at = [&values](double fraction) {
        const auto index = std::size_t(std::ceil(fraction * double(values.size()))) - 1;
        return values[std::min(index, values.size() - 1)];
    };
    summary.p50 = at(0.50);
    summary.p99 = at(0.99);
    summary.max = values.back();
    double sum = 0;
    for (const double value : values)
        sum += value;
    summary.mean = sum / double(values.size());
    return summary;
}

// The character a keysym stands for, by X's keysym encoding.
std::optional<char32_t> characterOf(KeySym keysym)
{
    if ((keysym >= 0x20 && keysym <= 0x7e) || (keysym >= 0xa0 && keysym <= 0xff))
        return char32_t(keysym);
    if (keysym >= 0x01000100 && keysym <= 0x0110ffff)
        return char32_t(keysym - 0x01000000);
    if (keysym == 0x20ac)
        return U'\u20ac';
    if (keysym == XK_Return)
        return U'\n';
    if (keysym == XK_Tab)
        return U'\t';
    return std::nullopt;
}

// A private Xvfb on a display number it picks itself.
class Xvfb
{
public:
    Xvfb()
    {
        m_process.setProgram(QStandardPaths::findExecutable(QStringLiteral("Xvfb")));
        if (m_process.program().isEmpty())
            fail("Xvfb is not installed");
        m_process.setArguments({QStringLiteral("-displayfd"), QStringLiteral("1"),
                                QStringLiteral("-screen"), QStringLiteral("0"),
                                QStringLiteral("1280x1024x24"), QStringLiteral("-noreset"),
                                QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        m_process.start();
        QByteArray output;
        while (!output.contains('\n')) {
            if (!m_process.waitForReadyRead(20000))
                fail("Xvfb did not start");
            output += m_process.readAllStandardOutput();
        }
        m_display = ':' + output.trimmed().toStdString();
    }
    ~Xvfb()
    {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
    const std::string &display() const { return m_display; }

private:
    QProcess m_process;
    std::string m_display;
};

// zanti-connect with a configuration of its own, talking to the private display.
class Server
{
public:
    Server(const QString &program, const std::string &display, const QTemporaryDir &home)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), QString::fromStdString(display));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
        m_log = QDir(home.path()).filePath(QStringLiteral("zanti-connect.log"));
        m_process.setProcessEnvironment(environment);
        m_process.setStandardOutputFile(m_log);
        m_process.setStandardErrorFile(m_log, QIODevice::Append);
        m_process.start(program, {});
        if (!m_process.waitForStarted(10000))
            fail("zanti-connect did not start");
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
        while (!logContains("UDP server listening on port")) {
            if (Clock::now() > deadline || m_process.state() != QProcess::Running)
                fail("zanti-connect is not listening (is UDP port 5916 taken?)");
            m_process.waitForFinished(10);
        }
    }
    ~Server()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
    }

    bool logContains(const char *text) const
    {
        QFile file(m_log);
        return file.open(QIODevice::ReadOnly) && file.readAll().contains(text);
    }

private:
    QProcess m_process;
    QString m_log;
};

// Command datagrams over loopback, each stamped newer than the last.
class Sender
{
public:
    Sender()
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(commandPort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (m_fd < 0 ||
            ::connect(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
            fail("cannot open a UDP socket");
        m_stamp = std::uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count());
    }
    ~Sender() { ::close(m_fd); }

    // The request goes into the JSON text as it is: it must be percent-encoded ASCII.
    void send(const std::string &request)
    {
        m_datagram.assign(
            R"({"appAuthenticationKey":"Q7w4R#2k81M5T!x09P3Z","password":"","sentTime":")");
        m_datagram.append(std::to_string(++m_stamp))
            .append(R"(","request":")")
            .append(request)
            .append(R"("})");
        if (::send(m_fd, m_datagram.data(), m_datagram.size(), 0) < 0)
            fail(std::string("send: ") + std::strerror(errno));
    }

private:
    int m_fd = -1;
    std::uint64_t m_stamp = 0;
    std::string m_datagram;
};

// The independent client: a window over the whole screen with the keyboard focus.
class Observer
{
public:
    explicit Observer(const std::string &display)
    {
        m_display = XOpenDisplay(display.c_str());
        if (!m_display)
            fail("cannot open the display");
        const int screen = DefaultScreen(m_display);
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.event_mask = PointerMotionMask | KeyPressMask | StructureNotifyMask;
        m_window =
            XCreateWindow(m_display, DefaultRootWindow(m_display), 0, 0,
                          unsigned(DisplayWidth(m_display, screen)),
                          unsigned(DisplayHeight(m_display, screen)), 0, CopyFromParent, InputOnly,
                          CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
        XMapRaised(m_display, m_window);
        XEvent event;
        do
            XNextEvent(m_display, &event);
        while (event.type != MapNotify);
        XSetInputFocus(m_display, m_window, RevertToPointerRoot, CurrentTime);
        XSync(m_display, False);
    }
    ~Observer() { XCloseDisplay(m_display); }

    // Waits for the next motion (to this x, if given); the time it arrived, or nothing after the
    // timeout.
    std::optional<Clock::time_point> motionTo(std::optional<int> x,
                                              std::chrono::milliseconds timeout)
    {
        const Clock::time_point deadline = Clock::now() + timeout;
        for (;;) {
            while (XPending(m_display) > 0) {
                XEvent event;
                XNextEvent(m_display, &event);
                if (event.type == MotionNotify && (!x || event.xmotion.x_root == *x))
                    return Clock::now();
            }
            if (!waitForEvents(deadline))
                return std::nullopt;
        }
    }

    // Counts the motions that have arrived, waiting for at most `wait` for the first.
    int countMotions(std::chrono::microseconds wait)
    {
        int count = 0;
        if (XPending(m_display) == 0)
            waitForEvents(Clock::now() + wait);
        while (XPending(m_display) > 0) {
            XEvent event;
            XNextEvent(m_display, &event);
            count += event.type == MotionNotify ? 1 : 0;
        }
        return count;
    }

    // Collects typed characters until there are `count` of them; false after the timeout. The
    // first motion meanwhile, if any, is noted in `motion`.
    bool typed(std::u32string &text, std::size_t count, std::chrono::milliseconds timeout,
               std::optional<Clock::time_point> *motion = nullptr)
    {
        const Clock::time_point deadline = Clock::now() + timeout;
        for (;;) {
            while (XPending(m_display) > 0) {
                XEvent event;
                XNextEvent(m_display, &event);
                if (event.type == MappingNotify) {
                    XRefreshKeyboardMapping(&event.xmapping);
                } else if (event.type == MotionNotify && motion && !*motion) {
                    *motion = Clock::now();
                } else if (event.type == KeyPress) {
                    char buffer[32];
                    KeySym keysym = NoSymbol;
                    XLookupString(&event.xkey, buffer, sizeof buffer, &keysym, nullptr);
                    if (const std::optional<char32_t> c = characterOf(keysym))
                        text.push_back(*c);
                }
                if (text.size() >= count)
                    return true;
            }
            if (!waitForEvents(deadline))
                return false;
        }
    }

    int pointerX()
    {
        Window root = 0;
        Window child = 0;
        int x = 0;
        int y = 0;
        int windowX = 0;
        int windowY = 0;
        unsigned int mask = 0;
        XQueryPointer(m_display, DefaultRootWindow(m_display), &root, &child, &x, &y, &windowX,
                      &windowY, &mask);
        return x;
    }

    void drain()
    {
        XSync(m_display, False);
        while (XPending(m_display) > 0) {
            XEvent event;
            XNextEvent(m_display, &event);
        }
    }

private:
    bool waitForEvents(Clock::time_point deadline)
    {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero())
            return false;
        pollfd fd = {ConnectionNumber(m_display), POLLIN, 0};
        const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left);
        const timespec timeout = {time_t(nanoseconds.count() / 1'000'000'000),
                                  long(nanoseconds.count() % 1'000'000'000)};
        ::ppoll(&fd, 1, &timeout, nullptr);
        return true;
    }

    Display *m_display = nullptr;
    Window m_window = 0;
};

void printSummary(const char *name, const std::vector<double> &values)
{
    const Summary s = summarise(values);
    std::printf("%-8s n=%-5zu p50=%8.1f us  p99=%8.1f us  mean=%8.1f us  max=%8.1f us\n", name,
                values.size(), s.p50, s.p99, s.mean, s.max);
}

// Posts `count` moves by +step and -step in turn, each once the previous one has been seen. With
// `startX`, a move counts as seen when the pointer arrives at its exact target; without, at the
// first motion (XTEST's relative motions go through the pointer acceleration, so they are not
// exact).
std::vector<double> measureMoves(const char *name, int count, int step, Observer &observer,
                                 std::optional<int> startX, auto &&post)
{
    std::vector<double> latencies;
    latencies.reserve(std::size_t(count));
    for (int i = 0; i < count; ++i) {
        const int dx = i % 2 == 0 ? step : -step;
        std::optional<int> target;
        if (startX)
            target = i % 2 == 0 ? *startX + step : *startX;
        const Clock::time_point start = Clock::now();
        post(dx);
        const std::optional<Clock::time_point> seen =
            observer.motionTo(target, std::chrono::milliseconds(2000));
        if (!seen)
            fail(std::string(name) + ": move " + std::to_string(i) + " was not seen within 2 s");
        latencies.push_back(microseconds(*seen - start));
    }
    return latencies;
}

std::string moveRequest(int dx)
{
    return "/mouse?key=move_by&delta_x=" + std::to_string(dx) + "&delta_y=0";
}

void runXdotool(const QByteArray &program, const std::string &display, int dx)
{
    std::string argument = std::to_string(dx);
    std::vector<char *> argv = {const_cast<char *>(program.constData()),
                                const_cast<char *>("mousemove_relative"),
                                const_cast<char *>("--"),
                                argument.data(),
                                const_cast<char *>("0"),
                                nullptr};
    std::string displayVariable = "DISPLAY=" + display;
    std::vector<char *> environment = {displayVariable.data(), nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, program.constData(), nullptr, nullptr, argv.data(),
                      environment.data()) != 0)
        fail("cannot run xdotool");
    int status = 0;
    ::waitpid(pid, &status, 0);
}

int run(const Options &options)
{
    const QByteArray xdotoolPath =
        QStandardPaths::findExecutable(QStringLiteral("xdotool")).toLocal8Bit();
    if (xdotoolPath.isEmpty())
        fail("xdotool is not installed");
    QTemporaryDir home;
    if (!home.isValid())
        fail("no temporary directory");

    Xvfb xvfb;
    Observer observer(xvfb.display());
    Server server(options.server, xvfb.display(), home);
    Sender sender;
    Display *poster = XOpenDisplay(xvfb.display().c_str());
    if (!poster)
        fail("cannot open the display");
    std::printf("display %s, server %s\n", xvfb.display().c_str(), qPrintable(options.server));

    // The pointer starts in the middle of the screen. Warming up waits for every move, so that
    // no late motion can pass for one of the floor's.
    measureMoves("warm-up", 200, 1, observer, observer.pointerX(),
                 [&sender](int dx) { sender.send(moveRequest(dx)); });
    observer.drain();

    const std::vector<double> floor =
        measureMoves("floor", options.moves, 5, observer, std::nullopt, [poster](int dx) {
            XTestFakeRelativeMotionEvent(poster, dx, 0, CurrentTime);
            XFlush(poster);
        });
    observer.drain();
    const int startX = observer.pointerX();
    const std::vector<double> served =
        measureMoves("server", options.moves, 1, observer, startX,
                     [&sender](int dx) { sender.send(moveRequest(dx)); });
    observer.drain();
    const std::vector<double> xdotool =
        measureMoves("xdotool", options.moves, 5, observer, std::nullopt,
                     [&](int dx) { runXdotool(xdotoolPath, xvfb.display(), dx); });
    observer.drain();

    std::printf("\nOne move, sent until seen (%d each):\n", options.moves);
    printSummary("floor", floor);
    printSummary("server", served);
    printSummary("xdotool", xdotool);
    const Summary f = summarise(floor);
    const Summary s = summarise(served);
    std::printf("server p50 / floor p50 = %.2f\n", s.p50 / f.p50);

    // The flood: paced at the rate, counting the motions as they arrive.
    const auto tick = std::chrono::milliseconds(1);
    const Clock::time_point floodStart = Clock::now();
    Clock::time_point lastSeen = floodStart;
    int sent = 0;
    int seen = 0;
    while (seen < options.flood) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - floodStart).count();
        const int due = std::min(options.flood, int(elapsed * options.rate) + 1);
        for (; sent < due; ++sent)
            sender.send(moveRequest(sent % 2 == 0 ? 1 : -1));
        const int arrived = observer.countMotions(std::chrono::microseconds(tick));
        if (arrived > 0) {
            seen += arrived;
            lastSeen = Clock::now();
        } else if (sent == options.flood && Clock::now() - lastSeen > std::chrono::seconds(3)) {
            break;
        }
    }
    const double floodSeconds = std::chrono::duration<double>(lastSeen - floodStart).count();
    std::printf("\nFlood: %d moves sent at %d/s; %d seen, the last %.3f s after the first was "
                "sent: %.0f moves/s\n",
                options.flood, options.rate, seen, floodSeconds, double(seen) / floodSeconds);

    // Typing: 100 characters, on and off the US layout.
    const QString text =
        QStringLiteral("Hello, \"World\"! It's C:\\Temp\\ – café, naïve, Ærø, €42 😀 ok\n"
                       "x = {a: 1, b: [2, 3]} | ~/ü ñ ç; done? ye");
    const std::u32string expected = text.toStdU32String();
    if (expected.size() != 100)
        fail("the text must have 100 characters, it has " + std::to_string(expected.size()));
    const std::string request =
        "/keyboard?key=textinput&value=" + QUrl::toPercentEncoding(text).toStdString();
    std::vector<double> typing;
    bool allRight = true;
    for (int run = 0; run < options.typing; ++run) {
        std::u32string typed;
        const Clock::time_point start = Clock::now();
        sender.send(request);
        if (!observer.typed(typed, expected.size(), std::chrono::milliseconds(5000)))
            fail("the text was not typed within 5 s; " + std::to_string(typed.size()) +
                 " characters arrived: " + QString::fromStdU32String(typed).toStdString());
        typing.push_back(microseconds(Clock::now() - start));
        allRight = allRight && typed == expected;
    }
    if (!typing.empty()) {
        std::printf("\nTyping 100 characters (%d runs; the first binds the spare key codes):\n",
                    options.typing);
        std::printf("first    %8.1f us\n", typing.front());
        printSummary("typing", typing);
        std::printf("every character right: %s\n", allRight ? "yes" : "NO");
    }

    if (options.longText > 0) {
        std::u32string longText;
        for (int i = 0; i < options.longText; ++i)
            longText.push_back(U'\u4e00' + char32_t(i));
        observer.drain();
        const int x = observer.pointerX();
        std::u32string typed;
        std::optional<Clock::time_point> moved;
        const Clock::time_point start = Clock::now();
        for (std::size_t from = 0; from < longText.size(); from += 2000) {
            const QString part = QString::fromStdU32String(longText.substr(from, 2000));
            sender.send("/keyboard?key=textinput&value=" +
                        QUrl::toPercentEncoding(part).toStdString());
        }
        const Clock::time_point moveSent = Clock::now();
        sender.send(moveRequest(x > 640 ? -1 : 1));
        const bool complete = observer.typed(
            typed, longText.size(), std::chrono::seconds(10 + options.longText / 50), &moved);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (!moved)
            moved = observer.motionTo(std::nullopt, std::chrono::milliseconds(2000));
        if (!moved)
            fail("the move after the long text was not seen");
        std::printf("\nLong text: %d characters off the layout, %zu seen in %.3f s: %.0f "
                    "characters/s; every one right: %s\n",
                    options.longText, typed.size(), seconds, double(typed.size()) / seconds,
                    complete && typed == longText ? "yes" : "NO");
        std::printf("the move sent behind it seen after %.1f ms\n",
                    std::chrono::duration<double, std::milli>(*moved - moveSent).count());
        allRight = allRight && complete && typed == longText;
    }

    XCloseDisplay(poster);
    return allRight && seen == options.flood ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    const Options options = parseOptions(argc, argv);
    try {
        return run(options);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "bench_x11_input: %s\n", error.what());
        return 1;
    }
}

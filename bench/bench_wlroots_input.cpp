// Pointer moves end to end under a headless sway: "move_by" datagrams sent over loopback to a
// real zanti-connect (--input=wlroots) until wev, the one window, reports the motion; beside
// the floor, a virtual pointer of this program's own sending the same motion in the same run.
//
//   bench_wlroots_input [--moves 1000] [--flood 2000]
//
// 1. latency: --moves samples each, alternating: one datagram to zanti-connect, then one motion
//    from the bare client, each timed from its send until wev's line for it is read;
// 2. flood:   --flood datagrams back to back, then --flood bare motions back to back: moves a
//    second until the last motion is seen, and how many motions wev saw (the server joins the
//    moves it is given while sway's socket is full; a datagram may be dropped).
//
// Moves alternate in direction, so the pointer stays inside wev's window. Needs sway and wev.

#include <wayland-client.h>
#include <wlr-virtual-pointer-unstable-v1-client-protocol.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

pid_t spawn(const std::vector<std::string> &arguments, int out = -1)
{
    std::vector<char *> argv;
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out >= 0)
        posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        throw std::runtime_error("cannot start " + arguments[0]);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// wev's standard output, a line at a time.
class Lines
{
public:
    explicit Lines(int fd) : m_fd(fd) {}
    // The next line that contains the text, or throws after the timeout.
    std::string next(const char *text, int timeoutMs = 5000)
    {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            for (std::size_t end; (end = m_buffer.find('\n')) != std::string::npos;) {
                std::string line = m_buffer.substr(0, end);
                m_buffer.erase(0, end + 1);
                if (line.find(text) != std::string::npos)
                    return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd poller{m_fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&poller, 1, int(left.count())) <= 0)
                throw std::runtime_error(std::string("wev never said ") + text);
            char chunk[65536];
            const ssize_t got = read(m_fd, chunk, sizeof chunk);
            if (got <= 0)
                throw std::runtime_error("wev ended");
            m_buffer.append(chunk, std::size_t(got));
        }
    }

private:
    int m_fd;
    std::string m_buffer;
};

struct BarePointer
{
    wl_display *display = nullptr;
    zwlr_virtual_pointer_manager_v1 *manager = nullptr;
    zwlr_virtual_pointer_v1 *pointer = nullptr;

    static void global(void *data, wl_registry *registry, uint32_t name, const char *interface,
                       uint32_t)
    {
        if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0)
            static_cast<BarePointer *>(data)->manager =
                static_cast<zwlr_virtual_pointer_manager_v1 *>(wl_registry_bind(
                    registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
    }
    static void globalRemove(void *, wl_registry *, uint32_t) {}

    void connect()
    {
        static constexpr wl_registry_listener listener{global, globalRemove};
        display = wl_display_connect(nullptr);
        if (!display)
            throw std::runtime_error("cannot connect to sway");
        wl_registry_add_listener(wl_display_get_registry(display), &listener, this);
        wl_display_roundtrip(display);
        if (!manager)
            throw std::runtime_error("no virtual pointer manager");
        pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager, nullptr);
    }
    void move(int dx)
    {
        zwlr_virtual_pointer_v1_motion(pointer, 0, wl_fixed_from_int(dx), 0);
        zwlr_virtual_pointer_v1_frame(pointer);
        // libwayland gives up on a connection whose buffer overflows: wait for the socket.
        while (wl_display_flush(display) < 0 && errno == EAGAIN) {
            pollfd poller{wl_display_get_fd(display), POLLOUT, 0};
            poll(&poller, 1, 1000);
        }
    }
};

int freePort()
{
    const int probe = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size())))];
}

} // namespace

int main(int argc, char **argv)
{
    int moves = 1000;
    int flood = 2000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--moves") == 0)
            moves = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--flood") == 0)
            flood = std::atoi(argv[i + 1]);
    }
    char scratchTemplate[] = "/tmp/bench-wlroots-XXXXXX";
    const std::string scratch = mkdtemp(scratchTemplate);
    chmod(scratch.c_str(), 0711);
    const std::string runtime = scratch + "/sway";
    mkdir(runtime.c_str(), 0700);
    std::vector<pid_t> children;
    int status = 0;
    try {
        children.push_back(spawn({ZC_HEADLESS_SWAY, runtime}));
        std::string socketPath;
        for (int i = 0; i < 500 && socketPath.empty(); ++i) {
            for (const auto &entry : std::filesystem::directory_iterator(runtime)) {
                const std::string name = entry.path().filename();
                if (name.starts_with("wayland-") && !name.ends_with(".lock"))
                    socketPath = entry.path();
            }
            usleep(10'000);
        }
        if (socketPath.empty())
            throw std::runtime_error("sway did not start");
        setenv("WAYLAND_DISPLAY", socketPath.c_str(), 1);
        unsetenv("DISPLAY");

        int pipeFds[2];
        if (pipe(pipeFds) != 0)
            throw std::runtime_error("pipe");
        children.push_back(spawn({"stdbuf", "-oL", "wev"}, pipeFds[1]));
        close(pipeFds[1]);
        Lines wev(pipeFds[0]);
        wev.next("configure: width: 1");

        const int port = freePort();
        const std::string config = scratch + "/config/zanti-connect";
        std::filesystem::create_directories(config);
        std::ofstream(config + "/morvell.osx.zanticonnectgroup.json")
            << "{\"zanticonnect.serverUDPPort\": " << port
            << ", \"zanticonnect.serverTCPPort\": " << port
            << ", \"zanticonnect.webServerPort\": " << freePort()
            << ", \"zanticonnect.autoStartWithSystem\": \"false\"}";
        setenv("XDG_CONFIG_HOME", (scratch + "/config").c_str(), 1);
        setenv("HOME", scratch.c_str(), 1);
        const int log = open((scratch + "/log").c_str(), O_WRONLY | O_CREAT, 0600);
        children.push_back(spawn({ZC_SERVER, "--headless", "--input=wlroots"}, log));
        close(log);

        const int phone = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(uint16_t(port));
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        long long stamp = 1'000'000;
        const auto sendMove = [&](int dx) {
            const std::string message =
                "{\"appAuthenticationKey\":\"Q7w4R#2k81M5T!x09P3Z\",\"password\":\"\","
                "\"sentTime\":\"" +
                std::to_string(++stamp) +
                "\",\"request\":\"/mouse?key=move_by&delta_x=" + std::to_string(dx) +
                "&delta_y=0\"}";
            sendto(phone, message.data(), message.size(), 0, reinterpret_cast<sockaddr *>(&server),
                   sizeof server);
        };
        BarePointer bare;
        bare.connect();
        // Into the window's middle; then the server must be up to move it further.
        bare.move(200);
        // wev may hold two pointers, each reporting every event: only the first one's count.
        const std::string enter = wev.next("wl_pointer] enter");
        const std::string motion = enter.substr(0, enter.find("] ") + 2) + "motion";
        for (int i = 0; i < 200; ++i) {
            sendMove(1);
            try {
                wev.next(motion.c_str(), 50);
                break;
            } catch (const std::runtime_error &) {
            }
        }

        std::vector<double> viaServer;
        std::vector<double> floor;
        for (int i = 0; i < moves; ++i) {
            const int dx = i % 2 ? 1 : -1;
            Clock::time_point start = Clock::now();
            sendMove(dx);
            wev.next(motion.c_str());
            viaServer.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            start = Clock::now();
            bare.move(-dx);
            wev.next(motion.c_str());
            floor.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        std::printf("latency over %d moves (us): server median %.0f p90 %.0f | floor median %.0f "
                    "p90 %.0f | ratio %.2f\n",
                    moves, median(viaServer), percentile(viaServer, 0.9), median(floor),
                    percentile(floor, 0.9), median(viaServer) / median(floor));

        for (const bool throughServer : {true, false}) {
            const Clock::time_point start = Clock::now();
            for (int i = 0; i < flood; ++i) {
                if (throughServer)
                    sendMove(i % 2 ? 1 : -1);
                else
                    bare.move(i % 2 ? 1 : -1);
            }
            // Moves the server makes while sway's socket is full go out as one, so the last one
            // seen ends the flood: no motion for 300 ms.
            int seen = 0;
            Clock::time_point last = start;
            try {
                for (;; ++seen) {
                    wev.next(motion.c_str(), 300);
                    last = Clock::now();
                }
            } catch (const std::runtime_error &) {
            }
            const double seconds = std::chrono::duration<double>(last - start).count();
            std::printf("flood of %d moves, %s: %.0f moves/s, %d motions seen\n", flood,
                        throughServer ? "server" : "floor ", flood / seconds, seen);
        }
    } catch (const std::exception &error) {
        std::fprintf(stderr, "bench_wlroots_input: %s\n", error.what());
        // What the server said about it.
        std::ifstream serverLog(scratch + "/log");
        for (std::string line; std::getline(serverLog, line);) {
            if (line.find("input") != std::string::npos && line.find('{') == std::string::npos)
                std::fprintf(stderr, "  %s\n", line.c_str());
        }
        status = 1;
    }
    for (auto child = children.rbegin(); child != children.rend(); ++child) {
        kill(*child, SIGTERM);
        waitpid(*child, nullptr, 0);
    }
    std::filesystem::remove_all(scratch);
    return status;
}

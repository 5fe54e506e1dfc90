// A discovery request and its reply over loopback, measured from another process, beside a bare
// UDP echo server measured in the same run. Two child processes serve: one a plain
// recvfrom/sendto loop, the other an `UDPServer` on its own event loop with the machine's real
// details, as in production. This process sends from one blocking socket and times each
// exchange, alternating between the two servers in rounds so that both see the same machine.
//
//   bench_discovery [--rounds 9] [--exchanges 3000]
//
// Exits non-zero when a reply is missing or wrong; prints the ratio of the medians, whose target
// is at most 2.

#include "computerdetails.h"
#include "discoveryresponder.h"
#include "linux/linuxsysteminfo.h"
#include "log.h"
#include "nulldesktop.h"
#include "requesthandler.h"
#include "udpserver.h"
#include "zantipreferences.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

const char request[] = R"([{"app_authentication_key":"Q7w4R#2k81M5T!x09P3Z"}])";

[[noreturn]] void echoServer(int report)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        std::_Exit(1);
    const quint16 port = ntohs(address.sin_port);
    if (::write(report, &port, sizeof port) != sizeof port)
        std::_Exit(1);
    char buffer[2048];
    for (;;) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0,
                                     reinterpret_cast<sockaddr *>(&from), &fromLength);
        if (n >= 0)
            ::sendto(fd, buffer, std::size_t(n), 0, reinterpret_cast<sockaddr *>(&from),
                     fromLength);
    }
}

[[noreturn]] void discoveryServer(int report, int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int logFd =
        ::open("/tmp/zc-bench-discovery.log", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (logFd < 0)
        std::_Exit(1);
    zc::Log log(logFd);
    log.flushWhenIdle();
    QTemporaryDir settingsDirectory;
    zc::ZantiPreferences preferences(settingsDirectory.path(), log);
    zc::bench::NullDesktop desktop;
    zc::LinuxSystemInfo system;
    zc::ComputerDetails details(system, preferences, log);
    zc::DiscoveryResponder responder(details, preferences, log);
    // One phone asks thousands of times a second here; a clock a second ahead at every look
    // keeps the rationing from holding replies back while it still runs on every request.
    responder.now = [time = Clock::now()]() mutable { return time += std::chrono::seconds(1); };
    zc::RequestHandler handler(desktop, desktop, desktop, desktop, preferences, log);
    zc::UDPServer server(handler, responder, log);
    server.startServer(0);
    const quint16 port = server.isServerRunning() ? server.localPort() : 0;
    if (::write(report, &port, sizeof port) != sizeof port || port == 0)
        std::_Exit(1);
    std::_Exit(QCoreApplication::exec());
}

pid_t start(int argc, char **argv, bool discovery, quint16 &port)
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        // The servers go with this process, however it ends.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::close(pipeFds[0]);
        if (discovery)
            discoveryServer(pipeFds[1], argc, argv);
        echoServer(pipeFds[1]);
    }
    ::close(pipeFds[1]);
    if (pid < 0 || ::read(pipeFds[0], &port, sizeof port) != sizeof port)
        port = 0;
    ::close(pipeFds[0]);
    return pid;
}

int connectedPhone(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval timeout{2, 0};
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return -1;
    return fd;
}

// Round trips in µs; empty when a reply did not come or did not look right.
std::vector<double> exchange(int fd, int count, bool discovery)
{
    std::vector<double> times;
    times.reserve(std::size_t(count));
    char buffer[4096];
    for (int i = 0; i < count; ++i) {
        const Clock::time_point sent = Clock::now();
        if (::send(fd, request, sizeof request - 1, 0) != ssize_t(sizeof request - 1))
            return {};
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        const Clock::time_point received = Clock::now();
        const std::string_view reply(buffer, n > 0 ? std::size_t(n) : 0);
        if (discovery ? reply.find("\"tcp_server_port\"") == std::string_view::npos
                      : reply != std::string_view(request, sizeof request - 1))
            return {};
        times.push_back(std::chrono::duration<double, std::micro>(received - sent).count());
    }
    return times;
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size())))];
}

} // namespace

int main(int argc, char *argv[])
{
    int rounds = 9;
    int exchanges = 3000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--exchanges") == 0)
            exchanges = std::atoi(argv[i + 1]);
    }
    if (rounds < 1 || exchanges < 1) {
        std::fprintf(stderr, "usage: %s [--rounds N] [--exchanges N]\n", argv[0]);
        return 2;
    }

    quint16 echoPort = 0;
    quint16 discoveryPort = 0;
    const pid_t echo = start(argc, argv, false, echoPort);
    const pid_t discovery = start(argc, argv, true, discoveryPort);
    const int echoFd = connectedPhone(echoPort);
    const int discoveryFd = connectedPhone(discoveryPort);
    int status = 0;
    if (echoPort == 0 || discoveryPort == 0 || echoFd < 0 || discoveryFd < 0) {
        std::fprintf(stderr, "cannot start the servers\n");
        status = 1;
    }

    std::vector<double> all[2];
    std::vector<double> roundMedians[2];
    // A round of each first, not counted: caches, the servers' first replies.
    for (int round = 0; status == 0 && round <= rounds; ++round) {
        for (int kind = 0; kind < 2 && status == 0; ++kind) {
            const std::vector<double> times =
                exchange(kind == 0 ? echoFd : discoveryFd, exchanges, kind == 1);
            if (times.empty()) {
                std::fprintf(stderr, "%s: a reply is missing or wrong\n",
                             kind == 0 ? "echo" : "discovery");
                status = 1;
            } else if (round > 0) {
                all[kind].insert(all[kind].end(), times.begin(), times.end());
                roundMedians[kind].push_back(percentile(times, 0.5));
            }
        }
    }
    if (status == 0) {
        const char *names[2] = {"echo", "discovery"};
        for (int kind = 0; kind < 2; ++kind) {
            const auto [low, high] =
                std::minmax_element(roundMedians[kind].begin(), roundMedians[kind].end());
            std::printf("%-10s p50 %7.1f us  p99 %7.1f us  round medians %.1f to %.1f us  (%zu "
                        "exchanges)\n",
                        names[kind], percentile(all[kind], 0.5), percentile(all[kind], 0.99), *low,
                        *high, all[kind].size());
        }
        std::printf("discovery p50 / echo p50 = %.2f (target: at most 2)\n",
                    percentile(all[1], 0.5) / percentile(all[0], 0.5));
    }
    for (const pid_t pid : {echo, discovery}) {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    return status;
}

// TCP command round trips against an in-process server: one connection sending a command and
// waiting for its "success", then 100 connections in parallel. The server runs on the main
// thread's event loop as in the program; the phones are plain blocking sockets on another thread.

#include "desktopservices.h"
#include "log.h"
#include "nulldesktop.h"
#include "requesthandler.h"
#include "tcpserver.h"
#include "zantipreferences.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string message(unsigned long long stamp)
{
    return R"({"appAuthenticationKey":"Q7w4R#2k81M5T!x09P3Z","password":"","sentTime":")" +
           std::to_string(stamp) + R"(","request":"/keyboard?key=enter"})";
}

int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

bool sendAll(int fd, const std::string &text)
{
    return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
}

bool receiveSuccess(int fd)
{
    char buffer[7];
    std::size_t got = 0;
    while (got < sizeof buffer) {
        const ssize_t n = ::recv(fd, buffer + got, sizeof buffer - got, 0);
        if (n <= 0)
            return false;
        got += std::size_t(n);
    }
    return std::string(buffer, sizeof buffer) == "success";
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values[std::size_t(p * double(values.size() - 1))];
}

struct Results
{
    int rounds = 0;
    double oneConnectionSeconds = 0;
    std::vector<double> latenciesMicroseconds;
    int connections = 0;
    int perConnection = 0;
    double parallelSeconds = 0;
    long answered = 0;
    bool failed = false;
};

void phones(quint16 port, Results &results)
{
    unsigned long long stamp = 1;
    const int fd = connectTo(port);
    if (fd < 0) {
        results.failed = true;
        return;
    }
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < results.rounds; ++i) {
        const Clock::time_point sent = Clock::now();
        if (!sendAll(fd, message(stamp++)) || !receiveSuccess(fd)) {
            results.failed = true;
            break;
        }
        results.latenciesMicroseconds.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
    }
    results.oneConnectionSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);

    std::vector<int> fds;
    for (int i = 0; i < results.connections; ++i)
        fds.push_back(connectTo(port));
    const Clock::time_point parallelStart = Clock::now();
    for (int round = 0; round < results.perConnection && !results.failed; ++round) {
        for (int client : fds)
            results.failed = results.failed || !sendAll(client, message(stamp++));
        for (int client : fds) {
            if (receiveSuccess(client))
                ++results.answered;
            else
                results.failed = true;
        }
    }
    results.parallelSeconds = std::chrono::duration<double>(Clock::now() - parallelStart).count();
    for (int client : fds)
        ::close(client);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int logFd =
        ::open("/tmp/zc-bench-tcp.log", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    zc::Log log(logFd);
    log.flushWhenIdle();
    QTemporaryDir settingsDirectory;
    zc::ZantiPreferences preferences(settingsDirectory.path(), log);
    zc::PrivateSettings privateSettings(settingsDirectory.path(), log);
    privateSettings.setHasAppUsed(true);
    zc::bench::NullDesktop desktop;
    zc::RequestHandler handler(desktop, desktop, desktop, desktop, preferences, log);
    zc::TCPServer server(handler, privateSettings, {}, log);
    server.startServer(0);
    if (!server.isServerRunning())
        return 1;

    Results results;
    results.rounds = 20000;
    results.connections = 100;
    results.perConnection = 200;
    std::thread worker([&] {
        phones(server.localPort(), results);
        QMetaObject::invokeMethod(
            &app, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    });
    QCoreApplication::exec();
    worker.join();
    log.flush();

    const long expected = long(results.rounds) + long(results.connections) * results.perConnection;
    // Each decoded command message is logged once, with its members in sorted order, unlike
    // the raw text of the read.
    long decoded = 0;
    if (FILE *file = std::fopen("/tmp/zc-bench-tcp.log", "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, file))
            decoded += std::strstr(line, R"("request":"/keyboard?key=enter","sentTime")") ? 1 : 0;
        std::fclose(file);
    }
    std::printf("one connection: %d round trips in %.3f s = %.0f/s; latency p50 %.1f us, p99 %.1f "
                "us\n",
                results.rounds, results.oneConnectionSeconds,
                results.rounds / results.oneConnectionSeconds,
                percentile(results.latenciesMicroseconds, 0.50),
                percentile(results.latenciesMicroseconds, 0.99));
    std::printf("%d connections x %d messages: %ld answered in %.3f s = %.0f messages/s\n",
                results.connections, results.perConnection, results.answered,
                results.parallelSeconds, double(results.answered) / results.parallelSeconds);
    // Messages of different connections may be read out of stamp order; the stamp rule then
    // skips the older ones, which is not a loss.
    std::printf("decoded %ld of %ld messages, lost %ld; executed %ld\n", decoded, expected,
                expected - decoded, desktop.keyDowns.load());
    return results.failed || decoded != expected ? 1 : 0;
}

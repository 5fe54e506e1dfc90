// Sends a steady stream of command datagrams to a running server and reports the rate achieved.
//
//   bench_udp_flood [--host 127.0.0.1] [--port 5916] [--count 100000] [--rate 50000]
//                   [--request /mouse?key=move_by&delta_x=1&delta_y=1]
//
// Each message carries a rising "sentTime", so the server executes every one it receives. The
// pace is kept by a monotonic clock: every millisecond the sender catches up with the number of
// datagrams the rate allows by then, so a late wake-up costs no datagrams, only a burst.

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Options
{
    std::string host = "127.0.0.1";
    std::uint16_t port = 5916;
    std::uint64_t count = 100000;
    std::uint64_t rate = 50000;
    std::string request = "/mouse?key=move_by&delta_x=1&delta_y=1";
};

[[noreturn]] void usage(const char *program)
{
    std::fprintf(stderr,
                 "usage: %s [--host ADDRESS] [--port PORT] [--count N] [--rate PER_SECOND] "
                 "[--request TEXT]\n",
                 program);
    std::exit(2);
}

std::uint64_t parseNumber(const char *program, const char *text, std::uint64_t max)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value == 0 || value > max)
        usage(program);
    return value;
}

Options parseOptions(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (i + 1 == argc)
            usage(argv[0]);
        const char *value = argv[++i];
        if (name == "--host")
            options.host = value;
        else if (name == "--port")
            options.port = std::uint16_t(parseNumber(argv[0], value, 65535));
        else if (name == "--count")
            options.count = parseNumber(argv[0], value, 1'000'000'000);
        else if (name == "--rate")
            options.rate = parseNumber(argv[0], value, 100'000'000);
        else if (name == "--request")
            options.request = value;
        else
            usage(argv[0]);
    }
    return options;
}

// The request goes into a JSON string unescaped, so it must not need escaping.
bool isPlainJsonText(std::string_view text)
{
    for (const char c : text) {
        if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20)
            return false;
    }
    return true;
}

timespec toTimespec(std::chrono::steady_clock::time_point time)
{
    const auto since = time.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds);
    return {time_t(seconds.count()), long(nanoseconds.count())};
}

} // namespace

int main(int argc, char **argv)
{
    const Options options = parseOptions(argc, argv);
    if (!isPlainJsonText(options.request)) {
        std::fprintf(stderr, "the request must not contain quotes, backslashes or control "
                             "characters\n");
        return 2;
    }

    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(options.port);
    if (::inet_pton(AF_INET, options.host.c_str(), &address.sin_addr) != 1) {
        std::fprintf(stderr, "not an IPv4 address: %s\n", options.host.c_str());
        return 2;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("socket");
        return 1;
    }
    // Connected, so that an ICMP "port unreachable" (no server) shows up as a send error.
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        std::perror("connect");
        return 1;
    }

    // Microseconds since the epoch: above every stamp a phone (milliseconds) or an earlier run
    // of this program has sent, and rising by one per datagram.
    const std::uint64_t firstStamp =
        std::uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count());

    const std::string prefix =
        R"({"appAuthenticationKey":"Q7w4R#2k81M5T!x09P3Z","password":"","sentTime":")";
    const std::string suffix = R"(","request":")" + options.request + R"("})";
    std::string datagram;

    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const auto tick = std::chrono::milliseconds(1);
    Clock::time_point wake = start;
    std::uint64_t sent = 0;
    std::uint64_t errors = 0;
    int lastError = 0;
    while (sent < options.count) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        std::uint64_t due = std::uint64_t(elapsed * double(options.rate)) + 1;
        if (due > options.count)
            due = options.count;
        for (; sent < due; ++sent) {
            datagram.assign(prefix).append(std::to_string(firstStamp + sent)).append(suffix);
            if (::send(fd, datagram.data(), datagram.size(), 0) < 0) {
                ++errors;
                lastError = errno;
            }
        }
        if (sent == options.count)
            break;
        wake += tick;
        const timespec until = toTimespec(wake);
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    std::printf("sent=%llu send_errors=%llu seconds=%.3f rate=%.0f/s target_rate=%llu/s "
                "bytes_per_datagram=%zu\n",
                static_cast<unsigned long long>(sent), static_cast<unsigned long long>(errors),
                seconds, double(sent) / seconds, static_cast<unsigned long long>(options.rate),
                datagram.size());
    if (errors > 0)
        std::fprintf(stderr, "last send error: %s\n", std::strerror(lastError));
    ::close(fd);
    return errors == 0 ? 0 : 1;
}

// Mixed traffic against a running zanti-connect for a fixed time, all over loopback, while its
// RSS, open files and CPU are sampled every second (see soak.sh, which starts the server).
//
//   bench_soak --pid PID --udp-port P --tcp-port P [--seconds 600] [--warm-up 60]
//              [--csv FILE] [--udp-rate 1000] [--flood-rate 7000]
//
// Each loopback host plays one part, so the server's per-host rules see them apart:
//   127.0.0.1  the phone over UDP: commands at --udp-rate, a discovery request every second
//   127.0.0.3  the phone over TCP: one command every 10 ms, each answer awaited (1 s at most)
//   127.0.0.2  a discovery flood at --flood-rate: empty, non-JSON, number, old command, request
//   127.0.1.1 to 127.0.1.40  idle TCP connections, 20 new ones a second from these hosts in
//              turn (up to 300 at once, more than the server keeps), never closed by this side
//   127.0.0.5  a TCP client that sends a byte every millisecond and never reads
//   127.0.0.6  once a second a TCP client that sends a command and shuts down its side at once
//
// Exits non-zero when the phone lost a TCP answer or was refused, when a half-closed client went
// unanswered, or when the RSS grew by more than 2 MiB after the warm-up.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <dirent.h>
#include <fstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string key = "Q7w4R#2k81M5T!x09P3Z";
const std::string discovery = R"([{"app_authentication_key":")" + key + R"("}])";

std::string command(unsigned long long stamp, const char *request)
{
    return R"({"appAuthenticationKey":")" + key + R"(","password":"soak","sentTime":")" +
           std::to_string(stamp) + R"(","request":")" + request + R"("})";
}

sockaddr_in loopback(int host, unsigned short port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(0x7f000000u + unsigned(host));
    return address;
}

int boundSocket(int type, int host)
{
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    const sockaddr_in local = loopback(host, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        std::perror("socket");
        std::exit(1);
    }
    return fd;
}

// A TCP connection from 127.0.0.<host>, non-blocking once connected; -1 when refused or slow.
int tcpConnect(int host, unsigned short port, int receiveBuffer = 0)
{
    const int fd = boundSocket(SOCK_STREAM, host);
    const timeval timeout{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const sockaddr_in server = loopback(1, port);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&server), sizeof server) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Bytes waiting, 0 at the end of the stream, -1 when nothing is there yet or on an error.
ssize_t drain(int fd, std::string *into = nullptr)
{
    char buffer[4096];
    ssize_t total = -1;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0)
            return 0;
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK ? total : -2;
        if (into)
            into->append(buffer, std::size_t(n));
        total = std::max<ssize_t>(total, 0) + n;
    }
}

struct Sample
{
    double seconds;
    long rssKiB;
    int files;
    double cpuPercent;
};

long rssKiB(int pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string word;
    while (status >> word) {
        if (word == "VmRSS:") {
            long value = 0;
            status >> value;
            return value;
        }
    }
    return -1;
}

int openFiles(int pid)
{
    DIR *directory = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!directory)
        return -1;
    int count = 0;
    while (const dirent *entry = ::readdir(directory))
        count += entry->d_name[0] != '.';
    ::closedir(directory);
    return count;
}

double cpuSeconds(int pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t end = text.rfind(')');
    if (end == std::string::npos)
        return -1;
    std::vector<std::string> fields;
    std::size_t position = end + 2;
    while (position < text.size()) {
        const std::size_t space = text.find(' ', position);
        fields.push_back(text.substr(position, space - position));
        position = space == std::string::npos ? text.size() : space + 1;
    }
    // After the name: state is field 3, utime 14 and stime 15.
    if (fields.size() < 13)
        return -1;
    return double(std::stoull(fields[11]) + std::stoull(fields[12])) /
           double(::sysconf(_SC_CLK_TCK));
}

struct HalfClose
{
    int fd;
    Clock::time_point deadline;
    std::string received;
};

} // namespace

int main(int argc, char *argv[])
{
    int pid = 0;
    unsigned short udpPort = 0;
    unsigned short tcpPort = 0;
    int seconds = 600;
    int warmUp = 60;
    int udpRate = 1000;
    int floodRate = 7000;
    std::string csvPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const char *value = argv[i + 1];
        if (option == "--pid")
            pid = std::atoi(value);
        else if (option == "--udp-port")
            udpPort = static_cast<unsigned short>(std::atoi(value));
        else if (option == "--tcp-port")
            tcpPort = static_cast<unsigned short>(std::atoi(value));
        else if (option == "--seconds")
            seconds = std::atoi(value);
        else if (option == "--warm-up")
            warmUp = std::atoi(value);
        else if (option == "--udp-rate")
            udpRate = std::atoi(value);
        else if (option == "--flood-rate")
            floodRate = std::atoi(value);
        else if (option == "--csv")
            csvPath = value;
    }
    if (pid <= 0 || udpPort == 0 || tcpPort == 0 || seconds <= 0 || warmUp < 0 ||
        warmUp >= seconds) {
        std::fprintf(stderr,
                     "usage: %s --pid PID --udp-port P --tcp-port P [--seconds N] "
                     "[--warm-up N] [--csv FILE] [--udp-rate N] [--flood-rate N]\n",
                     argv[0]);
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);

    const int phoneUdp = boundSocket(SOCK_DGRAM, 1);
    const int floodUdp = boundSocket(SOCK_DGRAM, 2);
    const sockaddr_in udpServer = loopback(1, udpPort);
    const auto sendUdp = [&udpServer](int fd, const std::string &bytes) {
        return ::sendto(fd, bytes.data(), bytes.size(), MSG_DONTWAIT,
                        reinterpret_cast<const sockaddr *>(&udpServer), sizeof udpServer) >= 0;
    };
    // The flood host is accepted first, so that the server would answer everything it sends.
    sendUdp(floodUdp, discovery);
    const std::string flood[] = {"", "garbage", "42", command(1, "/keyboard?key=enter"), discovery};

    unsigned long long stamp = 1'000'000'000'000ULL;
    long long udpSent = 0, udpSendErrors = 0, phoneReplies = 0, floodSent = 0, floodReplies = 0;
    long long tcpAnswered = 0, tcpLost = 0, tcpRefused = 0, idleOpened = 0, idleClosedByServer = 0;
    long long nonReaderClosed = 0, halfOk = 0, halfFailed = 0;

    int phoneTcp = -1;
    Clock::time_point tcpSentAt{};
    bool tcpWaiting = false;
    std::string tcpReceived;
    std::deque<int> idle;
    int nonReader = -1;
    std::vector<HalfClose> halfClosed;
    std::vector<Sample> samples;
    std::FILE *csv = csvPath.empty() ? nullptr : std::fopen(csvPath.c_str(), "w");
    if (csv)
        std::fprintf(csv, "seconds,rss_kib,open_files,cpu_percent\n");

    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::seconds(seconds);
    double lastCpu = cpuSeconds(pid);
    Clock::time_point lastSample = start;
    long long tick = 0;
    timespec wake{};
    ::clock_gettime(CLOCK_MONOTONIC, &wake);
    for (; Clock::now() < end; ++tick) {
        const Clock::time_point now = Clock::now();
        const double elapsed = std::chrono::duration<double>(now - start).count();

        // UDP: paced by the clock, catching up each millisecond.
        for (; udpSent < (long long)(elapsed * udpRate); ++udpSent)
            udpSendErrors += !sendUdp(phoneUdp, command(++stamp, "/mouse?key=move_by&delta_x="
                                                                 "0&delta_y=0"));
        if (tick % 1000 == 0)
            sendUdp(phoneUdp, discovery);
        for (; floodSent < (long long)(elapsed * floodRate); ++floodSent)
            sendUdp(floodUdp, flood[floodSent % 5]);
        char buffer[2048];
        while (::recv(phoneUdp, buffer, sizeof buffer, MSG_DONTWAIT) >= 0)
            ++phoneReplies;
        while (::recv(floodUdp, buffer, sizeof buffer, MSG_DONTWAIT) >= 0)
            ++floodReplies;

        // The phone over TCP: one command at a time, the answer awaited.
        if (phoneTcp < 0) {
            phoneTcp = tcpConnect(3, tcpPort);
            tcpRefused += phoneTcp < 0;
            tcpWaiting = false;
        }
        if (phoneTcp >= 0) {
            const ssize_t got = drain(phoneTcp, &tcpReceived);
            if (tcpWaiting && tcpReceived.size() >= 7) {
                tcpAnswered += tcpReceived.compare(0, 7, "success") == 0;
                tcpReceived.erase(0, 7);
                tcpWaiting = false;
            }
            if (got == 0 || got == -2 || (tcpWaiting && now - tcpSentAt > milliseconds(1000))) {
                tcpLost += tcpWaiting;
                ::close(phoneTcp);
                phoneTcp = -1;
                tcpReceived.clear();
            } else if (!tcpWaiting && tick % 10 == 0) {
                const std::string message = command(++stamp, "/keyboard?key=enter");
                if (::send(phoneTcp, message.data(), message.size(), MSG_NOSIGNAL) ==
                    ssize_t(message.size())) {
                    tcpWaiting = true;
                    tcpSentAt = now;
                }
            }
        }

        // Idle connections, 20 a second, kept until the server closes them.
        if (tick % 50 == 0 && idle.size() < 300) {
            const int fd = tcpConnect(256 + 1 + int(idleOpened % 40), tcpPort);
            if (fd >= 0) {
                idle.push_back(fd);
                ++idleOpened;
            }
        }
        if (!idle.empty() && tick % 10 == 0) {
            for (auto it = idle.begin(); it != idle.end();) {
                const ssize_t got = drain(*it);
                if (got == 0 || got == -2) {
                    ::close(*it);
                    it = idle.erase(it);
                    ++idleClosedByServer;
                } else {
                    ++it;
                }
            }
        }

        // A client that never reads: a byte a millisecond, a new connection when closed.
        if (nonReader < 0)
            nonReader = tcpConnect(5, tcpPort, 2048);
        if (nonReader >= 0 && ::send(nonReader, " ", 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
            errno != EAGAIN) {
            ::close(nonReader);
            nonReader = -1;
            ++nonReaderClosed;
        }

        // A command, then the client's side shut at once; the answer must still come.
        if (tick % 1000 == 500) {
            const int fd = tcpConnect(6, tcpPort);
            const std::string message = command(++stamp, "/keyboard?key=tab");
            if (fd >= 0 && ::send(fd, message.data(), message.size(), MSG_NOSIGNAL) ==
                               ssize_t(message.size())) {
                ::shutdown(fd, SHUT_WR);
                halfClosed.push_back({fd, now + std::chrono::seconds(2), {}});
            } else {
                ++halfFailed;
                if (fd >= 0)
                    ::close(fd);
            }
        }
        for (auto it = halfClosed.begin(); it != halfClosed.end();) {
            const ssize_t got = drain(it->fd, &it->received);
            if (got == 0 || got == -2 || now > it->deadline) {
                (it->received == "success" && got == 0 ? halfOk : halfFailed)++;
                ::close(it->fd);
                it = halfClosed.erase(it);
            } else {
                ++it;
            }
        }

        if (now - lastSample >= std::chrono::seconds(1)) {
            const double cpu = cpuSeconds(pid);
            const double span = std::chrono::duration<double>(now - lastSample).count();
            const Sample sample{elapsed, rssKiB(pid), openFiles(pid),
                                100.0 * (cpu - lastCpu) / span};
            if (sample.rssKiB < 0) {
                std::fprintf(stderr, "the server (pid %d) is gone\n", pid);
                return 1;
            }
            samples.push_back(sample);
            lastCpu = cpu;
            lastSample = now;
            if (csv)
                std::fprintf(csv, "%.0f,%ld,%d,%.1f\n", sample.seconds, sample.rssKiB, sample.files,
                             sample.cpuPercent);
            if (samples.size() % 60 == 0)
                std::printf("%4.0f s: rss %ld KiB, %d open files, cpu %.1f %%\n", sample.seconds,
                            sample.rssKiB, sample.files, sample.cpuPercent),
                    std::fflush(stdout);
        }

        wake.tv_nsec += 1'000'000;
        if (wake.tv_nsec >= 1'000'000'000) {
            wake.tv_nsec -= 1'000'000'000;
            ++wake.tv_sec;
        }
        ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
    }
    if (csv)
        std::fclose(csv);

    long atWarmUp = -1, maxAfter = 0, last = 0, minFiles = 1 << 30, maxFiles = 0;
    double cpuSum = 0;
    int cpuCount = 0;
    for (const Sample &s : samples) {
        if (s.seconds < warmUp)
            continue;
        if (atWarmUp < 0)
            atWarmUp = s.rssKiB;
        maxAfter = std::max(maxAfter, s.rssKiB);
        last = s.rssKiB;
        minFiles = std::min<long>(minFiles, s.files);
        maxFiles = std::max<long>(maxFiles, s.files);
        cpuSum += s.cpuPercent;
        ++cpuCount;
    }
    const long growth = maxAfter - atWarmUp;
    std::printf("udp phone:   %lld commands sent (%lld send errors), %lld discovery replies\n",
                udpSent, udpSendErrors, phoneReplies);
    std::printf("flood:       %lld datagrams sent, %lld replies (%.1f a second)\n", floodSent,
                floodReplies, double(floodReplies) / seconds);
    std::printf("tcp phone:   %lld answered, %lld lost, %lld connections refused\n", tcpAnswered,
                tcpLost, tcpRefused);
    std::printf("idle hosts:  %lld opened, %lld closed by the server\n", idleOpened,
                idleClosedByServer);
    std::printf("non-reader:  closed by the server %lld times\n", nonReaderClosed);
    std::printf("half-closed: %lld answered, %lld not\n", halfOk, halfFailed);
    std::printf("server:      rss %ld KiB at %d s, %ld KiB at most after, %ld KiB at the end "
                "(growth %ld KiB); open files %ld to %ld; cpu %.1f %% on average after warm-up\n",
                atWarmUp, warmUp, maxAfter, last, growth, minFiles, maxFiles,
                cpuCount ? cpuSum / cpuCount : 0.0);
    const bool ok = tcpLost == 0 && tcpRefused == 0 && halfFailed == 0 && growth <= 2048;
    std::printf("%s\n", ok ? "OK" : "FAIL");
    return ok ? 0 : 1;
}

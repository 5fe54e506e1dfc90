// GET /requests/settings/ over loopback with keep-alive, against the program's WebServer (its
// work handed to a main thread running an event loop, as in the program) and, in the same run,
// against a bare cpp-httplib server answering a fixed text of the same size: the floor.
//
// For each: the median and 99th percentile of 5,000 sequential requests on one connection, and
// the requests per second of 8 clients in parallel for 3 seconds.

#include "log.h"
#include "serverstatus.h"
#include "webserver.h"
#include "zantipreferences.h"

#include <QCoreApplication>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
int benchCount = 5000;

struct Figures
{
    double median = 0;
    double p99 = 0;
    double perSecond = 0;
    bool failed = false;
};

Figures measure(quint16 port, const httplib::Headers &headers)
{
    Figures figures;
    {
        httplib::Client client("127.0.0.1", port);
        client.set_keep_alive(true);
        client.set_tcp_nodelay(true);
        std::vector<double> micros;
        for (int i = 0; i < benchCount; ++i) {
            const auto start = Clock::now();
            const auto result = client.Get("/requests/settings/", headers);
            micros.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            if (!result || result->status != 200)
                figures.failed = true;
        }
        std::sort(micros.begin(), micros.end());
        figures.median = micros[micros.size() / 2];
        figures.p99 = micros[micros.size() * 99 / 100];
    }
    std::atomic<long> answered = 0;
    std::atomic<bool> failed = false;
    const auto end = Clock::now() + std::chrono::seconds(3);
    std::vector<std::thread> clients;
    for (int c = 0; c < 8; ++c) {
        clients.emplace_back([&] {
            httplib::Client client("127.0.0.1", port);
            client.set_keep_alive(true);
            client.set_tcp_nodelay(true);
            client.set_tcp_nodelay(true);
            while (Clock::now() < end) {
                const auto result = client.Get("/requests/settings/", headers);
                if (!result || result->status != 200)
                    failed = true;
                else
                    ++answered;
            }
        });
    }
    for (std::thread &client : clients)
        client.join();
    figures.perSecond = double(answered) / 3.0;
    figures.failed = figures.failed || failed;
    return figures;
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    if (argc > 1)
        benchCount = std::atoi(argv[1]);
    QTemporaryDir directory;
    // The log costs what it costs in the program, written where nobody reads.
    zc::Log log(::open("/dev/null", O_WRONLY));
    log.flushWhenIdle();
    zc::ZantiPreferences preferences(directory.path(), log);
    zc::WebServer web(preferences, log, directory.filePath(QStringLiteral("run/address")));
    zc::SettingsActions actions;
    actions.status = [] {
        return zc::ServerStatus{true, QStringLiteral("192.168.1.20"), 5916, 5916};
    };
    web.setActions(actions);
    web.startServer(freePort());
    const std::string key = web.pageAddress().fragment().mid(4).toStdString();
    const httplib::Headers headers{{"Authorization", "Bearer " + key}};

    // The floor answers the same bytes the service does.
    const std::string reply =
        preferences.settingsJSON({true, QStringLiteral("192.168.1.20"), 5916, 5916}).toStdString();
    httplib::Server bare;
    bare.set_keep_alive_max_count(100);
    bare.set_tcp_nodelay(true);
    bare.Get("/requests/settings/",
             [&reply](const httplib::Request &, httplib::Response &response) {
                 response.set_content(reply, "text/plain; charset=utf-8");
             });
    const int barePort = bare.bind_to_any_port("127.0.0.1");
    std::thread bareThread([&bare] { bare.listen_after_bind(); });

    // The reply's own cost, on this thread, without HTTP.
    {
        const auto start = Clock::now();
        for (int i = 0; i < 2000; ++i)
            preferences.settingsJSON({true, QStringLiteral("192.168.1.20"), 5916, 5916});
        std::printf("settingsJSON alone      %7.1f us\n",
                    std::chrono::duration<double, std::micro>(Clock::now() - start).count() / 2000);
    }

    int status = 0;
    std::thread measuring([&] {
        const Figures floor = measure(quint16(barePort), headers);
        const Figures service = measure(*web.ZantiWebServerPort(), headers);
        const Figures floorAgain = measure(quint16(barePort), headers);
        for (const auto &[name, figures] :
             {std::pair{"bare cpp-httplib", floor}, std::pair{"settings service", service},
              std::pair{"bare cpp-httplib again", floorAgain}})
            std::printf("%-24s p50 %7.1f us  p99 %7.1f us  8 clients %8.0f requests/s%s\n", name,
                        figures.median, figures.p99, figures.perSecond,
                        figures.failed ? "  (requests failed)" : "");
        std::printf("service p50 over floor p50 (mean of the two floor runs): %.2f\n",
                    service.median / ((floor.median + floorAgain.median) / 2));
        status = floor.failed || service.failed ? 1 : 0;
        QMetaObject::invokeMethod(&application, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    QCoreApplication::exec();
    measuring.join();
    bare.stop();
    bareThread.join();
    web.stopServer();
    return status;
}

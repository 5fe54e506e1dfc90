// A discovery request and its reply over loopback: a phone's socket sends the request to an
// in-process server and waits for the full reply, turning the server's event loop meanwhile.
// The reply reads this machine's routing table, names and kernel afresh, as in production.

#include "computerdetails.h"
#include "discoveryresponder.h"
#include "iinputevents.h"
#include "ipoweractions.h"
#include "itextinput.h"
#include "iworkspace.h"
#include "linux/linuxsysteminfo.h"
#include "log.h"
#include "nulldesktop.h"
#include "requesthandler.h"
#include "udpserver.h"
#include "zantipreferences.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QNetworkDatagram>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <fcntl.h>
#include <unistd.h>

namespace {

void discoveryRoundTrip(benchmark::State &state)
{
    const int fd =
        ::open("/tmp/zc-bench-discovery.log", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        state.SkipWithError("cannot open the log file");
        return;
    }
    {
        zc::Log log(fd);
        QTemporaryDir settingsDirectory;
        zc::ZantiPreferences preferences(settingsDirectory.path(), log);
        zc::bench::NullDesktop desktop;
        zc::LinuxSystemInfo system;
        zc::ComputerDetails details(system, preferences, log);
        zc::DiscoveryResponder responder(details, preferences, log);
        zc::RequestHandler handler(desktop, desktop, desktop, desktop, preferences, log);
        zc::UDPServer server(handler, responder, log);
        server.startServer(0);
        QUdpSocket phone;
        if (!server.isServerRunning() || !phone.bind(QHostAddress::LocalHost, 0)) {
            state.SkipWithError("cannot open the sockets");
            return;
        }
        const QByteArray request = R"([{"app_authentication_key":"Q7w4R#2k81M5T!x09P3Z"}])";
        qint64 received = 0;
        for (auto _ : state) {
            phone.writeDatagram(request, QHostAddress::LocalHost, server.localPort());
            while (!phone.hasPendingDatagrams())
                QCoreApplication::processEvents();
            received += phone.receiveDatagram().data().size();
        }
        if (received == 0)
            state.SkipWithError("no reply arrived");
    }
    ::close(fd);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    benchmark::RegisterBenchmark("discovery/round_trip", discoveryRoundTrip)
        ->Unit(benchmark::kMicrosecond)
        ->MinTime(0.5)
        ->Repetitions(9)
        ->ReportAggregatesOnly(true);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

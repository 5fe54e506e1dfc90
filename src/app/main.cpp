#include "linux/linuxdesktop.h"
#include "log.h"
#include "requesthandler.h"
#include "terminationsignals.h"
#include "udpserver.h"

#include <QCoreApplication>

#include <csignal>

namespace {

constexpr quint16 commandPort = 5916;

} // namespace

int main(int argc, char *argv[])
{
    // A reader that went away must not kill the program through a write to its pipe.
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zanti-connect"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZANTI_CONNECT_VERSION));

    zc::Log log;
    log.flushWhenIdle();

    const zc::DesktopServices desktop = zc::createLinuxDesktop(log);
    zc::RequestHandler handler(*desktop.input, *desktop.text, *desktop.power, *desktop.workspace,
                               log);
    zc::UDPServer udpServer(handler, log);

    const zc::TerminationSignals termination([&](int) {
        if (udpServer.isServerRunning())
            udpServer.stopServer();
        QCoreApplication::quit();
    });

    udpServer.startServer(commandPort);
    if (!udpServer.isServerRunning()) {
        log.line("Cannot serve commands: UDP port", commandPort, "is not available");
        return 1;
    }
    return QCoreApplication::exec();
}

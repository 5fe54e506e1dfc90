#include "autostartentry.h"
#include "computerdetails.h"
#include "discoveryresponder.h"
#include "linux/linuxdesktop.h"
#include "linux/linuxsysteminfo.h"
#include "log.h"
#include "requesthandler.h"
#include "terminationsignals.h"
#include "udpserver.h"
#include "zantipreferences.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>

#include <csignal>

int main(int argc, char *argv[])
{
    // A reader that went away must not kill the program through a write to its pipe.
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zanti-connect"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZANTI_CONNECT_VERSION));

    zc::Log log;
    log.flushWhenIdle();

    const QString configHome =
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    const QString settingsDirectory = QDir(configHome).filePath(QStringLiteral("zanti-connect"));
    zc::ZantiPreferences preferences(settingsDirectory, log);
    zc::AutostartEntry autostart(configHome, log);
    preferences.syncLoginItem(autostart, QCoreApplication::applicationFilePath());

    const zc::DesktopServices desktop = zc::createLinuxDesktop(log);
    zc::LinuxSystemInfo systemInfo;
    zc::ComputerDetails computerDetails(systemInfo, preferences, log);
    zc::DiscoveryResponder responder(computerDetails, preferences, log);
    zc::RequestHandler handler(*desktop.input, *desktop.text, *desktop.power, *desktop.workspace,
                               preferences, log);
    zc::UDPServer udpServer(handler, responder, log);

    const zc::TerminationSignals termination([&](int) {
        if (udpServer.isServerRunning())
            udpServer.stopServer();
        QCoreApplication::quit();
    });

    const quint16 port = preferences.serverUDPPort();
    udpServer.startServer(port);
    if (!udpServer.isServerRunning()) {
        log.line("Cannot serve commands: UDP port", port, "is not available");
        return 1;
    }
    return QCoreApplication::exec();
}

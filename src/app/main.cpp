#include "alerts.h"
#include "appdelegate.h"
#include "autostartentry.h"
#include "computerdetails.h"
#include "discoveryresponder.h"
#include "editvlc.h"
#include "extras.h"
#include "googleanalytics.h"
#include "linux/linuxdesktop.h"
#include "linux/linuxsysteminfo.h"
#include "localipaddress.h"
#include "log.h"
#include "requesthandler.h"
#include "serverhandler.h"
#include "singleinstance.h"
#include "tcpserver.h"
#include "terminationsignals.h"
#include "udpserver.h"
#include "updatechecker.h"
#include "webserver.h"
#include "zantipreferences.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QNetworkAccessManager>
#include <QStandardPaths>
#include <QUrl>

#include <csignal>
#include <cstdio>

int main(int argc, char *argv[])
{

    // A reader that went away must not kill the program through a write to its pipe.
    std::signal(SIGPIPE, SIG_IGN);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Lets the Zanti phone app drive this computer over the local network."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption openSettings(
        QStringLiteral("open-settings"),
        QStringLiteral("Open the settings page of the running zanti-connect in the browser."));
    const QCommandLineOption headlessOption(
        QStringLiteral("headless"),
        QStringLiteral("No status icon and no dialogs: alerts go to the log, with their default "
                       "answer. The default without a graphical session."));
    const QCommandLineOption inputOption(
        QStringLiteral("input"),
        QStringLiteral("How mouse and keyboard input reaches the desktop: auto (the default), x11, "
                       "wlroots, portal or uinput."),
        QStringLiteral("route"), QStringLiteral("auto"));
    parser.addOptions({openSettings, headlessOption, inputOption});

    // The kind of application is decided before it exists; process() below reports any error.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    parser.parse(arguments);
    const bool headless =
        parser.isSet(headlessOption) || parser.isSet(openSettings) ||
        (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"));
    const std::unique_ptr<QCoreApplication> app =
        headless ? std::make_unique<QCoreApplication>(argc, argv)
                 : std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zanti-connect"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZANTI_CONNECT_VERSION));
    if (!headless)
        // Closing an alert must not end a program that lives in the panel.
        QApplication::setQuitOnLastWindowClosed(false);
    parser.process(*app);
    const std::optional<zc::InputChoice> inputChoice =
        zc::InputChoice::parse(parser.value(inputOption));
    if (!inputChoice) {
        std::fprintf(
            stderr,
            "zanti-connect: --input must be auto, x11, wlroots, portal or uinput, not \"%s\"\n",
            qPrintable(parser.value(inputOption)));
        return 2;
    }

    zc::Log log;
    log.flushWhenIdle();
    const std::unique_ptr<zc::IAlerts> alerts =
        headless ? std::unique_ptr<zc::IAlerts>(std::make_unique<zc::LogAlerts>(log))
                 : std::make_unique<zc::DialogAlerts>(log);

    const QString runtimeFolder =
        QDir(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation))
            .filePath(QStringLiteral("zanti-connect"));
    if (parser.isSet(openSettings)) {
        if (zc::SingleInstance::askFirstCopy(runtimeFolder, log))
            return 0;
        log.line("zanti-connect is not running, so there is no settings page to open; start it "
                 "first, then run zanti-connect --open-settings again");
        return 1;
    }
    zc::SingleInstance instance(runtimeFolder, log);
    if (!instance.claim()) {
        // Started again from the application menu, where there is no status item to click:
        // the page of the copy that runs is what the user came for.
        alerts->show({zc::Alert::Style::Critical,
                      QStringLiteral("App is already running."),
                      {},
                      {QStringLiteral("OK")},
                      0});
        zc::SingleInstance::askFirstCopy(runtimeFolder, log);
        return 1;
    }
    // Private to the user: it holds the key to the settings page.
    const QString pageAddressFile =
        QDir(runtimeFolder).filePath(QStringLiteral("settings-address"));

    const QString configHome =
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    const QString settingsDirectory = QDir(configHome).filePath(QStringLiteral("zanti-connect"));
    zc::ZantiPreferences preferences(settingsDirectory, log);
    // The defaults have authentication off: serving on them would let any phone drive this
    // computer when the user's file asks for a password.
    if (!preferences.unreadableReason().isEmpty()) {
        log.line("Cannot serve commands: the settings file", preferences.filePath(),
                 QStringLiteral("cannot be read (") + preferences.unreadableReason() + u')');
        return 1;
    }
    // Announced and linked only: the package manager owns the installed files.
    QNetworkAccessManager network;
    zc::UpdateChecker updates(QUrl(QString::fromUtf8(ZC_UPDATE_FEED)),
                              QCoreApplication::applicationVersion(), network, log);
    zc::PrivateSettings privateSettings(settingsDirectory, log);
    zc::GoogleAnalytics analytics(zc::GoogleAnalytics::forThisComputer(
                                      QCoreApplication::applicationVersion(), settingsDirectory),
                                  log);
    zc::AutostartEntry autostart(configHome, log);
    const zc::DesktopServices desktop = zc::createLinuxDesktop(
        log, {.choice = *inputChoice,
              .restoreToken = [&privateSettings] { return privateSettings.inputRestoreToken(); },
              .keepRestoreToken =
                  [&privateSettings](const QString &token) {
                      privateSettings.setInputRestoreToken(token);
                  }});
    zc::EditVLC editVLC(*desktop.workspace, preferences, configHome, log);
    zc::LinuxSystemInfo systemInfo;
    zc::ComputerDetails computerDetails(systemInfo, preferences, log);
    zc::DiscoveryResponder responder(computerDetails, preferences, log);
    zc::RequestHandler handler(*desktop.input, *desktop.text, *desktop.power, *desktop.workspace,
                               preferences, log);
    zc::UDPServer udpServer(handler, responder, log);
    zc::TCPServer tcpServer(
        handler, privateSettings,
        [&analytics] {
            analytics.sendEvent(QStringLiteral("Connection"), QStringLiteral("Connected"),
                                QStringLiteral("New User"));
        },
        log);
    computerDetails.setTCPPortInUse([&tcpServer]() -> std::optional<quint16> {
        if (!tcpServer.isServerRunning())
            return std::nullopt;
        return tcpServer.localPort();
    });
    zc::Extras extras(log);
    zc::WebServer webServer(preferences, log, pageAddressFile);
    zc::ServerHandler servers(udpServer, tcpServer, &webServer, preferences, extras, *desktop.input,
                              log);
    zc::AppDelegate delegate({preferences, servers, udpServer, webServer, editVLC, desktop,
                              analytics, autostart, updates, *alerts, log},
                             headless);
    webServer.setActions({
        .status =
            [&] {
                return zc::ServerStatus{servers.isServerRunning(),
                                        zc::getLocalIPAddress(systemInfo, log),
                                        servers.udpPortInUse(), servers.tcpPortInUse()};
            },
        .configureVLC =
            [&] {
                // A password that is not UTF-8 is left to the file, which holds its bytes as
                // they are; as text it would come back with U+FFFD in it.
                const QByteArray bytes = preferences.VLCPasswordBytes();
                const bool asText = QString::fromUtf8(bytes).toUtf8() == bytes;
                editVLC.configureVLC(asText ? std::optional(preferences.VLCPassword())
                                            : std::nullopt,
                                     QString::number(preferences.VLCPort()), {});
            },
        .restartServers = [&] { delegate.restartServers(); },
    });
    instance.setComeForwardRequested([&] { delegate.openSettingsPage(); });
    const zc::TerminationSignals termination([&](int) { delegate.applicationWillTerminate(); });

    delegate.applicationWillFinishLaunching();
    if (!delegate.applicationDidFinishLaunching())
        return 1;
    return QCoreApplication::exec();
}

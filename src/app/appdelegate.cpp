#include "appdelegate.h"

#include "alerts.h"
#include "autostartentry.h"
#include "desktopservices.h"
#include "editvlc.h"
#include "googleanalytics.h"
#include "log.h"
#include "serverhandler.h"
#include "statusmenu.h"
#include "udpserver.h"
#include "updatechecker.h"
#include "webserver.h"
#include "zantipreferences.h"

#include <QCoreApplication>
#include <QUrl>

#include <chrono>

namespace zc {

AppDelegate::AppDelegate(Parts parts, bool headless) : m_parts(parts)
{
    if (headless)
        return;
    m_statusItem = std::make_unique<StatusMenu>(
        StatusMenu::Actions{
            .startStopServer = [this] { toggleServer(); },
            .settings =
                [this] {
                    m_parts.log.line("This launches the settings page");
                    m_parts.log.line(m_parts.udp.isServerRunning() ? int(m_parts.udp.localPort())
                                                                   : 0);
                    openSettingsPage();
                },
            .checkForUpdates =
                [this] { m_parts.updates.check([this](const UpdateResult &r) { showUpdate(r); }); },
            .quit = [this] { applicationWillTerminate(); },
        },
        m_parts.log);
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationWillFinishLaunching()
{
    m_parts.preferences.preferencesDictionary();
    const bool checkForUpdates = m_parts.preferences.checkForUpdates();
    m_parts.log.line(checkForUpdates);
    if (!checkForUpdates || !m_parts.updates.isEnabled())
        return;
    m_parts.updates.check([this](const UpdateResult &result) {
        if (!m_statusItem || result.outcome != UpdateResult::Outcome::NewerVersion)
            return;
        m_statusItem->onNotificationClicked([this, result] { showUpdate(result); });
        m_statusItem->notify(QStringLiteral("Zanti Connect"), result.message);
    });
}

bool AppDelegate::applicationDidFinishLaunching()
{
    using namespace std::chrono_literals;
    m_parts.analytics.startPingTimer(14400s);
    m_parts.analytics.sendEvent(QStringLiteral("app"), QStringLiteral("start"),
                                QCoreApplication::applicationVersion());
    m_parts.analytics.sendFirstRunEvent();
    const bool showInputHelp = checkAccessibility();
    syncLoginItem();
    checkVLC();
    // Once more, whatever the scan found; it runs on in the event loop.
    m_parts.editVLC.configureVLC(std::nullopt, std::nullopt, {});
    // Built before the servers start, reading "Stop server" as it always has.
    if (m_statusItem)
        m_statusItem->buildStatusMenu(true);
    m_parts.servers.startServers();
    if (!m_parts.servers.isUDPServerRunning() && !m_parts.servers.isTCPServerRunning()) {
        m_parts.log.line("Cannot serve commands: no UDP or TCP port is available");
        return false;
    }
    if (const std::optional<quint16> port = m_parts.web.ZantiWebServerPort(); showInputHelp && port)
        m_parts.desktop.workspace->openUrl(
            QUrl(QStringLiteral("http://127.0.0.1:%1/input-help.html#reason=%2")
                     .arg(*port)
                     .arg(QString::fromLatin1(
                         QUrl::toPercentEncoding(m_parts.desktop.inputUnavailableReason())))));
    if (m_statusItem) {
        buildStatusMenu();
        m_statusItem->show();
    }
    return true;
}

void AppDelegate::applicationWillTerminate()
{
    m_parts.analytics.stopPingTimer();
    m_parts.servers.stopServers();
    QCoreApplication::quit();
}

void AppDelegate::restartServers()
{
    m_parts.servers.restartServers([this] {
        syncLoginItem();
        buildStatusMenu();
    });
}

void AppDelegate::openSettingsPage()
{
    const QUrl address = m_parts.web.pageAddress();
    if (address.isEmpty())
        m_parts.log.line("No settings page to open: the servers are stopped");
    else
        m_parts.desktop.workspace->openUrl(address);
}

void AppDelegate::toggleServer()
{
    if (m_parts.servers.isServerRunning())
        m_parts.servers.stopServers();
    else
        m_parts.servers.startServers();
    buildStatusMenu();
}

void AppDelegate::buildStatusMenu()
{
    if (m_statusItem)
        m_statusItem->buildStatusMenu(m_parts.servers.isServerRunning());
}

void AppDelegate::showUpdate(const UpdateResult &result)
{
    const bool newer =
        result.outcome == UpdateResult::Outcome::NewerVersion && !result.page.isEmpty();
    const QStringList buttons =
        newer ? QStringList{QStringLiteral("Open the release page"), QStringLiteral("Later")}
              : QStringList{QStringLiteral("OK")};
    const int answer = m_parts.alerts.show(
        {Alert::Style::Informational, result.message, {}, buttons, newer ? 1 : 0});
    if (newer && answer == 0)
        m_parts.desktop.workspace->openUrl(result.page);
}

// The desktop's own question behind the accessibility permission: can this program drive the
// pointer and keyboard of this session? True when the user asked for help.
bool AppDelegate::checkAccessibility()
{
    if (m_parts.desktop.inputAvailable())
        return false;
    const int answer = m_parts.alerts.show(
        {Alert::Style::Critical,
         QStringLiteral("Zanti Connect cannot control the mouse and keyboard here: ") +
             m_parts.desktop.inputUnavailableReason() + u'.',
         QStringLiteral("The phone's mouse, keyboard and text commands will do nothing. \"Show "
                        "help\" explains what to do on this kind of session."),
         {QStringLiteral("Show help"), QStringLiteral("Quit")},
         1});
    m_parts.log.line(answer == 0 ? "Open Preferences" : "cancel");
    return answer == 0;
}

void AppDelegate::checkVLC()
{
    IWorkspace &workspace = *m_parts.desktop.workspace;
    if (!workspace.findApplication(QStringLiteral("VLC"))) {
        m_parts.alerts.show({Alert::Style::Informational,
                             QStringLiteral("VLC is not installed."),
                             QStringLiteral("Please install VLC meadia player."),
                             {QStringLiteral("Ok")},
                             0});
        return;
    }
    // A VLC that runs is configured now and once more after the scan, as it always has been.
    for (const RunningApplication &application : workspace.runningApplications()) {
        if (!application.regular)
            continue;
        m_parts.log.line(application.name);
        if (application.name == QLatin1String("VLC"))
            m_parts.editVLC.configureVLC(std::nullopt, std::nullopt, {});
    }
}

void AppDelegate::syncLoginItem()
{
    m_parts.preferences.syncLoginItem(m_parts.autostart, QCoreApplication::applicationFilePath());
}

} // namespace zc

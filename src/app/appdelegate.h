#pragma once

#include <QString>

#include <memory>

namespace zc {

class AutostartEntry;
class EditVLC;
class GoogleAnalytics;
class IAlerts;
class Log;
class ServerHandler;
class StatusMenu;
class UDPServer;
class UpdateChecker;
class WebServer;
class ZantiPreferences;
struct DesktopServices;
struct UpdateResult;

// The program's life on the desktop: the launch with its alerts, the status icon's menu and the
// end. Headless, there is no menu and the alerts go to the log.
class AppDelegate
{
public:
    struct Parts
    {
        ZantiPreferences &preferences;
        ServerHandler &servers;
        UDPServer &udp;
        WebServer &web;
        EditVLC &editVLC;
        const DesktopServices &desktop;
        GoogleAnalytics &analytics;
        AutostartEntry &autostart;
        UpdateChecker &updates;
        IAlerts &alerts;
        Log &log;
    };

    AppDelegate(Parts parts, bool headless);
    ~AppDelegate();
    AppDelegate(const AppDelegate &) = delete;
    AppDelegate &operator=(const AppDelegate &) = delete;

    // The settings as one line, the update setting and, when it is on, the update check.
    void applicationWillFinishLaunching();
    // Analytics, the input check, the autostart entry, VLC, the menu, the servers, the icon.
    // False when no command server could start.
    bool applicationDidFinishLaunching();
    // Stops the servers and ends the event loop.
    void applicationWillTerminate();

    // After a change on the settings page: every server restarted, the autostart entry and the
    // menu brought in line.
    void restartServers();
    // The settings page, key included, in the desktop's browser.
    void openSettingsPage();

private:
    void toggleServer();
    void buildStatusMenu();
    void showUpdate(const UpdateResult &result);
    bool checkAccessibility();
    void checkVLC();
    void syncLoginItem();

    Parts m_parts;
    std::unique_ptr<StatusMenu> m_statusItem;
};

} // namespace zc

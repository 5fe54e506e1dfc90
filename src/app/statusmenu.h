#pragma once

#include <QMenu>
#include <QSystemTrayIcon>

#include <functional>

namespace zc {

class Log;

// The status icon in the desktop's panel and its menu. Needs a QApplication.
class StatusMenu
{
public:
    struct Actions
    {
        std::function<void()> startStopServer;
        std::function<void()> settings;
        std::function<void()> checkForUpdates;
        std::function<void()> quit;
    };

    StatusMenu(Actions actions, Log &log);

    // Builds the menu afresh; its first item starts or stops the servers as `isServerRunning`
    // says.
    void buildStatusMenu(bool isServerRunning);
    // Shows the icon; says once in the log when the desktop has no panel to show it in.
    void show();
    void notify(const QString &title, const QString &text);
    // Calls `chosen` when the user clicks the next notification.
    void onNotificationClicked(std::function<void()> chosen)
    {
        m_notificationChosen = std::move(chosen);
    }

    QMenu &menu() { return m_menu; }

private:
    Actions m_actions;
    Log &m_log;
    QMenu m_menu;
    QSystemTrayIcon m_statusItem;
    std::function<void()> m_notificationChosen;
};

} // namespace zc

#include "statusmenu.h"

#include "log.h"

namespace zc {

StatusMenu::StatusMenu(Actions actions, Log &log) : m_actions(std::move(actions)), m_log(log)
{
    // Drawn for 16 px panels and rendered from icons/zanti-connect-panel.svg, so that no SVG
    // plugin is needed at run time.
    QIcon icon;
    for (int size : {16, 22, 32, 48, 64})
        icon.addFile(QStringLiteral(":/icons/panel-%1.png").arg(size), QSize(size, size));
    m_statusItem.setIcon(icon);
    m_statusItem.setToolTip(QStringLiteral("Zanti Connect"));
    // The two separators under the first item are meant: keep both.
    m_menu.setSeparatorsCollapsible(false);
    m_statusItem.setContextMenu(&m_menu);
    QObject::connect(&m_statusItem, &QSystemTrayIcon::messageClicked, &m_menu, [this] {
        if (auto chosen = std::exchange(m_notificationChosen, {}))
            chosen();
    });
}

void StatusMenu::buildStatusMenu(bool isServerRunning)
{
    m_menu.clear();
    m_menu.addAction(isServerRunning ? QStringLiteral("Stop server")
                                     : QStringLiteral("Start server"),
                     [this] { m_actions.startStopServer(); });
    m_menu.addSeparator();
    m_menu.addSeparator();
    m_menu.addAction(QStringLiteral("Settings"), [this] { m_actions.settings(); });
    m_menu.addSeparator();
    m_menu.addAction(QStringLiteral("Check for updates"), [this] { m_actions.checkForUpdates(); });
    m_menu.addSeparator();
    m_menu.addAction(QStringLiteral("Quit Zanti"), [this] { m_actions.quit(); });
}

void StatusMenu::show()
{
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        m_log.line("This desktop shows no status icons: open the settings with zanti-connect "
                   "--open-settings or from the application menu");
    m_statusItem.show();
}

void StatusMenu::notify(const QString &title, const QString &text)
{
    m_statusItem.showMessage(title, text);
}

} // namespace zc

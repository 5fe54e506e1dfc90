#pragma once

#include "iwebserver.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zc {

class Log;
class ZantiPreferences;
struct ServerStatus;

// What a settings change asks of the rest of the program. Each runs on the main thread.
struct SettingsActions
{
    std::function<ServerStatus()> status;
    // Brings VLC's web interface in line with the stored VLC port and password.
    std::function<void()> configureVLC;
    // Restarts every server, this one included, and brings the autostart entry in line. Runs
    // after the reply to the post has been handed to the connection.
    std::function<void()> restartServers;
};

// The settings page and its JSON service, on the loopback addresses only:
// - GET "/requests/settings/": the settings reply;
// - POST "/requests/settings/": applies the posted settings, answers with the reply as it was
//   before the change, then restarts the servers;
// - GET "/<file>": the page's files, "/" being "zanticonnect-settings.html".
// The two settings requests need "Authorization: Bearer <key>" with this run's key, which only
// the desktop user can read (from the page's address file), so neither another local user nor
// a web page the user visits can read or change the settings; requests naming a Host that is
// not this computer's loopback are refused as well (DNS rebinding).
//
// The HTTP library calls handlers on its own threads; all their work on the preferences and the
// servers is handed to the thread that created this object, whose event loop must run.
class WebServer final : public IWebServer
{
public:
    // `addressFile`: where the page's address, key included, is kept while the server runs;
    // `wwwFolder`: the folder of the page's files (the compiled-in ":/www" by default).
    WebServer(ZantiPreferences &preferences, Log &log, QString addressFile,
              QString wwwFolder = QStringLiteral(":/www"));
    ~WebServer() override;
    WebServer(const WebServer &) = delete;
    WebServer &operator=(const WebServer &) = delete;

    void setActions(SettingsActions actions) { m_actions = std::move(actions); }

    void startServer(quint16 port) override;
    void stopServer() override;
    bool isServerRunning() const override { return m_isServerRunning; }
    void setWebserverDelegate(webserverRestartDelegate *delegate) override
    {
        m_webserverDelegate = delegate;
    }

    std::optional<quint16> ZantiWebServerPort() const { return m_port; }
    // http://127.0.0.1:<port>/#key=<key>; empty while stopped.
    QUrl pageAddress() const;

    static constexpr std::size_t maximumBodySize = 64 * 1024;
    static constexpr std::size_t maximumConnections = 8;

private:
    struct File
    {
        std::string content;
        std::string type;
    };
    struct Gate;
    struct Listener;
    class Pool;
    struct Reply;

    void loadFiles(const QString &folder);
    Reply postSettings(const QString &requestText);
    void writeAddressFile();

    ZantiPreferences &m_preferences;
    Log &m_log;
    QString m_addressFile;
    QString m_wwwFolder;
    // Read by the HTTP threads; never changed after construction.
    std::string m_key;
    std::map<std::string, File> m_files;

    SettingsActions m_actions;
    std::optional<quint16> m_port;
    bool m_isServerRunning = false;
    webserverRestartDelegate *m_webserverDelegate = nullptr;
    std::unique_ptr<Pool> m_pool;
    std::shared_ptr<Gate> m_gate;
    std::vector<std::unique_ptr<Listener>> m_listeners;
    // Stopped listeners finishing their last connections; joined once done.
    std::vector<std::unique_ptr<Listener>> m_retired;
    QObject m_context;
};

} // namespace zc

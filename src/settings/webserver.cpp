#include "webserver.h"

#include "log.h"
#include "serverstatus.h"
#include "settingspost.h"
#include "zantipreferences.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QTimer>

#include <httplib.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <sys/socket.h>
#include <thread>

namespace zc {

namespace {

using namespace std::chrono_literals;

// An idle keep-alive connection holds a worker this long; stopping waits for it, off the main
// thread, and so does the exit.
constexpr time_t keepAliveSeconds = 2;
// A main thread that does not answer within this is taken as gone: the request gets 503.
constexpr auto handOverLimit = 10s;

const std::string textType = "text/plain; charset=utf-8";

std::string freshKey()
{
    std::array<quint32, 8> words{};
    QRandomGenerator::system()->fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.data()), sizeof(words))
        .toHex()
        .toStdString();
}

bool isDigits(std::string_view text)
{
    return !text.empty() && text.size() <= 5 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// localhost, 127.0.0.1 or [::1], with or without a port: what a browser sends for the address
// the program opens. A rebound DNS name carries the attacker's name here.
bool isLoopbackHost(std::string host)
{
    std::string_view port;
    std::string name;
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close == std::string::npos)
            return false;
        name = host.substr(0, close + 1);
        port = std::string_view(host).substr(close + 1);
    } else {
        const std::size_t colon = host.find(':');
        name = host.substr(0, colon);
        if (colon != std::string::npos)
            port = std::string_view(host).substr(colon);
    }
    if (!port.empty() && (port.front() != ':' || !isDigits(port.substr(1))))
        return false;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return name == "localhost" || name == "127.0.0.1" || name == "[::1]";
}

// The same time whatever the first difference, so the key cannot be guessed byte by byte.
bool sameKey(std::string_view given, std::string_view key)
{
    unsigned char difference = given.size() == key.size() ? 0 : 1;
    for (std::size_t i = 0; i < key.size(); ++i)
        difference |= static_cast<unsigned char>(key[i] ^ (i < given.size() ? given[i] : 0));
    return difference == 0;
}

bool hasKey(const httplib::Request &request, std::string_view key)
{
    const std::string authorization = request.get_header_value("Authorization");
    constexpr std::string_view scheme = "bearer ";
    if (authorization.size() < scheme.size())
        return false;
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(authorization[i])) != scheme[i])
            return false;
    }
    return sameKey(std::string_view(authorization).substr(scheme.size()), key);
}

// The request as text: request line, header lines, an empty line and the body.
QString renderRequest(const httplib::Request &request)
{
    std::string text = request.method + ' ' + request.target + ' ' + request.version + '\n';
    for (const auto &[name, value] : request.headers)
        text += name + ": " + value + '\n';
    text += '\n';
    text += request.body;
    return QString::fromStdString(text);
}

std::string contentType(const QString &name)
{
    const QString suffix = QFileInfo(name).suffix().toLower();
    if (suffix == QLatin1String("html"))
        return "text/html; charset=utf-8";
    if (suffix == QLatin1String("css"))
        return "text/css; charset=utf-8";
    if (suffix == QLatin1String("js"))
        return "text/javascript; charset=utf-8";
    if (suffix == QLatin1String("svg"))
        return "image/svg+xml";
    if (suffix == QLatin1String("png"))
        return "image/png";
    return "application/octet-stream";
}

// A Content-Length beyond the bound; one too large for 64 bits is too.
bool isTooLong(const std::string &length)
{
    std::uint64_t bytes = 0;
    const auto [end, error] = std::from_chars(length.data(), length.data() + length.size(), bytes);
    return error == std::errc::result_out_of_range ||
           (error == std::errc() && bytes > WebServer::maximumBodySize);
}

void refuse(httplib::Response &response, int status, const char *text)
{
    response.status = status;
    response.set_content(text, textType);
}

} // namespace

struct WebServer::Reply
{
    int status = 200;
    std::string body;
};

// Closed when the server stops: requests still waiting for the main thread give up at once.
struct WebServer::Gate
{
    std::mutex mutex;
    std::condition_variable changed;
    bool closed = false;
};

struct WebServer::Listener
{
    httplib::Server server;
    std::thread thread;
    std::atomic<bool> finished = false;
};

// One set of workers for every listener, so that the connections served at once stay bounded
// however many addresses and restarts there are. Connections beyond it wait their turn.
class WebServer::Pool
{
public:
    explicit Pool(std::size_t size)
    {
        for (std::size_t i = 0; i < size; ++i)
            m_threads.emplace_back([this] { work(); });
    }
    ~Pool()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_changed.notify_all();
        for (std::thread &thread : m_threads)
            thread.join();
    }
    Pool(const Pool &) = delete;
    Pool &operator=(const Pool &) = delete;

    // The queue one listener hands its connections to; its shutdown waits for those only.
    httplib::TaskQueue *queueForListener() { return new Queue(*this); }

private:
    class Queue final : public httplib::TaskQueue
    {
    public:
        explicit Queue(Pool &pool) : m_pool(pool) {}
        void enqueue(std::function<void()> job) override
        {
            {
                std::lock_guard lock(m_state->mutex);
                ++m_state->running;
            }
            m_pool.enqueue([job = std::move(job), state = m_state] {
                job();
                {
                    std::lock_guard lock(state->mutex);
                    --state->running;
                }
                state->changed.notify_all();
            });
        }
        void shutdown() override
        {
            std::unique_lock lock(m_state->mutex);
            m_state->changed.wait(lock, [this] { return m_state->running == 0; });
        }

    private:
        struct State
        {
            std::mutex mutex;
            std::condition_variable changed;
            std::size_t running = 0;
        };
        Pool &m_pool;
        std::shared_ptr<State> m_state = std::make_shared<State>();
    };

    void enqueue(std::function<void()> job)
    {
        {
            std::lock_guard lock(m_mutex);
            m_jobs.push_back(std::move(job));
        }
        m_changed.notify_one();
    }

    void work()
    {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(m_mutex);
                m_changed.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
                if (m_jobs.empty())
                    return;
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
            }
            job();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_jobs;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

WebServer::WebServer(ZantiPreferences &preferences, Log &log, QString addressFile,
                     QString wwwFolder)
    : m_preferences(preferences), m_log(log), m_addressFile(std::move(addressFile)),
      m_wwwFolder(std::move(wwwFolder)), m_key(freshKey()),
      m_pool(std::make_unique<Pool>(maximumConnections))
{
    loadFiles(m_wwwFolder);
}

WebServer::~WebServer()
{
    if (m_isServerRunning)
        stopServer();
    // Each listener's thread ends once its connections have (keep-alive bounds that).
    for (auto &listener : m_retired)
        listener->thread.join();
}

void WebServer::loadFiles(const QString &folder)
{
    QDirIterator files(folder, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = files.next();
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QString name = QDir(folder).relativeFilePath(path);
        m_files[(QLatin1Char('/') + name).toStdString()] = {file.readAll().toStdString(),
                                                            contentType(name)};
    }
    if (auto index = m_files.find("/zanticonnect-settings.html"); index != m_files.end())
        m_files["/"] = index->second;
}

QUrl WebServer::pageAddress() const
{
    if (!m_isServerRunning || !m_port)
        return {};
    return QUrl(QStringLiteral("http://127.0.0.1:%1/#key=%2")
                    .arg(*m_port)
                    .arg(QString::fromStdString(m_key)));
}

void WebServer::writeAddressFile()
{
    const QFileInfo info(m_addressFile);
    QDir().mkpath(info.absolutePath());
    QFile::setPermissions(info.absolutePath(),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QSaveFile file(m_addressFile);
    // Created private from the start: the key in it is all that guards the settings.
    if (!file.open(QIODevice::WriteOnly) ||
        !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner) ||
        file.write(pageAddress().toEncoded() + '\n') < 0 || !file.commit())
        m_log.line("Cannot write the settings page's address to", m_addressFile);
}

WebServer::Reply WebServer::postSettings(const QString &requestText)
{
    const SettingsPost post = findSettingsPost(requestText, m_log);
    if (!post.settings)
        return {200, post.candidate.toStdString()};
    m_preferences.applySettings(*post.settings);
    if (m_actions.configureVLC)
        m_actions.configureVLC();
    const QString reply =
        m_preferences.settingsJSON(m_actions.status ? m_actions.status() : ServerStatus{});
    // Queued behind this handover: the reply is already the connection's when the servers,
    // this one included, stop. A stopping server still finishes the requests it has.
    if (m_actions.restartServers)
        QTimer::singleShot(0, &m_context, m_actions.restartServers);
    return {200, reply.toStdString()};
}

void WebServer::startServer(quint16 port)
{
    m_port = port;
    m_log.line(QStringLiteral("HTML base folder Path: ") + m_wwwFolder);
    for (auto it = m_retired.begin(); it != m_retired.end();) {
        if ((*it)->finished) {
            (*it)->thread.join();
            it = m_retired.erase(it);
        } else {
            ++it;
        }
    }

    auto gate = std::make_shared<Gate>();
    // Runs `work` on the main thread and waits for its reply; nothing when the server stops
    // meanwhile or the main thread does not get to it.
    const auto handOver = [this, gate](std::function<Reply()> work) -> std::optional<Reply> {
        auto reply = std::make_shared<std::optional<Reply>>();
        QMetaObject::invokeMethod(
            &m_context,
            [gate, reply, work = std::move(work)] {
                {
                    std::lock_guard lock(gate->mutex);
                    if (gate->closed)
                        return;
                }
                Reply result = work();
                {
                    std::lock_guard lock(gate->mutex);
                    *reply = std::move(result);
                }
                gate->changed.notify_all();
            },
            Qt::QueuedConnection);
        std::unique_lock lock(gate->mutex);
        gate->changed.wait_for(lock, handOverLimit,
                               [&] { return reply->has_value() || gate->closed; });
        return *reply;
    };
    const auto answer = [](httplib::Response &response, const std::optional<Reply> &reply) {
        if (!reply)
            return refuse(response, 503, "The settings service is restarting; try again\n");
        response.status = reply->status;
        response.set_content(reply->body, textType);
    };

    std::vector<std::unique_ptr<Listener>> listeners;
    for (const char *address : {"127.0.0.1", "::1"}) {
        auto listener = std::make_unique<Listener>();
        httplib::Server &server = listener->server;
        server.new_task_queue = [pool = m_pool.get()] { return pool->queueForListener(); };
        // Address reuse, as the port check and the command servers bind: the library's own choice,
        // port reuse, would leave this run's closed connections blocking the port for a minute.
        server.set_socket_options([](int socket) {
            const int yes = 1;
            ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
        });
        server.set_payload_max_length(maximumBodySize);
        server.set_keep_alive_timeout(keepAliveSeconds);
        server.set_keep_alive_max_count(100);
        // Headers and body go out in separate writes: without this each reply waits out the
        // peer's delayed acknowledgement, some 40 ms.
        server.set_tcp_nodelay(true);
        server.set_pre_routing_handler([this](const httplib::Request &request,
                                              httplib::Response &response) {
            if (!isLoopbackHost(request.get_header_value("Host"))) {
                m_log.line("Settings request refused: its Host is not this computer's loopback");
                refuse(response, 403, "Forbidden\n");
                return httplib::Server::HandlerResponse::Handled;
            }
            // Refused before a byte of it is read; the unread rest ends the connection.
            if (isTooLong(request.get_header_value("Content-Length"))) {
                m_log.line("Settings request refused: its body is larger than 64 KiB");
                refuse(response, 413, "Payload Too Large\n");
                response.set_header("Connection", "close");
                return httplib::Server::HandlerResponse::Handled;
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });
        const auto keyed = [this](const httplib::Request &request, httplib::Response &response) {
            if (hasKey(request, m_key))
                return true;
            m_log.line("Settings request refused: without this run's key");
            refuse(response, 403, "Open the settings page with: zanti-connect --open-settings\n");
            return false;
        };
        server.Post("/requests/settings/",
                    [=, this](const httplib::Request &request, httplib::Response &response) {
                        if (keyed(request, response))
                            answer(response, handOver([this, text = renderRequest(request)] {
                                       return postSettings(text);
                                   }));
                    });
        server.Get("/requests/settings/", [=, this](const httplib::Request &request,
                                                    httplib::Response &response) {
            if (keyed(request, response))
                answer(response, handOver([this]() -> Reply {
                           const ServerStatus status =
                               m_actions.status ? m_actions.status() : ServerStatus{};
                           m_log.line("Settings read by the settings page; servers running:",
                                      status.isServerRunning);
                           return {200, m_preferences.settingsJSON(status).toStdString()};
                       }));
        });
        server.Get("/.*", [this](const httplib::Request &request, httplib::Response &response) {
            const auto file = m_files.find(request.path);
            if (file == m_files.end())
                return refuse(response, 404, "Not Found\n");
            // No status set: the library answers 206 with the parts a Range header asks for.
            response.set_header("Cache-Control", "max-age=3600");
            response.set_header("X-Content-Type-Options", "nosniff");
            response.set_header("Referrer-Policy", "no-referrer");
            response.set_header("Content-Security-Policy",
                                "default-src 'self'; frame-ancestors 'none'");
            response.set_content(file->second.content, file->second.type);
        });
        if (!server.bind_to_port(address, port)) {
            // A computer without IPv6 still has its IPv4 loopback.
            if (listeners.empty()) {
                m_log.line("Settings page cannot listen on", address, "port", port);
                return;
            }
            continue;
        }
        listeners.push_back(std::move(listener));
    }
    for (auto &listener : listeners) {
        listener->thread = std::thread([raw = listener.get()] {
            raw->server.listen_after_bind();
            raw->finished = true;
        });
    }
    m_gate = gate;
    m_listeners = std::move(listeners);
    m_isServerRunning = true;
    if (m_webserverDelegate)
        m_webserverDelegate->webServerRunningChanged(true);
    m_log.line("Settings page at", QStringLiteral("http://127.0.0.1:%1/").arg(port));
    writeAddressFile();
}

void WebServer::stopServer()
{
    m_log.line(m_isServerRunning);
    if (m_gate) {
        {
            std::lock_guard lock(m_gate->mutex);
            m_gate->closed = true;
        }
        m_gate->changed.notify_all();
        m_gate.reset();
    }
    // stop() only closes the listening socket; joining would wait on open connections, which
    // may themselves be waiting for this thread.
    for (auto &listener : m_listeners) {
        // stop() does nothing before the listening loop has begun, which is a moment away.
        while (!listener->server.is_running() && !listener->finished)
            std::this_thread::yield();
        listener->server.stop();
        m_retired.push_back(std::move(listener));
    }
    m_listeners.clear();
    if (!m_isServerRunning)
        return;
    QFile::remove(m_addressFile);
    m_isServerRunning = false;
    if (m_webserverDelegate)
        m_webserverDelegate->webServerRunningChanged(false);
}

} // namespace zc

#pragma once

#include <QString>
#include <QtGlobal>

#include <chrono>
#include <functional>
#include <memory>

class QLocalServer;
class QLocalSocket;
class QLockFile;
class QTimer;

namespace zc {

class Log;

// One running copy per user. The first copy holds "instance.lock" in `folder` (a private folder
// under the user's runtime folder) and listens on "instance.socket" beside it; a later copy, and
// `zanti-connect --open-settings`, ask it there to bring its settings page forward.
class SingleInstance
{
public:
    // The longest request line taken; anything longer is not a request of this program.
    static constexpr qsizetype maximumRequest = 64;

    // `requestTimeout`: how long a connected copy may take to send its request before it is
    // dropped.
    SingleInstance(QString folder, Log &log,
                   std::chrono::milliseconds requestTimeout = std::chrono::seconds(3));
    ~SingleInstance();
    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    // Takes the lock (over from a copy that died holding it) and starts listening. False when a
    // live copy holds it. When the lock cannot be taken for another reason this says so and
    // returns true: a broken runtime folder must not keep the user from being served.
    bool claim();

    // Called on the event loop when another copy asked this one to come forward.
    void setComeForwardRequested(std::function<void()> handler)
    {
        m_comeForwardRequested = std::move(handler);
    }

    // Asks the copy listening in `folder` to come forward and waits, blocking, for at most 3 s
    // for its confirmation: only for a short-lived process that has no event loop to keep
    // going. True when the request was delivered.
    static bool askFirstCopy(const QString &folder, Log &log);

private:
    void accept();
    void read(QLocalSocket &socket, QTimer &timeout);

    QString m_folder;
    Log &m_log;
    std::chrono::milliseconds m_requestTimeout;
    std::unique_ptr<QLockFile> m_lock;
    std::unique_ptr<QLocalServer> m_server;
    std::function<void()> m_comeForwardRequested;
};

} // namespace zc

#include "singleinstance.h"

#include "log.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QTimer>

namespace zc {

namespace {

constexpr QLatin1String lockName("instance.lock");
constexpr QLatin1String socketName("instance.socket");
constexpr char request[] = "come-forward\n";
constexpr char answer[] = "ok\n";

} // namespace

SingleInstance::SingleInstance(QString folder, Log &log, std::chrono::milliseconds requestTimeout)
    : m_folder(std::move(folder)), m_log(log), m_requestTimeout(requestTimeout)
{}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::claim()
{
    const QDir folder(m_folder);
    folder.mkpath(QStringLiteral("."));
    // Whoever reaches the socket can make this user's browser open the settings page.
    QFile::setPermissions(m_folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    m_lock = std::make_unique<QLockFile>(folder.filePath(lockName));
    // Held for as long as the program runs: only a holder that is gone makes the lock stale.
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0)) {
        if (m_lock->error() == QLockFile::LockFailedError)
            return false;
        m_log.line("Cannot take the lock", m_lock->fileName(),
                   "so a second copy could run beside this one");
        return true;
    }

    const QString socketPath = folder.filePath(socketName);
    // Left by a copy that died: with the lock ours, nobody listens on it.
    QLocalServer::removeServer(socketPath);
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(socketPath)) {
        m_log.line("Cannot listen on", socketPath,
                   QStringLiteral("(") + m_server->errorString() +
                       QStringLiteral(") so a second copy cannot bring this one forward"));
        return true;
    }
    QObject::connect(m_server.get(), &QLocalServer::newConnection, m_server.get(),
                     [this] { accept(); });
    return true;
}

void SingleInstance::accept()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        auto *timeout = new QTimer(socket);
        timeout->setSingleShot(true);
        QObject::connect(timeout, &QTimer::timeout, socket, [this, socket] {
            m_log.line("Ignored a request from another copy: none came within",
                       qint64(m_requestTimeout.count()), "ms");
            socket->abort();
        });
        QObject::connect(socket, &QLocalSocket::readyRead, socket,
                         [this, socket, timeout] { read(*socket, *timeout); });
        timeout->start(m_requestTimeout);
        // Bytes that came with the connection may already be buffered.
        read(*socket, *timeout);
    }
}

void SingleInstance::read(QLocalSocket &socket, QTimer &timeout)
{
    if (socket.state() != QLocalSocket::ConnectedState)
        return;
    if (!socket.canReadLine()) {
        if (socket.bytesAvailable() > maximumRequest) {
            timeout.stop();
            m_log.line("Ignored a request from another copy: longer than", maximumRequest, "bytes");
            socket.abort();
        }
        return;
    }
    timeout.stop();
    const QByteArray line = socket.readLine(maximumRequest + 1);
    if (line != request) {
        m_log.line("Ignored a request from another copy:", line.trimmed());
        socket.abort();
        return;
    }
    socket.write(answer);
    socket.disconnectFromServer();
    if (m_comeForwardRequested)
        m_comeForwardRequested();
}

bool SingleInstance::askFirstCopy(const QString &folder, Log &log)
{
    QDeadlineTimer deadline(std::chrono::seconds(3));
    QLocalSocket socket;
    socket.connectToServer(QDir(folder).filePath(socketName));
    // No socket, or one that a copy which died left behind: nobody to ask.
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return false;
    socket.write(request);
    while (!socket.canReadLine() && !deadline.hasExpired() &&
           socket.waitForReadyRead(int(deadline.remainingTime()))) {
    }
    if (socket.canReadLine() && socket.readLine(qint64(sizeof answer)) == answer)
        return true;
    log.line("The running copy did not answer its request to come forward");
    return false;
}

} // namespace zc

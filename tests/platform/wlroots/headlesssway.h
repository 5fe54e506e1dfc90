#pragma once

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>

namespace zc::test {

// A headless sway for one test, in a runtime directory of its own.
class HeadlessSway
{
public:
    static bool available()
    {
        return !QStandardPaths::findExecutable(QStringLiteral("sway")).isEmpty();
    }

    ~HeadlessSway()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    void start()
    {
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.start(QStringLiteral(ZC_HEADLESS_SWAY), {m_runtime.path()});
    }

    // The compositor's socket once it listens, for WAYLAND_DISPLAY; empty before.
    QString socket() const
    {
        const QStringList sockets =
            QDir(m_runtime.path()).entryList({QStringLiteral("wayland-?")}, QDir::System);
        return sockets.isEmpty() ? QString() : m_runtime.filePath(sockets.first());
    }

private:
    QTemporaryDir m_runtime;
    QProcess m_process;
};

} // namespace zc::test

#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

namespace zc::test {

// A dbus-daemon of the test's own, at an address it picks itself, on which no service is started
// on demand (privatebus.conf). The tests use one as the session bus and another as the system
// bus, so nothing ever reaches the machine's real buses.
class PrivateBus
{
public:
    static QString executable() { return QStandardPaths::findExecutable("dbus-daemon"); }

    explicit PrivateBus(QString connectionName) : m_connectionName(std::move(connectionName)) {}
    PrivateBus(const PrivateBus &) = delete;
    PrivateBus &operator=(const PrivateBus &) = delete;
    ~PrivateBus() { stop(); }

    // False when the daemon did not come up; errorOutput() then says why.
    bool start()
    {
        m_process.setProgram(executable());
        m_process.setArguments({"--config-file=" ZC_PRIVATE_BUS_CONFIG, "--print-address=1",
                                "--nofork", "--nosyslog"});
        m_process.start();
        if (!m_process.waitForStarted(10000))
            return false;
        QByteArray output;
        while (!output.contains('\n')) {
            if (!m_process.waitForReadyRead(10000))
                return false;
            output += m_process.readAllStandardOutput();
        }
        m_address = QString::fromUtf8(output.trimmed());
        return connection().isConnected();
    }

    // True once the daemon has exited.
    bool stop()
    {
        QDBusConnection::disconnectFromBus(m_connectionName);
        if (m_process.state() == QProcess::NotRunning)
            return true;
        m_process.terminate();
        if (m_process.waitForFinished(5000))
            return true;
        m_process.kill();
        return m_process.waitForFinished(5000);
    }

    QString address() const { return m_address; }
    // The test's one connection to this bus, which the code under test shares.
    QDBusConnection connection() const
    {
        return QDBusConnection::connectToBus(m_address, m_connectionName);
    }
    QString errorOutput() { return QString::fromLocal8Bit(m_process.readAllStandardError()); }

private:
    QString m_connectionName;
    QProcess m_process;
    QString m_address;
};

} // namespace zc::test

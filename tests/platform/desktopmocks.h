#pragma once

#include "privatebus.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

namespace zc::test {

// The desktop's D-Bus services as python3-dbusmock plays them, on two private buses: logind on
// the "system" bus; the GNOME, KDE and Xfce session managers and the screen saver on the
// "session" bus. Each mock writes the calls it receives to a file, which calls() reads back.
class DesktopMocks
{
public:
    // Debian's interpreter, which is the one that sees the python3-dbusmock package.
    static QString python()
    {
        if (QFileInfo::exists("/usr/bin/python3"))
            return "/usr/bin/python3";
        return QStandardPaths::findExecutable("python3");
    }

    // Empty when the mocks can run here; else which Debian package is missing.
    static QString missing()
    {
        if (PrivateBus::executable().isEmpty())
            return "dbus-daemon is not installed (Debian package dbus-daemon)";
        QProcess probe;
        probe.start(python(), {"-c", "import dbusmock"});
        if (!probe.waitForFinished(30000) || probe.exitStatus() != QProcess::NormalExit ||
            probe.exitCode() != 0)
            return "python3-dbusmock is not installed (Debian package python3-dbusmock)";
        return QString();
    }

    DesktopMocks() = default;
    DesktopMocks(const DesktopMocks &) = delete;
    DesktopMocks &operator=(const DesktopMocks &) = delete;
    ~DesktopMocks() { stop(); }

    bool startBuses() { return m_system.start() && m_session.start(); }
    QString busErrors() { return m_system.errorOutput() + m_session.errorOutput(); }
    QDBusConnection systemBus() const { return m_system.connection(); }
    QDBusConnection sessionBus() const { return m_session.connection(); }

    // Starts the mocks named by key ("gnome", "logind", ...), each with its template parameters
    // as JSON (an absent key: none), and waits until every one owns its name. False, with
    // errors() saying why, when one did not come up.
    bool start(const QStringList &keys, const QMap<QString, QString> &parameters = {})
    {
        for (const QString &key : keys) {
            const Kind &kind = kindOf(key);
            auto running = std::make_unique<Running>();
            running->key = key;
            running->log = m_logs.filePath(key + ".log");
            QFile::remove(running->log);
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            const QString address = kind.onSystemBus ? m_system.address() : m_session.address();
            environment.insert("DBUS_SYSTEM_BUS_ADDRESS", address);
            environment.insert("DBUS_SESSION_BUS_ADDRESS", address);
            running->process.setProcessEnvironment(environment);
            running->process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            const QString mockTemplate =
                kind.file ? ZC_DBUSMOCK_TEMPLATES "/" + QString(kind.file) : key;
            QStringList arguments{"-m",         "dbusmock",  "--template",
                                  mockTemplate, "--logfile", running->log};
            arguments << (kind.onSystemBus ? "--system" : "--session");
            if (parameters.contains(key))
                arguments << "--parameters" << parameters[key];
            running->process.start(python(), arguments);
            if (!running->process.waitForStarted(10000)) {
                m_errors = key + ": " + running->process.errorString();
                return false;
            }
            m_running.push_back(std::move(running));
        }
        const QDeadlineTimer deadline(20000);
        for (const auto &running : m_running) {
            const Kind &kind = kindOf(running->key);
            const QDBusConnection bus = kind.onSystemBus ? systemBus() : sessionBus();
            while (!bus.interface()->isServiceRegistered(kind.busName)) {
                if (deadline.hasExpired() || running->process.state() == QProcess::NotRunning) {
                    m_errors = running->key + " did not take its bus name";
                    return false;
                }
                QTest::qWait(10);
            }
        }
        return true;
    }

    QString errors() const { return m_errors; }

    // A session of this user on logind, reachable as /org/freedesktop/login1/session/<id>.
    bool addLogindSession(const QString &id)
    {
        QDBusMessage call =
            QDBusMessage::createMethodCall("org.freedesktop.login1", "/org/freedesktop/login1",
                                           "org.freedesktop.DBus.Mock", "AddSession");
        call << id << "seat0" << 1000u << "user" << true;
        const QDBusMessage reply = systemBus().call(call);
        m_ignoredCalls = calls();
        return reply.type() == QDBusMessage::ReplyMessage;
    }

    // Every call the running mocks received, "key: Method arguments" in the order the mocks
    // were started, each mock's in the order received; the mocks' own set-up calls excepted.
    QStringList calls() const
    {
        QStringList result;
        for (const auto &running : m_running) {
            QFile file(running->log);
            if (!file.open(QIODevice::ReadOnly))
                continue;
            for (const QByteArray &line : file.readAll().split('\n')) {
                // "<time stamp> Method arguments"
                const qsizetype space = line.indexOf(' ');
                if (space >= 0)
                    result.append(running->key + ": " + QString::fromUtf8(line.mid(space + 1)));
            }
        }
        for (const QString &ignored : m_ignoredCalls)
            result.removeOne(ignored);
        return result;
    }

    // True once every mock has exited.
    bool stop()
    {
        bool stopped = true;
        for (const auto &running : m_running) {
            running->process.terminate();
            if (!running->process.waitForFinished(5000)) {
                running->process.kill();
                stopped = running->process.waitForFinished(5000) && stopped;
            }
        }
        m_running.clear();
        m_ignoredCalls.clear();
        return stopped;
    }

private:
    struct Kind
    {
        const char *key;
        // In tests/platform/dbusmock; none for dbusmock's own template of that key.
        const char *file;
        const char *busName;
        bool onSystemBus;
    };
    struct Running
    {
        QString key;
        QString log;
        QProcess process;
    };

    static const Kind &kindOf(const QString &key)
    {
        static const Kind kinds[] = {
            {"gnome", "gnome_session_manager.py", "org.gnome.SessionManager", false},
            {"kde", "kde_logout_prompt.py", "org.kde.LogoutPrompt", false},
            {"xfce", "xfce_session_manager.py", "org.xfce.SessionManager", false},
            {"screensaver", "freedesktop_screensaver.py", "org.freedesktop.ScreenSaver", false},
            {"logind", nullptr, "org.freedesktop.login1", true},
        };
        for (const Kind &kind : kinds)
            if (key == QLatin1String(kind.key))
                return kind;
        qFatal("No mock named %s", qPrintable(key));
    }

    PrivateBus m_system{"zc-test-system-bus"};
    PrivateBus m_session{"zc-test-session-bus"};
    QTemporaryDir m_logs;
    std::vector<std::unique_ptr<Running>> m_running;
    QStringList m_ignoredCalls;
    QString m_errors;
};

} // namespace zc::test

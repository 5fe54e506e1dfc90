// Shut down, restart, sleep, lock and log out against the desktop's D-Bus services as
// python3-dbusmock plays them: which service is asked, with which arguments, what is left alone,
// and that logind never ends a session.

#include "desktopmocks.h"
#include "linux/linuxpoweractions.h"
#include "linux/linuxsessionactions.h"
#include "logcapture.h"

#include <QTest>

using namespace zc;
using namespace zc::test;

namespace {

enum class Action
{
    ShutDown,
    Restart,
    Sleep,
    Lock,
    LogOut
};

// Template parameters of the mocks, by mock, as JSON.
using Parameters = QMap<QString, QString>;

// `running`: the mocks, separated by spaces; logind knows this program's session ("auto") if it
// runs for a lock or a log out.
void row(const char *name, Action action, const char *running, const QStringList &calls,
         const char *line, const Parameters &parameters = {})
{
    QTest::newRow(name) << action << QString(running) << parameters << calls << QString(line);
}

} // namespace

class TestLinuxPowerActions : public QObject
{
    Q_OBJECT

    DesktopMocks mocks;
    LogCapture capture;

private slots:
    void initTestCase()
    {
        const QString missing = DesktopMocks::missing();
        if (!missing.isEmpty())
            QSKIP(qPrintable(missing));
        QVERIFY2(mocks.startBuses(), qPrintable(mocks.busErrors()));
    }

    void cleanup() { QVERIFY(mocks.stop()); }

    void request_data()
    {
        QTest::addColumn<Action>("action");
        QTest::addColumn<QString>("running");
        QTest::addColumn<Parameters>("parameters");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QString>("line");

        const char *all = "gnome kde xfce logind";
        row("shut down: GNOME first", Action::ShutDown, all, {"gnome: Shutdown"},
            "Shut down requested from the GNOME session manager");
        row("restart: GNOME first", Action::Restart, all, {"gnome: Reboot"},
            "Restart requested from the GNOME session manager");
        row("shut down: KDE before Xfce", Action::ShutDown, "kde xfce logind",
            {"kde: promptShutDown"}, "Shut down requested from the KDE Plasma logout prompt");
        row("restart: KDE before Xfce", Action::Restart, "kde xfce logind", {"kde: promptReboot"},
            "Restart requested from the KDE Plasma logout prompt");
        row("shut down: Xfce lets applications save", Action::ShutDown, "xfce logind",
            {"xfce: Shutdown True"}, "Shut down requested from the Xfce session manager");
        row("restart: Xfce lets applications save", Action::Restart, "xfce logind",
            {"xfce: Restart True"}, "Restart requested from the Xfce session manager");
        row("shut down: a desktop that refuses is not bypassed", Action::ShutDown, all,
            {"gnome: Shutdown",
             "gnome: Shutdown raised: org.gnome.SessionManager.NotInRunning: refused"},
            "Shut down refused by the GNOME session manager: "
            "org.gnome.SessionManager.NotInRunning: refused",
            {{"gnome", "{\"refuse\": \"org.gnome.SessionManager.NotInRunning\"}"}});
        row("shut down: no desktop, logind", Action::ShutDown, "logind",
            {"logind: CanPowerOff", "logind: PowerOff True"},
            "Shut down requested from systemd-logind");
        row("restart: no desktop, logind", Action::Restart, "screensaver logind",
            {"logind: CanReboot", "logind: Reboot True"}, "Restart requested from systemd-logind");
        row("shut down: logind asks the user to authenticate", Action::ShutDown, "logind",
            {"logind: CanPowerOff", "logind: PowerOff True"},
            "Shut down requested from systemd-logind",
            {{"logind", "{\"CanPowerOff\": \"challenge\"}"}});
        row("restart: logind cannot", Action::Restart, "logind", {"logind: CanReboot"},
            "Restart unavailable: systemd-logind's CanReboot answers \"na\"",
            {{"logind", "{\"CanReboot\": \"na\"}"}});
        row("shut down: nobody answers", Action::ShutDown, "screensaver", {},
            "Shut down unavailable: no desktop session manager answers, and systemd-logind does "
            "not answer (org.freedesktop.DBus.Error.ServiceUnknown)");
        row("sleep: logind, never the desktop", Action::Sleep, all,
            {"logind: CanSuspend", "logind: Suspend True"}, "Sleep requested from systemd-logind");
        row("sleep: logind says no", Action::Sleep, "logind", {"logind: CanSuspend"},
            "Sleep refused by systemd-logind: CanSuspend answers \"no\"",
            {{"logind", "{\"CanSuspend\": \"no\"}"}});

        row("lock: logind's session", Action::Lock, "logind screensaver gnome",
            {"logind: Lock", "logind: emit /org/freedesktop/login1/session/auto "
                             "org.freedesktop.login1.Session.Lock"},
            "Screen lock requested from systemd-logind");
        row("lock: no logind, the screen saver", Action::Lock, "screensaver", {"screensaver: Lock"},
            "Screen lock requested from the screen saver");
        row("lock: nobody answers", Action::Lock, "gnome", {},
            "Screen lock unavailable: neither systemd-logind "
            "(org.freedesktop.DBus.Error.ServiceUnknown) nor a screen saver answers");
        row("log out: GNOME with its confirmation", Action::LogOut, all, {"gnome: Logout 0"},
            "Log out requested from the GNOME session manager");
        row("log out: KDE's prompt", Action::LogOut, "kde xfce logind", {"kde: promptLogout"},
            "Log out requested from the KDE Plasma logout prompt");
        row("log out: Xfce's dialog, letting applications save", Action::LogOut, "xfce logind",
            {"xfce: Logout True True"}, "Log out requested from the Xfce session manager");
        row("log out: no desktop, never logind", Action::LogOut, "logind screensaver", {},
            "Log out unavailable: no desktop session manager answers");
    }

    void request()
    {
        QFETCH(Action, action);
        QFETCH(QString, running);
        QFETCH(Parameters, parameters);
        QFETCH(QStringList, calls);
        QFETCH(QString, line);

        QVERIFY2(mocks.start(running.split(u' '), parameters), qPrintable(mocks.errors()));
        const bool session = action == Action::Lock || action == Action::LogOut;
        if (session && running.contains("logind"))
            QVERIFY(mocks.addLogindSession("auto"));
        capture.clear();
        LinuxPowerActions power(mocks.systemBus(), mocks.sessionBus(), capture.log);
        LinuxSessionActions sessionActions(mocks.systemBus(), mocks.sessionBus(), capture.log);
        if (action == Action::ShutDown)
            power.shutDown();
        else if (action == Action::Restart)
            power.restart();
        else if (action == Action::Sleep)
            power.sleep();
        else if (action == Action::Lock)
            sessionActions.lockScreen();
        else
            sessionActions.logOut();
        // The line comes after the last reply, so every call has been made by then.
        QTRY_COMPARE(capture.lines(), QStringList{line});
        QCOMPARE(mocks.calls(), calls);
    }

    // Without a system or session bus (a container, a text console), every request ends at once.
    void withoutBuses()
    {
        const QDBusConnection none("zc-test-no-bus");
        capture.clear();
        LinuxPowerActions power(none, none, capture.log);
        LinuxSessionActions sessionActions(none, none, capture.log);
        power.shutDown();
        power.sleep();
        sessionActions.logOut();
        sessionActions.lockScreen();
        QTRY_COMPARE(capture.lines().size(), 4);
        const QString log = capture.lines().join(u'\n');
        for (const char *what : {"Shut down", "Sleep", "Log out", "Screen lock"})
            QVERIFY2(log.contains(QLatin1String(what) + " unavailable"), qPrintable(log));
    }

    void noAnswerAfterDestruction()
    {
        QVERIFY2(mocks.start({"logind"}), qPrintable(mocks.errors()));
        capture.clear();
        {
            LinuxPowerActions power(mocks.systemBus(), mocks.sessionBus(), capture.log);
            power.sleep();
        }
        // Replies on one connection arrive in order: once the second request is through, the
        // first one's answer has arrived too, and found nobody to act on it.
        LinuxPowerActions power(mocks.systemBus(), mocks.sessionBus(), capture.log);
        power.sleep();
        QTRY_COMPARE(capture.lines(), QStringList{"Sleep requested from systemd-logind"});
        QCOMPARE(mocks.calls(),
                 (QStringList{"logind: CanSuspend", "logind: CanSuspend", "logind: Suspend True"}));
    }
};

QTEST_GUILESS_MAIN(TestLinuxPowerActions)
#include "tst_linuxpoweractions.moc"

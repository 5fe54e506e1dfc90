// Shut down, restart and sleep against the desktop's D-Bus services as python3-dbusmock plays
// them: which service is asked, with which arguments, and what is left alone.

#include "desktopmocks.h"
#include "linux/linuxpoweractions.h"
#include "logcapture.h"

#include <QTest>

using namespace zc;
using namespace zc::test;

namespace {

enum class Action
{
    ShutDown,
    Restart,
    Sleep
};

// Template parameters of the mocks, by mock, as JSON.
using Parameters = QMap<QString, QString>;

// `running`: the mocks, separated by spaces.
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
    }

    void request()
    {
        QFETCH(Action, action);
        QFETCH(QString, running);
        QFETCH(Parameters, parameters);
        QFETCH(QStringList, calls);
        QFETCH(QString, line);

        QVERIFY2(mocks.start(running.split(u' '), parameters), qPrintable(mocks.errors()));
        capture.clear();
        LinuxPowerActions power(mocks.systemBus(), mocks.sessionBus(), capture.log);
        if (action == Action::ShutDown)
            power.shutDown();
        else if (action == Action::Restart)
            power.restart();
        else
            power.sleep();
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
        power.shutDown();
        power.sleep();
        QTRY_COMPARE(capture.lines().size(), 2);
        QVERIFY(capture.lines().join(u'\n').contains("Shut down unavailable"));
        QVERIFY(capture.lines().join(u'\n').contains("Sleep unavailable"));
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

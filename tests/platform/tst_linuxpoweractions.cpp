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

const QString allDesktops = QStringLiteral("gnome kde xfce logind");

Parameters logindAnswers(const char *json)
{
    return {{QStringLiteral("logind"), QString::fromUtf8(json)}};
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
        // Mocks running, separated by spaces.
        QTest::addColumn<QString>("running");
        QTest::addColumn<Parameters>("parameters");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QString>("line");

        QTest::newRow("shut down: GNOME first")
            << Action::ShutDown << allDesktops << Parameters() << QStringList{"gnome: Shutdown"}
            << "Shut down requested from the GNOME session manager";
        QTest::newRow("restart: GNOME first")
            << Action::Restart << allDesktops << Parameters() << QStringList{"gnome: Reboot"}
            << "Restart requested from the GNOME session manager";
        QTest::newRow("shut down: KDE before Xfce")
            << Action::ShutDown << "kde xfce logind" << Parameters()
            << QStringList{"kde: promptShutDown"}
            << "Shut down requested from the KDE Plasma logout prompt";
        QTest::newRow("restart: KDE before Xfce")
            << Action::Restart << "kde xfce logind" << Parameters()
            << QStringList{"kde: promptReboot"}
            << "Restart requested from the KDE Plasma logout prompt";
        QTest::newRow("shut down: Xfce lets applications save")
            << Action::ShutDown << "xfce logind" << Parameters()
            << QStringList{"xfce: Shutdown True"}
            << "Shut down requested from the Xfce session manager";
        QTest::newRow("restart: Xfce lets applications save")
            << Action::Restart << "xfce logind" << Parameters() << QStringList{"xfce: Restart True"}
            << "Restart requested from the Xfce session manager";
        QTest::newRow("shut down: a desktop that refuses is not bypassed")
            << Action::ShutDown << allDesktops
            << Parameters{{"gnome", "{\"refuse\": \"org.gnome.SessionManager.NotInRunning\"}"}}
            << QStringList{"gnome: Shutdown",
                           "gnome: Shutdown raised: org.gnome.SessionManager.NotInRunning: refused"}
            << "Shut down refused by the GNOME session manager: "
               "org.gnome.SessionManager.NotInRunning: refused";
        QTest::newRow("shut down: no desktop, logind")
            << Action::ShutDown << "logind" << Parameters()
            << QStringList{"logind: CanPowerOff", "logind: PowerOff True"}
            << "Shut down requested from systemd-logind";
        QTest::newRow("restart: no desktop, logind")
            << Action::Restart << "screensaver logind" << Parameters()
            << QStringList{"logind: CanReboot", "logind: Reboot True"}
            << "Restart requested from systemd-logind";
        QTest::newRow("shut down: logind asks the user to authenticate")
            << Action::ShutDown << "logind" << logindAnswers("{\"CanPowerOff\": \"challenge\"}")
            << QStringList{"logind: CanPowerOff", "logind: PowerOff True"}
            << "Shut down requested from systemd-logind";
        QTest::newRow("shut down: logind says no")
            << Action::ShutDown << "logind" << logindAnswers("{\"CanPowerOff\": \"no\"}")
            << QStringList{"logind: CanPowerOff"}
            << "Shut down refused by systemd-logind: CanPowerOff answers \"no\"";
        QTest::newRow("restart: logind cannot")
            << Action::Restart << "logind" << logindAnswers("{\"CanReboot\": \"na\"}")
            << QStringList{"logind: CanReboot"}
            << "Restart unavailable: systemd-logind's CanReboot answers \"na\"";
        QTest::newRow("shut down: nobody answers")
            << Action::ShutDown << "screensaver" << Parameters() << QStringList{}
            << "Shut down unavailable: no desktop session manager answers, and systemd-logind "
               "does not answer (org.freedesktop.DBus.Error.ServiceUnknown)";
        QTest::newRow("sleep: logind, never the desktop")
            << Action::Sleep << allDesktops << Parameters()
            << QStringList{"logind: CanSuspend", "logind: Suspend True"}
            << "Sleep requested from systemd-logind";
        QTest::newRow("sleep: logind says no")
            << Action::Sleep << "logind" << logindAnswers("{\"CanSuspend\": \"no\"}")
            << QStringList{"logind: CanSuspend"}
            << "Sleep refused by systemd-logind: CanSuspend answers \"no\"";
        QTest::newRow("sleep: no logind")
            << Action::Sleep << "gnome" << Parameters() << QStringList{}
            << "Sleep unavailable: systemd-logind does not answer "
               "(org.freedesktop.DBus.Error.ServiceUnknown)";
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
        switch (action) {
        case Action::ShutDown:
            power.shutDown();
            break;
        case Action::Restart:
            power.restart();
            break;
        case Action::Sleep:
            power.sleep();
            break;
        }
        // The line comes after the last reply, so every call has been made by then.
        QTRY_COMPARE(capture.lines(), QStringList{line});
        QCOMPARE(mocks.calls(), calls);
    }

    // Without a system or session bus (a container, a text console), every request ends at once.
    void withoutBuses()
    {
        const QDBusConnection none(QStringLiteral("zc-test-no-bus"));
        capture.clear();
        LinuxPowerActions power(none, none, capture.log);
        power.shutDown();
        power.sleep();
        QTRY_COMPARE(capture.lines(),
                     (QStringList{"Sleep unavailable: systemd-logind does not answer "
                                  "(org.freedesktop.DBus.Error.Disconnected)",
                                  "Shut down unavailable: no desktop session manager answers, and "
                                  "systemd-logind does not answer "
                                  "(org.freedesktop.DBus.Error.Disconnected)"}));
    }

    void noAnswerAfterDestruction()
    {
        QVERIFY2(mocks.start({QStringLiteral("logind")}), qPrintable(mocks.errors()));
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

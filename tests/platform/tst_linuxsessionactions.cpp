// Lock and log out against the desktop's D-Bus services as python3-dbusmock plays them: which
// service is asked, with which arguments, and that logind never ends a session.

#include "desktopmocks.h"
#include "linux/linuxsessionactions.h"
#include "logcapture.h"

#include <QTest>

using namespace zc;
using namespace zc::test;

class TestLinuxSessionActions : public QObject
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
        QTest::addColumn<bool>("lock");
        // The mocks, separated by spaces; logind knows this program's session ("auto") if it runs.
        QTest::addColumn<QString>("running");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QString>("line");

        QTest::newRow("lock: logind's session")
            << true << "logind screensaver gnome"
            << QStringList{"logind: Lock", "logind: emit /org/freedesktop/login1/session/auto "
                                           "org.freedesktop.login1.Session.Lock"}
            << "Screen lock requested from systemd-logind";
        QTest::newRow("lock: no logind, the screen saver")
            << true << "screensaver" << QStringList{"screensaver: Lock"}
            << "Screen lock requested from the screen saver";
        QTest::newRow("lock: nobody answers")
            << true << "gnome" << QStringList{}
            << "Screen lock unavailable: neither systemd-logind "
               "(org.freedesktop.DBus.Error.ServiceUnknown) nor a screen saver answers";
        QTest::newRow("log out: GNOME with its confirmation")
            << false << "gnome kde xfce logind" << QStringList{"gnome: Logout 0"}
            << "Log out requested from the GNOME session manager";
        QTest::newRow("log out: KDE's prompt")
            << false << "kde xfce logind" << QStringList{"kde: promptLogout"}
            << "Log out requested from the KDE Plasma logout prompt";
        QTest::newRow("log out: Xfce's dialog, letting applications save")
            << false << "xfce logind" << QStringList{"xfce: Logout True True"}
            << "Log out requested from the Xfce session manager";
        QTest::newRow("log out: no desktop, never logind")
            << false << "logind screensaver" << QStringList{}
            << "Log out unavailable: no desktop session manager answers";
    }

    void request()
    {
        QFETCH(bool, lock);
        QFETCH(QString, running);
        QFETCH(QStringList, calls);
        QFETCH(QString, line);

        QVERIFY2(mocks.start(running.split(u' ')), qPrintable(mocks.errors()));
        if (running.contains("logind"))
            QVERIFY(mocks.addLogindSession("auto"));
        capture.clear();
        LinuxSessionActions sessionActions(mocks.systemBus(), mocks.sessionBus(), capture.log);
        if (lock)
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
        LinuxSessionActions sessionActions(none, none, capture.log);
        sessionActions.logOut();
        sessionActions.lockScreen();
        QTRY_COMPARE(capture.lines().size(), 2);
        QVERIFY(capture.lines().join(u'\n').contains("Log out unavailable"));
        QVERIFY(capture.lines().join(u'\n').contains("Screen lock unavailable"));
    }
};

QTEST_GUILESS_MAIN(TestLinuxSessionActions)
#include "tst_linuxsessionactions.moc"

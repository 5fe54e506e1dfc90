// Which input the Linux desktop offers in which session, and how it says why when it offers none.

#include "linux/inputtranslator.h"
#include "linux/linuxdesktop.h"
#include "logcapture.h"
#include "xvfbserver.h"

#include <QDBusConnection>
#include <QTest>

using namespace zc;
using namespace zc::test;

class TestLinuxDesktop : public QObject
{
    Q_OBJECT

    enum class Server
    {
        None,
        Xvfb,
        XvfbWithoutXtest,
    };

    LogCapture capture;

private slots:
    // No session bus is named: the desktop must not connect to one that libdbus would start of
    // its own for the X display, and leave running.
    void initTestCase()
    {
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        qunsetenv("XDG_RUNTIME_DIR");
    }

    void init() { cleanup(); }

    void cleanup()
    {
        qunsetenv("DISPLAY");
        qunsetenv("WAYLAND_DISPLAY");
        capture.clear();
    }

    void chooseInputBackend_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("offers");
        QTest::addColumn<QString>("chosen");

        // Offers: x = DISPLAY, w = WAYLAND_DISPLAY, g = wlroots globals, p = RemoteDesktop portal,
        // u = writable /dev/uinput.
        QTest::newRow("X11 session") << "auto"
                                     << "xpu"
                                     << "x11";
        QTest::newRow("wlroots under Xwayland, before the portal") << "auto"
                                                                   << "xwgpu"
                                                                   << "wlroots";
        QTest::newRow("GNOME or KDE on Wayland") << "auto"
                                                 << "xwpu"
                                                 << "portal";
        QTest::newRow("Wayland without a portal") << "auto"
                                                  << "wu"
                                                  << "uinput";
        QTest::newRow("console") << "auto"
                                 << "u"
                                 << "uinput";
        QTest::newRow("Wayland with nothing") << "auto"
                                              << "xw"
                                              << "a Wayland session";
        QTest::newRow("console with nothing") << "auto"
                                              << ""
                                              << "no graphical session";
        QTest::newRow("by hand, offered or not") << "x11"
                                                 << "wgp"
                                                 << "x11";
        QTest::newRow("by hand: portal") << "portal"
                                         << "x"
                                         << "portal";
        QTest::newRow("by hand: wlroots") << "wlroots"
                                          << ""
                                          << "wlroots";
        QTest::newRow("by hand: uinput") << "uinput"
                                         << "xwgp"
                                         << "uinput";
        QTest::newRow("unknown route") << "X11"
                                       << "x"
                                       << "";
        QTest::newRow("empty route") << ""
                                     << "x"
                                     << "";
    }

    void chooseInputBackend()
    {
        QFETCH(QString, option);
        QFETCH(QString, offers);
        QFETCH(QString, chosen);
        const std::optional<InputChoice> choice = InputChoice::parse(option);
        QCOMPARE(choice.has_value(), !chosen.isEmpty());
        if (!choice)
            return;
        const InputEnvironment environment{.x11Display = offers.contains(u'x'),
                                           .waylandDisplay = offers.contains(u'w'),
                                           .wlrootsGlobals = offers.contains(u'g'),
                                           .portalRemoteDesktop = offers.contains(u'p'),
                                           .uinputWritable = offers.contains(u'u')};
        const std::variant<InputBackend, QString> result =
            zc::chooseInputBackend(*choice, environment);
        if (const auto *reason = std::get_if<QString>(&result)) {
            QVERIFY2(reason->startsWith(chosen), qPrintable(*reason));
            QVERIFY(reason->contains(QLatin1String("/dev/uinput is not writable")));
            return;
        }
        const QStringList names{"x11", "wlroots", "portal", "uinput"};
        QCOMPARE(names.at(int(std::get<InputBackend>(result))), chosen);
        QCOMPARE(InputChoice::parse(chosen)->backend, std::get<InputBackend>(result));
    }

    void inputBackend_data()
    {
        QTest::addColumn<Server>("server");
        QTest::addColumn<QString>("display");
        QTest::addColumn<QString>("waylandDisplay");
        QTest::addColumn<QString>("reason");

        // First: Qt keeps the process's first try at its session bus, and only with a display
        // would a wrong try start one.
        QTest::newRow("X11 session") << Server::Xvfb << QString() << QString() << QString();
        QTest::newRow("no graphical session")
            << Server::None << QString() << QString()
            << "no graphical session (DISPLAY and WAYLAND_DISPLAY are not set), and /dev/uinput "
               "is not writable (install the udev rule docs/input.md names, or start "
               "zanti-connect in a desktop session)";
        QTest::newRow("Wayland session, with Xwayland")
            << Server::None << ":0"
            << "wayland-0"
            << "a Wayland session whose compositor offers no virtual pointer and keyboard and "
               "whose "
               "desktop has no RemoteDesktop portal, and /dev/uinput is not writable (install the "
               "udev rule docs/input.md names)";
        QTest::newRow("X display out of reach")
            << Server::None << "zc-no-such-display" << QString()
            << "cannot connect to the X display \"zc-no-such-display\"";
        QTest::newRow("X server without XTEST")
            << Server::XvfbWithoutXtest << QString() << QString()
            << "the X display \"%1\" has no XTEST extension";
    }

    void inputBackend()
    {
        QFETCH(Server, server);
        QFETCH(QString, display);
        QFETCH(QString, waylandDisplay);
        QFETCH(QString, reason);

        XvfbServer xvfb;
        if (server != Server::None) {
            if (XvfbServer::executable().isEmpty())
                QSKIP("Xvfb is not installed (Debian package xvfb)");
            QVERIFY2(xvfb.start(server == Server::XvfbWithoutXtest
                                    ? QStringList{"-extension", "XTEST"}
                                    : QStringList{}),
                     qPrintable(xvfb.errorOutput()));
            display = xvfb.display();
            if (!reason.isEmpty())
                reason = reason.arg(display);
        }
        if (!display.isNull())
            qputenv("DISPLAY", display.toLocal8Bit());
        if (!waylandDisplay.isNull())
            qputenv("WAYLAND_DISPLAY", waylandDisplay.toLocal8Bit());

        DesktopServices desktop = createLinuxDesktop(capture.log);
        QCOMPARE(desktop.inputUnavailableReason(), reason);
        QCOMPARE(desktop.inputAvailable(), reason.isEmpty());
        QVERIFY(desktop.input && desktop.text);
        const auto *translator = dynamic_cast<InputTranslator *>(desktop.input.get());
        QCOMPARE(translator != nullptr, desktop.inputAvailable());
        if (translator)
            QCOMPARE(dynamic_cast<InputTranslator *>(desktop.text.get()), translator);

        // Commands still go through without effect, and the reason is logged once per service.
        desktop.input->postKeyEvent({36, true, std::nullopt});
        desktop.input->postKeyEvent({36, false, std::nullopt});
        desktop.input->releaseAll();
        QCOMPARE(desktop.text->typeText("x").has_value(), !reason.isEmpty());
        QCOMPARE(desktop.text->typeText("x").has_value(), !reason.isEmpty());
        const QStringList expected =
            reason.isEmpty() ? QStringList{}
                             : QStringList{"Mouse and keyboard input is unavailable: " + reason,
                                           "Typing text is unavailable: " + reason};
        QCOMPARE(capture.lines(), expected);

        QVERIFY(!QDBusConnection("qt_default_session_bus").isConnected());
        capture.clear();
        desktop.session->logOut();
        QTRY_COMPARE(capture.lines(),
                     QStringList{"Log out unavailable: no desktop session manager answers"});
        desktop = DesktopServices();
    }

    void displayGoingAwayStopsInputOnly()
    {
        if (XvfbServer::executable().isEmpty())
            QSKIP("Xvfb is not installed (Debian package xvfb)");
        XvfbServer xvfb;
        QVERIFY2(xvfb.start(), qPrintable(xvfb.errorOutput()));
        qputenv("DISPLAY", xvfb.display().toLocal8Bit());
        DesktopServices desktop = createLinuxDesktop(capture.log);
        QVERIFY(desktop.inputAvailable());
        QVERIFY(desktop.input->cursorLocation());
        desktop.input->postKeyEvent({59, true, std::nullopt});
        desktop.input->postMouseEvent({MouseEventType::LeftMouseDown, {}, MouseButton::Left, 1});

        QVERIFY(xvfb.stop());
        QCOMPARE(desktop.input->cursorLocation(), std::nullopt);
        desktop.input->postMouseEvent({MouseEventType::LeftMouseUp, {}, MouseButton::Left, 1});
        desktop.input->postKeyEvent({59, false, std::nullopt});
        QVERIFY(desktop.text->typeText("x").has_value());
        desktop.input->releaseAll();
        desktop = DesktopServices();
        QCOMPARE(capture.lines(),
                 QStringList{
                     "Mouse and keyboard input stopped: the connection to the X display is lost"});
    }
};

QTEST_GUILESS_MAIN(TestLinuxDesktop)
#include "tst_linuxdesktop.moc"

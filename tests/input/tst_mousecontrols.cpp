#include "logcapture.h"
#include "mousecontrols.h"
#include "recordingdesktop.h"

#include <QTest>

using namespace zc;
using namespace zc::test;

// The recording desktop reports the cursor at (100, 1030) on a 1080-point screen, that is at
// (100, 50) counted from the top.
class TestMouseControls : public QObject
{
    Q_OBJECT

    RecordingDesktop desktop;
    LogCapture capture;

private slots:
    void init()
    {
        desktop = RecordingDesktop();
        capture.clear();
    }

    void commands_data()
    {
        QTest::addColumn<QStringList>("requests");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<bool>("dragging");

        QTest::newRow("move") << QStringList{"/mouse?key=move_by&delta_x=10&delta_y=20"}
                              << QStringList{"warp (110, 70)", "mouse moved (110, 70) button 0"}
                              << false;
        QTest::newRow("negative and signed deltas")
            << QStringList{"/mouse?delta_y=+5&key=move_by&delta_x=-5"}
            << QStringList{"warp (95, 55)", "mouse moved (95, 55) button 0"} << false;
        QTest::newRow("fractional, blank and huge deltas count as 0")
            << QStringList{"/mouse?key=move_by&delta_x=2.7&delta_y=%205",
                           "/mouse?key=move_by&delta_x=99999999999999999999&delta_y=1e3"}
            << QStringList{"warp (100, 50)", "mouse moved (100, 50) button 0", "warp (100, 50)",
                           "mouse moved (100, 50) button 0"}
            << false;
        QTest::newRow("first item of a name wins")
            << QStringList{"/mouse?key=move_by&delta_x=1&delta_x=50&delta_y=2&key=scroll_by"}
            << QStringList{"warp (101, 52)", "mouse moved (101, 52) button 0"} << false;
        QTest::newRow("drag") << QStringList{"/mouse?key=left_button_down",
                                             "/mouse?key=move_by&delta_x=5&delta_y=5",
                                             "/mouse?key=move_by&delta_x=5&delta_y=5",
                                             "/mouse?key=left_button_up"}
                              << QStringList{"mouse left down (100, 50) button 0",
                                             "mouse left dragged (105, 55) button 0",
                                             "mouse left dragged (105, 55) button 0",
                                             "mouse left up (100, 50) button 0"}
                              << false;
        QTest::newRow("scroll ends a drag")
            << QStringList{"/mouse?key=left_button_down",
                           "/mouse?key=scroll_by&delta_x=3&delta_y=-2",
                           "/mouse?key=move_by&delta_x=1&delta_y=1"}
            << QStringList{"mouse left down (100, 50) button 0", "scroll -2 3 user 1",
                           "warp (101, 51)", "mouse moved (101, 51) button 0"}
            << false;
        QTest::newRow("left down alone keeps dragging")
            << QStringList{"/mouse?key=left_button_down"}
            << QStringList{"mouse left down (100, 50) button 0"} << true;
        QTest::newRow("right buttons leave the drag alone")
            << QStringList{"/mouse?key=left_button_down", "/mouse?key=right_button_down",
                           "/mouse?key=right_button_up"}
            << QStringList{"mouse left down (100, 50) button 0",
                           "mouse right down (100, 50) button 1",
                           "mouse right up (100, 50) button 1"}
            << true;
        QTest::newRow("click") << QStringList{"/mouse?key=left_button_click"}
                               << QStringList{"mouse left down (100, 50) button 0",
                                              "mouse left up (100, 50) button 0"}
                               << false;
        QTest::newRow("right click") << QStringList{"/mouse?key=right_button_click"}
                                     << QStringList{"mouse right down (100, 50) button 0",
                                                    "mouse right up (100, 50) button 0"}
                                     << false;
        QTest::newRow("double click is one pair with click state 2")
            << QStringList{"/mouse?key=left_button_double_click"}
            << QStringList{"mouse left down (100, 50) button 0 clicks 2",
                           "mouse left up (100, 50) button 0 clicks 2"}
            << false;
        QTest::newRow("right double click")
            << QStringList{"/mouse?key=right_button_double_click"}
            << QStringList{"mouse right down (100, 50) button 1 clicks 2",
                           "mouse right up (100, 50) button 1 clicks 2"}
            << false;
        QTest::newRow("vertical scroll") << QStringList{"/mouse?key=scroll_vertical&value=-4"}
                                         << QStringList{"scroll -4 0 user 1"} << false;
        QTest::newRow("vertical scroll without value") << QStringList{"/mouse?key=scroll_vertical"}
                                                       << QStringList{"scroll 0 0 user 1"} << false;
        QTest::newRow("scroll beyond 32 bits is refused, never wrapped")
            << QStringList{"/mouse?key=scroll_vertical&value=4294967297"} << QStringList{} << false;
        QTest::newRow("horizontal scroll is not executed")
            << QStringList{"/mouse?key=scroll_horizontal&value=3"} << QStringList{} << false;
        QTest::newRow("names are case-sensitive")
            << QStringList{"/mouse?key=LEFT_BUTTON_CLICK", "/mouse?key=left_button_click%20"}
            << QStringList{} << false;
        QTest::newRow("no query") << QStringList{"/mouse"} << QStringList{} << false;
    }

    void commands()
    {
        QFETCH(QStringList, requests);
        QFETCH(QStringList, calls);
        QFETCH(bool, dragging);
        MouseControls mouse(desktop, capture.log);
        // Each datagram is its own turn of the event loop, where queued presses get posted.
        for (const QString &request : requests) {
            mouse.handleMouseEvent(request);
            QCoreApplication::processEvents();
        }
        QCOMPARE(desktop.calls, calls);
        QCOMPARE(mouse.isDragging(), dragging);
    }

    void buttonPressEntersAfterTheRequest()
    {
        MouseControls mouse(desktop, capture.log);
        mouse.handleMouseEvent(QStringLiteral("/mouse?key=right_button_down"));
        QVERIFY(desktop.calls.isEmpty());
        // Taken where the cursor was when the request arrived, even if it moves before posting.
        desktop.location = PointF{300, 300};
        QTRY_COMPARE(desktop.calls, QStringList{"mouse right down (100, 50) button 1"});
    }

    void queuedPressDiesWithTheExecutor()
    {
        {
            MouseControls mouse(desktop, capture.log);
            mouse.handleMouseEvent(QStringLiteral("/mouse?key=left_button_down"));
        }
        QCoreApplication::processEvents();
        QVERIFY(desktop.calls.isEmpty());
    }

    void logLines_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QStringList>("log");

        QTest::newRow("move") << "/mouse?key=move_by&delta_x=10&delta_y=20"
                              << QStringList{"[key=move_by, delta_x=10, delta_y=20]",
                                             "10",
                                             "10 20",
                                             "(10.0, 20.0)",
                                             "mouseLoc  (100.0, 1030.0)",
                                             "NSHeight(NSScreen.screens[0].frame) 1080.0",
                                             "mouseLoc  (100.0, 50.0)"};
        QTest::newRow("move without deltas")
            << "/mouse?key=move_by"
            << QStringList{"[key=move_by]",
                           "0",
                           "0 0",
                           "(0.0, 0.0)",
                           "mouseLoc  (100.0, 1030.0)",
                           "NSHeight(NSScreen.screens[0].frame) 1080.0",
                           "mouseLoc  (100.0, 50.0)"};
        QTest::newRow("click") << "/mouse?key=left_button_click"
                               << QStringList{"[key=left_button_click]", "Left Click"};
        QTest::newRow("double click")
            << "/mouse?key=left_button_double_click"
            << QStringList{"[key=left_button_double_click]", "Double Click", "0.5"};
        QTest::newRow("right double click")
            << "/mouse?key=right_button_double_click"
            << QStringList{"[key=right_button_double_click]", "0.5"};
        QTest::newRow("unknown") << "/mouse?key=nope"
                                 << QStringList{"[key=nope]", "Unknown mouse event"};
        QTest::newRow("no key") << "/mouse?x=1" << QStringList{"[x=1]", "Unknown mouse event"};
        QTest::newRow("no query") << "/mouse" << QStringList{""};
    }

    void logLines()
    {
        QFETCH(QString, request);
        QFETCH(QStringList, log);
        MouseControls mouse(desktop, capture.log);
        mouse.handleMouseEvent(request);
        QCOMPARE(capture.lines(), log);
    }

    void withoutScreenNothingIsPosted()
    {
        desktop.screenHeight.reset();
        MouseControls mouse(desktop, capture.log);
        for (const char *request :
             {"/mouse?key=move_by&delta_x=1", "/mouse?key=left_button_click",
              "/mouse?key=left_button_double_click", "/mouse?key=left_button_down",
              "/mouse?key=move_by&delta_x=1", "/mouse?key=left_button_up"})
            mouse.handleMouseEvent(QString::fromLatin1(request));
        QCoreApplication::processEvents();
        QVERIFY(desktop.calls.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestMouseControls)
#include "tst_mousecontrols.moc"

#include "logcapture.h"
#include "mousecontrols.h"
#include "recordingdesktop.h"

#include <QTest>

using namespace zc;
using namespace zc::test;

namespace {

// The recording desktop reports the cursor at (100, 1030) on a 1080-point screen, that is at
// (100, 50) counted from the top.
QString mouse(const QString &event, int x = 100, int y = 50, int button = 0)
{
    return QStringLiteral("mouse %1 (%2, %3) button %4").arg(event).arg(x).arg(y).arg(button);
}

QStringList moved(int x, int y)
{
    return {QStringLiteral("warp (%1, %2)").arg(x).arg(y), mouse(QStringLiteral("moved"), x, y)};
}

QStringList click(const QString &side, int button, int clicks = 1)
{
    const QString state = clicks == 1 ? QString() : QStringLiteral(" clicks %1").arg(clicks);
    return {mouse(side + QLatin1String(" down"), 100, 50, button) + state,
            mouse(side + QLatin1String(" up"), 100, 50, button) + state};
}

} // namespace

class TestMouseControls : public QObject
{
    Q_OBJECT

    RecordingDesktop desktop;
    LogCapture capture;

    // Space-separated queries, each its own turn of the event loop, where queued presses go out.
    void send(const QString &queries)
    {
        MouseControls mouse(desktop, capture.log);
        for (const QString &query : queries.split(u' ')) {
            mouse.handleMouseEvent(QStringLiteral("/mouse?") + query);
            QCoreApplication::processEvents();
        }
    }

private slots:
    void init()
    {
        desktop = RecordingDesktop();
        capture.clear();
    }

    void commands_data()
    {
        QTest::addColumn<QString>("queries");
        QTest::addColumn<QStringList>("calls");

        QTest::newRow("move") << "key=move_by&delta_x=10&delta_y=20" << moved(110, 70);
        QTest::newRow("fractional, blank and huge deltas count as 0")
            << "key=move_by&delta_x=2.7&delta_y=%205 "
               "key=move_by&delta_x=99999999999999999999&delta_y=1e3"
            << moved(100, 50) + moved(100, 50);
        QTest::newRow("signed deltas, the first item of a name wins")
            << "delta_y=+2&key=move_by&delta_x=-5&delta_x=50&key=scroll_by" << moved(95, 52);
        QTest::newRow("drag") << "key=left_button_down key=move_by&delta_x=5&delta_y=5 "
                                 "key=move_by&delta_x=5&delta_y=5 key=left_button_up"
                              << QStringList{mouse("left down"), mouse("left dragged", 105, 55),
                                             mouse("left dragged", 105, 55), mouse("left up")};
        QTest::newRow("scroll ends a drag")
            << "key=left_button_down key=scroll_by&delta_x=3&delta_y=-2 "
               "key=move_by&delta_x=1&delta_y=1"
            << QStringList{mouse("left down"), "scroll -2 3 user 1"} + moved(101, 51);
        QTest::newRow("right buttons leave the drag alone")
            << "key=left_button_down key=right_button_down key=right_button_up "
               "key=move_by&delta_x=1&delta_y=1"
            << QStringList{mouse("left down")} + click("right", 1) +
                   QStringList{mouse("left dragged", 101, 51)};
        // A right click names the left button and a right double click the right one; only the
        // event type counts.
        QTest::newRow("clicks: a double click is one pair with click state 2")
            << "key=left_button_click key=left_button_double_click key=right_button_click "
               "key=right_button_double_click"
            << click("left", 0) + click("left", 0, 2) + click("right", 0) + click("right", 1, 2);
        QTest::newRow("vertical scroll")
            << "key=scroll_vertical&value=-4" << QStringList{"scroll -4 0 user 1"};
        QTest::newRow("scroll beyond 32 bits is refused, never wrapped")
            << "key=scroll_vertical&value=4294967297" << QStringList{};
        QTest::newRow("not executed: horizontal scroll, other case, trailing blank")
            << "key=scroll_horizontal&value=3 key=LEFT_BUTTON_CLICK key=left_button_click%20"
            << QStringList{};
    }

    void commands()
    {
        QFETCH(QString, queries);
        QFETCH(QStringList, calls);
        send(queries);
        QCOMPARE(desktop.calls, calls);
    }

    // Requests that arrive together run before the event loop turns again; a press queued by
    // one of them still goes out before the next one's events.
    void requestsArrivingTogetherKeepTheirOrder()
    {
        MouseControls controls(desktop, capture.log);
        for (const char *query : {"key=left_button_down", "key=move_by&delta_x=5&delta_y=5",
                                  "key=left_button_up", "key=right_button_click"})
            controls.handleMouseEvent(QStringLiteral("/mouse?") + QLatin1String(query));
        QCOMPARE(desktop.calls, (QStringList{mouse("left down"), mouse("left dragged", 105, 55),
                                             mouse("left up")} +
                                 click("right", 0)));
        QCoreApplication::processEvents();
        QCOMPARE(desktop.calls.size(), 5);
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
        MouseControls(desktop, capture.log)
            .handleMouseEvent(QStringLiteral("/mouse?key=left_button_down"));
        QCoreApplication::processEvents();
        QVERIFY(desktop.calls.isEmpty());
    }

    // The move's lines carry the numbers it computed: the delta read, and the cursor converted.
    void moveLog()
    {
        MouseControls mouse(desktop, capture.log);
        mouse.handleMouseEvent(QStringLiteral("/mouse?key=move_by&delta_x=10&delta_y=-20"));
        QCOMPARE(
            capture.lines(),
            (QStringList{"[key=move_by, delta_x=10, delta_y=-20]", "10", "10 -20", "(10.0, -20.0)",
                         "mouseLoc  (100.0, 1030.0)", "NSHeight(NSScreen.screens[0].frame) 1080.0",
                         "mouseLoc  (100.0, 50.0)"}));
    }

    void withoutScreenNothingIsPosted()
    {
        desktop.screenHeight.reset();
        send(QStringLiteral(
            "key=move_by&delta_x=1 key=left_button_click key=left_button_double_click "
            "key=left_button_down key=move_by&delta_x=1 key=left_button_up"));
        QVERIFY(desktop.calls.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestMouseControls)
#include "tst_mousecontrols.moc"

#include "isessionactions.h"
#include "keyboardcontrols.h"
#include "linux/ilinuxinput.h"
#include "linux/inputtranslator.h"
#include "logcapture.h"
#include "mousecontrols.h"
#include "recordingdesktop.h"

#include <QCoreApplication>
#include <QTest>

#include <linux/input-event-codes.h>

#include <variant>

using namespace zc;
using namespace zc::test;

namespace {

QString keyName(EvdevKey key)
{
    return QStringLiteral("key %1").arg(key);
}

QString buttonName(EvdevKey button)
{
    return button == BTN_LEFT ? QStringLiteral("left") : QStringLiteral("button %1").arg(button);
}

// A Linux backend and session that write every call as one line and keep what is held, as the
// display server would.
class RecordingLinuxInput final : public ILinuxInput, public ISessionActions
{
public:
    explicit RecordingLinuxInput(QStringList &calls) : m_calls(calls) {}

    std::optional<QPoint> pointer = QPoint(100, 50);
    QSize desktop{1920, 1080};
    int pointerReads = 0;
    QSet<QString> held;
    bool relative = false;
    InputState currentState = InputState::Ready;
    std::function<void()> stateHandler;

    QString name() const override { return QStringLiteral("recording"); }
    InputCapabilities capabilities() const override
    {
        return {.absoluteMotion = !relative,
                .relativeMotion = relative,
                .positionQuery = !relative,
                .keysymTyping = true,
                .unicodeTyping = true};
    }
    InputState state() const override { return currentState; }
    QString unavailableReason() const override
    {
        return currentState == InputState::Unavailable ? QStringLiteral("gone") : QString();
    }
    void setStateHandler(std::function<void()> handler) override
    {
        stateHandler = std::move(handler);
    }
    void restart() override { m_calls.append(QStringLiteral("restart")); }
    void setState(InputState state)
    {
        currentState = state;
        stateHandler();
    }

    std::optional<QPoint> pointerPosition() override
    {
        ++pointerReads;
        return pointer;
    }
    QSize desktopSize() override { return desktop; }
    void movePointer(QPoint position) override
    {
        m_calls.append(QStringLiteral("move (%1, %2)").arg(position.x()).arg(position.y()));
        pointer = position;
    }
    void movePointerBy(QPoint offset) override
    {
        m_calls.append(QStringLiteral("move by (%1, %2)").arg(offset.x()).arg(offset.y()));
    }
    void button(EvdevKey button, bool down) override { record(buttonName(button), down); }
    void scroll(int vertical, int horizontal) override
    {
        m_calls.append(QStringLiteral("scroll %1 %2").arg(vertical).arg(horizontal));
    }
    void key(EvdevKey key, bool down) override { record(keyName(key), down); }
    std::optional<QString> typeText(QStringView text) override
    {
        m_calls.append(QStringLiteral("type ") + text.toString());
        return std::nullopt;
    }
    void releaseAll() override { m_calls.append(QStringLiteral("release all")); }
    void lockScreen() override { m_calls.append(QStringLiteral("lock screen")); }
    void logOut() override { m_calls.append(QStringLiteral("log out")); }

private:
    void record(const QString &what, bool down)
    {
        m_calls.append(what + (down ? QLatin1String(" down") : QLatin1String(" up")));
        if (down)
            held.insert(what);
        else
            held.remove(what);
    }
    QStringList &m_calls;
};

// A point is a warp, a string typed text.
using Event = std::variant<KeyEvent, MediaKeyEvent, MouseEvent, PointF, QString>;
using Events = QList<Event>;

} // namespace

class TestInputTranslator : public QObject
{
    Q_OBJECT

    QStringList calls;
    LogCapture capture;
    RecordingLinuxInput *backend = nullptr;
    std::unique_ptr<InputTranslator> translator;
    RecordingDesktop others;

    static QStringList held(EvdevKey key, const QStringList &inner)
    {
        return QStringList{keyName(key) + " down"} + inner + QStringList{keyName(key) + " up"};
    }
    static QStringList tap(EvdevKey key) { return held(key, {}); }
    static QStringList clicks(EvdevKey button, int count)
    {
        QStringList calls;
        for (int i = 0; i < count; ++i)
            calls << buttonName(button) + " down" << buttonName(button) + " up";
        return calls;
    }
    static KeyEvent down(std::uint16_t code, std::optional<std::uint64_t> flags = {})
    {
        return {code, true, flags};
    }
    static KeyEvent up(std::uint16_t code) { return {code, false, std::nullopt}; }
    static MediaKeyEvent media(std::int64_t type, bool down, std::int16_t subtype = 8)
    {
        const std::int64_t state = down ? 0xa00 : 0xb00;
        return {state, subtype, (type << 16) | state, -1};
    }

    std::chrono::steady_clock::time_point now;

    void make(std::chrono::milliseconds releaseHeldAfter, bool relative = false,
              InputState state = InputState::Ready)
    {
        auto recording = std::make_unique<RecordingLinuxInput>(calls);
        backend = recording.get();
        backend->relative = relative;
        backend->currentState = state;
        translator = std::make_unique<InputTranslator>(std::move(recording), *backend, capture.log,
                                                       releaseHeldAfter, [this] { return now; });
    }

    // Runs requests through the executors, each after the previous one's queued events. They are
    // keyboard key names, or with "m:" mouse and with "t:" text input requests.
    void run(const QString &requests)
    {
        MouseControls mouse(*translator, capture.log);
        KeyboardControls keyboard(*translator, *translator, others, capture.log);
        for (const QString &request : requests.split(u' ')) {
            if (request.startsWith(QLatin1String("m:")))
                mouse.handleMouseEvent(QStringLiteral("/mouse?key=") + request.mid(2));
            else if (request.startsWith(QLatin1String("t:")))
                keyboard.handleKeyboardEvent(QStringLiteral("/keyboard?key=textinput&value=") +
                                             request.mid(2));
            else
                keyboard.handleKeyboardEvent(QStringLiteral("/keyboard?key=") + request);
            QCoreApplication::processEvents();
        }
    }

private slots:
    void init()
    {
        calls.clear();
        make(InputTranslator::heldInputTimeout);
    }

    void cleanup() { translator.reset(); }

    void commands_data()
    {
        QTest::addColumn<QString>("requests");
        QTest::addColumn<QStringList>("expected");

        // The phone's 56 is Shift and its 58 Option, where Linux has KEY_LEFTALT and KEY_CAPSLOCK.
        QTest::newRow("lone shift and alt are taps")
            << "shift alt" << tap(KEY_LEFTSHIFT) + tap(KEY_LEFTALT);
        // Typed as text: the key in the US place may carry another character on this layout.
        QTest::newRow("single characters are typed, no Alt")
            << "t:y t:A t:@" << QStringList{"type y", "type A", "type @"};
        QTest::newRow("windows: a tap of Super, without Control") << "windows" << tap(KEY_LEFTMETA);
        QTest::newRow("chords: Alt+F4, Alt+Home")
            << "close_active_window t:browser_go_home"
            << held(KEY_LEFTALT, tap(KEY_F4)) + held(KEY_LEFTALT, tap(KEY_HOME));
        QTest::newRow("system_lock and system_logoff press no key")
            << "system_lock system_logoff" << QStringList{"lock screen", "log out"};
        QTest::newRow("media keys")
            << "media_toggle_pause_play system_volume_up" << tap(KEY_PLAYPAUSE) + tap(KEY_VOLUMEUP);
        QTest::newRow("alt_mouse_down holds Control through clicks")
            << "alt_mouse_down m:left_button_click m:left_button_click alt_mouse_up"
            << held(KEY_LEFTCTRL, clicks(BTN_LEFT, 2));
        QTest::newRow("alt_mouse_down released unused")
            << "alt_mouse_down alt_mouse_up" << tap(KEY_LEFTCTRL);
        QTest::newRow("typing while alt_mouse_down is held")
            << "alt_mouse_down t:hi alt_mouse_up" << QStringList{"type hi"};
        QTest::newRow("move_by stops at the desktop's edge")
            << "m:move_by&delta_x=9000000000&delta_y=-9000000000" << QStringList{"move (1919, 0)"};
        QTest::newRow("drag")
            << "m:left_button_down m:move_by&delta_x=10&delta_y=0 m:move_by&delta_x=0&delta_y=10 "
               "m:left_button_up"
            << QStringList{"left down", "move (110, 50)", "move (110, 60)", "left up"};
        QTest::newRow("clicks, double clicks, a release without press")
            << "m:left_button_click m:left_button_double_click m:left_button_up "
               "m:right_button_click m:right_button_double_click m:right_button_down "
               "m:right_button_up"
            << clicks(BTN_LEFT, 3) + clicks(BTN_RIGHT, 4);
        const int most = int(InputTranslator::maxScrollSteps);
        QTest::newRow("scroll in every direction, capped even at the most negative value")
            << "m:scroll_by&delta_x=2&delta_y=-1 m:scroll_vertical&value=3 "
               "m:scroll_by&delta_x=-1&delta_y=0 m:scroll_vertical&value=2147483647 "
               "m:scroll_by&delta_x=-2147483648&delta_y=0"
            << QStringList{"scroll 1 -2", "scroll -3 0", "scroll 0 1",
                           QStringLiteral("scroll -%1 0").arg(most),
                           QStringLiteral("scroll 0 %1").arg(most)};
    }

    void commands()
    {
        QFETCH(QString, requests);
        QFETCH(QStringList, expected);
        run(requests);
        QCOMPARE(calls, expected);
        QCOMPARE(backend->held, QSet<QString>());
        // The warp answers the read that follows it, without a round trip to the display.
        QVERIFY(backend->pointerReads <= requests.count(u' ') + 1);
    }

    void events_data()
    {
        QTest::addColumn<Events>("events");
        QTest::addColumn<QStringList>("expected");

        using namespace ModifierFlag;
        using enum MouseEventType;
        QTest::newRow("held modifiers without flags apply")
            << Events{down(55), down(8), up(8), up(55)} << held(KEY_LEFTCTRL, tap(KEY_C));
        QTest::newRow("held Shift and Option")
            << Events{down(56), down(58), down(0), up(0), up(58), up(56)}
            << held(KEY_LEFTSHIFT, held(KEY_LEFTALT, tap(KEY_A)));
        QTest::newRow("flags without Shift drop a held Shift")
            << Events{down(56), down(8, Command), up(8), up(56)} << held(KEY_LEFTCTRL, tap(KEY_C));
        QTest::newRow("empty flags: no modifier at all")
            << Events{down(59), down(36, 0), up(36), up(59)} << tap(KEY_ENTER);
        QTest::newRow("a character key without Control, Alt or Command types its US character")
            << Events{down(59), down(19, Shift), up(19), up(59), down(50), up(50)}
            << QStringList{"type @", "type `"};
        QTest::newRow("unknown virtual key, key up without key down")
            << Events{down(52), up(52), up(36)} << QStringList{};
        QTest::newRow("second key down replaces the first press")
            << Events{down(36), down(36), up(36)} << tap(KEY_ENTER) + tap(KEY_ENTER);
        QTest::newRow("media key ignores held modifiers")
            << Events{down(55), media(16, true), media(16, false), up(55)} << tap(KEY_PLAYPAUSE);
        QTest::newRow("not a media key event, unknown media key type")
            << Events{media(16, true, 7), media(99, true)} << QStringList{};
        QTest::newRow("triple click")
            << Events{MouseEvent{LeftMouseDown, {0, 0}, MouseButton::Left, 3},
                      MouseEvent{LeftMouseUp, {0, 0}, MouseButton::Left, 3}}
            << clicks(BTN_LEFT, 3);
        QTest::newRow("moved where the pointer already is, without a warp")
            << Events{MouseEvent{MouseMoved, {100, 50}, MouseButton::Left, 1}}
            << QStringList{"move (100, 50)"};
        QTest::newRow("positions round to the nearest pixel, not a number goes nowhere")
            << Events{PointF{10.4, 10.6}, PointF{std::nan(""), 1}} << QStringList{"move (10, 11)"};
        QTest::newRow("typed: line feed and tab stay, for the backend's Return and Tab")
            << Events{QStringLiteral("one\ntwo\tthree")} << QStringList{"type one\ntwo\tthree"};
        QTest::newRow("typed: carriage return and Windows line ends")
            << Events{QStringLiteral("a\r\nb\rc")} << QStringList{"type a\nb\nc"};
        QTest::newRow("typed: other control characters are dropped, nothing left to type")
            << Events{QStringLiteral("a\u0007b\u007f\u0085"), QStringLiteral("\u0007")}
            << QStringList{"type ab"};
        QTest::newRow("typed: emoji")
            << Events{QStringLiteral("👍🏽")} << QStringList{"type 👍🏽"};
    }

    void events()
    {
        QFETCH(Events, events);
        QFETCH(QStringList, expected);
        for (const Event &event : events) {
            if (const auto *key = std::get_if<KeyEvent>(&event))
                translator->postKeyEvent(*key);
            else if (const auto *mediaKey = std::get_if<MediaKeyEvent>(&event))
                translator->postMediaKeyEvent(*mediaKey);
            else if (const auto *mouse = std::get_if<MouseEvent>(&event))
                translator->postMouseEvent(*mouse);
            else if (const auto *point = std::get_if<PointF>(&event))
                translator->warpCursor(*point);
            else
                QCOMPARE(translator->typeText(std::get<QString>(event)), std::nullopt);
        }
        QCOMPARE(calls, expected);
        QCOMPARE(backend->held, QSet<QString>());
    }

    void cursorIsReportedBottomLeftOrNotAtAll()
    {
        QCOMPARE(translator->cursorLocation(), (PointF{100, 1030}));
        backend->pointer = std::nullopt;
        QCOMPARE(translator->cursorLocation(), std::nullopt);
        backend->pointer = QPoint(3000, 200);
        backend->desktop = QSize();
        QCOMPARE(translator->cursorLocation(), std::nullopt);
        QCOMPARE(translator->mainScreenHeight(), std::nullopt);
    }

    void releaseAllAndDestructionLetGoOfEverything()
    {
        run(QStringLiteral("alt_mouse_down m:left_button_down"));
        translator->postMediaKeyEvent(media(17, true));
        translator->postKeyEvent(down(36));
        QCOMPARE(backend->held.size(), 4);
        translator->releaseAll();
        QCOMPARE(backend->held, QSet<QString>());
        QCOMPARE(calls.last(), QStringLiteral("release all"));
        calls.clear();
        run(QStringLiteral("alt_mouse_up m:left_button_up"));
        QCOMPARE(calls, QStringList{});

        run(QStringLiteral("m:left_button_down"));
        translator.reset();
        QCOMPARE(calls, (QStringList{"left down", "left up", "release all"}));
    }

    // Backends that move only by offsets and cannot say where the pointer is.
    void relativeMotion_data()
    {
        QTest::addColumn<QString>("requests");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("moves") << "m:move_by&delta_x=10&delta_y=5 m:move_by&delta_x=-3&delta_y=0"
                               << QStringList{"move by (10, 5)", "move by (-3, 0)"};
        QTest::newRow("a drag") << "m:left_button_down m:move_by&delta_x=4&delta_y=-4 "
                                   "m:left_button_up m:move_by&delta_x=0&delta_y=0"
                                << QStringList{"left down", "move by (4, -4)", "left up"};
        QTest::newRow("far moves are bounded, and the next one is not short of them")
            << "m:move_by&delta_x=-9000000000&delta_y=250000 m:move_by&delta_x=7&delta_y=1"
            << QStringList{"move by (-100000, 100000)", "move by (7, 1)"};
    }

    void relativeMotion()
    {
        QFETCH(QString, requests);
        QFETCH(QStringList, expected);
        make(InputTranslator::heldInputTimeout, true);
        backend->desktop = QSize();
        calls.clear();
        run(requests);
        QCOMPARE(calls, expected);
        QCOMPARE(backend->pointerReads, 0);
    }

    // A backend waiting for the desktop's permission, refused or cut off: nothing is sent and
    // nothing stays held, and a lost one is asked again on a later command, once a minute.
    void inputWaitsForTheBackendAndRecovers()
    {
        make(InputTranslator::heldInputTimeout, true, InputState::Starting);
        calls.clear();
        run(QStringLiteral("m:left_button_down t:x m:move_by&delta_x=1&delta_y=1"));
        QCOMPARE(calls, QStringList());
        QCOMPARE(capture.lines().count("Mouse and keyboard input dropped until the desktop "
                                       "allows it"),
                 1);

        backend->setState(InputState::Ready);
        QTRY_VERIFY(capture.lines().contains("Mouse and keyboard input ready: recording"));
        run(QStringLiteral("alt_mouse_down m:left_button_down"));
        QCOMPARE(backend->held, (QSet<QString>{keyName(KEY_LEFTCTRL), "left"}));

        calls.clear();
        backend->setState(InputState::Unavailable);
        QCoreApplication::processEvents();
        QCOMPARE(translator->unavailableReason(), QStringLiteral("gone"));
        run(QStringLiteral("m:left_button_up alt_mouse_up t:x"));
        QCOMPARE(calls, QStringList{"restart"});
        now += InputTranslator::restartInterval - std::chrono::milliseconds(1);
        run(QStringLiteral("t:x"));
        QCOMPARE(calls, QStringList{"restart"});
        now += std::chrono::milliseconds(1);
        run(QStringLiteral("t:x"));
        QCOMPARE(calls, (QStringList{"restart", "restart"}));

        // What was held went with the old session: a new one starts with nothing held.
        calls.clear();
        backend->held.clear();
        backend->setState(InputState::Ready);
        QCoreApplication::processEvents();
        QCOMPARE(translator->unavailableReason(), QString());
        run(QStringLiteral("m:left_button_click"));
        QCOMPARE(calls, clicks(BTN_LEFT, 1));
    }

    // A backend up again before its loss is taken in (uinput makes a new device at once): what
    // was held still went with the old session.
    void heldInputGoesWithASessionReplacedAtOnce()
    {
        run(QStringLiteral("alt_mouse_down m:left_button_down"));
        backend->setState(InputState::Unavailable);
        backend->setState(InputState::Ready);
        calls.clear();
        run(QStringLiteral("m:left_button_click"));
        QCOMPARE(calls, clicks(BTN_LEFT, 1));
    }

    // A phone gone between a press and its release must not leave Control or a button held.
    void heldInputIsLetGoWhenCommandsStop()
    {
        make(std::chrono::milliseconds(20));
        run(QStringLiteral("alt_mouse_down m:left_button_down"));
        QCOMPARE(backend->held, (QSet<QString>{keyName(KEY_LEFTCTRL), "left"}));
        QTRY_COMPARE(backend->held, QSet<QString>());
        calls.clear();
        run(QStringLiteral("m:left_button_up alt_mouse_up"));
        QCOMPARE(calls, QStringList());
    }
};

QTEST_GUILESS_MAIN(TestInputTranslator)
#include "tst_inputtranslator.moc"

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

#include <functional>
#include <set>

using namespace zc;
using namespace zc::test;

namespace {

QString keyName(EvdevKey key)
{
    static const QHash<EvdevKey, QString> names = {
        {KEY_LEFTSHIFT, QStringLiteral("LeftShift")},
        {KEY_RIGHTSHIFT, QStringLiteral("RightShift")},
        {KEY_LEFTCTRL, QStringLiteral("LeftCtrl")},
        {KEY_RIGHTCTRL, QStringLiteral("RightCtrl")},
        {KEY_LEFTALT, QStringLiteral("LeftAlt")},
        {KEY_RIGHTALT, QStringLiteral("RightAlt")},
        {KEY_LEFTMETA, QStringLiteral("LeftMeta")},
        {KEY_ENTER, QStringLiteral("Enter")},
        {KEY_TAB, QStringLiteral("Tab")},
        {KEY_SPACE, QStringLiteral("Space")},
        {KEY_ESC, QStringLiteral("Esc")},
        {KEY_BACKSPACE, QStringLiteral("Backspace")},
        {KEY_A, QStringLiteral("A")},
        {KEY_C, QStringLiteral("C")},
        {KEY_F, QStringLiteral("F")},
        {KEY_Q, QStringLiteral("Q")},
        {KEY_R, QStringLiteral("R")},
        {KEY_V, QStringLiteral("V")},
        {KEY_1, QStringLiteral("1")},
        {KEY_SLASH, QStringLiteral("Slash")},
        {KEY_APOSTROPHE, QStringLiteral("Apostrophe")},
        {KEY_BACKSLASH, QStringLiteral("Backslash")},
        {KEY_LEFT, QStringLiteral("Left")},
        {KEY_RIGHT, QStringLiteral("Right")},
        {KEY_UP, QStringLiteral("Up")},
        {KEY_DOWN, QStringLiteral("Down")},
        {KEY_HOME, QStringLiteral("Home")},
        {KEY_F1, QStringLiteral("F1")},
        {KEY_F4, QStringLiteral("F4")},
        {KEY_F12, QStringLiteral("F12")},
        {KEY_FN, QStringLiteral("Fn")},
        {KEY_PLAYPAUSE, QStringLiteral("PlayPause")},
        {KEY_NEXTSONG, QStringLiteral("NextSong")},
        {KEY_PREVIOUSSONG, QStringLiteral("PreviousSong")},
        {KEY_VOLUMEUP, QStringLiteral("VolumeUp")},
        {KEY_VOLUMEDOWN, QStringLiteral("VolumeDown")},
        {KEY_MUTE, QStringLiteral("Mute")},
    };
    return names.value(key, QStringLiteral("key %1").arg(key));
}

// A Linux backend that writes every call as one line and keeps what is held, as the display
// server would.
class RecordingLinuxInput final : public ILinuxInput
{
public:
    explicit RecordingLinuxInput(QStringList &calls) : m_calls(calls) {}

    std::optional<QPoint> pointer = QPoint(100, 50);
    QSize desktop{1920, 1080};
    int pointerReads = 0;
    std::set<EvdevKey> keysDown;
    std::set<int> buttonsDown;

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
    void button(int button, bool down) override
    {
        m_calls.append(QStringLiteral("button %1 %2").arg(button).arg(upOrDown(down)));
        if (down)
            buttonsDown.insert(button);
        else
            buttonsDown.erase(button);
    }
    void key(EvdevKey key, bool down) override
    {
        m_calls.append(keyName(key) + u' ' + upOrDown(down));
        if (down)
            keysDown.insert(key);
        else
            keysDown.erase(key);
    }
    std::optional<QString> typeText(QStringView text) override
    {
        m_calls.append(QStringLiteral("type ") + text.toString());
        return std::nullopt;
    }
    void releaseAll() override
    {
        m_calls.append(QStringLiteral("release all"));
        keysDown.clear();
        buttonsDown.clear();
    }

private:
    static QLatin1String upOrDown(bool down)
    {
        return down ? QLatin1String("down") : QLatin1String("up");
    }
    QStringList &m_calls;
};

class RecordingSession final : public ISessionActions
{
public:
    explicit RecordingSession(QStringList &calls) : m_calls(calls) {}
    void lockScreen() override { m_calls.append(QStringLiteral("lock screen")); }
    void logOut() override { m_calls.append(QStringLiteral("log out")); }

private:
    QStringList &m_calls;
};

QStringList tap(const QString &key)
{
    return {key + QLatin1String(" down"), key + QLatin1String(" up")};
}

QStringList chord(const QString &modifier, const QString &key)
{
    return QStringList{modifier + QLatin1String(" down")} + tap(key) +
           QStringList{modifier + QLatin1String(" up")};
}

QStringList clicks(int button, int count)
{
    QStringList calls;
    for (int i = 0; i < count; ++i)
        calls << QStringLiteral("button %1 down").arg(button)
              << QStringLiteral("button %1 up").arg(button);
    return calls;
}

using Post = std::function<void(IInputEvents &)>;

KeyEvent down(std::uint16_t code, std::optional<std::uint64_t> flags = std::nullopt)
{
    return {code, true, flags};
}

KeyEvent up(std::uint16_t code)
{
    return {code, false, std::nullopt};
}

Post keys(QList<KeyEvent> events)
{
    return [events](IInputEvents &input) {
        for (const KeyEvent &event : events)
            input.postKeyEvent(event);
    };
}

} // namespace

class TestInputTranslator : public QObject
{
    Q_OBJECT

    QStringList calls;
    LogCapture capture;
    RecordingSession session{calls};
    RecordingLinuxInput *backend = nullptr;
    std::unique_ptr<InputTranslator> translator;
    RecordingDesktop others;

    // Runs requests through the executors, each after the previous one's queued events.
    void run(const QStringList &requests)
    {
        MouseControls mouse(*translator, capture.log);
        KeyboardControls keyboard(*translator, *translator, others, capture.log);
        for (const QString &request : requests) {
            if (request.startsWith(QLatin1String("/mouse")))
                mouse.handleMouseEvent(request);
            else
                keyboard.handleKeyboardEvent(request);
            QCoreApplication::processEvents();
        }
    }

    void verifyNothingHeld()
    {
        QVERIFY2(backend->keysDown.empty(), qPrintable(keyName(*backend->keysDown.begin())));
        QVERIFY(backend->buttonsDown.empty());
    }

private slots:
    void init()
    {
        calls.clear();
        capture.clear();
        auto recording = std::make_unique<RecordingLinuxInput>(calls);
        backend = recording.get();
        translator = std::make_unique<InputTranslator>(std::move(recording), session, capture.log);
    }

    void cleanup()
    {
        translator.reset();
        backend = nullptr;
    }

    void commands_data()
    {
        QTest::addColumn<QStringList>("requests");
        QTest::addColumn<QStringList>("expected");

        const auto key = [](const char *name) {
            return QStringList{QStringLiteral("/keyboard?key=") + QLatin1String(name)};
        };
        const auto text = [](const QString &value) {
            return QStringList{QStringLiteral("/keyboard?key=textinput&value=") +
                               QString::fromLatin1(QUrl::toPercentEncoding(value))};
        };

        QTest::newRow("enter") << key("enter") << tap(QStringLiteral("Enter"));
        QTest::newRow("esc") << key("esc") << tap(QStringLiteral("Esc"));
        QTest::newRow("backspace") << key("backspace") << tap(QStringLiteral("Backspace"));
        QTest::newRow("space") << key("space") << tap(QStringLiteral("Space"));
        QTest::newRow("up") << key("up") << tap(QStringLiteral("Up"));
        QTest::newRow("function_one") << key("function_one") << tap(QStringLiteral("F1"));
        QTest::newRow("function_twelve") << key("function_twelve") << tap(QStringLiteral("F12"));
        QTest::newRow("fkeypress") << key("fkeypress") << tap(QStringLiteral("F"));
        QTest::newRow("function") << key("function") << tap(QStringLiteral("Fn"));
        QTest::newRow("lone shift is a tap") << key("shift") << tap(QStringLiteral("LeftShift"));
        QTest::newRow("lone ctrl is a tap") << key("ctrl") << tap(QStringLiteral("LeftCtrl"));
        QTest::newRow("lone alt is a tap") << key("alt") << tap(QStringLiteral("LeftAlt"));

        QTest::newRow("letter") << text(QStringLiteral("a")) << tap(QStringLiteral("A"));
        QTest::newRow("digit") << text(QStringLiteral("1")) << tap(QStringLiteral("1"));
        QTest::newRow("capital: Shift only, no Alt")
            << text(QStringLiteral("A")) << chord(QStringLiteral("LeftShift"), QStringLiteral("A"));
        QTest::newRow("question mark")
            << text(QStringLiteral("?"))
            << chord(QStringLiteral("LeftShift"), QStringLiteral("Slash"));
        QTest::newRow("double quote")
            << text(QStringLiteral("\""))
            << chord(QStringLiteral("LeftShift"), QStringLiteral("Apostrophe"));
        QTest::newRow("backslash")
            << text(QStringLiteral("\\")) << tap(QStringLiteral("Backslash"));

        QTest::newRow("copy: Command acts as Control")
            << key("copy") << chord(QStringLiteral("LeftCtrl"), QStringLiteral("C"));
        QTest::newRow("copy as text") << text(QStringLiteral("copy"))
                                      << chord(QStringLiteral("LeftCtrl"), QStringLiteral("C"));
        QTest::newRow("paste") << key("paste")
                               << chord(QStringLiteral("LeftCtrl"), QStringLiteral("V"));
        QTest::newRow("browser_go_refresh")
            << key("browser_go_refresh") << chord(QStringLiteral("LeftCtrl"), QStringLiteral("R"));
        QTest::newRow("switch_window: Alt+Tab")
            << key("switch_window") << chord(QStringLiteral("LeftAlt"), QStringLiteral("Tab"));
        QTest::newRow("windows: a tap of Super")
            << key("windows") << tap(QStringLiteral("LeftMeta"));
        QTest::newRow("close_active_window: Alt+F4")
            << key("close_active_window") << chord(QStringLiteral("LeftAlt"), QStringLiteral("F4"));
        QTest::newRow("browser_go_back: Alt+Left")
            << key("browser_go_back") << chord(QStringLiteral("LeftAlt"), QStringLiteral("Left"));
        QTest::newRow("browser_go_forward: Alt+Right")
            << key("browser_go_forward")
            << chord(QStringLiteral("LeftAlt"), QStringLiteral("Right"));
        QTest::newRow("browser_go_home: Alt+Home")
            << text(QStringLiteral("browser_go_home"))
            << chord(QStringLiteral("LeftAlt"), QStringLiteral("Home"));
        QTest::newRow("system_lock") << key("system_lock") << QStringList{"lock screen"};
        QTest::newRow("system_logoff") << key("system_logoff") << QStringList{"log out"};

        QTest::newRow("media_toggle_pause_play")
            << key("media_toggle_pause_play") << tap(QStringLiteral("PlayPause"));
        QTest::newRow("media_next") << key("media_next") << tap(QStringLiteral("NextSong"));
        QTest::newRow("media_previous")
            << key("media_previous") << tap(QStringLiteral("PreviousSong"));
        QTest::newRow("system_volume_up")
            << key("system_volume_up") << tap(QStringLiteral("VolumeUp"));
        QTest::newRow("system_volume_down")
            << key("system_volume_down") << tap(QStringLiteral("VolumeDown"));

        QTest::newRow("alt_mouse_down holds Control for a click")
            << (key("alt_mouse_down") + QStringList{"/mouse?key=left_button_click"} +
                key("alt_mouse_up"))
            << (QStringList{"LeftCtrl down"} + clicks(1, 1) + QStringList{"LeftCtrl up"});
        QTest::newRow("alt_mouse_down through two clicks")
            << (key("alt_mouse_down") +
                QStringList{"/mouse?key=left_button_click", "/mouse?key=left_button_click"} +
                key("alt_mouse_up"))
            << (QStringList{"LeftCtrl down"} + clicks(1, 2) + QStringList{"LeftCtrl up"});
        QTest::newRow("alt_mouse_down released unused")
            << (key("alt_mouse_down") + key("alt_mouse_up")) << tap(QStringLiteral("LeftCtrl"));
        QTest::newRow("typing while alt_mouse_down is held")
            << (key("alt_mouse_down") + text(QStringLiteral("hi")) + key("alt_mouse_up"))
            << QStringList{"type hi"};

        QTest::newRow("words") << text(QStringLiteral("hello world"))
                               << QStringList{"type hello world"};
        QTest::newRow("line feed and tab: one text, Return and Tab are the backend's")
            << text(QStringLiteral("one\ntwo\tthree"))
            << QStringList{QStringLiteral("type one\ntwo\tthree")};
        QTest::newRow("accented letter")
            << text(QStringLiteral("é")) << QStringList{QStringLiteral("type é")};
        QTest::newRow("emoji") << text(QStringLiteral("👍🏽"))
                               << QStringList{QStringLiteral("type 👍🏽")};
        QTest::newRow("quotes and backslashes")
            << text(QStringLiteral("say \"hi\" \\o/"))
            << QStringList{QStringLiteral("type say \"hi\" \\o/")};

        QTest::newRow("move_by") << QStringList{"/mouse?key=move_by&delta_x=10&delta_y=20"}
                                 << QStringList{"move (110, 70)"};
        QTest::newRow("move_by backwards")
            << QStringList{"/mouse?key=move_by&delta_x=-5&delta_y=-50"}
            << QStringList{"move (95, 0)"};
        QTest::newRow("move_by stops at the desktop's edge")
            << QStringList{"/mouse?key=move_by&delta_x=9000000000&delta_y=-9000000000"}
            << QStringList{"move (1919, 0)"};
        QTest::newRow("drag") << QStringList{"/mouse?key=left_button_down",
                                             "/mouse?key=move_by&delta_x=10&delta_y=0",
                                             "/mouse?key=move_by&delta_x=0&delta_y=10",
                                             "/mouse?key=left_button_up"}
                              << QStringList{"button 1 down", "move (110, 50)", "move (110, 60)",
                                             "button 1 up"};
        QTest::newRow("left click") << QStringList{"/mouse?key=left_button_click"} << clicks(1, 1);
        QTest::newRow("right click")
            << QStringList{"/mouse?key=right_button_click"} << clicks(3, 1);
        QTest::newRow("double click: two clicks back to back")
            << QStringList{"/mouse?key=left_button_double_click"} << clicks(1, 2);
        QTest::newRow("right double click")
            << QStringList{"/mouse?key=right_button_double_click"} << clicks(3, 2);
        QTest::newRow("right button down and up")
            << QStringList{"/mouse?key=right_button_down", "/mouse?key=right_button_up"}
            << clicks(3, 1);
        QTest::newRow("release without press does nothing")
            << QStringList{"/mouse?key=left_button_up"} << QStringList{};
        QTest::newRow("scroll up")
            << QStringList{"/mouse?key=scroll_vertical&value=3"} << clicks(4, 3);
        QTest::newRow("scroll down")
            << QStringList{"/mouse?key=scroll_vertical&value=-2"} << clicks(5, 2);
        QTest::newRow("scroll left and down")
            << QStringList{"/mouse?key=scroll_by&delta_x=2&delta_y=-1"}
            << (clicks(5, 1) + clicks(6, 2));
        QTest::newRow("scroll right")
            << QStringList{"/mouse?key=scroll_by&delta_x=-1&delta_y=0"} << clicks(7, 1);
        QTest::newRow("scroll nothing")
            << QStringList{"/mouse?key=scroll_vertical"} << QStringList{};
        QTest::newRow("scroll capped") << QStringList{"/mouse?key=scroll_vertical&value=2147483647"}
                                       << clicks(4, int(InputTranslator::maxScrollSteps));
        QTest::newRow("scroll capped, most negative value")
            << QStringList{"/mouse?key=scroll_by&delta_x=-2147483648&delta_y=0"}
            << clicks(7, int(InputTranslator::maxScrollSteps));
    }

    void commands()
    {
        QFETCH(QStringList, requests);
        QFETCH(QStringList, expected);
        run(requests);
        QCOMPARE(calls, expected);
        verifyNothingHeld();
    }

    void events_data()
    {
        QTest::addColumn<Post>("post");
        QTest::addColumn<QStringList>("expected");

        using namespace ModifierFlag;
        QTest::newRow("shifted character: Option down, key with Shift, key up, Option up")
            << keys({down(58), down(0, Shift), up(0), up(58)})
            << chord(QStringLiteral("LeftShift"), QStringLiteral("A"));
        QTest::newRow("flags replace: Shift+Command+Q is log out")
            << keys({down(59), down(55), down(12, Shift | Command), up(12), up(55), up(59)})
            << QStringList{"log out"};
        QTest::newRow("Control+Command+Q is lock")
            << keys({down(59), down(55), down(12, Control | Command), up(12), up(55), up(59)})
            << QStringList{"lock screen"};
        QTest::newRow("Control+Command+H is Alt+Home")
            << keys({down(59), down(55), down(4, Control | Command), up(4), up(55), up(59)})
            << chord(QStringLiteral("LeftAlt"), QStringLiteral("Home"));
        QTest::newRow("held modifiers without flags apply")
            << keys({down(55), down(8), up(8), up(55)})
            << chord(QStringLiteral("LeftCtrl"), QStringLiteral("C"));
        QTest::newRow("held right Command is right Control")
            << keys({down(54), down(8), up(8), up(54)})
            << chord(QStringLiteral("RightCtrl"), QStringLiteral("C"));
        QTest::newRow("held Shift and Option")
            << keys({down(56), down(58), down(0), up(0), up(58), up(56)})
            << QStringList{"LeftShift down", "LeftAlt down", "A down",
                           "A up",           "LeftAlt up",   "LeftShift up"};
        QTest::newRow("flags without Shift drop a held Shift")
            << keys({down(56), down(8, Command), up(8), up(56)})
            << chord(QStringLiteral("LeftCtrl"), QStringLiteral("C"));
        QTest::newRow("empty flags: no modifier at all")
            << keys({down(59), down(0, 0), up(0), up(59)}) << tap(QStringLiteral("A"));
        QTest::newRow("the Mac's 56 is Shift, not Linux's KEY_LEFTALT")
            << keys({down(56), up(56)}) << tap(QStringLiteral("LeftShift"));
        QTest::newRow("unknown virtual key") << keys({down(52), up(52)}) << QStringList{};
        QTest::newRow("key up without key down") << keys({up(36)}) << QStringList{};
        QTest::newRow("second key down replaces the first press")
            << keys({down(36), down(36), up(36)})
            << QStringList{"Enter down", "Enter up", "Enter down", "Enter up"};
        QTest::newRow("mute media key") << Post([](IInputEvents &input) {
            input.postMediaKeyEvent({0xa00, 8, (7 << 16) | 0xa00, -1});
            input.postMediaKeyEvent({0xb00, 8, (7 << 16) | 0xb00, -1});
        }) << tap(QStringLiteral("Mute"));
        QTest::newRow("media key ignores held modifiers") << Post([](IInputEvents &input) {
            input.postKeyEvent(down(55));
            input.postMediaKeyEvent({0xa00, 8, (16 << 16) | 0xa00, -1});
            input.postMediaKeyEvent({0xb00, 8, (16 << 16) | 0xb00, -1});
            input.postKeyEvent(up(55));
        }) << tap(QStringLiteral("PlayPause"));
        QTest::newRow("not a media key event") << Post([](IInputEvents &input) {
            input.postMediaKeyEvent({0xa00, 7, (16 << 16) | 0xa00, -1});
        }) << QStringList{};
        QTest::newRow("unknown media key type") << Post([](IInputEvents &input) {
            input.postMediaKeyEvent({0xa00, 8, (99 << 16) | 0xa00, -1});
        }) << QStringList{};
        QTest::newRow("triple click") << Post([](IInputEvents &input) {
            input.postMouseEvent({MouseEventType::LeftMouseDown, {0, 0}, MouseButton::Left, 3});
            input.postMouseEvent({MouseEventType::LeftMouseUp, {0, 0}, MouseButton::Left, 3});
        }) << clicks(1, 3);
        QTest::newRow("moved where the pointer already is, without a warp") << Post([](IInputEvents
                                                                                           &input) {
            input.postMouseEvent({MouseEventType::MouseMoved, {100, 50}, MouseButton::Left, 1});
        }) << QStringList{"move (100, 50)"};
        QTest::newRow("positions round to the nearest pixel") << Post([](IInputEvents &input) {
            input.warpCursor({10.4, 10.6});
        }) << QStringList{"move (10, 11)"};
        QTest::newRow("a position that is not a number goes nowhere")
            << Post([](IInputEvents &input) {
                   input.warpCursor({std::nan(""), 1});
               })
            << QStringList{};
        QTest::newRow("carriage return and Windows line ends") << Post([](IInputEvents &input) {
            dynamic_cast<ITextInput &>(input).typeText(QStringLiteral("a\r\nb\rc"));
        }) << QStringList{QStringLiteral("type a\nb\nc")};
        QTest::newRow("other control characters are dropped") << Post([](IInputEvents &input) {
            dynamic_cast<ITextInput &>(input).pasteText(QStringLiteral("a\u0007b\u007f"));
        }) << QStringList{"type ab"};
        QTest::newRow("nothing left to type") << Post([](IInputEvents &input) {
            dynamic_cast<ITextInput &>(input).typeText(QStringLiteral("\u0007"));
        }) << QStringList{};
    }

    void events()
    {
        QFETCH(Post, post);
        QFETCH(QStringList, expected);
        post(*translator);
        QCOMPARE(calls, expected);
        verifyNothingHeld();
    }

    void cursorIsReportedBottomLeft()
    {
        QCOMPARE(translator->cursorLocation(), (PointF{100, 1030}));
        QCOMPARE(translator->mainScreenHeight(), 1080.0);
        backend->pointer = std::nullopt;
        QCOMPARE(translator->cursorLocation(), std::nullopt);
        backend->pointer = QPoint(3000, 200);
        backend->desktop = QSize(3840, 1200);
        QCOMPARE(translator->cursorLocation(), (PointF{3000, 1000}));
        backend->desktop = QSize();
        QCOMPARE(translator->cursorLocation(), std::nullopt);
        QCOMPARE(translator->mainScreenHeight(), std::nullopt);
    }

    void moveReadsThePointerOnce()
    {
        run({QStringLiteral("/mouse?key=move_by&delta_x=1&delta_y=1")});
        QCOMPARE(backend->pointerReads, 1);
        run({QStringLiteral("/mouse?key=move_by&delta_x=1&delta_y=1")});
        QCOMPARE(backend->pointerReads, 2);
        QCOMPARE(calls, (QStringList{"move (101, 51)", "move (102, 52)"}));
    }

    void scrollCapIsLogged()
    {
        run({QStringLiteral("/mouse?key=scroll_by&delta_x=1&delta_y=-5000")});
        QVERIFY(capture.lines().contains(
            QStringLiteral("Scroll capped at 100 steps per direction: -5000 1")));
    }

    void unknownKeyIsLogged()
    {
        translator->postKeyEvent(down(52));
        QVERIFY(capture.lines().contains(QStringLiteral("No Linux key for virtual key code 52")));
    }

    void releaseAllLetsGoOfEverything()
    {
        run({QStringLiteral("/keyboard?key=alt_mouse_down"),
             QStringLiteral("/mouse?key=left_button_down")});
        translator->postMediaKeyEvent({0xa00, 8, (17 << 16) | 0xa00, -1});
        translator->postKeyEvent(down(36));
        QVERIFY(!backend->keysDown.empty());
        QVERIFY(!backend->buttonsDown.empty());
        calls.clear();
        translator->releaseAll();
        QCOMPARE(calls.last(), QStringLiteral("release all"));
        QVERIFY(calls.contains(QStringLiteral("button 1 up")));
        QVERIFY(calls.contains(QStringLiteral("LeftCtrl up")));
        QVERIFY(calls.contains(QStringLiteral("NextSong up")));
        QVERIFY(calls.contains(QStringLiteral("Enter up")));
        verifyNothingHeld();

        calls.clear();
        run({QStringLiteral("/keyboard?key=alt_mouse_up"),
             QStringLiteral("/mouse?key=left_button_up")});
        QCOMPARE(calls, QStringList{});
    }

    void destructionReleases()
    {
        run({QStringLiteral("/mouse?key=left_button_down")});
        translator.reset();
        QCOMPARE(calls, (QStringList{"button 1 down", "button 1 up", "release all"}));
    }
};

QTEST_GUILESS_MAIN(TestInputTranslator)
#include "tst_inputtranslator.moc"

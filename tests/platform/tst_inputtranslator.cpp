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

using namespace zc;
using namespace zc::test;

namespace {

QString keyName(EvdevKey key)
{
#define NAME(key) std::pair<const EvdevKey, QString>(KEY_##key, QStringLiteral(#key))
    static const QHash<EvdevKey, QString> names = {
        NAME(LEFTSHIFT), NAME(LEFTCTRL), NAME(RIGHTCTRL), NAME(LEFTALT), NAME(LEFTMETA),
        NAME(ENTER),     NAME(A),        NAME(C),         NAME(F4),      NAME(HOME),
        NAME(PLAYPAUSE), NAME(NEXTSONG), NAME(VOLUMEUP)};
#undef NAME
    return names.value(key, QStringLiteral("key %1").arg(key));
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
        record(QStringLiteral("button %1").arg(button), down);
    }
    void key(EvdevKey key, bool down) override { record(keyName(key), down); }
    std::optional<QString> typeText(QStringView text) override
    {
        m_calls.append(QStringLiteral("type ") + text.toString());
        return std::nullopt;
    }
    void releaseAll() override
    {
        m_calls.append(QStringLiteral("release all"));
        held.clear();
    }
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

// Requests to the executors.
QStringList key(const char *name)
{
    return {QStringLiteral("/keyboard?key=") + QLatin1String(name)};
}

QStringList text(const char *value)
{
    return {QStringLiteral("/keyboard?key=textinput&value=") + QLatin1String(value)};
}

QStringList mouse(const char *query)
{
    return {QStringLiteral("/mouse?") + QLatin1String(query)};
}

QStringList tap(const char *key)
{
    return {QLatin1String(key) + QLatin1String(" down"), QLatin1String(key) + QLatin1String(" up")};
}

QStringList chord(const char *modifier, const char *key)
{
    return QStringList{QLatin1String(modifier) + QLatin1String(" down")} + tap(key) +
           QStringList{QLatin1String(modifier) + QLatin1String(" up")};
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

MediaKeyEvent media(std::int64_t type, bool down, std::int16_t subtype = 8)
{
    const std::int64_t state = down ? 0xa00 : 0xb00;
    return {state, subtype, (type << 16) | state, -1};
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

    void verifyNothingHeld() { QCOMPARE(backend->held, QSet<QString>()); }

private slots:
    void init()
    {
        calls.clear();
        capture.clear();
        auto recording = std::make_unique<RecordingLinuxInput>(calls);
        backend = recording.get();
        translator = std::make_unique<InputTranslator>(std::move(recording), *backend, capture.log);
    }

    void cleanup()
    {
        translator.reset();
        backend = nullptr;
    }

    // A phone gone between a press and its release must not leave Control or a button held.
    void heldInputIsLetGoWhenCommandsStop()
    {
        auto recording = std::make_unique<RecordingLinuxInput>(calls);
        backend = recording.get();
        translator = std::make_unique<InputTranslator>(std::move(recording), *backend, capture.log,
                                                       std::chrono::milliseconds(20));
        run(key("alt_mouse_down") + mouse("key=left_button_down"));
        QCOMPARE(backend->held, (QSet<QString>{"LEFTCTRL", "button 1"}));
        QTRY_COMPARE(backend->held, QSet<QString>());
        QCOMPARE(capture.lines().last(),
                 QStringLiteral("Released the keys and buttons still held after 20 ms without a "
                                "command"));
        calls.clear();
        run(mouse("key=left_button_up") + key("alt_mouse_up"));
        QCOMPARE(calls, QStringList());
    }

    void commands_data()
    {
        QTest::addColumn<QStringList>("requests");
        QTest::addColumn<QStringList>("expected");

        // The phone's 56 is Shift and its 58 Option, where Linux has KEY_LEFTALT and KEY_CAPSLOCK.
        QTest::newRow("lone shift and alt are taps")
            << key("shift") + key("alt") << tap("LEFTSHIFT") + tap("LEFTALT");
        // Typed as text: the key in the US place may carry another character on this layout.
        QTest::newRow("single characters are typed, no Alt")
            << text("y") + text("A") + text("@") << QStringList{"type y", "type A", "type @"};
        QTest::newRow("copy: Command acts as Control") << key("copy") << chord("LEFTCTRL", "C");
        QTest::newRow("windows: a tap of Super") << key("windows") << tap("LEFTMETA");
        QTest::newRow("close_active_window: Alt+F4")
            << key("close_active_window") << chord("LEFTALT", "F4");
        QTest::newRow("browser_go_home: Alt+Home")
            << text("browser_go_home") << chord("LEFTALT", "HOME");
        QTest::newRow("system_lock and system_logoff press no key")
            << key("system_lock") + key("system_logoff") << QStringList{"lock screen", "log out"};
        QTest::newRow("media keys") << key("media_toggle_pause_play") + key("system_volume_up")
                                    << tap("PLAYPAUSE") + tap("VOLUMEUP");

        QTest::newRow("alt_mouse_down holds Control through clicks")
            << key("alt_mouse_down") + mouse("key=left_button_click") +
                   mouse("key=left_button_click") + key("alt_mouse_up")
            << QStringList{"LEFTCTRL down"} + clicks(1, 2) + QStringList{"LEFTCTRL up"};
        QTest::newRow("alt_mouse_down released unused")
            << key("alt_mouse_down") + key("alt_mouse_up") << tap("LEFTCTRL");
        QTest::newRow("typing while alt_mouse_down is held")
            << key("alt_mouse_down") + text("hi") + key("alt_mouse_up") << QStringList{"type hi"};

        QTest::newRow("move_by stops at the desktop's edge")
            << mouse("key=move_by&delta_x=9000000000&delta_y=-9000000000")
            << QStringList{"move (1919, 0)"};
        QTest::newRow("drag") << mouse("key=left_button_down") +
                                     mouse("key=move_by&delta_x=10&delta_y=0") +
                                     mouse("key=move_by&delta_x=0&delta_y=10") +
                                     mouse("key=left_button_up")
                              << QStringList{"button 1 down", "move (110, 50)", "move (110, 60)",
                                             "button 1 up"};
        QTest::newRow("click, double click, a release without press")
            << mouse("key=left_button_click") + mouse("key=left_button_double_click") +
                   mouse("key=left_button_up")
            << clicks(1, 3);
        QTest::newRow("right: click, double click, down and up")
            << mouse("key=right_button_click") + mouse("key=right_button_double_click") +
                   mouse("key=right_button_down") + mouse("key=right_button_up")
            << clicks(3, 4);
        QTest::newRow("scroll in every direction")
            << mouse("key=scroll_by&delta_x=2&delta_y=-1") + mouse("key=scroll_vertical&value=3") +
                   mouse("key=scroll_by&delta_x=-1&delta_y=0")
            << clicks(5, 1) + clicks(6, 2) + clicks(4, 3) + clicks(7, 1);
        QTest::newRow("scroll capped, even at the most negative value")
            << mouse("key=scroll_vertical&value=2147483647") +
                   mouse("key=scroll_by&delta_x=-2147483648&delta_y=0")
            << clicks(4, int(InputTranslator::maxScrollSteps)) +
                   clicks(7, int(InputTranslator::maxScrollSteps));
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
        QTest::newRow("held modifiers without flags apply")
            << keys({down(55), down(8), up(8), up(55)}) << chord("LEFTCTRL", "C");
        QTest::newRow("held right Command is right Control")
            << keys({down(54), down(8), up(8), up(54)}) << chord("RIGHTCTRL", "C");
        QTest::newRow("held Shift and Option")
            << keys({down(56), down(58), down(0), up(0), up(58), up(56)})
            << QStringList{"LEFTSHIFT down", "LEFTALT down", "A down",
                           "A up",           "LEFTALT up",   "LEFTSHIFT up"};
        QTest::newRow("flags without Shift drop a held Shift")
            << keys({down(56), down(8, Command), up(8), up(56)}) << chord("LEFTCTRL", "C");
        QTest::newRow("empty flags: no modifier at all")
            << keys({down(59), down(36, 0), up(36), up(59)}) << tap("ENTER");
        QTest::newRow("a character key without Control, Alt or Command types its US character")
            << keys({down(59), down(19, Shift), up(19), up(59), down(50), up(50)})
            << QStringList{"type @", "type `"};
        QTest::newRow("unknown virtual key, key up without key down")
            << keys({down(52), up(52), up(36)}) << QStringList{};
        QTest::newRow("second key down replaces the first press")
            << keys({down(36), down(36), up(36)})
            << QStringList{"ENTER down", "ENTER up", "ENTER down", "ENTER up"};
        QTest::newRow("media key ignores held modifiers") << Post([](IInputEvents &in) {
            in.postKeyEvent(down(55));
            in.postMediaKeyEvent(media(16, true));
            in.postMediaKeyEvent(media(16, false));
            in.postKeyEvent(up(55));
        }) << tap("PLAYPAUSE");
        QTest::newRow("not a media key event, unknown media key type")
            << Post([](IInputEvents &in) {
                   in.postMediaKeyEvent(media(16, true, 7));
                   in.postMediaKeyEvent(media(99, true));
               })
            << QStringList{};
        QTest::newRow("triple click") << Post([](IInputEvents &in) {
            in.postMouseEvent({MouseEventType::LeftMouseDown, {0, 0}, MouseButton::Left, 3});
            in.postMouseEvent({MouseEventType::LeftMouseUp, {0, 0}, MouseButton::Left, 3});
        }) << clicks(1, 3);
        QTest::newRow("moved where the pointer already is, without a warp")
            << Post([](IInputEvents &in) {
                   in.postMouseEvent({MouseEventType::MouseMoved, {100, 50}, MouseButton::Left, 1});
               })
            << QStringList{"move (100, 50)"};
        QTest::newRow("positions round to the nearest pixel") << Post([](IInputEvents &in) {
            in.warpCursor({10.4, 10.6});
        }) << QStringList{"move (10, 11)"};
        QTest::newRow("a position that is not a number goes nowhere") << Post([](IInputEvents &in) {
            in.warpCursor({std::nan(""), 1});
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

    void typedText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("line feed and tab stay, for the backend's Return and Tab")
            << "one\ntwo\tthree" << QStringList{"type one\ntwo\tthree"};
        QTest::newRow("carriage return and Windows line ends")
            << "a\r\nb\rc" << QStringList{"type a\nb\nc"};
        QTest::newRow("other control characters are dropped")
            << "a\u0007b\u007f\u0085" << QStringList{"type ab"};
        QTest::newRow("emoji") << "👍🏽" << QStringList{"type 👍🏽"};
        QTest::newRow("nothing left to type") << "\u0007" << QStringList{};
    }

    void typedText()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, expected);
        translator->typeText(text);
        translator->pasteText(text);
        QCOMPARE(calls, expected + expected);
    }

    void cursorIsReportedBottomLeft()
    {
        QCOMPARE(translator->cursorLocation(), (PointF{100, 1030}));
        QCOMPARE(translator->mainScreenHeight(), 1080.0);
        backend->pointer = std::nullopt;
        QCOMPARE(translator->cursorLocation(), std::nullopt);
        backend->pointer = QPoint(3000, 200);
        backend->desktop = QSize();
        QCOMPARE(translator->cursorLocation(), std::nullopt);
        QCOMPARE(translator->mainScreenHeight(), std::nullopt);
    }

    void moveReadsThePointerOnce()
    {
        run(mouse("key=move_by&delta_x=1&delta_y=1"));
        QCOMPARE(backend->pointerReads, 1);
        run(mouse("key=move_by&delta_x=1&delta_y=1"));
        QCOMPARE(backend->pointerReads, 2);
        QCOMPARE(calls, (QStringList{"move (101, 51)", "move (102, 52)"}));
    }

    void releaseAllLetsGoOfEverything()
    {
        run(key("alt_mouse_down") + mouse("key=left_button_down"));
        translator->postMediaKeyEvent(media(17, true));
        translator->postKeyEvent(down(36));
        QCOMPARE(backend->held.size(), 4);
        calls.clear();
        translator->releaseAll();
        QCOMPARE(calls.last(), QStringLiteral("release all"));
        QCOMPARE(QSet<QString>(calls.begin(), calls.end()),
                 (QSet<QString>{"button 1 up", "LEFTCTRL up", "NEXTSONG up", "ENTER up",
                                "release all"}));

        calls.clear();
        run(key("alt_mouse_up") + mouse("key=left_button_up"));
        QCOMPARE(calls, QStringList{});
    }

    void destructionReleases()
    {
        run(mouse("key=left_button_down"));
        translator.reset();
        QCOMPARE(calls, (QStringList{"button 1 down", "button 1 up", "release all"}));
    }
};

QTEST_GUILESS_MAIN(TestInputTranslator)
#include "tst_inputtranslator.moc"

// The XTEST backend's logic against a fake X connection and a fake clock: key codes, Shift
// levels, spare key codes for characters off the layout, typing in runs when they run out, Caps
// Lock, and letting go of everything.

#include "linux/x11input.h"
#include "logcapture.h"

#include <QTest>

#include <linux/input-event-codes.h>

using namespace zc;
using namespace zc::test;

namespace {

constexpr Keysym noSymbol = 0;
constexpr Keysym shiftLKeysym = 0xffe1;
constexpr Keysym f1Keysym = 0xffbe;

// An X connection that writes every request as one line and keeps a small US keyboard:
// "a A" on 38, "1 !" on 10, "space" on 65, Shift_L on 50, and two spare key codes, 250 and 251.
class FakeXlib final : public IXlib
{
public:
    explicit FakeXlib(QStringList &calls) : m_calls(calls)
    {
        mapping.firstKeycode = 8;
        mapping.keys.resize(248, KeyboardMapping::Key{f1Keysym, noSymbol, true});
        key(38) = {'a', 'A', true};
        key(10) = {'1', '!', true};
        key(65) = {' ', noSymbol, true};
        key(50) = {shiftLKeysym, noSymbol, true};
        key(250) = {};
        key(251) = {};
    }

    KeyboardMapping mapping;
    bool connected = true;

    KeyboardMapping::Key &key(unsigned keycode) { return mapping.keys[keycode - 8]; }

    bool isConnected() const override { return connected; }
    unsigned minKeycode() const override { return 8; }
    unsigned maxKeycode() const override { return 255; }
    QSize rootSize() override { return {800, 600}; }
    std::optional<QPoint> queryPointer() override { return QPoint(5, 6); }
    void fakeMotion(QPoint position) override
    {
        m_calls.append(QStringLiteral("motion %1 %2").arg(position.x()).arg(position.y()));
    }
    void fakeButton(unsigned button, bool down) override
    {
        m_calls.append(QStringLiteral("button %1 %2").arg(button).arg(upOrDown(down)));
    }
    void fakeKey(unsigned keycode, bool down) override
    {
        m_calls.append(QStringLiteral("key %1 %2").arg(keycode).arg(upOrDown(down)));
    }
    KeyboardMapping readKeyboardMapping() override { return mapping; }
    void setKeysyms(unsigned keycode, Keysym plain, Keysym shifted) override
    {
        m_calls.append(QStringLiteral("keysyms %1 0x%2 0x%3")
                           .arg(keycode)
                           .arg(plain, 0, 16)
                           .arg(shifted, 0, 16));
        key(keycode) = {plain, plain == shifted ? noSymbol : shifted, plain != noSymbol};
    }
    void lockCapsLock(bool locked) override
    {
        m_calls.append(locked ? QStringLiteral("caps lock on") : QStringLiteral("caps lock off"));
    }
    void flush() override { m_calls.append(QStringLiteral("flush")); }

private:
    static QLatin1String upOrDown(bool down)
    {
        return down ? QLatin1String("down") : QLatin1String("up");
    }
    QStringList &m_calls;
};

QStringList tap(int keycode)
{
    return {QStringLiteral("key %1 down").arg(keycode), QStringLiteral("key %1 up").arg(keycode)};
}

QStringList shifted(QStringList keys)
{
    return QStringList{"key 50 down"} + keys + QStringList{"key 50 up"};
}

QStringList bound(int keycode, const char *keysym)
{
    return {QStringLiteral("keysyms %1 %2 %2").arg(keycode).arg(QLatin1String(keysym))};
}

} // namespace

class TestX11Input : public QObject
{
    Q_OBJECT

    QStringList calls;
    LogCapture capture;
    FakeXlib *xlib = nullptr;
    std::unique_ptr<X11Input> input;
    X11Input::TimePoint now;
    int clockReads = 0;

    // Performs "key 30 down", "button 3 up", "move 7 8" or "text é".
    void perform(const QString &operation)
    {
        const QStringList fields = operation.split(u' ');
        if (fields[0] == u"key")
            input->key(EvdevKey(fields[1].toInt()), fields[2] == u"down");
        else if (fields[0] == u"button")
            input->button(fields[1].toInt(), fields[2] == u"down");
        else if (fields[0] == u"move")
            input->movePointer({fields[1].toInt(), fields[2].toInt()});
        else
            QCOMPARE(input->typeText(fields[1]), std::nullopt);
    }

private slots:
    void init()
    {
        calls.clear();
        capture.clear();
        auto fake = std::make_unique<FakeXlib>(calls);
        xlib = fake.get();
        now = {};
        clockReads = 0;
        input = std::make_unique<X11Input>(std::move(fake), capture.log, [this] {
            ++clockReads;
            return now;
        });
    }

    void cleanup()
    {
        input.reset();
        xlib = nullptr;
    }

    // Linux key codes plus 8; a release without a press, or a button X does not have, is dropped.
    void keysAndButtons()
    {
        input->key(KEY_ENTER, true);
        input->key(KEY_PLAYPAUSE, true);
        input->key(KEY_PLAYPAUSE, false);
        input->key(KEY_PLAYPAUSE, false);
        input->key(KEY_A, false);
        input->movePointer({7, 8});
        input->button(3, true);
        input->button(3, false);
        input->button(1, false);
        input->button(256, true);
        QCOMPARE(calls, (QStringList{"key 36 down", "flush", "key 172 down", "flush", "key 172 up",
                                     "flush", "motion 7 8", "flush", "button 3 down", "flush",
                                     "button 3 up", "flush"}));
        input.reset();
        QCOMPARE(calls.mid(12), (QStringList{"key 36 up", "flush"}));
    }

    void keyBeyondXIsLoggedOnce()
    {
        input->key(KEY_FN, true);
        input->key(KEY_FN, false);
        input->key(KEY_FN, true);
        QCOMPARE(calls, QStringList{});
        QCOMPARE(capture.lines(), QStringList{"No X key code for Linux key 464"});
    }

    void typing_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("Shift stays down across shifted characters")
            << QStringLiteral("a A!a 1")
            << (tap(38) + tap(65) + QStringList{"key 50 down"} + tap(38) + tap(10) +
                QStringList{"key 50 up"} + tap(38) + tap(65) + tap(10));
        QTest::newRow("off the layout: the highest spare key code, bound once")
            << QStringLiteral("éaé")
            << (QStringList{"keysyms 251 0xe9 0xe9"} + tap(251) + tap(38) + tap(251));
        QTest::newRow("characters off the layout are bound before the first key")
            << QStringLiteral("aü€")
            << (QStringList{"keysyms 251 0xfc 0xfc", "keysyms 250 0x10020ac 0x10020ac"} + tap(38) +
                tap(251) + tap(250));
        QTest::newRow("Shift is let go for Tab, which it would turn backwards, and Return")
            << QStringLiteral("A\tA\n")
            << (shifted(tap(38)) + tap(23) + shifted(tap(38)) + tap(36));
        QTest::newRow("an unpaired surrogate is skipped")
            << (QStringLiteral("a") + QChar(0xd800) + QStringLiteral("a")) << (tap(38) + tap(38));
    }

    void typing()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, expected);
        QCOMPARE(input->typeText(text), std::nullopt);
        QCOMPARE(calls, expected + QStringList{"flush"});
    }

    // Kept for the next text, undone once typing has paused.
    void bindingsOutliveTheText()
    {
        input->typeText(QStringLiteral("é€"));
        calls.clear();
        input->typeText(QStringLiteral("é"));
        QCOMPARE(calls, tap(251) + QStringList{"flush"});
        calls.clear();
        QTRY_COMPARE_WITH_TIMEOUT(
            calls, (QStringList{"keysyms 251 0x0 0x0", "keysyms 250 0x0 0x0", "flush"}),
            int(X11Input::bindingLifetime.count()) * 3);
        QVERIFY(!xlib->key(251).bound);
    }

    void capsLockIsLiftedForTheText()
    {
        xlib->mapping.capsLocked = true;
        input->typeText(QStringLiteral("aA"));
        QCOMPARE(calls, (QStringList{"caps lock off"} + tap(38) + shifted(tap(38)) +
                         QStringList{"caps lock on", "flush"}));
    }

    void noSpareKeycode()
    {
        xlib->key(250) = {f1Keysym, noSymbol, true};
        xlib->key(251) = {f1Keysym, noSymbol, true};
        QCOMPARE(input->typeText(QStringLiteral("aéa")),
                 QStringLiteral("No spare X key code to type U+00E9"));
        QCOMPARE(calls, tap(38) + tap(38) + QStringList{"flush"});
    }

    void releaseAllLetsGoAndUndoesBindings()
    {
        input->key(KEY_LEFTCTRL, true);
        input->button(1, true);
        input->typeText(QStringLiteral("é"));
        calls.clear();
        input->releaseAll();
        QCOMPARE(calls, (QStringList{"key 37 up", "button 1 up", "keysyms 251 0x0 0x0", "flush"}));
        calls.clear();
        input->releaseAll();
        QCOMPARE(calls, QStringList{"flush"});
    }

    // Beyond the spare key codes, a text pauses until its first bindings have gone untyped for the
    // settle time; texts sent meanwhile wait for it.
    void typedInRuns_data()
    {
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QStringList>("firstRun");
        QTest::addColumn<QStringList>("secondRun");

        QTest::newRow("one text") << QStringList{"üé€ö"}
                                  << (bound(251, "0xfc") + bound(250, "0xe9") + tap(251) + tap(250))
                                  << (bound(251, "0x10020ac") + bound(250, "0xf6") + tap(251) +
                                      tap(250));
        QTest::newRow("the run ends before the first character without a key code")
            << QStringList{"üaé€a"}
            << (bound(251, "0xfc") + bound(250, "0xe9") + tap(251) + tap(38) + tap(250))
            << (bound(251, "0x10020ac") + tap(251) + tap(38));
        QTest::newRow("texts back to back")
            << QStringList{"üé", "€"}
            << (bound(251, "0xfc") + bound(250, "0xe9") + tap(251) + tap(250))
            << (bound(251, "0x10020ac") + tap(251));
        QTest::newRow("a text on the layout waits for the one before")
            << QStringList{"üé€", "a"}
            << (bound(251, "0xfc") + bound(250, "0xe9") + tap(251) + tap(250))
            << (bound(251, "0x10020ac") + tap(251) + QStringList{"flush"} + tap(38));
    }

    void typedInRuns()
    {
        QFETCH(QStringList, texts);
        QFETCH(QStringList, firstRun);
        QFETCH(QStringList, secondRun);
        for (const QString &text : texts)
            QCOMPARE(input->typeText(text), std::nullopt);
        const QStringList typed = firstRun + QStringList{"flush"};
        QCOMPARE(calls, typed);

        // Short of the settle time, the pause goes on.
        now += X11Input::settleTime - std::chrono::milliseconds(1);
        const int reads = clockReads;
        QTRY_VERIFY(clockReads > reads);
        QCOMPARE(calls, typed);

        now += std::chrono::milliseconds(1);
        QTRY_COMPARE(calls, typed + secondRun + QStringList{"flush"});
    }

    // A binding of an earlier text, settled, gives way unless this run types its character.
    void bindingOfTheRunIsKept()
    {
        input->typeText(QStringLiteral("üé"));
        now += X11Input::settleTime;
        calls.clear();
        QCOMPARE(input->typeText(QStringLiteral("ü€")), std::nullopt);
        QCOMPARE(calls, bound(250, "0x10020ac") + tap(251) + tap(250) + QStringList{"flush"});
    }

    // Operations sent while a text pauses follow it in order; one more text that has to pause
    // holds back the rest in its turn.
    void operationsWaitForTheText_data()
    {
        QTest::addColumn<QStringList>("operations");
        QTest::addColumn<QStringList>("afterSettling");
        QTest::addColumn<QStringList>("afterSettlingAgain");

        const QStringList restOfText = bound(251, "0x10020ac") + tap(251) + QStringList{"flush"};
        QTest::newRow("a key") << QStringList{"key 30 down", "key 30 up"}
                               << (restOfText +
                                   QStringList{"key 38 down", "flush", "key 38 up", "flush"})
                               << QStringList{};
        QTest::newRow("a button") << QStringList{"button 3 down", "button 3 up"}
                                  << (restOfText +
                                      QStringList{"button 3 down", "flush", "button 3 up", "flush"})
                                  << QStringList{};
        QTest::newRow("moves") << QStringList{"move 7 8", "move 9 10"}
                               << (restOfText +
                                   QStringList{"motion 7 8", "flush", "motion 9 10", "flush"})
                               << QStringList{};
        QTest::newRow("a text that pauses, then a key")
            << QStringList{"text öä", "key 30 down"}
            << (restOfText + bound(250, "0xf6") + tap(250) + QStringList{"flush"})
            << (bound(251, "0xe4") + tap(251) + QStringList{"flush", "key 38 down", "flush"});
    }

    void operationsWaitForTheText()
    {
        QFETCH(QStringList, operations);
        QFETCH(QStringList, afterSettling);
        QFETCH(QStringList, afterSettlingAgain);
        input->typeText(QStringLiteral("üé€"));
        const QStringList firstRun =
            bound(251, "0xfc") + bound(250, "0xe9") + tap(251) + tap(250) + QStringList{"flush"};
        for (const QString &operation : operations)
            perform(operation);
        QCOMPARE(calls, firstRun);
        now += X11Input::settleTime;
        QTRY_COMPARE(calls, firstRun + afterSettling);
        now += X11Input::settleTime;
        QTRY_COMPARE(calls, firstRun + afterSettling + afterSettlingAgain);
    }

    // Relative moves are computed from the pointer's position: a waiting warp is where it goes.
    void pointerPositionAnswersTheWaitingWarp()
    {
        input->typeText(QStringLiteral("üé€"));
        input->movePointer({7, 8});
        input->movePointer({9, 10});
        QCOMPARE(input->pointerPosition(), QPoint(9, 10));
        QCOMPARE(input->desktopSize(), QSize(800, 600));
        now += X11Input::settleTime;
        QTRY_VERIFY(calls.contains(QStringLiteral("motion 9 10")));
        QCOMPARE(input->pointerPosition(), QPoint(5, 6));
    }

    void releaseAllDropsTheRestOfTheText()
    {
        input->typeText(QStringLiteral("üé€ö"));
        input->typeText(QStringLiteral("aa"));
        input->key(KEY_A, true);
        calls.clear();
        input->releaseAll();
        QCOMPARE(calls, (QStringList{"keysyms 251 0x0 0x0", "keysyms 250 0x0 0x0", "flush"}));
        QCOMPARE(capture.lines(), QStringList{"Typing stopped, 4 characters not typed"});
        calls.clear();
        input->typeText(QStringLiteral("a"));
        QCOMPARE(calls, tap(38) + QStringList{"flush"});
    }

    void displayLostDuringAPause()
    {
        input->typeText(QStringLiteral("üé€"));
        input->key(KEY_A, true);
        calls.clear();
        xlib->connected = false;
        now += X11Input::settleTime;
        QTRY_COMPARE(
            capture.lines(),
            QStringList{
                "Mouse and keyboard input stopped: the connection to the X display is lost"});
        QCOMPARE(calls, QStringList{});
    }

    void lostDisplay()
    {
        xlib->connected = false;
        QCOMPARE(input->pointerPosition(), std::nullopt);
        input->movePointer({1, 1});
        input->key(KEY_A, true);
        input->button(1, true);
        QCOMPARE(input->typeText(QStringLiteral("a")),
                 QStringLiteral("The connection to the X display is lost"));
        QCOMPARE(calls, QStringList{});
        QCOMPARE(capture.lines(),
                 QStringList{
                     "Mouse and keyboard input stopped: the connection to the X display is lost"});
    }
};

QTEST_GUILESS_MAIN(TestX11Input)
#include "tst_x11input.moc"

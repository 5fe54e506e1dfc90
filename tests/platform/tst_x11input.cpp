// The XTEST backend's logic against a fake X connection and a fake clock: key codes, Shift
// levels, spare key codes for characters off the layout, typing in runs when they run out, the
// pointer going ahead of a text, bounds on the text, Caps Lock, and letting go of everything.

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

QStringList bound(int keycode, const char *keysym, const char *shiftedKeysym = nullptr)
{
    return {QStringLiteral("keysyms %1 %2 %3")
                .arg(keycode)
                .arg(QLatin1String(keysym), QLatin1String(shiftedKeysym ? shiftedKeysym : keysym))};
}

const QStringList flush{"flush"};

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

    // Linux key codes plus 8; a release without a press, or a button X does not have, is dropped;
    // a key beyond X's key codes is logged once.
    void keysAndButtons()
    {
        input->key(KEY_ENTER, true);
        input->key(KEY_PLAYPAUSE, true);
        input->key(KEY_PLAYPAUSE, false);
        input->key(KEY_PLAYPAUSE, false);
        input->key(KEY_A, false);
        input->movePointer({7, 8});
        input->button(BTN_RIGHT, true);
        input->button(BTN_RIGHT, false);
        input->button(BTN_LEFT, false);
        input->button(BTN_TASK + 1, true);
        input->key(KEY_FN, true);
        QCOMPARE(calls, (QStringList{"key 36 down", "flush", "key 172 down", "flush", "key 172 up",
                                     "flush", "motion 7 8", "flush", "button 3 down", "flush",
                                     "button 3 up", "flush"}));
        input->key(KEY_FN, true);
        input->key(KEY_FN, false);
        QCOMPARE(capture.lines(), QStringList{"No X key code for Linux key 464"});
        input.reset();
        QCOMPARE(calls.mid(12), (QStringList{"key 36 up", "flush"}));
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
        QTest::newRow("off the layout: two to a key code, bound before the first key")
            << QStringLiteral("aü€ö")
            << (bound(251, "0xfc", "0x10020ac") + bound(250, "0xf6") + tap(38) + tap(251) +
                shifted(tap(251)) + tap(250));
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
        input->typeText(QStringLiteral("é€ü"));
        calls.clear();
        input->typeText(QStringLiteral("€"));
        QCOMPARE(calls, shifted(tap(251)) + flush);
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
                 QStringLiteral("No spare X key code to type a character of the text"));
        QCOMPARE(calls, tap(38) + tap(38) + QStringList{"flush"});
    }

    // Also drops the rest of a text that pauses and what waits behind it.
    void releaseAllLetsGoAndUndoesBindings()
    {
        input->key(KEY_LEFTCTRL, true);
        input->button(BTN_LEFT, true);
        input->typeText(QStringLiteral("üé€öäß"));
        input->typeText(QStringLiteral("aa"));
        input->key(KEY_A, true);
        calls.clear();
        input->releaseAll();
        QCOMPARE(calls, (QStringList{"key 37 up", "button 1 up", "keysyms 251 0x0 0x0",
                                     "keysyms 250 0x0 0x0", "flush"}));
        QCOMPARE(capture.lines(), QStringList{"Typing stopped, 4 characters not typed"});
        calls.clear();
        input->releaseAll();
        input->typeText(QStringLiteral("a"));
        QCOMPARE(calls, QStringList{"flush"} + tap(38) + QStringList{"flush"});
    }

    // Beyond the spare key codes, a text pauses until its first bindings have gone untyped for the
    // settle time; texts sent meanwhile wait for it.
    void typedInRuns_data()
    {
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QStringList>("firstRun");
        QTest::addColumn<QStringList>("secondRun");

        const QStringList four = bound(251, "0xfc", "0xe9") + bound(250, "0x10020ac", "0xf6");
        QTest::newRow("one text") << QStringList{"üé€öäß"}
                                  << (four + tap(251) + shifted(tap(251)) + tap(250) +
                                      shifted(tap(250)))
                                  << (bound(251, "0xe4", "0xdf") + tap(251) + shifted(tap(251)));
        QTest::newRow("the run ends before the first character without a key code")
            << QStringList{"üaé€öäa"}
            << (four + tap(251) + tap(38) + shifted(tap(251)) + tap(250) + shifted(tap(250)))
            << (bound(251, "0xe4") + tap(251) + tap(38));
        QTest::newRow("texts back to back")
            << QStringList{"üé€", "öäß"}
            << (bound(251, "0xfc", "0xe9") + bound(250, "0x10020ac") + tap(251) +
                shifted(tap(251)) + tap(250))
            << (bound(251, "0xf6", "0xe4") + bound(250, "0xdf") + tap(251) + shifted(tap(251)) +
                tap(250));
        QTest::newRow("a text on the layout waits for the one before")
            << QStringList{"üé€öä", "a"}
            << (four + tap(251) + shifted(tap(251)) + tap(250) + shifted(tap(250)))
            << (bound(251, "0xe4") + tap(251) + flush + tap(38));
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
        input->typeText(QStringLiteral("üé€ö"));
        now += X11Input::settleTime;
        calls.clear();
        QCOMPARE(input->typeText(QStringLiteral("üä")), std::nullopt);
        QCOMPARE(calls, bound(250, "0xe4") + tap(251) + tap(250) + flush);
    }

    // While a text pauses, keys and texts wait for it in order, but the pointer goes at once,
    // unless a button needs a modifier key that waits: then it waits, and the pointer behind it.
    // Relative moves start from the pointer's position, so a waiting warp is where it is.
    void pointerGoesAheadOfTheText()
    {
        input->typeText(QStringLiteral("üé€öä"));
        input->key(KEY_A, true);
        input->key(KEY_LEFTCTRL, true);
        input->key(KEY_LEFTCTRL, false);
        calls.clear();
        input->movePointer({7, 8});
        input->button(BTN_RIGHT, true);
        input->button(BTN_RIGHT, false);
        QCOMPARE(input->pointerPosition(), QPoint(5, 6));
        QCOMPARE(calls, (QStringList{"motion 7 8", "flush", "button 3 down", "flush", "button 3 up",
                                     "flush"}));
        calls.clear();
        input->key(KEY_LEFTCTRL, true);
        input->button(BTN_LEFT, true);
        input->movePointer({9, 10});
        QCOMPARE(input->pointerPosition(), QPoint(9, 10));
        input->button(BTN_LEFT, false);
        input->key(KEY_LEFTCTRL, false);
        input->key(KEY_A, false);
        QCOMPARE(input->typeText(QStringLiteral("ß")), std::nullopt);
        QCOMPARE(calls, QStringList{});
        now += X11Input::settleTime;
        QTRY_COMPARE(calls,
                     (bound(251, "0xe4") + tap(251) +
                      QStringList{"flush", "key 38 down", "flush", "key 37 down", "flush",
                                  "key 37 up", "flush", "key 37 down", "flush", "button 1 down",
                                  "flush", "motion 9 10", "flush", "button 1 up", "flush",
                                  "key 37 up", "flush", "key 38 up", "flush"} +
                      bound(250, "0xdf") + tap(250) + flush));
        QCOMPARE(input->pointerPosition(), QPoint(5, 6));
    }

    // One text, and all the texts waiting, are bounded; the log says how much was dropped.
    void textsAreBounded_data()
    {
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QStringList>("log");

        const QString pausing = QStringLiteral("üé€öä");
        const QString many(qsizetype(X11Input::maxTextLength), u'a');
        QTest::newRow("one text") << QStringList{pausing + many}
                                  << QStringList{"Typing cut short, 5 characters not typed: at "
                                                 "most 10000 per text and 20000 waiting",
                                                 "Typing stopped, 9996 characters not typed"};
        QTest::newRow("texts waiting") << QStringList{pausing, many, many}
                                       << QStringList{"Typing cut short, 1 characters not typed: "
                                                      "at most 10000 per text and 20000 waiting",
                                                      "Typing stopped, 20000 characters not typed"};
    }

    void textsAreBounded()
    {
        QFETCH(QStringList, texts);
        QFETCH(QStringList, log);
        for (const QString &text : texts)
            QCOMPARE(input->typeText(text), std::nullopt);
        input->releaseAll();
        QCOMPARE(capture.lines(), log);
    }

    void lostDisplay()
    {
        const QStringList lost{
            "Mouse and keyboard input stopped: the connection to the X display is lost"};
        input->typeText(QStringLiteral("üé€öä"));
        input->key(KEY_A, true);
        calls.clear();
        xlib->connected = false;
        // During a pause: the rest of the text and what waits behind it are dropped.
        now += X11Input::settleTime;
        QTRY_COMPARE(capture.lines(), lost);
        QCOMPARE(input->pointerPosition(), std::nullopt);
        input->movePointer({1, 1});
        input->key(KEY_A, true);
        input->button(BTN_LEFT, true);
        QCOMPARE(input->typeText(QStringLiteral("a")),
                 QStringLiteral("The connection to the X display is lost"));
        QCOMPARE(calls, QStringList{});
        QCOMPARE(capture.lines(), lost);
    }
};

QTEST_GUILESS_MAIN(TestX11Input)
#include "tst_x11input.moc"

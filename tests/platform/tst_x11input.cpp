// The XTEST backend's logic against a fake X connection: key codes, Shift levels, spare key
// codes for characters off the layout, Caps Lock, and letting go of everything.

#include "linux/x11input.h"
#include "linux/x11keysyms.h"
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

} // namespace

class TestX11Input : public QObject
{
    Q_OBJECT

    QStringList calls;
    LogCapture capture;
    FakeXlib *xlib = nullptr;
    std::unique_ptr<X11Input> input;

private slots:
    void init()
    {
        calls.clear();
        capture.clear();
        auto fake = std::make_unique<FakeXlib>(calls);
        xlib = fake.get();
        input = std::make_unique<X11Input>(std::move(fake), capture.log);
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
        QTest::newRow("more than the spare key codes: the oldest binding gives way")
            << QStringLiteral("üé€é")
            << (QStringList{"keysyms 251 0xfc 0xfc", "keysyms 250 0xe9 0xe9"} + tap(251) +
                tap(250) + QStringList{"keysyms 251 0x10020ac 0x10020ac"} + tap(251) + tap(250));
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

    // Taking back a binding of an earlier text is safe; one of the same text may not be.
    void reuseWithinOneTextIsLogged()
    {
        for (QStringView character : {u"ü", u"é", u"€"})
            input->typeText(character);
        QCOMPARE(capture.lines(), QStringList{});
        input->typeText(QStringLiteral("aöäß"));
        QCOMPARE(capture.lines(),
                 QStringList{"More characters off the keyboard layout in one text than spare X key "
                             "codes; a slow client may show an earlier one wrongly"});
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

    // Absent characters (0) have no keysym; the layouts' euro sign is typed as a Unicode keysym.
    void keysyms_data()
    {
        QTest::addColumn<uint>("keysym");
        QTest::addColumn<uint>("character");
        QTest::addColumn<bool>("typedWithIt");
        QTest::newRow("Latin-1") << 0xe9u << 0xe9u << true;
        QTest::newRow("no-break space") << 0xa0u << 0xa0u << true;
        QTest::newRow("euro sign") << 0x10020acu << 0x20acu << true;
        QTest::newRow("euro sign of a layout") << 0x20acu << 0x20acu << false;
        QTest::newRow("emoji") << 0x101f600u << 0x1f600u << true;
        QTest::newRow("NoSymbol") << 0u << 0u << false;
        QTest::newRow("Return") << 0xff0du << 0u << false;
        QTest::newRow("dead acute") << 0xfe51u << 0u << false;
        QTest::newRow("Unicode control") << 0x1000085u << 0u << false;
        QTest::newRow("Unicode surrogate") << 0x100d800u << 0u << false;
        QTest::newRow("beyond Unicode") << 0x1110000u << 0u << false;
    }

    void keysyms()
    {
        QFETCH(uint, keysym);
        QFETCH(uint, character);
        QFETCH(bool, typedWithIt);
        QCOMPARE(characterForKeysym(keysym),
                 character ? std::optional<char32_t>(char32_t(character)) : std::nullopt);
        if (typedWithIt)
            QCOMPARE(keysymForCharacter(char32_t(character)), Keysym(keysym));
    }
};

QTEST_GUILESS_MAIN(TestX11Input)
#include "tst_x11input.moc"

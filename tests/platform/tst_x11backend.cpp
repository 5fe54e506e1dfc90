// The X11 backend against a real X server: a private Xvfb, and an independent client that
// reports what arrives.

#include "x11session.h"

#include <QCoreApplication>
#include <QTest>

using namespace zc;
using namespace zc::test;

namespace {

// Core event state bits: Shift, Control, Mod1 (Alt), Mod4 (Super), Mod5 and buttons 1 to 5.
constexpr unsigned heldMask = 0x1 | 0x4 | 0x8 | 0x40 | 0x80 | 0x1f00;

// The character a keysym reported by the observer stands for, by X's keysym encoding.
std::optional<QString> characterOf(quint32 keysym)
{
    if ((keysym >= 0x20 && keysym <= 0x7e) || (keysym >= 0xa0 && keysym <= 0xff))
        return QString(QChar(char16_t(keysym)));
    if (keysym >= 0x01000100 && keysym <= 0x0110ffff) {
        const char32_t c = keysym - 0x01000000;
        return QString::fromUcs4(&c, 1);
    }
    switch (keysym) {
    case 0x20ac: // EuroSign
        return QStringLiteral("€");
    case 0xff0d: // Return
        return QStringLiteral("\n");
    case 0xff09: // Tab
        return QStringLiteral("\t");
    default:
        return std::nullopt;
    }
}

QStringList press(const char *keysym, const char *state, const char *releaseState = nullptr)
{
    return {QStringLiteral("press %1 %2").arg(QLatin1String(keysym), QLatin1String(state)),
            QStringLiteral("release %1 %2")
                .arg(QLatin1String(keysym), QLatin1String(releaseState ? releaseState : state))};
}

// A modifier around a key: the key's events carry the modifier's state bit.
QStringList chord(const char *modifier, const char *key, const char *state)
{
    return QStringList{QStringLiteral("press %1 0x0").arg(QLatin1String(modifier))} +
           press(key, state) +
           QStringList{
               QStringLiteral("release %1 %2").arg(QLatin1String(modifier), QLatin1String(state))};
}

QStringList button(int number, const char *pressState, const char *releaseState)
{
    return {QStringLiteral("button press %1 %2").arg(number).arg(QLatin1String(pressState)),
            QStringLiteral("button release %1 %2").arg(number).arg(QLatin1String(releaseState))};
}

// Requests to the executors.
QStringList key(const char *name)
{
    return {QStringLiteral("/keyboard?key=") + QLatin1String(name)};
}

QStringList mouse(const char *query)
{
    return {QStringLiteral("/mouse?") + QLatin1String(query)};
}

QStringList textInput(const QString &text)
{
    return {X11Session::typing(text)};
}

// Every command is followed by Escape: once it arrives, everything before it has too.
const QStringList marker = press("Escape", "0x0");

} // namespace

class TestX11Backend : public QObject
{
    Q_OBJECT

    X11Session x11;
    X11ObserverProcess &observer = x11.observer;
    DesktopServices &desktop = x11.desktop;

    void send(const QStringList &requests) { x11.send(requests); }

    // Key and button events as the observer saw them, keysyms by name.
    QStringList inputLines() const
    {
        QStringList lines;
        for (const QString &line : observer.lines()) {
            const QStringList fields = line.split(u' ');
            if (fields[0] == u"key")
                lines.append(fields[1] + u' ' + fields[3] + u' ' + fields[4]);
            else if (fields[0] == u"button")
                lines.append(line);
        }
        return lines;
    }

    // The characters typed, up to the first motion if asked.
    QString typedText(bool beforeMotion = false) const
    {
        QString text;
        for (const QString &line : observer.lines()) {
            const QStringList fields = line.split(u' ');
            if (beforeMotion && fields[0] == u"motion")
                break;
            if (fields[0] == u"key" && fields[1] == u"press") {
                if (const std::optional<QString> c = characterOf(fields[2].toUInt(nullptr, 16)))
                    text += *c;
            }
        }
        return text;
    }

    QPoint pointerPosition()
    {
        const std::optional<X11ObserverProcess::Pointer> pointer = observer.where();
        return pointer ? pointer->position : QPoint(-1, -1);
    }

private slots:
    void initTestCase()
    {
        if (XvfbServer::executable().isEmpty())
            QSKIP("Xvfb is not installed (Debian package xvfb)");
        const QString failure = x11.start();
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }

    void cleanupTestCase() { x11.stop(); }

    void init() { observer.clear(); }

    // After every command: no modifier and no button left held.
    void cleanup()
    {
        if (!desktop.input)
            return;
        const std::optional<X11ObserverProcess::Pointer> pointer = observer.where();
        QVERIFY(pointer);
        QCOMPARE(pointer->mask & heldMask, 0u);
    }

    // Exact moves, and drags that hold button 1, each step from where the last one ended.
    void moveAndDragExactly()
    {
        const QPoint start = pointerPosition();
        QVERIFY(start.x() > 100 && start.y() > 100);
        send(mouse("key=move_by&delta_x=-7&delta_y=3") + mouse("key=left_button_down") +
             mouse("key=move_by&delta_x=1&delta_y=-1") + mouse("key=move_by&delta_x=0&delta_y=10") +
             mouse("key=left_button_up"));
        const auto motion = [](QPoint at, const char *state) {
            return QStringLiteral("motion %1 %2 %3")
                .arg(at.x())
                .arg(at.y())
                .arg(QLatin1String(state));
        };
        const QPoint end = start + QPoint(-6, 12);
        QTRY_COMPARE(observer.lines(),
                     (QStringList{motion(start + QPoint(-7, 3), "0x0"), "button press 1 0x0",
                                  motion(start + QPoint(-6, 2), "0x100"), motion(end, "0x100"),
                                  "button release 1 0x100"}));
        QCOMPARE(pointerPosition(), end);
    }

    void commands_data()
    {
        QTest::addColumn<QStringList>("requests");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("A") << QStringList{"/keyboard?key=textinput&value=A"}
                           << chord("Shift_L", "A", "0x1");
        QTest::newRow("copy") << key("copy") << chord("Control_L", "c", "0x4");
        QTest::newRow("switch_window") << key("switch_window") << chord("Alt_L", "Tab", "0x8");
        QTest::newRow("windows and shift: lone taps")
            << key("windows") + key("shift")
            << press("Super_L", "0x0", "0x40") + press("Shift_L", "0x0", "0x1");
        QTest::newRow("backspace and function_one")
            << key("backspace") + key("function_one")
            << press("BackSpace", "0x0") + press("F1", "0x0");
        QTest::newRow("media keys")
            << key("media_toggle_pause_play") + key("system_volume_up")
            << press("XF86AudioPlay", "0x0") + press("XF86AudioRaiseVolume", "0x0");
        QTest::newRow("system_lock reaches no application") << key("system_lock") << QStringList{};

        QTest::newRow("click, right click, double click")
            << mouse("key=left_button_click") + mouse("key=right_button_click") +
                   mouse("key=left_button_double_click")
            << button(1, "0x0", "0x100") + button(3, "0x0", "0x400") + button(1, "0x0", "0x100") +
                   button(1, "0x0", "0x100");
        QTest::newRow("scroll up, down, left, right")
            << mouse("key=scroll_vertical&value=1") + mouse("key=scroll_vertical&value=-1") +
                   mouse("key=scroll_by&delta_x=1&delta_y=0") +
                   mouse("key=scroll_by&delta_x=-1&delta_y=0")
            << button(4, "0x0", "0x800") + button(5, "0x0", "0x1000") + button(6, "0x0", "0x0") +
                   button(7, "0x0", "0x0");
        QTest::newRow("alt_mouse_down: Control+click")
            << key("alt_mouse_down") + mouse("key=left_button_click") + key("alt_mouse_up")
            << (QStringList{"press Control_L 0x0"} + button(1, "0x4", "0x104") +
                QStringList{"release Control_L 0x4"});
    }

    void commands()
    {
        QFETCH(QStringList, requests);
        QFETCH(QStringList, expected);
        send(requests + key("esc"));
        QTRY_COMPARE(inputLines(), expected + marker);
    }

    void typedTextArrivesExactly_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("mixed") << QStringLiteral(
            "Hello, \"World\"! It's C:\\Temp\\ – café, naïve, Ærø, €42 😀 ok\n\tend");
        QTest::newRow("off the layout after a line end") << QStringLiteral("é\nüñç\tß");
        QTest::newRow("every spare key code") << QStringLiteral("–éÆøï€😀üñçßåœ¿¡→←↑↓");
        QTest::newRow("again, on the same spare key codes") << QStringLiteral("é€😀🎉");
    }

    void typedTextArrivesExactly()
    {
        QFETCH(QString, text);
        send(textInput(text) + key("esc"));
        QTRY_VERIFY(inputLines().endsWith(marker.last()));
        QCOMPARE(typedText(), text);
    }

    // Three times as many distinct characters off the layout as spare key codes can carry, and a
    // short text right after: typed in runs, no key code rebound before its last press was
    // handled. A move sent meanwhile does not wait for the text.
    void moreCharactersThanSpareKeycodes()
    {
        QString many;
        for (char32_t c = U'\u4e00'; c < U'\u4e00' + 120 * 7; c += 7)
            many += QString::fromUcs4(&c, 1);
        const QString after = QStringLiteral("жы");
        send(textInput(many) + mouse("key=move_by&delta_x=1&delta_y=0") + textInput(after) +
             key("esc"));
        QTRY_VERIFY_WITH_TIMEOUT(inputLines().endsWith(marker.last()), 20000);
        QCOMPARE(typedText(), many + after);
        QVERIFY(typedText(true).size() < many.size());
    }

    void releaseAllLetsGo()
    {
        send(key("alt_mouse_down") + mouse("key=left_button_down"));
        QTRY_COMPARE(inputLines(), (QStringList{"press Control_L 0x0", "button press 1 0x4"}));
        desktop.input->releaseAll();
        QTRY_COMPARE(inputLines().size(), 4);
        send(key("alt_mouse_up") + mouse("key=left_button_up") + key("esc"));
        QTRY_COMPARE(inputLines().size(), 6);
        QCOMPARE(inputLines().mid(2, 2),
                 (QStringList{"button release 1 0x104", "release Control_L 0x4"}));
    }

    // Xlib ends the process on a broken connection unless told otherwise.
    void displayGoingAwayIsSurvived()
    {
        XvfbServer doomed;
        QVERIFY2(doomed.start(), qPrintable(doomed.errorOutput()));
        const QByteArray display = qgetenv("DISPLAY");
        qputenv("DISPLAY", doomed.display().toLocal8Bit());
        LogCapture lossLog;
        DesktopServices lost = createLinuxDesktop(lossLog.log);
        qputenv("DISPLAY", display);
        QVERIFY(lost.inputAvailable());
        MouseControls lostMouse(*lost.input, lossLog.log);
        KeyboardControls lostKeyboard(*lost.input, *lost.text, *lost.power, lossLog.log);
        QVERIFY(lost.input->mainScreenHeight());

        QVERIFY(doomed.stop());
        // Noticed from the closed socket alone, before any command needs the display.
        QTRY_VERIFY(!lost.input->mainScreenHeight());
        lostMouse.handleMouseEvent(QStringLiteral("/mouse?key=move_by&delta_x=1&delta_y=1"));
        lostMouse.handleMouseEvent(QStringLiteral("/mouse?key=left_button_click"));
        QCOMPARE(lost.text->typeText(QStringLiteral("é")),
                 QStringLiteral("The connection to the X display is lost"));
        lostKeyboard.handleKeyboardEvent(QStringLiteral("/keyboard?key=copy"));
        QCOMPARE(lossLog.lines().count(QStringLiteral(
                     "Mouse and keyboard input stopped: the connection to the X display is lost")),
                 1);
    }
};

QTEST_GUILESS_MAIN(TestX11Backend)
#include "tst_x11backend.moc"

#include "keyboardcontrols.h"
#include "logcapture.h"
#include "recordingdesktop.h"

#include <QTest>

using namespace zc;
using namespace zc::test;

namespace {

QStringList press(int code)
{
    return {QStringLiteral("key %1 down").arg(code), QStringLiteral("key %1 up").arg(code)};
}

QStringList combination(int modifier, int key, const char *flags)
{
    return {QStringLiteral("key %1 down").arg(modifier),
            QStringLiteral("key %1 down flags %2").arg(key).arg(QLatin1String(flags)),
            QStringLiteral("key %1 up").arg(key), QStringLiteral("key %1 up").arg(modifier)};
}

QStringList chord(int key, const char *flags)
{
    return {"key 59 down",
            "key 55 down",
            QStringLiteral("key %1 down flags %2").arg(key).arg(QLatin1String(flags)),
            QStringLiteral("key %1 up").arg(key),
            "key 55 up",
            "key 59 up"};
}

QStringList media(int type)
{
    const int key = type << 16;
    return {QStringLiteral("media 0x%1 flags 0xa00 subtype 8 data2 -1").arg(key | 0xa00, 0, 16),
            QStringLiteral("media 0x%1 flags 0xb00 subtype 8 data2 -1").arg(key | 0xb00, 0, 16)};
}

} // namespace

class TestKeyboardControls : public QObject
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

    void namedCommands_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QStringList>("calls");

        const QList<std::pair<const char *, int>> keys = {
            {"esc", 53},
            {"tab", 48},
            {"enter", 36},
            {"backspace", 51},
            {"shift", 56},
            {"ctrl", 59},
            {"alt", 58},
            {"function", 63},
            {"function_one", 122},
            {"function_two", 120},
            {"function_three", 99},
            {"function_four", 118},
            {"function_five", 96},
            {"function_six", 97},
            {"function_seven", 98},
            {"function_eight", 100},
            {"function_nine", 101},
            {"function_ten", 109},
            {"function_eleven", 103},
            {"function_twelve", 111},
            {"up", 126},
            {"right", 124},
            {"down", 125},
            {"left", 123},
            {"space", 49},
            {" ", 49},
            {"fkeypress", 3},
        };
        for (const auto &[name, code] : keys)
            QTest::newRow(name) << QString::fromLatin1(name) << press(code);

        QTest::newRow("alt_mouse_down") << "alt_mouse_down" << QStringList{"key 55 down"};
        QTest::newRow("alt_mouse_up") << "alt_mouse_up" << QStringList{"key 55 up"};

        QTest::newRow("windows") << "windows" << combination(55, 49, "0x100000");
        QTest::newRow("copy") << "copy" << combination(55, 8, "0x100000");
        QTest::newRow("paste") << "paste" << combination(55, 9, "0x100000");
        QTest::newRow("switch_window") << "switch_window" << combination(55, 48, "0x100000");
        QTest::newRow("close_active_window")
            << "close_active_window" << combination(55, 12, "0x100000");
        QTest::newRow("browser_go_back") << "browser_go_back" << combination(55, 33, "0x100000");
        QTest::newRow("browser_go_forward")
            << "browser_go_forward" << combination(55, 30, "0x100000");
        QTest::newRow("browser_go_refresh")
            << "browser_go_refresh" << combination(55, 15, "0x100000");

        QTest::newRow("system_lock") << "system_lock" << chord(12, "0x140000");
        QTest::newRow("system_logoff") << "system_logoff" << chord(12, "0x120000");
        QTest::newRow("system_sleep") << "system_sleep" << QStringList{"power sleep"};
        QTest::newRow("system_restart") << "system_restart" << QStringList{"power restart"};
        QTest::newRow("system_shut_down") << "system_shut_down" << QStringList{"power shut down"};

        QTest::newRow("media_toggle_pause_play") << "media_toggle_pause_play" << media(16);
        QTest::newRow("media_next") << "media_next" << media(17);
        QTest::newRow("media_previous") << "media_previous" << media(18);
        QTest::newRow("system_volume_up") << "system_volume_up" << media(0);
        QTest::newRow("system_volume_down") << "system_volume_down" << media(1);

        for (const char *name : {"printkey",
                                 "caps",
                                 "delete",
                                 "insert",
                                 "shift_mouse_down",
                                 "shift_mouse_up",
                                 "right_shift",
                                 "right_shift_mouse_down",
                                 "right_shift_mouse_up",
                                 "ctrl_mouse_down",
                                 "ctrl_mouse_up",
                                 "right_ctrl",
                                 "right_ctrl_mouse_down",
                                 "right_ctrl_mouse_up",
                                 "right_alt",
                                 "right_alt_mouse_down",
                                 "right_alt_mouse_up",
                                 "function_mouse_down",
                                 "function_mouse_up",
                                 "home",
                                 "end",
                                 "page_up",
                                 "page_down",
                                 "system_toggle_volume_mute",
                                 "system_hibernate",
                                 "system_num_lock",
                                 "scroll_lock",
                                 "restore_minimize_active_window",
                                 "restore_maximize_active_window",
                                 "cut",
                                 "browser_go_home",
                                 "ENTER",
                                 "enter ",
                                 "",
                                 "a",
                                 "Cmd",
                                 "f13"})
            QTest::newRow(qPrintable(QStringLiteral("not executed: '%1'").arg(QLatin1String(name))))
                << QString::fromLatin1(name) << QStringList{};
    }

    void namedCommands()
    {
        QFETCH(QString, key);
        QFETCH(QStringList, calls);
        KeyboardControls keyboard(desktop, desktop, desktop, capture.log);
        keyboard.handleKeyboardEvent(QStringLiteral("/keyboard?key=") +
                                     QString::fromLatin1(QUrl::toPercentEncoding(key)));
        QCOMPARE(desktop.calls, calls);
        const bool unknown = capture.lines().contains(QStringLiteral("Unknown Keyboard event"));
        QCOMPARE(unknown, calls.isEmpty());
    }

    void textInput_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QStringList>("calls");

        QTest::newRow("lower-case letter") << "a" << press(0);
        QTest::newRow("digit") << "7" << press(26);
        QTest::newRow("punctuation") << ";" << press(41);
        QTest::newRow("backslash") << "\\" << press(42);
        QTest::newRow("capital") << "A" << combination(58, 0, "0x20000");
        QTest::newRow("question mark") << "?" << combination(58, 44, "0x20000");
        QTest::newRow("double quote") << "\"" << combination(58, 39, "0x20000");
        QTest::newRow("accented letter is pasted") << "é" << QStringList{"paste é"};
        QTest::newRow("decomposed accent is one character")
            << "e\u0301" << QStringList{"paste e\u0301"};
        QTest::newRow("emoji is pasted") << "👍🏽" << QStringList{"paste 👍🏽"};
        QTest::newRow("word is typed") << "hello" << QStringList{"type hello"};
        QTest::newRow("blank sent encoded") << "hello world" << QStringList{"type hello world"};
        QTest::newRow("quotes and backslashes reach the typist unchanged")
            << "say \"hi\" \\o/" << QStringList{"type say \"hi\" \\o/"};
        QTest::newRow("shortcut name as text") << "copy" << combination(55, 8, "0x100000");
        QTest::newRow("system command as text") << "system_sleep" << QStringList{"power sleep"};
        QTest::newRow("browser home as text") << "browser_go_home" << chord(4, "0x140000");
        QTest::newRow("key name as text is typed") << "enter" << QStringList{"type enter"};
        QTest::newRow("media name as text does nothing") << "media_next" << QStringList{};
        QTest::newRow("empty text") << "" << QStringList{"type "};
    }

    void textInput()
    {
        QFETCH(QString, value);
        QFETCH(QStringList, calls);
        KeyboardControls keyboard(desktop, desktop, desktop, capture.log);
        keyboard.handleKeyboardEvent(QStringLiteral("/keyboard?key=textinput&value=") +
                                     QString::fromLatin1(QUrl::toPercentEncoding(value)));
        QCOMPARE(desktop.calls, calls);
    }

    void logLines_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QStringList>("log");

        QTest::newRow("key") << "/keyboard?key=enter" << QStringList{"[key=enter]"};
        QTest::newRow("text") << "/keyboard?key=textinput&value=hi"
                              << QStringList{"[key=textinput, value=hi]", "textinput", "hi"};
        QTest::newRow("capital") << "/keyboard?key=textinput&value=A"
                                 << QStringList{"[key=textinput, value=A]", "textinput", "[58, 0]",
                                                "A"};
        QTest::newRow("shortcut") << "/keyboard?key=copy"
                                  << QStringList{"[key=copy]", "[55, 8]", "copy"};
        QTest::newRow("system command")
            << "/keyboard?key=system_lock" << QStringList{"[key=system_lock]"};
        QTest::newRow("unknown") << "/keyboard?key=delete"
                                 << QStringList{"[key=delete]", "Unknown Keyboard event"};
        QTest::newRow("no query") << "/keyboard" << QStringList{""};
    }

    void logLines()
    {
        QFETCH(QString, request);
        QFETCH(QStringList, log);
        KeyboardControls keyboard(desktop, desktop, desktop, capture.log);
        keyboard.handleKeyboardEvent(request);
        QCOMPARE(capture.lines(), log);
    }

    void typingErrorsAreLogged()
    {
        desktop.textError = QStringLiteral("no typist");
        KeyboardControls keyboard(desktop, desktop, desktop, capture.log);
        keyboard.handleKeyboardEvent(QStringLiteral("/keyboard?key=textinput&value=%C3%A9"));
        keyboard.handleKeyboardEvent(QStringLiteral("/keyboard?key=textinput&value=ab"));
        QCOMPARE(capture.lines().count(QStringLiteral("no typist")), 2);
    }

    void altHoldSpansRequests()
    {
        KeyboardControls keyboard(desktop, desktop, desktop, capture.log);
        keyboard.handleKeyboardEvent(QStringLiteral("/keyboard?key=alt_mouse_down"));
        keyboard.handleKeyboardEvent(QStringLiteral("/keyboard?key=alt_mouse_up"));
        QCOMPARE(desktop.calls, (QStringList{"key 55 down", "key 55 up"}));
    }
};

QTEST_GUILESS_MAIN(TestKeyboardControls)
#include "tst_keyboardcontrols.moc"

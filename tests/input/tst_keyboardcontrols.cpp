#include "keyboardcontrols.h"
#include "logcapture.h"
#include "recordingdesktop.h"

#include <QTest>

using namespace zc;
using namespace zc::test;

namespace {

QString key(const QString &name)
{
    return QStringLiteral("/keyboard?key=") + QString::fromLatin1(QUrl::toPercentEncoding(name));
}

QString text(const QString &value)
{
    return QStringLiteral("/keyboard?key=textinput&value=") +
           QString::fromLatin1(QUrl::toPercentEncoding(value));
}

QStringList press(int code)
{
    return {QStringLiteral("key %1 down").arg(code), QStringLiteral("key %1 up").arg(code)};
}

// A modifier around a key whose flags replace whatever modifiers are held.
QStringList combination(int modifier, int key, const char *flags)
{
    return {QStringLiteral("key %1 down").arg(modifier),
            QStringLiteral("key %1 down flags %2").arg(key).arg(QLatin1String(flags)),
            QStringLiteral("key %1 up").arg(key), QStringLiteral("key %1 up").arg(modifier)};
}

// Control and Command around a key.
QStringList chord(int key, const char *flags)
{
    return QStringList{"key 59 down"} + combination(55, key, flags) + QStringList{"key 59 up"};
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

    void handle(const QString &request)
    {
        KeyboardControls(desktop, desktop, desktop, capture.log).handleKeyboardEvent(request);
    }

private slots:
    void init()
    {
        desktop = RecordingDesktop();
        capture.clear();
    }

    void requests_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QStringList>("calls");

        QTest::newRow("blank is space") << key(" ") << press(49);
        QTest::newRow("fkeypress is the letter f") << key("fkeypress") << press(3);
        QTest::newRow("alt_mouse_down holds Command")
            << key("alt_mouse_down") << QStringList{"key 55 down"};
        QTest::newRow("alt_mouse_up") << key("alt_mouse_up") << QStringList{"key 55 up"};
        QTest::newRow("copy") << key("copy") << combination(55, 8, "0x100000");
        QTest::newRow("windows") << key("windows") << combination(55, 49, "0x100000");
        QTest::newRow("system_lock") << key("system_lock") << chord(12, "0x140000");
        QTest::newRow("system_logoff") << key("system_logoff") << chord(12, "0x120000");
        QTest::newRow("system_sleep") << key("system_sleep") << QStringList{"power sleep"};
        QTest::newRow("system_restart") << key("system_restart") << QStringList{"power restart"};
        QTest::newRow("system_shut_down")
            << key("system_shut_down") << QStringList{"power shut down"};
        QTest::newRow("media_toggle_pause_play") << key("media_toggle_pause_play") << media(16);
        QTest::newRow("system_volume_up") << key("system_volume_up") << media(0);

        // Names of the vocabulary or of the key tables that are not executed, and near misses.
        const QStringList ignored =
            QStringLiteral("printkey caps delete home ctrl_mouse_down right_alt cut "
                           "system_toggle_volume_mute browser_go_home ENTER a Cmd f13")
                .split(u' ') +
            QStringList{"enter ", ""};
        for (const QString &name : ignored)
            QTest::newRow(qPrintable(QStringLiteral("not executed: '%1'").arg(name)))
                << key(name) << QStringList{};

        QTest::newRow("lower-case letter") << text("a") << press(0);
        QTest::newRow("capital") << text("A") << combination(58, 0, "0x20000");
        QTest::newRow("double quote") << text("\"") << combination(58, 39, "0x20000");
        QTest::newRow("accented letter is pasted") << text("é") << QStringList{"paste é"};
        QTest::newRow("decomposed accent is one character")
            << text("e\u0301") << QStringList{"paste e\u0301"};
        QTest::newRow("emoji is pasted") << text("👍🏽") << QStringList{"paste 👍🏽"};
        QTest::newRow("words are typed") << text("hello world") << QStringList{"type hello world"};
        QTest::newRow("quotes and backslashes reach the typist unchanged")
            << text("say \"hi\" \\o/") << QStringList{"type say \"hi\" \\o/"};
        QTest::newRow("shortcut name as text") << text("copy") << combination(55, 8, "0x100000");
        QTest::newRow("system command as text")
            << text("system_sleep") << QStringList{"power sleep"};
        QTest::newRow("browser home as text") << text("browser_go_home") << chord(4, "0x140000");
        QTest::newRow("key name as text is typed") << text("enter") << QStringList{"type enter"};
        QTest::newRow("media name as text does nothing") << text("media_next") << QStringList{};
        QTest::newRow("empty text") << text("") << QStringList{"type "};
    }

    void requests()
    {
        QFETCH(QString, request);
        QFETCH(QStringList, calls);
        handle(request);
        QCOMPARE(desktop.calls, calls);
        const bool unknown = capture.lines().contains(QStringLiteral("Unknown Keyboard event"));
        QCOMPARE(unknown, calls.isEmpty() && !request.contains(QLatin1String("textinput")));
    }

    void logLines()
    {
        // Typed text, a password perhaps, shows by its length only; a key name in full.
        handle(text("A"));
        handle(text("Hi"));
        handle(QStringLiteral("/keyboard?key=copy"));
        QCOMPARE(
            capture.lines(),
            (QStringList{"[key=textinput, value=<1 character>]", "textinput",
                         "textinput: 1 character", "[key=textinput, value=<2 characters>]",
                         "textinput", "textinput: 2 characters", "[key=copy]", "[55, 8]", "copy"}));
    }

    void typingErrorsAreLogged()
    {
        desktop.textError = QStringLiteral("no typist");
        handle(text("é"));
        handle(text("ab"));
        QCOMPARE(capture.lines().count(QStringLiteral("no typist")), 2);
    }
};

QTEST_GUILESS_MAIN(TestKeyboardControls)
#include "tst_keyboardcontrols.moc"

// Typing on keyboard layouts other than US against a real X server: a private Xvfb whose layout
// setxkbmap switches, and an independent client that reports the keysym of every key pressed.

#include "x11session.h"

#include <QCoreApplication>
#include <QTest>

using namespace zc;
using namespace zc::test;

namespace {

QString setxkbmapExecutable()
{
    return QStandardPaths::findExecutable(QStringLiteral("setxkbmap"));
}

QStringList keysymNames(const char *names)
{
    return QString::fromLatin1(names).split(u' ');
}

// Once Escape arrives, everything sent before it has too.
const QString marker = QStringLiteral("Escape");

} // namespace

class TestX11Layouts : public QObject
{
    Q_OBJECT

    X11Session x11;
    XvfbServer &xvfb = x11.xvfb;
    X11ObserverProcess &observer = x11.observer;

    bool switchLayout(const QString &layout)
    {
        QProcess setxkbmap;
        setxkbmap.setProcessChannelMode(QProcess::ForwardedChannels);
        setxkbmap.start(setxkbmapExecutable(),
                        {QStringLiteral("-display"), xvfb.display(), layout});
        return setxkbmap.waitForFinished(20000) && setxkbmap.exitStatus() == QProcess::NormalExit &&
               setxkbmap.exitCode() == 0;
    }

    void send(const QStringList &requests) { x11.send(requests); }

    // The keysym names of the keys pressed, as the observer's keymap gives them, without the
    // Shift presses that select a key's second level.
    QStringList pressedKeysyms() const
    {
        QStringList names;
        for (const QString &line : observer.lines()) {
            const QStringList fields = line.split(u' ');
            if (fields[0] == u"key" && fields[1] == u"press" && !fields[3].startsWith(u"Shift_"))
                names.append(fields[3]);
        }
        return names;
    }

private slots:
    void initTestCase()
    {
        if (XvfbServer::executable().isEmpty())
            QSKIP("Xvfb is not installed (Debian package xvfb)");
        if (setxkbmapExecutable().isEmpty())
            QSKIP("setxkbmap is not installed (Debian package x11-xkb-utils)");
        const QString failure = x11.start();
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }

    void cleanupTestCase() { x11.stop(); }

    void init() { observer.clear(); }

    // Each character's keysym is the layout's own (a legacy keysym such as Cyrillic_ES), not a
    // Unicode keysym bound to a spare key code, which the observer names "Unicode".
    void textIsTypedThroughTheLayoutsKeys_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("keysyms");

        QTest::newRow("Russian") << QStringLiteral("ru") << QStringLiteral("Съешь ещё, Ёжик!")
                                 << keysymNames("Cyrillic_ES Cyrillic_hardsign Cyrillic_ie "
                                                "Cyrillic_sha Cyrillic_softsign space "
                                                "Cyrillic_ie Cyrillic_shcha Cyrillic_io comma "
                                                "space Cyrillic_IO Cyrillic_zhe Cyrillic_i "
                                                "Cyrillic_ka exclam");
        QTest::newRow("Greek") << QStringLiteral("gr") << QStringLiteral("Γεια σας, ΚΟΣΜΕ!")
                               << keysymNames("Greek_GAMMA Greek_epsilon Greek_iota Greek_alpha "
                                              "space Greek_sigma Greek_alpha "
                                              "Greek_finalsmallsigma comma space Greek_KAPPA "
                                              "Greek_OMICRON Greek_SIGMA Greek_MU Greek_EPSILON "
                                              "exclam");
    }

    void textIsTypedThroughTheLayoutsKeys()
    {
        QFETCH(QString, layout);
        QFETCH(QString, text);
        QFETCH(QStringList, keysyms);
        QVERIFY(switchLayout(layout));
        send({X11Session::typing(text), QStringLiteral("/keyboard?key=esc")});
        QTRY_VERIFY(pressedKeysyms().endsWith(marker));
        QCOMPARE(pressedKeysyms(), keysyms + QStringList{marker});
    }

    // The phone sends a lone character as a key of the US keyboard; it must arrive as itself
    // where the layout puts another character on that key.
    void singleCharactersArriveAsThemselves_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("characters");
        QTest::addColumn<QStringList>("keysyms");

        QTest::newRow("German") << QStringLiteral("de") << QStringLiteral("yzZ@/1")
                                << keysymNames("y z Z at slash 1");
        QTest::newRow("French") << QStringLiteral("fr") << QStringLiteral("aqW1&")
                                << keysymNames("a q W 1 ampersand");
    }

    void singleCharactersArriveAsThemselves()
    {
        QFETCH(QString, layout);
        QFETCH(QString, characters);
        QFETCH(QStringList, keysyms);
        QVERIFY(switchLayout(layout));
        QStringList requests;
        for (const QChar character : characters)
            requests.append(X11Session::typing(character));
        send(requests + QStringList{QStringLiteral("/keyboard?key=esc")});
        QTRY_VERIFY(pressedKeysyms().endsWith(marker));
        QCOMPARE(pressedKeysyms(), keysyms + QStringList{marker});
    }
};

QTEST_GUILESS_MAIN(TestX11Layouts)
#include "tst_x11layouts.moc"

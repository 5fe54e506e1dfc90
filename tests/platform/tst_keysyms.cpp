// Keysyms and characters: the legacy keysyms of the non-Latin-1 layouts, Latin-1 and Unicode
// keysyms, and the keysyms that type no character.

#include "linux/keysyms.h"

#include <QTest>

using namespace zc;

class TestKeysyms : public QObject
{
    Q_OBJECT

private slots:
    // Absent characters are 0.
    void characterForKeysym_data()
    {
        QTest::addColumn<uint>("keysym");
        QTest::addColumn<uint>("character");

        QTest::newRow("Cyrillic_a") << 0x6c1u << 0x430u;
        QTest::newRow("Cyrillic_IO") << 0x6b3u << 0x401u;
        QTest::newRow("Cyrillic_dzhe, also named Serbian_dze") << 0x6afu << 0x45fu;
        QTest::newRow("Ukrainian_ghe_with_upturn") << 0x6adu << 0x491u;
        QTest::newRow("Greek_alpha") << 0x7e1u << 0x3b1u;
        QTest::newRow("Greek_finalsmallsigma") << 0x7f3u << 0x3c2u;
        QTest::newRow("Greek_alphaaccent") << 0x7b1u << 0x3acu;
        QTest::newRow("Latin-2 Aogonek") << 0x1a1u << 0x104u;
        QTest::newRow("Latin-3 Hstroke") << 0x2a1u << 0x126u;
        QTest::newRow("Latin-4 kra") << 0x3a2u << 0x138u;
        QTest::newRow("Latin-9 OE") << 0x13bcu << 0x152u;
        QTest::newRow("hebrew_aleph") << 0xce0u << 0x5d0u;
        QTest::newRow("Arabic_alef") << 0x5c7u << 0x627u;
        QTest::newRow("Thai_kokai") << 0xda1u << 0xe01u;
        QTest::newRow("kana_A") << 0x4b1u << 0x30a2u;
        QTest::newRow("kana_conjunctive, also named kana_middledot") << 0x4a5u << 0x30fbu;
        QTest::newRow("Hangul_Kiyeog") << 0xea1u << 0x3131u;
        QTest::newRow("Hangul_J_YeorinHieuh, the last of the table") << 0xefau << 0x11f9u;
        QTest::newRow("leftarrow") << 0x8fbu << 0x2190u;
        QTest::newRow("emdash") << 0xaa9u << 0x2014u;
        QTest::newRow("EuroSign") << 0x20acu << 0x20acu;

        // Keysyms whose character keysymdef.h gives only as an approximation.
        QTest::newRow("topleftradical, approximately a box corner") << 0x8a2u << 0u;
        QTest::newRow("decimalpoint, approximately a full stop") << 0xabdu << 0u;
        QTest::newRow("Korean_Won, approximately the won sign") << 0xeffu << 0u;
        QTest::newRow("hexagram, no character") << 0xadau << 0u;
        QTest::newRow("between Cyrillic keysyms, none") << 0x6a0u << 0u;

        QTest::newRow("Latin-1 A") << 0x41u << 0x41u;
        QTest::newRow("Latin-1 eacute") << 0xe9u << 0xe9u;
        QTest::newRow("Latin-1 no-break space") << 0xa0u << 0xa0u;
        QTest::newRow("Latin-1 control") << 0x85u << 0u;
        QTest::newRow("Unicode Cyrillic a") << 0x1000430u << 0x430u;
        QTest::newRow("Unicode Armenian_ayb") << 0x1000561u << 0x561u;
        QTest::newRow("Unicode Georgian_an") << 0x10010d0u << 0x10d0u;
        QTest::newRow("Unicode emoji") << 0x101f600u << 0x1f600u;
        QTest::newRow("Unicode control") << 0x1000085u << 0u;
        QTest::newRow("Unicode surrogate") << 0x100d800u << 0u;
        QTest::newRow("beyond Unicode") << 0x1110000u << 0u;

        QTest::newRow("NoSymbol") << 0u << 0u;
        QTest::newRow("Return") << 0xff0du << 0u;
        QTest::newRow("BackSpace") << 0xff08u << 0u;
        QTest::newRow("KP_Equal") << 0xffbdu << 0u;
        QTest::newRow("dead_acute") << 0xfe51u << 0u;
    }

    void characterForKeysym()
    {
        QFETCH(uint, keysym);
        QFETCH(uint, character);
        QCOMPARE(zc::characterForKeysym(keysym),
                 character ? std::optional<char32_t>(char32_t(character)) : std::nullopt);
    }

    // Characters off Latin-1 are bound by their Unicode keysym, whatever legacy keysym they have.
    void keysymForCharacter_data()
    {
        QTest::addColumn<uint>("character");
        QTest::addColumn<uint>("keysym");
        QTest::newRow("A") << 0x41u << 0x41u;
        QTest::newRow("eacute") << 0xe9u << 0xe9u;
        QTest::newRow("Cyrillic a") << 0x430u << 0x1000430u;
        QTest::newRow("Greek alpha") << 0x3b1u << 0x10003b1u;
        QTest::newRow("euro sign") << 0x20acu << 0x10020acu;
        QTest::newRow("emoji") << 0x1f600u << 0x101f600u;
    }

    void keysymForCharacter()
    {
        QFETCH(uint, character);
        QFETCH(uint, keysym);
        QCOMPARE(zc::keysymForCharacter(char32_t(character)), Keysym(keysym));
    }

    // The lookup is a binary search: the table must be sorted, each keysym once, and hold only
    // the keysyms that are not computed from the code point.
    void tableIsSortedAndLegacyOnly()
    {
        const std::span<const LegacyKeysym> table = legacyKeysyms();
        QVERIFY(!table.empty());
        for (std::size_t i = 1; i < table.size(); ++i)
            QVERIFY2(table[i - 1].keysym < table[i].keysym, qPrintable(QString::number(i)));
        for (const LegacyKeysym &entry : table) {
            const QString keysym = QString::number(entry.keysym, 16);
            QVERIFY2(entry.keysym > 0xff && entry.keysym < 0xfe00, qPrintable(keysym));
            QVERIFY2(zc::characterForKeysym(entry.keysym) == entry.character, qPrintable(keysym));
            // Every character so found can be bound to a spare key code too.
            QVERIFY2(zc::characterForKeysym(zc::keysymForCharacter(entry.character)) ==
                         entry.character,
                     qPrintable(keysym));
        }
    }
};

QTEST_GUILESS_MAIN(TestKeysyms)
#include "tst_keysyms.moc"

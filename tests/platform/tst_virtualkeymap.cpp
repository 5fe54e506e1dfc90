// The keymap of the wlroots route's virtual keyboard, compiled back with libxkbcommon as a
// compositor and its clients compile it.

#include "linux/virtualkeymap.h"

#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon.h>

#include <QTest>

using namespace zc;

namespace {

// What the key types without modifiers in the keymap's text form.
char32_t typedBy(const QByteArray &text, EvdevKey key)
{
    xkb_context *context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    xkb_keymap *keymap = xkb_keymap_new_from_string(
        context, text.constData(), XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
    char32_t character = 0;
    if (keymap) {
        xkb_state *state = xkb_state_new(keymap);
        character = xkb_state_key_get_utf32(state, key + 8u);
        xkb_state_unref(state);
        xkb_keymap_unref(keymap);
    }
    xkb_context_unref(context);
    return character;
}

} // namespace

class TestVirtualKeymap : public QObject
{
    Q_OBJECT

private slots:
    void places_data()
    {
        QTest::addColumn<uint>("character");
        QTest::addColumn<int>("layoutKey");
        QTest::addColumn<bool>("shifted");
        QTest::newRow("letter") << uint(U'a') << int(KEY_A) << false;
        QTest::newRow("capital") << uint(U'A') << int(KEY_A) << true;
        // The keypad's parenthesis key is spare: the character stays on the main block.
        QTest::newRow("parenthesis") << uint(U'(') << int(KEY_9) << true;
        QTest::newRow("Latin-1 off the layout") << uint(U'é') << -1 << false;
        QTest::newRow("legacy keysym") << uint(U'Ж') << -1 << false;
        QTest::newRow("emoji") << uint(U'😀') << -1 << false;
    }
    void places()
    {
        QFETCH(uint, character);
        QFETCH(int, layoutKey);
        QFETCH(bool, shifted);
        QString failure;
        const std::unique_ptr<VirtualKeymap> keymap = VirtualKeymap::create(failure);
        QVERIFY2(keymap, qPrintable(failure));
        QVERIFY(keymap->spareKeys() >= 40);
        const char32_t wanted = char32_t(character);
        QCOMPARE(keymap->find(wanted).has_value(), layoutKey >= 0);
        QVERIFY(keymap->bind(std::span(&wanted, 1), {}));
        const std::optional<VirtualKeymap::Place> place = keymap->find(wanted);
        QVERIFY(place);
        if (layoutKey >= 0)
            QCOMPARE(place->key, EvdevKey(layoutKey));
        QCOMPARE(place->shifted, shifted);
        if (!shifted)
            QCOMPARE(typedBy(keymap->text(), place->key), wanted);
    }

    // With every spare key bound, the next character takes the one typed longest ago, unless
    // the run being typed needs it.
    void rebindsTheLongestUnused()
    {
        QString failure;
        const std::unique_ptr<VirtualKeymap> keymap = VirtualKeymap::create(failure);
        QVERIFY(keymap);
        std::vector<char32_t> characters;
        for (std::size_t i = 0; i < keymap->spareKeys(); ++i)
            characters.push_back(char32_t(0x4E00 + i));
        QVERIFY(keymap->bind(characters, {}));
        const EvdevKey oldest = keymap->find(characters[0])->key;
        const EvdevKey second = keymap->find(characters[1])->key;
        const char32_t next = U'😀';
        QVERIFY(keymap->bind(std::span(&next, 1), {oldest}));
        QVERIFY(keymap->find(characters[0]));
        QVERIFY(!keymap->find(characters[1]));
        QCOMPARE(keymap->find(next)->key, second);
        QCOMPARE(typedBy(keymap->text(), second), next);
    }

    void modifiers()
    {
        QString failure;
        const std::unique_ptr<VirtualKeymap> keymap = VirtualKeymap::create(failure);
        QVERIFY(keymap);
        QVERIFY(keymap->updateKey(KEY_LEFTCTRL, true));
        QVERIFY(!keymap->updateKey(KEY_C, true));
        QCOMPARE(keymap->modifiers().depressed, 1u << 2); // Control is the third core modifier
        QVERIFY(keymap->updateKey(KEY_LEFTCTRL, false));
        QCOMPARE(keymap->modifiers(), VirtualKeymap::Modifiers{});
    }
};

QTEST_GUILESS_MAIN(TestVirtualKeymap)
#include "tst_virtualkeymap.moc"

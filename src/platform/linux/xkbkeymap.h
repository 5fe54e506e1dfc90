#pragma once

#include "evdevkeys.h"
#include "keysyms.h"

#include <QByteArrayView>
#include <QString>

#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

struct xkb_keymap;

namespace zc {

// A key and the modifier keys to hold while it is pressed.
struct KeyStroke
{
    EvdevKey key = 0;
    // KEY_LEFTSHIFT for the Shift level, KEY_RIGHTALT for the third level (AltGr), both for the
    // fourth.
    std::vector<EvdevKey> modifiers;
    friend bool operator==(const KeyStroke &, const KeyStroke &) = default;
};

// A keyboard layout as libxkbcommon compiles it, asked which key types a keysym. Only the first
// layout of the keymap counts (a keymap with several is switched by the user, not by us), and
// only levels reached with Shift and AltGr: a level that needs Caps Lock or Control would type
// something else once those are in another state.
class XkbKeymap
{
public:
    // The names of the system's keyboard configuration (XKBMODEL, XKBLAYOUT, ...).
    struct Names
    {
        QString rules;
        QString model;
        QString layout;
        QString variant;
        QString options;
    };

    // From the text form a Wayland compositor hands its clients.
    static std::unique_ptr<XkbKeymap> fromText(QByteArrayView text, QString &failure);
    static std::unique_ptr<XkbKeymap> fromNames(const Names &names, QString &failure);

    // The stroke that types the keysym with the fewest modifiers, if the layout has one.
    std::optional<KeyStroke> strokeFor(Keysym keysym) const;
    bool has(Keysym keysym) const { return m_strokes.contains(keysym); }
    // Whether any layout of the keymap has a key for it, at any level. A desktop that switches
    // layouts by group (GNOME and KDE put all of the user's into one keymap) types with the one
    // in effect, which its clients are not told unless they have the focus.
    bool hasInAnyLayout(Keysym keysym) const { return m_anyLayout.contains(keysym); }
    enum class Layouts
    {
        First,
        Any,
    };
    // The keysym by which the layout types the character, if it has one: layouts name many
    // characters by their legacy keysyms (Cyrillic_zhe), some by Unicode keysyms.
    std::optional<Keysym> keysymFor(char32_t character, Layouts layouts = Layouts::First) const;
    // The keysym a layout would most likely name the character by.
    static Keysym likelyKeysym(char32_t character);
    // The name of the first layout, for the log.
    const QString &layoutName() const { return m_layoutName; }

private:
    XkbKeymap() = default;
    static std::unique_ptr<XkbKeymap> fromKeymap(xkb_keymap *keymap, QString &failure);

    std::unordered_map<Keysym, KeyStroke> m_strokes;
    std::unordered_set<Keysym> m_anyLayout;
    QString m_layoutName;
};

} // namespace zc

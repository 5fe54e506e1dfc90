#pragma once

#include "evdevkeys.h"
#include "keysyms.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <vector>

struct xkb_keymap;
struct xkb_state;

namespace zc {

class XkbKeymap;

// The keymap of a virtual keyboard of this program's own: the US layout, whose keys the
// translator presses, and spare keys (key codes the layout leaves without symbols) bound to the
// characters a text needs. It also keeps the modifier state the keyboard's keys make, which the
// compositor is told along with the keys.
class VirtualKeymap
{
public:
    struct Place
    {
        EvdevKey key;
        bool shifted;
    };
    struct Modifiers
    {
        std::uint32_t depressed = 0;
        std::uint32_t latched = 0;
        std::uint32_t locked = 0;
        std::uint32_t group = 0;
        friend bool operator==(const Modifiers &, const Modifiers &) = default;
    };

    static std::unique_ptr<VirtualKeymap> create(QString &failure);
    ~VirtualKeymap();
    VirtualKeymap(const VirtualKeymap &) = delete;
    VirtualKeymap &operator=(const VirtualKeymap &) = delete;

    // Where the character is typed now: on a key of the layout, plain or with Shift, or on a
    // spare key bound to it.
    std::optional<Place> find(char32_t character) const;
    std::size_t spareKeys() const { return m_spare.size(); }
    // Binds each character that has no place yet to a spare key: a free one, else the one used
    // longest ago among those not in `keep`. False, with nothing bound, when there are too few.
    bool bind(std::span<const char32_t> characters, const std::set<EvdevKey> &keep);
    // Marks the spare key of a character as just used.
    void used(EvdevKey key);
    // The keymap in the text form of XKB, bindings included, ending in a NUL.
    QByteArray text() const;

    // Presses or releases a key in the modifier state; true when the modifiers changed.
    bool updateKey(EvdevKey key, bool down);
    Modifiers modifiers() const;

private:
    VirtualKeymap() = default;

    std::unique_ptr<XkbKeymap> m_layout;
    xkb_keymap *m_keymap = nullptr;
    xkb_state *m_state = nullptr;
    QByteArray m_baseText;
    // Spare keys, with the name the key codes section gives them or one of our own.
    std::map<EvdevKey, QByteArray> m_spare;
    struct Binding
    {
        char32_t character;
        std::uint64_t lastUsed;
    };
    std::map<EvdevKey, Binding> m_bound;
    std::map<char32_t, EvdevKey> m_places;
    std::uint64_t m_uses = 0;
};

} // namespace zc

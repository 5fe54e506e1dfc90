#include "virtualkeymap.h"

#include "xkbkeymap.h"

#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cstdlib>

namespace zc {

namespace {

constexpr xkb_keycode_t evdevOffset = 8;
// X clients (through Xwayland) know key codes up to 255 only.
constexpr xkb_keycode_t lastKeycode = 255;

QByteArray spareName(EvdevKey key)
{
    // Four characters at most, as Xwayland's keymap compiler wants.
    return "Z" + QByteArray::number(key);
}

} // namespace

std::unique_ptr<VirtualKeymap> VirtualKeymap::create(QString &failure)
{
    auto result = std::unique_ptr<VirtualKeymap>(new VirtualKeymap);
    xkb_context *context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    if (!context) {
        failure = QStringLiteral("libxkbcommon could not start");
        return nullptr;
    }
    // Fixed names, whatever the user's layout: this keyboard's keys are positions of the US
    // keyboard, as the phone's key codes are, and text goes through the spare keys.
    const xkb_rule_names names{"evdev", "pc105", "us", "", ""};
    result->m_keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    xkb_context_unref(context);
    if (!result->m_keymap) {
        failure = QStringLiteral("the US keyboard layout could not be compiled (xkb-data)");
        return nullptr;
    }
    char *text = xkb_keymap_get_as_string(result->m_keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
    result->m_baseText = text;
    std::free(text);
    result->m_state = xkb_state_new(result->m_keymap);
    // Spare are the keys that nothing here presses as a key: neither a key of the phone's
    // keyboard or a media key, nor a modifier, whose key code would change the modifiers.
    std::set<EvdevKey> pressed{KEY_LEFTSHIFT, KEY_RIGHTSHIFT, KEY_LEFTCTRL, KEY_RIGHTCTRL,
                               KEY_LEFTALT,   KEY_RIGHTALT,   KEY_LEFTMETA, KEY_RIGHTMETA,
                               KEY_ENTER,     KEY_TAB,        KEY_SPACE};
    for (std::uint16_t code = 0; code < 256; ++code) {
        if (const std::optional<EvdevKey> key = evdevKeyForVirtualKey(code))
            pressed.insert(*key);
        if (const std::optional<EvdevKey> key = evdevKeyForMediaKey(code))
            pressed.insert(*key);
    }
    for (qsizetype at = 0; (at = result->m_baseText.indexOf("\tmodifier_map ", at)) >= 0;) {
        const qsizetype end = result->m_baseText.indexOf('\n', at);
        for (qsizetype name = result->m_baseText.indexOf('<', at); name >= 0 && name < end;
             name = result->m_baseText.indexOf('<', name + 1)) {
            const qsizetype close = result->m_baseText.indexOf('>', name);
            const QByteArray keyName = result->m_baseText.mid(name + 1, close - name - 1);
            const xkb_keycode_t keycode = xkb_keymap_key_by_name(result->m_keymap, keyName);
            if (keycode >= evdevOffset)
                pressed.insert(EvdevKey(keycode - evdevOffset));
        }
        at = end;
    }
    QByteArray stripped = result->m_baseText;
    for (xkb_keycode_t keycode = evdevOffset + 1; keycode <= lastKeycode; ++keycode) {
        const EvdevKey key = EvdevKey(keycode - evdevOffset);
        if (pressed.contains(key))
            continue;
        const char *name = xkb_keymap_key_get_name(result->m_keymap, keycode);
        result->m_spare.emplace(key, name ? QByteArray(name) : spareName(key));
        if (!name)
            continue;
        // Its symbols go: a spare key types only what it is bound to, and the layout's other
        // characters (a keypad parenthesis) are typed on the keys the phone knows.
        const QByteArray definition = "\tkey <" + QByteArray(name) + '>';
        for (qsizetype at = 0; (at = stripped.indexOf(definition, at)) >= 0;) {
            const char next = stripped.at(at + definition.size());
            const qsizetype end = stripped.indexOf("};\n", at);
            if ((next == ' ' || next == '{') && end > 0) {
                stripped.remove(at, end + 3 - at);
                break;
            }
            at += definition.size();
        }
    }
    result->m_baseText = std::move(stripped);
    result->m_layout = XkbKeymap::fromText(result->m_baseText, failure);
    if (!result->m_layout)
        return nullptr;
    return result;
}

VirtualKeymap::~VirtualKeymap()
{
    xkb_state_unref(m_state);
    xkb_keymap_unref(m_keymap);
}

std::optional<VirtualKeymap::Place> VirtualKeymap::find(char32_t character) const
{
    if (const auto bound = m_places.find(character); bound != m_places.end())
        return Place{bound->second, false};
    const std::optional<Keysym> keysym = m_layout->keysymFor(character);
    if (!keysym)
        return std::nullopt;
    const std::optional<KeyStroke> stroke = m_layout->strokeFor(*keysym);
    if (!stroke || stroke->modifiers.size() > 1 ||
        (stroke->modifiers.size() == 1 && stroke->modifiers.front() != KEY_LEFTSHIFT))
        return std::nullopt;
    return Place{stroke->key, !stroke->modifiers.empty()};
}

bool VirtualKeymap::bind(std::span<const char32_t> characters, const std::set<EvdevKey> &keep)
{
    std::vector<char32_t> unplaced;
    for (const char32_t character : characters) {
        if (!find(character) &&
            std::find(unplaced.begin(), unplaced.end(), character) == unplaced.end())
            unplaced.push_back(character);
    }
    std::vector<EvdevKey> free;
    for (const auto &[key, name] : m_spare) {
        if (!m_bound.contains(key))
            free.push_back(key);
    }
    std::vector<std::pair<std::uint64_t, EvdevKey>> evictable;
    for (const auto &[key, binding] : m_bound) {
        if (!keep.contains(key))
            evictable.emplace_back(binding.lastUsed, key);
    }
    if (unplaced.size() > free.size() + evictable.size())
        return false;
    std::sort(evictable.begin(), evictable.end());
    auto nextEvicted = evictable.begin();
    for (const char32_t character : unplaced) {
        EvdevKey key;
        if (!free.empty()) {
            key = free.back();
            free.pop_back();
        } else {
            key = (nextEvicted++)->second;
            m_places.erase(m_bound.at(key).character);
        }
        m_bound[key] = {character, ++m_uses};
        m_places[character] = key;
    }
    return true;
}

void VirtualKeymap::used(EvdevKey key)
{
    if (const auto bound = m_bound.find(key); bound != m_bound.end())
        bound->second.lastUsed = ++m_uses;
}

QByteArray VirtualKeymap::text() const
{
    QByteArray keycodes;
    QByteArray symbols;
    for (const auto &[key, binding] : m_bound) {
        const QByteArray &name = m_spare.at(key);
        if (name == spareName(key))
            keycodes += "\t<" + name + "> = " + QByteArray::number(key + evdevOffset) + ";\n";
        char keysymName[64];
        xkb_keysym_get_name(XkbKeymap::likelyKeysym(binding.character), keysymName,
                            sizeof keysymName);
        symbols += "\tkey <" + name + "> { [ " + keysymName + " ] };\n";
    }
    QByteArray text = m_baseText;
    // The text xkbcommon writes has one line each to insert after; statements may come in any
    // order within a section.
    const auto insertAfterLine = [&text](QByteArrayView start, const QByteArray &lines) {
        const qsizetype at = text.indexOf(start);
        const qsizetype end = at < 0 ? -1 : text.indexOf('\n', at);
        if (end >= 0)
            text.insert(end + 1, lines);
    };
    insertAfterLine("\tmaximum = ", keycodes);
    insertAfterLine("xkb_symbols ", symbols);
    text.append('\0');
    return text;
}

bool VirtualKeymap::updateKey(EvdevKey key, bool down)
{
    const Modifiers before = modifiers();
    xkb_state_update_key(m_state, key + evdevOffset, down ? XKB_KEY_DOWN : XKB_KEY_UP);
    return modifiers() != before;
}

VirtualKeymap::Modifiers VirtualKeymap::modifiers() const
{
    return {xkb_state_serialize_mods(m_state, XKB_STATE_MODS_DEPRESSED),
            xkb_state_serialize_mods(m_state, XKB_STATE_MODS_LATCHED),
            xkb_state_serialize_mods(m_state, XKB_STATE_MODS_LOCKED),
            xkb_state_serialize_layout(m_state, XKB_STATE_LAYOUT_EFFECTIVE)};
}

} // namespace zc

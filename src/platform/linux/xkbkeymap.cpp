#include "xkbkeymap.h"

#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon.h>

#include <QByteArray>

namespace zc {

namespace {

// X key codes are evdev codes plus 8 in every keymap made for evdev devices.
constexpr xkb_keycode_t evdevOffset = 8;

struct ContextDeleter
{
    void operator()(xkb_context *context) const { xkb_context_unref(context); }
};
struct KeymapDeleter
{
    void operator()(xkb_keymap *keymap) const { xkb_keymap_unref(keymap); }
};
using Context = std::unique_ptr<xkb_context, ContextDeleter>;
using Keymap = std::unique_ptr<xkb_keymap, KeymapDeleter>;

Context newContext(QString &failure)
{
    // No environment: XKB_DEFAULT_LAYOUT and friends of the program's own environment must not
    // change what the desktop's layout is taken to be.
    Context context(xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES));
    if (!context)
        failure = QStringLiteral("libxkbcommon could not start");
    return context;
}

} // namespace

std::unique_ptr<XkbKeymap> XkbKeymap::fromText(QByteArrayView text, QString &failure)
{
    const Context context = newContext(failure);
    if (!context)
        return nullptr;
    // The compositor's text may or may not end in a NUL; xkbcommon wants the length without it.
    qsizetype length = text.size();
    while (length > 0 && text.at(length - 1) == '\0')
        --length;
    Keymap keymap(xkb_keymap_new_from_buffer(context.get(), text.data(), size_t(length),
                                             XKB_KEYMAP_FORMAT_TEXT_V1,
                                             XKB_KEYMAP_COMPILE_NO_FLAGS));
    if (!keymap) {
        failure = QStringLiteral("the desktop's keymap could not be read");
        return nullptr;
    }
    return fromKeymap(keymap.get(), failure);
}

std::unique_ptr<XkbKeymap> XkbKeymap::fromNames(const Names &names, QString &failure)
{
    const Context context = newContext(failure);
    if (!context)
        return nullptr;
    const QByteArray rules = names.rules.toUtf8();
    const QByteArray model = names.model.toUtf8();
    const QByteArray layout = names.layout.toUtf8();
    const QByteArray variant = names.variant.toUtf8();
    const QByteArray options = names.options.toUtf8();
    const auto orNull = [](const QByteArray &name) {
        return name.isEmpty() ? nullptr : name.constData();
    };
    const xkb_rule_names ruleNames{orNull(rules), orNull(model), orNull(layout), orNull(variant),
                                   orNull(options)};
    Keymap keymap(
        xkb_keymap_new_from_names(context.get(), &ruleNames, XKB_KEYMAP_COMPILE_NO_FLAGS));
    if (!keymap) {
        failure = QStringLiteral("no keyboard layout \"%1\" (variant \"%2\") could be compiled")
                      .arg(names.layout, names.variant);
        return nullptr;
    }
    return fromKeymap(keymap.get(), failure);
}

std::unique_ptr<XkbKeymap> XkbKeymap::fromKeymap(xkb_keymap *keymap, QString &failure)
{
    const xkb_mod_index_t shift = xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_SHIFT);
    // AltGr sets the virtual modifier LevelThree, which the layouts map to Mod5.
    const xkb_mod_index_t levelThree = xkb_keymap_mod_get_index(keymap, "Mod5");
    const auto modifiersOf = [&](xkb_mod_mask_t mask) -> std::optional<std::vector<EvdevKey>> {
        std::vector<EvdevKey> keys;
        if (shift != XKB_MOD_INVALID && (mask & (1u << shift))) {
            keys.push_back(KEY_LEFTSHIFT);
            mask &= ~(1u << shift);
        }
        if (levelThree != XKB_MOD_INVALID && (mask & (1u << levelThree))) {
            keys.push_back(KEY_RIGHTALT);
            mask &= ~(1u << levelThree);
        }
        if (mask != 0)
            return std::nullopt;
        return keys;
    };

    auto result = std::unique_ptr<XkbKeymap>(new XkbKeymap);
    if (xkb_keymap_num_layouts(keymap) > 0)
        result->m_layoutName = QString::fromUtf8(xkb_keymap_layout_get_name(keymap, 0));
    const xkb_keycode_t first = xkb_keymap_min_keycode(keymap);
    const xkb_keycode_t last = xkb_keymap_max_keycode(keymap);
    for (xkb_keycode_t keycode = std::max(first, evdevOffset); keycode <= last; ++keycode) {
        const xkb_layout_index_t layouts = xkb_keymap_num_layouts_for_key(keymap, keycode);
        for (xkb_layout_index_t layout = 0; layout < layouts; ++layout) {
            const xkb_level_index_t count = xkb_keymap_num_levels_for_key(keymap, keycode, layout);
            for (xkb_level_index_t level = 0; level < count; ++level) {
                const xkb_keysym_t *symbols = nullptr;
                if (xkb_keymap_key_get_syms_by_level(keymap, keycode, layout, level, &symbols) == 1)
                    result->m_anyLayout.insert(symbols[0]);
            }
        }
        const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap, keycode, 0);
        for (xkb_level_index_t level = 0; level < levels; ++level) {
            const xkb_keysym_t *symbols = nullptr;
            const int count = xkb_keymap_key_get_syms_by_level(keymap, keycode, 0, level, &symbols);
            if (count != 1)
                continue;
            xkb_mod_mask_t masks[8];
            const size_t maskCount =
                xkb_keymap_key_get_mods_for_level(keymap, keycode, 0, level, masks, 8);
            std::optional<std::vector<EvdevKey>> best;
            for (size_t i = 0; i < maskCount; ++i) {
                std::optional<std::vector<EvdevKey>> modifiers = modifiersOf(masks[i]);
                if (modifiers && (!best || modifiers->size() < best->size()))
                    best = std::move(modifiers);
            }
            if (!best)
                continue;
            KeyStroke stroke{EvdevKey(keycode - evdevOffset), std::move(*best)};
            const auto [known, inserted] = result->m_strokes.try_emplace(symbols[0], stroke);
            if (!inserted && stroke.modifiers.size() < known->second.modifiers.size())
                known->second = std::move(stroke);
        }
    }
    if (result->m_strokes.empty()) {
        failure = QStringLiteral("the keymap has no key that types a character");
        return nullptr;
    }
    return result;
}

std::optional<KeyStroke> XkbKeymap::strokeFor(Keysym keysym) const
{
    const auto stroke = m_strokes.find(keysym);
    if (stroke == m_strokes.end())
        return std::nullopt;
    return stroke->second;
}

} // namespace zc

namespace zc {

Keysym XkbKeymap::likelyKeysym(char32_t character)
{
    const Keysym keysym = xkb_utf32_to_keysym(character);
    return keysym != XKB_KEY_NoSymbol ? keysym : keysymForCharacter(character);
}

std::optional<Keysym> XkbKeymap::keysymFor(char32_t character, Layouts layouts) const
{
    for (const Keysym keysym :
         {Keysym(xkb_utf32_to_keysym(character)), keysymForCharacter(character)}) {
        if (keysym != XKB_KEY_NoSymbol &&
            (layouts == Layouts::First ? has(keysym) : hasInAnyLayout(keysym)))
            return keysym;
    }
    return std::nullopt;
}

} // namespace zc

#include "keysyms.h"

#include <algorithm>

namespace zc {

namespace {

constexpr Keysym unicodeKeysymBase = 0x01000000;

bool isLatin1Printable(char32_t c)
{
    return (c >= 0x20 && c <= 0x7e) || (c >= 0xa0 && c <= 0xff);
}

std::optional<char32_t> characterOfLegacyKeysym(Keysym keysym)
{
    const std::span<const LegacyKeysym> table = legacyKeysyms();
    const auto entry = std::ranges::lower_bound(table, keysym, {}, &LegacyKeysym::keysym);
    if (entry == table.end() || entry->keysym != keysym)
        return std::nullopt;
    return entry->character;
}

} // namespace

Keysym keysymForCharacter(char32_t character)
{
    if (isLatin1Printable(character))
        return Keysym(character);
    return unicodeKeysymBase + Keysym(character);
}

std::optional<char32_t> characterForKeysym(Keysym keysym)
{
    if (isLatin1Printable(keysym))
        return char32_t(keysym);
    if (keysym > unicodeKeysymBase && keysym <= unicodeKeysymBase + 0x10ffff) {
        const char32_t c = keysym - unicodeKeysymBase;
        const bool control = c < 0x20 || (c >= 0x7f && c < 0xa0);
        const bool surrogate = c >= 0xd800 && c <= 0xdfff;
        if (!control && !surrogate)
            return c;
        return std::nullopt;
    }
    return characterOfLegacyKeysym(keysym);
}

} // namespace zc

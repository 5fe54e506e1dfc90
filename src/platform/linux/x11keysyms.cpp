#include "x11keysyms.h"

namespace zc {

namespace {

constexpr Keysym unicodeKeysymBase = 0x01000000;
constexpr Keysym euroSignKeysym = 0x20ac;

bool isLatin1Printable(char32_t c)
{
    return (c >= 0x20 && c <= 0x7e) || (c >= 0xa0 && c <= 0xff);
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
    if (keysym == euroSignKeysym)
        return U'\u20ac';
    if (keysym > unicodeKeysymBase && keysym <= unicodeKeysymBase + 0x10ffff) {
        const char32_t c = keysym - unicodeKeysymBase;
        const bool control = c < 0x20 || (c >= 0x7f && c < 0xa0);
        const bool surrogate = c >= 0xd800 && c <= 0xdfff;
        if (!control && !surrogate)
            return c;
    }
    return std::nullopt;
}

} // namespace zc

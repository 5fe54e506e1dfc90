#pragma once

#include "ixlib.h"

#include <optional>
#include <span>

namespace zc {

// The keysym that stands for a character: its Latin-1 keysym where it has one, else the Unicode
// keysym (0x01000000 plus the code point), which every X client turns back into the character.
Keysym keysymForCharacter(char32_t character);

// The character a keysym types: for Latin-1 and Unicode keysyms and the legacy keysyms of other
// scripts (Cyrillic_a, Greek_alpha, EuroSign). Absent for function keys, dead keys and the
// legacy keysyms that X gives only an approximate character.
std::optional<char32_t> characterForKeysym(Keysym keysym);

struct LegacyKeysym
{
    Keysym keysym;
    char32_t character;
};

// Sorted by keysym, from X11/keysymdef.h by scripts/x11keysymtable.py.
std::span<const LegacyKeysym> legacyKeysyms();

} // namespace zc

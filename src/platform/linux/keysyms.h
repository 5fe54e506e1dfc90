#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace zc {

// A keysym as X and xkbcommon number them; 0 is NoSymbol. Every Linux input route that types by
// character speaks them: XTEST through the key map, the RemoteDesktop portal directly, and the
// Wayland keymaps.
using Keysym = std::uint32_t;

// The keysym that stands for a character: its Latin-1 keysym where it has one, else the Unicode
// keysym (0x01000000 plus the code point), which every X and Wayland client turns back into the
// character.
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

// Sorted by keysym, from X11/keysymdef.h by scripts/keysymtable.py.
std::span<const LegacyKeysym> legacyKeysyms();

} // namespace zc

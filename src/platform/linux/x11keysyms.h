#pragma once

#include "ixlib.h"

#include <optional>

namespace zc {

// The keysym that stands for a character: its Latin-1 keysym where it has one, else the Unicode
// keysym (0x01000000 plus the code point), which every X client turns back into the character.
Keysym keysymForCharacter(char32_t character);

// The character a keysym types: for Latin-1 and Unicode keysyms and the euro sign. Absent for
// function keys, dead keys and the legacy keysyms of other scripts.
std::optional<char32_t> characterForKeysym(Keysym keysym);

} // namespace zc

#!/usr/bin/env python3
"""Writes src/platform/linux/keysymtable.cpp: the legacy X keysyms that stand for exactly one
Unicode character, from the "/* U+XXXX NAME */" comments of X11/keysymdef.h.

    scripts/keysymtable.py [/usr/include/X11/keysymdef.h] > src/platform/linux/keysymtable.cpp
"""

import re
import sys

# Only the exact mappings: approximate ones are written /*(U+...)*/ or /*<U+...>*/.
EXACT = re.compile(r"^#define XK_\w+\s+0x([0-9a-fA-F]+)\s*/\* U\+([0-9A-Fa-f]{4,6}) .*\*/\s*$")
PAIRS_PER_LINE = 5


def computed_elsewhere(keysym):
    """Latin-1 and Unicode keysyms are the code point itself; 0xfe00-0xffff are dead keys,
    XKB controls, function and keypad keys, which type no character of their own."""
    latin1 = 0x20 <= keysym <= 0x7E or 0xA0 <= keysym <= 0xFF
    return latin1 or keysym >= 0x01000000 or 0xFE00 <= keysym <= 0xFFFF


def read_table(lines):
    table = {}
    for line in lines:
        match = EXACT.match(line)
        if not match:
            continue
        keysym, character = int(match[1], 16), int(match[2], 16)
        if computed_elsewhere(keysym):
            continue
        # Aliases repeat a keysym under another name; they must agree on the character.
        if table.setdefault(keysym, character) != character:
            sys.exit(f"keysym {keysym:#x} stands for both U+{table[keysym]:04X} "
                     f"and U+{character:04X}")
    return sorted(table.items())


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "/usr/include/X11/keysymdef.h"
    with open(path, encoding="latin-1") as header:
        table = read_table(header)
    if not table:
        sys.exit(f"no exact keysym mappings in {path}")
    pairs = [f"{{0x{keysym:04x}, 0x{character:04x}}}," for keysym, character in table]
    rows = "\n".join("    " + " ".join(pairs[i:i + PAIRS_PER_LINE])
                     for i in range(0, len(pairs), PAIRS_PER_LINE))
    print(f"""\
// Generated with scripts/keysymtable.py from {path}; do not edit.
#include "keysyms.h"

namespace zc {{

namespace {{

constexpr LegacyKeysym table[] = {{
{rows}
}};

}} // namespace

std::span<const LegacyKeysym> legacyKeysyms()
{{
    return table;
}}

}} // namespace zc""")


if __name__ == "__main__":
    main()

#pragma once

#include <cstdint>
#include <optional>

namespace zc {

// Linux input key codes (KEY_* of <linux/input-event-codes.h>).
using EvdevKey = std::uint16_t;

// The Linux key in the same place on the keyboard as a virtual key code of the phone's ANSI
// numbering. The two numberings overlap (56 is Shift there and KEY_LEFTALT here), so a code must
// never be passed on without this lookup. Absent for codes that name no key.
std::optional<EvdevKey> evdevKeyForVirtualKey(std::uint16_t virtualKey);

// The character a key of the main block stands for on the US keyboard the phone's numbering is
// drawn from, with or without Shift. Absent for keys that type no character (space included).
std::optional<char> usCharacterForVirtualKey(std::uint16_t virtualKey, bool shifted);

// The Linux key for a media key type of the phone's numbering (16 play, 17 next, ...).
std::optional<EvdevKey> evdevKeyForMediaKey(std::int64_t mediaKeyType);

} // namespace zc

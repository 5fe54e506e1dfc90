#pragma once

#include <QList>
#include <QStringView>

#include <cstdint>
#include <optional>

namespace zc {

using KeyCode = std::uint16_t;

// Virtual key codes of an ANSI keyboard, as the phone's vocabulary numbers them.
namespace Key {
inline constexpr KeyCode H = 4;
inline constexpr KeyCode Q = 12;
inline constexpr KeyCode Command = 55;
inline constexpr KeyCode Option = 58;
inline constexpr KeyCode Control = 59;
} // namespace Key

// The key that a key name or a one-character text presses; lower-case letters only.
std::optional<KeyCode> keyCodeForName(QStringView name);

// The two keys of a named shortcut or of a shifted character: Option, then the key carrying it.
// Some names map to an empty list; any other text has none.
std::optional<QList<KeyCode>> keyCodesForCombination(QStringView text);

// One of the 47 characters typed with Shift: "A" to "Z" and ~!@#$%^&*()_+{}|:"<>?
bool isShiftedCharacter(QStringView text);

} // namespace zc

// The browser names a key by its physical place ("KeyA", "ShiftLeft"), not by
// what it types. This table turns those names into the classic virtual key
// codes of the same physical keys and tells which keys are modifiers.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace morvane {

namespace KeyMap {

namespace Flags {
inline constexpr std::uint64_t capsLock = 0x10000;
inline constexpr std::uint64_t shift = 0x20000;
inline constexpr std::uint64_t control = 0x40000;
inline constexpr std::uint64_t option = 0x80000;
inline constexpr std::uint64_t command = 0x100000;
inline constexpr std::uint64_t numericPad = 0x200000;
inline constexpr std::uint64_t secondaryFunction = 0x800000;
}  // namespace Flags

struct Entry {
    std::string_view code;
    std::uint16_t keyCode;
};

// Every known key name, each once.
std::span<const Entry> entries();

// Exact, case-sensitive match.
std::optional<std::uint16_t> keyCode(std::string_view code);
std::optional<std::uint64_t> modifierFlag(std::string_view code);
bool isModifier(std::string_view code);
// Flags the physical keyboard sets by itself on function, navigation and
// keypad keys.
std::uint64_t intrinsicFlags(std::uint16_t keyCode);

}  // namespace KeyMap

}  // namespace morvane

#include "input/key_map.h"

#include <array>
#include <string>
#include <unordered_map>

namespace morvane::KeyMap {

namespace {

constexpr std::array<Entry, 121> table{{
    // Letters
    {"KeyA", 0}, {"KeyS", 1}, {"KeyD", 2}, {"KeyF", 3}, {"KeyH", 4}, {"KeyG", 5}, {"KeyZ", 6},
    {"KeyX", 7}, {"KeyC", 8}, {"KeyV", 9}, {"KeyB", 11}, {"KeyQ", 12}, {"KeyW", 13}, {"KeyE", 14},
    {"KeyR", 15}, {"KeyY", 16}, {"KeyT", 17}, {"KeyO", 31}, {"KeyU", 32}, {"KeyI", 34}, {"KeyP", 35},
    {"KeyL", 37}, {"KeyJ", 38}, {"KeyK", 40}, {"KeyN", 45}, {"KeyM", 46},
    // Digits
    {"Digit1", 18}, {"Digit2", 19}, {"Digit3", 20}, {"Digit4", 21}, {"Digit6", 22}, {"Digit5", 23},
    {"Digit9", 25}, {"Digit7", 26}, {"Digit8", 28}, {"Digit0", 29},
    // Punctuation
    {"Equal", 24}, {"Minus", 27}, {"BracketRight", 30}, {"BracketLeft", 33}, {"Quote", 39},
    {"Semicolon", 41}, {"Backslash", 42}, {"Comma", 43}, {"Slash", 44}, {"Period", 47},
    {"Backquote", 50}, {"IntlBackslash", 10}, {"IntlYen", 93}, {"IntlRo", 94},
    // Editing
    {"Enter", 36}, {"Tab", 48}, {"Space", 49}, {"Backspace", 51}, {"Escape", 53}, {"Delete", 117},
    // Navigation
    {"Home", 115}, {"End", 119}, {"PageUp", 116}, {"PageDown", 121}, {"ArrowLeft", 123},
    {"ArrowRight", 124}, {"ArrowDown", 125}, {"ArrowUp", 126}, {"Insert", 114}, {"Help", 114},
    {"ContextMenu", 110},
    // Print Screen sits where an Apple keyboard has F13.
    {"PrintScreen", 105},
    // Modifiers
    {"MetaLeft", 55}, {"MetaRight", 54}, {"OSLeft", 55}, {"OSRight", 54}, {"ShiftLeft", 56},
    {"ShiftRight", 60}, {"AltLeft", 58}, {"AltRight", 61}, {"ControlLeft", 59}, {"ControlRight", 62},
    {"CapsLock", 57}, {"Fn", 63},
    // Function keys
    {"F1", 122}, {"F2", 120}, {"F3", 99}, {"F4", 118}, {"F5", 96}, {"F6", 97}, {"F7", 98},
    {"F8", 100}, {"F9", 101}, {"F10", 109}, {"F11", 103}, {"F12", 111}, {"F13", 105}, {"F14", 107},
    {"F15", 113}, {"F16", 106}, {"F17", 64}, {"F18", 79}, {"F19", 80}, {"F20", 90},
    // Keypad
    {"Numpad0", 82}, {"Numpad1", 83}, {"Numpad2", 84}, {"Numpad3", 85}, {"Numpad4", 86},
    {"Numpad5", 87}, {"Numpad6", 88}, {"Numpad7", 89}, {"Numpad8", 91}, {"Numpad9", 92},
    {"NumpadDecimal", 65}, {"NumpadMultiply", 67}, {"NumpadAdd", 69}, {"NumpadDivide", 75},
    {"NumpadEnter", 76}, {"NumpadSubtract", 78}, {"NumpadEqual", 81}, {"NumpadComma", 95},
    {"NumLock", 71},
    // Language
    {"Lang1", 104}, {"Lang2", 102},
}};

const std::unordered_map<std::string_view, std::uint16_t>& codes() {
    static const auto built = [] {
        std::unordered_map<std::string_view, std::uint16_t> map;
        for (const auto& e : table) map.emplace(e.code, e.keyCode);
        return map;
    }();
    return built;
}

}  // namespace

std::span<const Entry> entries() { return table; }

std::optional<std::uint16_t> keyCode(std::string_view code) {
    const auto& map = codes();
    const auto it = map.find(code);
    if (it == map.end()) return std::nullopt;
    return it->second;
}

std::optional<std::uint64_t> modifierFlag(std::string_view code) {
    if (code == "ShiftLeft" || code == "ShiftRight") return Flags::shift;
    if (code == "ControlLeft" || code == "ControlRight") return Flags::control;
    if (code == "AltLeft" || code == "AltRight") return Flags::option;
    if (code == "MetaLeft" || code == "MetaRight" || code == "OSLeft" || code == "OSRight") return Flags::command;
    if (code == "Fn") return Flags::secondaryFunction;
    if (code == "CapsLock") return Flags::capsLock;
    return std::nullopt;
}

bool isModifier(std::string_view code) { return modifierFlag(code).has_value(); }

std::uint64_t intrinsicFlags(std::uint16_t keyCode) {
    switch (keyCode) {
        case 64: case 79: case 80: case 90: case 96: case 97: case 98: case 99: case 100: case 101:
        case 103: case 105: case 106: case 107: case 109: case 111: case 113: case 118: case 120: case 122:
        case 114: case 115: case 116: case 117: case 119: case 121:
            return Flags::secondaryFunction;
        case 65: case 67: case 69: case 71: case 75: case 76: case 78: case 81: case 82: case 83: case 84:
        case 85: case 86: case 87: case 88: case 89: case 91: case 92: case 95:
            return Flags::numericPad;
        case 123: case 124: case 125: case 126:
            return Flags::secondaryFunction | Flags::numericPad;
        default:
            return 0;
    }
}

}  // namespace morvane::KeyMap

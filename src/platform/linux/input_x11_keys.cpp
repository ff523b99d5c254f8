#include "platform/linux/input_x11_keys.h"

#include <X11/keysym.h>

#include <unordered_map>

namespace morvane {

namespace {

struct Row {
    std::string_view code;
    X11Key key;
};

constexpr Row rows[] = {
    {"KeyA", {"AC01", XK_a}}, {"KeyS", {"AC02", XK_s}}, {"KeyD", {"AC03", XK_d}}, {"KeyF", {"AC04", XK_f}},
    {"KeyG", {"AC05", XK_g}}, {"KeyH", {"AC06", XK_h}}, {"KeyJ", {"AC07", XK_j}}, {"KeyK", {"AC08", XK_k}},
    {"KeyL", {"AC09", XK_l}}, {"KeyQ", {"AD01", XK_q}}, {"KeyW", {"AD02", XK_w}}, {"KeyE", {"AD03", XK_e}},
    {"KeyR", {"AD04", XK_r}}, {"KeyT", {"AD05", XK_t}}, {"KeyY", {"AD06", XK_y}}, {"KeyU", {"AD07", XK_u}},
    {"KeyI", {"AD08", XK_i}}, {"KeyO", {"AD09", XK_o}}, {"KeyP", {"AD10", XK_p}}, {"KeyZ", {"AB01", XK_z}},
    {"KeyX", {"AB02", XK_x}}, {"KeyC", {"AB03", XK_c}}, {"KeyV", {"AB04", XK_v}}, {"KeyB", {"AB05", XK_b}},
    {"KeyN", {"AB06", XK_n}}, {"KeyM", {"AB07", XK_m}},
    {"Digit1", {"AE01", XK_1}}, {"Digit2", {"AE02", XK_2}}, {"Digit3", {"AE03", XK_3}},
    {"Digit4", {"AE04", XK_4}}, {"Digit5", {"AE05", XK_5}}, {"Digit6", {"AE06", XK_6}},
    {"Digit7", {"AE07", XK_7}}, {"Digit8", {"AE08", XK_8}}, {"Digit9", {"AE09", XK_9}},
    {"Digit0", {"AE10", XK_0}},
    {"Minus", {"AE11", XK_minus}}, {"Equal", {"AE12", XK_equal}}, {"BracketLeft", {"AD11", XK_bracketleft}},
    {"BracketRight", {"AD12", XK_bracketright}}, {"Backslash", {"BKSL", XK_backslash}},
    {"Semicolon", {"AC10", XK_semicolon}}, {"Quote", {"AC11", XK_apostrophe}}, {"Backquote", {"TLDE", XK_grave}},
    {"Comma", {"AB08", XK_comma}}, {"Period", {"AB09", XK_period}}, {"Slash", {"AB10", XK_slash}},
    {"IntlBackslash", {"LSGT", XK_less}}, {"IntlYen", {"AE13", XK_yen}}, {"IntlRo", {"AB11", XK_backslash}},
    {"Enter", {"RTRN", XK_Return}}, {"Tab", {"TAB", XK_Tab}}, {"Space", {"SPCE", XK_space}},
    {"Backspace", {"BKSP", XK_BackSpace}}, {"Escape", {"ESC", XK_Escape}}, {"Delete", {"DELE", XK_Delete}},
    {"Home", {"HOME", XK_Home}}, {"End", {"END", XK_End}}, {"PageUp", {"PGUP", XK_Prior}},
    {"PageDown", {"PGDN", XK_Next}}, {"ArrowLeft", {"LEFT", XK_Left}}, {"ArrowRight", {"RGHT", XK_Right}},
    {"ArrowDown", {"DOWN", XK_Down}}, {"ArrowUp", {"UP", XK_Up}}, {"Insert", {"INS", XK_Insert}},
    {"Help", {"HELP", XK_Help}}, {"ContextMenu", {"COMP", XK_Menu}}, {"PrintScreen", {"PRSC", XK_Print}},
    {"MetaLeft", {"LCTL", XK_Control_L}}, {"MetaRight", {"RCTL", XK_Control_R}},
    {"OSLeft", {"LWIN", XK_Super_L}}, {"OSRight", {"RWIN", XK_Super_R}},
    {"ShiftLeft", {"LFSH", XK_Shift_L}}, {"ShiftRight", {"RTSH", XK_Shift_R}},
    {"AltLeft", {"LALT", XK_Alt_L}}, {"AltRight", {"RALT", XK_Alt_R}},
    {"ControlLeft", {"LCTL", XK_Control_L}}, {"ControlRight", {"RCTL", XK_Control_R}},
    {"CapsLock", {"CAPS", XK_Caps_Lock}},
    {"F1", {"FK01", XK_F1}}, {"F2", {"FK02", XK_F2}}, {"F3", {"FK03", XK_F3}}, {"F4", {"FK04", XK_F4}},
    {"F5", {"FK05", XK_F5}}, {"F6", {"FK06", XK_F6}}, {"F7", {"FK07", XK_F7}}, {"F8", {"FK08", XK_F8}},
    {"F9", {"FK09", XK_F9}}, {"F10", {"FK10", XK_F10}}, {"F11", {"FK11", XK_F11}}, {"F12", {"FK12", XK_F12}},
    {"F13", {"FK13", XK_F13}}, {"F14", {"FK14", XK_F14}}, {"F15", {"FK15", XK_F15}}, {"F16", {"FK16", XK_F16}},
    {"F17", {"FK17", XK_F17}}, {"F18", {"FK18", XK_F18}}, {"F19", {"FK19", XK_F19}}, {"F20", {"FK20", XK_F20}},
    {"Numpad0", {"KP0", XK_KP_Insert}}, {"Numpad1", {"KP1", XK_KP_End}}, {"Numpad2", {"KP2", XK_KP_Down}},
    {"Numpad3", {"KP3", XK_KP_Next}}, {"Numpad4", {"KP4", XK_KP_Left}}, {"Numpad5", {"KP5", XK_KP_Begin}},
    {"Numpad6", {"KP6", XK_KP_Right}}, {"Numpad7", {"KP7", XK_KP_Home}}, {"Numpad8", {"KP8", XK_KP_Up}},
    {"Numpad9", {"KP9", XK_KP_Prior}}, {"NumpadDecimal", {"KPDL", XK_KP_Delete}},
    {"NumpadMultiply", {"KPMU", XK_KP_Multiply}}, {"NumpadAdd", {"KPAD", XK_KP_Add}},
    {"NumpadDivide", {"KPDV", XK_KP_Divide}}, {"NumpadEnter", {"KPEN", XK_KP_Enter}},
    {"NumpadSubtract", {"KPSU", XK_KP_Subtract}}, {"NumpadEqual", {"KPEQ", XK_KP_Equal}},
    {"NumpadComma", {"I129", XK_KP_Separator}}, {"NumLock", {"NMLK", XK_Num_Lock}},
    {"Lang1", {"HNGL", XK_Hangul}}, {"Lang2", {"HJCV", XK_Hangul_Hanja}},
};

}  // namespace

std::optional<X11Key> x11Key(std::string_view code) {
    static const auto table = [] {
        std::unordered_map<std::string_view, X11Key> map;
        for (const auto& row : rows) map.emplace(row.code, row.key);
        return map;
    }();
    const auto it = table.find(code);
    if (it == table.end()) return std::nullopt;
    return it->second;
}

}  // namespace morvane

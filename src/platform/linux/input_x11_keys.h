// Where each browser key name sits on an X keyboard: its XKB key name (the
// physical place, whatever the layout) and, for keyboards without XKB names,
// the keysym that key carries on a US layout.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace morvane {

struct X11Key {
    std::string_view xkbName;
    std::uint32_t keysym;
};

// The page sends an Apple keyboard's Command keys as "MetaLeft"/"MetaRight",
// which act as Control here, so that the usual copy and paste shortcuts from
// a Mac do what they say; it sends every other keyboard's Windows key, and
// its own Super button, as "OSLeft"/"OSRight", which are Super here.
// "Fn" has no key on X: it gives nothing.
std::optional<X11Key> x11Key(std::string_view code);

}  // namespace morvane

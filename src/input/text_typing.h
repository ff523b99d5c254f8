// How a typed text becomes keystrokes: line breaks and tabs are their keys,
// everything else goes character by character.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace morvane {

namespace text_step {
// A key pressed and released by its browser name ("Enter", "Tab").
struct Named {
    std::string code;
    bool operator==(const Named&) const = default;
};
// One user-perceived character (a grapheme cluster) as Unicode scalars.
struct Characters {
    std::u32string scalars;
    bool operator==(const Characters&) const = default;
};
}  // namespace text_step
using TextStep = std::variant<text_step::Named, text_step::Characters>;

namespace TextTyping {
// "\r\n" and a lone "\r" count as "\n". Malformed UTF-8 becomes U+FFFD.
std::vector<TextStep> plan(std::string_view text);
}  // namespace TextTyping

}  // namespace morvane

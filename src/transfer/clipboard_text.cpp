#include "transfer/clipboard_text.h"

#include <algorithm>
#include <cctype>

namespace morvane {

namespace {

// One scalar of UTF-8 text: where it starts, how many bytes it spans and how
// many UTF-16 units it needs. Malformed bytes are taken one at a time.
struct Scalar {
    std::size_t bytes = 1;
    int units = 1;
};

Scalar scalarAt(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t need = 0;
    std::uint32_t value = 0;
    std::uint32_t minimum = 0;
    if (lead < 0x80) return {1, 1};
    if ((lead & 0xE0) == 0xC0) {
        need = 1, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        need = 2, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        need = 3, value = lead & 0x07, minimum = 0x10000;
    } else {
        return {1, 1};
    }
    if (at + need >= text.size()) return {1, 1};
    for (std::size_t i = 1; i <= need; ++i) {
        const unsigned char c = byte(at + i);
        if ((c & 0xC0) != 0x80) return {1, 1};
        value = (value << 6) | (c & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return {1, 1};
    return {need + 1, value >= 0x10000 ? 2 : 1};
}

}  // namespace

namespace ClipboardText {

int length(std::string_view text) {
    int units = 0;
    for (std::size_t at = 0; at < text.size();) {
        const Scalar s = scalarAt(text, at);
        units += s.units;
        at += s.bytes;
    }
    return units;
}

Limited limited(std::string_view text, int limit) {
    int units = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        const Scalar s = scalarAt(text, at);
        if (units + s.units > limit) return {std::string(text.substr(0, at)), true};
        units += s.units;
        at += s.bytes;
    }
    return {std::string(text), false};
}

std::vector<std::string> chunks(std::string_view text, int size) {
    size = std::max(size, 2);
    std::vector<std::string> pieces;
    std::size_t start = 0;
    int units = 0;
    for (std::size_t at = 0; at < text.size();) {
        const Scalar s = scalarAt(text, at);
        if (units + s.units > size) {
            pieces.emplace_back(text.substr(start, at - start));
            start = at;
            units = 0;
        }
        units += s.units;
        at += s.bytes;
    }
    if (start < text.size()) pieces.emplace_back(text.substr(start));
    return pieces;
}

}  // namespace ClipboardText

namespace ClipboardPrivacy {

namespace {
std::string lowered(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}
}  // namespace

bool isPrivate(const std::vector<std::string>& types) {
    for (const auto& type : types) {
        const std::string name = lowered(type);
        for (std::string_view marker : markers) {
            if (name == lowered(marker)) return true;
        }
    }
    return false;
}

}  // namespace ClipboardPrivacy

}  // namespace morvane

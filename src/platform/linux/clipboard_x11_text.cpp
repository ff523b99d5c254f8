#include "platform/linux/clipboard_x11_text.h"

#include <cstdint>

namespace morvane::X11SelectionText {

std::string validUtf8(const std::string& in) {
    std::string out;
    out.reserve(in.size());
    for (std::size_t at = 0; at < in.size();) {
        const auto lead = static_cast<unsigned char>(in[at]);
        std::size_t need = 0;
        std::uint32_t value = 0, minimum = 0;
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
            ++at;
            continue;
        }
        if ((lead & 0xE0) == 0xC0) need = 1, value = lead & 0x1F, minimum = 0x80;
        else if ((lead & 0xF0) == 0xE0) need = 2, value = lead & 0x0F, minimum = 0x800;
        else if ((lead & 0xF8) == 0xF0) need = 3, value = lead & 0x07, minimum = 0x10000;
        bool ok = need > 0 && at + need < in.size();
        for (std::size_t i = 1; ok && i <= need; ++i) {
            const auto c = static_cast<unsigned char>(in[at + i]);
            if ((c & 0xC0) != 0x80) ok = false;
            else value = (value << 6) | (c & 0x3F);
        }
        ok = ok && value >= minimum && value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF);
        if (ok) {
            out.append(in, at, need + 1);
            at += need + 1;
        } else {
            out += "\xEF\xBF\xBD";
            ++at;
        }
    }
    return out;
}

std::string latin1ToUtf8(const std::string& in) {
    std::string out;
    for (unsigned char c : in) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::string utf8ToLatin1(const std::string& in) {
    std::string out;
    for (std::size_t at = 0; at < in.size();) {
        const auto lead = static_cast<unsigned char>(in[at]);
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
            ++at;
        } else if ((lead & 0xE0) == 0xC0 && at + 1 < in.size()) {
            const std::uint32_t v = ((lead & 0x1F) << 6) | (static_cast<unsigned char>(in[at + 1]) & 0x3F);
            out.push_back(v <= 0xFF ? static_cast<char>(v) : '?');
            at += 2;
        } else {
            out.push_back('?');
            ++at;
            while (at < in.size() && (static_cast<unsigned char>(in[at]) & 0xC0) == 0x80) ++at;
        }
    }
    return out;
}

}  // namespace morvane::X11SelectionText

#include "tailnet/trusted_cli.h"

#include <pwd.h>
#include <unistd.h>

namespace morvane {

std::vector<std::string> TrustedCLI::environment() {
    std::vector<std::string> env = {"PATH=/usr/bin:/bin:/usr/sbin:/sbin", "TAILSCALE_BE_CLI=1"};
    if (const passwd* entry = ::getpwuid(::getuid())) {
        if (entry->pw_dir && *entry->pw_dir) env.push_back(std::string("HOME=") + entry->pw_dir);
        if (entry->pw_name && *entry->pw_name) {
            env.push_back(std::string("USER=") + entry->pw_name);
            env.push_back(std::string("LOGNAME=") + entry->pw_name);
        }
    }
    return env;
}

std::string TrustedCLI::decodeOutput(std::string_view bytes) {
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto b0 = static_cast<unsigned char>(bytes[i]);
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (b0 < 0x80) {
            out.push_back(static_cast<char>(b0));
            ++i;
            continue;
        }
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            length = 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            length = 3;
            if (b0 == 0xE0) low = 0xA0;   // no overlong forms
            if (b0 == 0xED) high = 0x9F;  // no surrogates
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            length = 4;
            if (b0 == 0xF0) low = 0x90;
            if (b0 == 0xF4) high = 0x8F;  // nothing above U+10FFFF
        }
        // Consume the longest valid start of a sequence as one replacement.
        std::size_t good = length ? 1 : 0;
        while (length && good < length && i + good < bytes.size()) {
            const auto b = static_cast<unsigned char>(bytes[i + good]);
            const unsigned char lo = good == 1 ? low : 0x80, hi = good == 1 ? high : 0xBF;
            if (b < lo || b > hi) break;
            ++good;
        }
        if (length && good == length) {
            out.append(bytes.substr(i, length));
            i += length;
        } else {
            out.append(replacement);
            i += good ? good : 1;
        }
    }
    return out;
}

}  // namespace morvane

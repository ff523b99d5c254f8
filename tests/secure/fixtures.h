// Shared helpers for the secure-channel tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "secure/secure_channel.h"

namespace morvane::testing {

inline Bytes bytesOf(std::string_view s) { return Bytes(s.begin(), s.end()); }

inline Bytes fromHex(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

// The reason word a call throws, or "" when it does not throw.
template <typename F>
std::string wordOf(F&& f) {
    try {
        f();
    } catch (const SecureChannelError& e) {
        return e.word;
    }
    return "";
}

inline Bytes room(std::uint8_t fill = 0x5a) { return Bytes(SecureChannel::roomIDLength, fill); }

inline std::vector<std::string> stepNames(const std::optional<HandshakeTrace>& trace) {
    std::vector<std::string> out;
    if (trace)
        for (const auto& s : *trace) out.push_back(s.step);
    return out;
}

}  // namespace morvane::testing

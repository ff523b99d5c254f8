// Secrets: random bytes, hashes and comparisons that leak no timing.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "core/types.h"

namespace morvane::Secure {

// Bytes from the system's cryptographic generator. Throws
// std::runtime_error when the generator fails: a guessable token is worse
// than no token.
Bytes randomBytes(std::size_t count);
// Lower-case hexadecimal, two digits a byte.
std::string hex(std::span<const std::uint8_t> bytes);
Bytes sha256(std::span<const std::uint8_t> bytes);
Bytes sha256(std::string_view text);
std::string sha256Hex(std::string_view text);
std::string sha256Hex(std::span<const std::uint8_t> bytes);
// Different lengths answer false at once; otherwise every byte is visited.
bool constantTimeEqual(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);

}  // namespace morvane::Secure

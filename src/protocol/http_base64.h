// Standard base64 (RFC 4648 alphabet, "=" padding) as the WebSocket
// handshake and the built-in site use it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/types.h"

namespace morvane::Base64 {

// One line, padded.
std::string encode(std::span<const std::uint8_t> bytes);
// Strict: the length is a multiple of four, only alphabet characters before
// at most two "=" at the end, no blanks or line breaks. Anything else gives
// no value.
std::optional<Bytes> decode(std::string_view text);

}  // namespace morvane::Base64

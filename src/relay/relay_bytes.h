// Byte encodings the relay code shares: hex, big-endian integers and
// base64url without padding, with a strict decoder for text that comes from
// outside (the relay, the stored identity).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/types.h"

namespace morvane::RelayBytes {

std::string hex(std::span<const std::uint8_t> data);
Bytes u32(std::uint32_t value);
Bytes u64(std::uint64_t value);
// Reads 4 bytes big-endian; the span must hold at least 4.
std::uint32_t readU32(std::span<const std::uint8_t> data);
// Standard base64 with "-" for "+", "_" for "/" and no "=".
std::string b64u(std::span<const std::uint8_t> data);
// The strict inverse of b64u: only the url-safe alphabet, no padding, no
// blanks, and zero trailing bits. The empty text gives empty bytes.
std::optional<Bytes> fromB64u(std::string_view text);

}  // namespace morvane::RelayBytes

// The messages a computer signs for the relay, and the check of such a
// signature. Both ends build the same bytes: the host signs them with its
// relay identity, the relay service verifies them against the registered
// public key. No key of its own, no I/O.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/types.h"

namespace morvane::RelaySigned {

const Bytes& helloLabel();
const Bytes& proveLabel();
const Bytes& registerLabel();
const Bytes& removeLabel();

// label, 0x00, room id, then the fields (integers 8 bytes big-endian).
Bytes helloMessage(std::span<const std::uint8_t> roomID, std::uint64_t unixSeconds, std::span<const std::uint8_t> nonce);
Bytes proveMessage(std::span<const std::uint8_t> roomID, std::span<const std::uint8_t> nonce);
Bytes registerMessage(std::span<const std::uint8_t> roomID, std::uint64_t ts, std::span<const std::uint8_t> nonce,
                      const std::string& userId);
Bytes removeMessage(std::span<const std::uint8_t> roomID, std::uint64_t ts, std::span<const std::uint8_t> nonce);

// True when rawSignature (r then s, 32 bytes each) is an ECDSA P-256 /
// SHA-256 signature of message by the 65-byte uncompressed publicKey.
// Anything malformed answers false; never throws.
bool verify(std::span<const std::uint8_t> publicKey, std::span<const std::uint8_t> message,
            std::span<const std::uint8_t> rawSignature);

}  // namespace morvane::RelaySigned

// Where a test looks for plaintext among the records a relay carried: in
// what each record carries sealed, never in its clear header (the type
// byte and, in a transport record, the 8-byte counter, which in time holds
// any bytes: record 0x167's ends 00 00 01 67, an H.264 start code and SPS
// byte). The records are kept apart, as a match across two of them would
// be the end of one header and the start of the next ciphertext.
// tests/web/support/relays.js has the same rule for the page's tests.
// Header-only, for any test program.
#pragma once

#include <algorithm>
#include <span>
#include <string_view>
#include <vector>

#include "core/types.h"
#include "secure/secure_channel.h"

namespace morvane::testing {

// A transport record's clear header: its type byte and its counter.
inline constexpr std::size_t transportHeaderBytes = 1 + 8;

inline std::span<const std::uint8_t> sealedPart(std::span<const std::uint8_t> record) {
    const std::size_t clear = !record.empty() && record[0] == SecureChannel::typeTransport ? transportHeaderBytes : 1;
    return record.subspan(std::min(clear, record.size()));
}

inline bool sealedPartsContain(const std::vector<Bytes>& records, std::string_view text) {
    return std::any_of(records.begin(), records.end(), [&](const Bytes& record) {
        const auto sealed = sealedPart(record);
        return std::search(sealed.begin(), sealed.end(), text.begin(), text.end()) != sealed.end();
    });
}

}  // namespace morvane::testing

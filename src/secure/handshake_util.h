// Small helpers shared by the two handshakes.
#pragma once

#include <cstddef>

#include "secure/secure_channel.h"

namespace morvane::detail {

// A fresh, zero-based copy of `length` bytes from `offset`. Only called once
// the whole message's length has been checked.
inline Bytes field(ByteView message, std::size_t offset, std::size_t length) {
    const auto part = message.subspan(offset, length);
    return Bytes(part.begin(), part.end());
}

// Runs one handshake step; whatever it throws first moves the handshake to
// its failed stage, so a half-advanced state is never used again.
template <typename OnFail, typename Body>
auto guarded(OnFail&& onFail, Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        onFail();
        throw;
    }
}

}  // namespace morvane::detail

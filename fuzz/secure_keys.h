// The keys the secure-channel fuzz targets answer with, made once per
// process: key arithmetic costs far more than the readers under test. They
// are fixed scalars so that seeds built against them reach past the first
// checks.
#pragma once

#include <exception>

#include "fuzz_support.h"
#include "secure/secure_channel.h"

namespace morvane::fuzz {

inline const P256PrivateKey& macKey() {
    static const P256PrivateKey key = P256PrivateKey::fromRawBytes(Bytes(32, 0x11));
    return key;
}
inline const P256PrivateKey& ikEphemeral() {
    static const P256PrivateKey key = P256PrivateKey::fromRawBytes(Bytes(32, 0x22));
    return key;
}
inline const P256PrivateKey& xxEphemeral() {
    static const P256PrivateKey key = P256PrivateKey::fromRawBytes(Bytes(32, 0x33));
    return key;
}
inline const Bytes& roomID() {
    static const Bytes id(16, 0x5a);
    return id;
}

// True when the call refused with the channel's own error; any other
// exception escapes and ends the run.
template <typename F>
bool refused(F&& f) {
    try {
        f();
        return false;
    } catch (const SecureChannelError&) {
        return true;
    }
}

}  // namespace morvane::fuzz

#include "relay/relay_signed.h"

#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>

#include <memory>

#include "relay/relay_bytes.h"
#include "secure/secure_channel.h"

namespace morvane::RelaySigned {

namespace {

Bytes textBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes signedMessage(const Bytes& label, std::span<const std::uint8_t> roomID) {
    Bytes out = label;
    out.push_back(0x00);
    out.insert(out.end(), roomID.begin(), roomID.end());
    return out;
}

void append(Bytes& out, std::span<const std::uint8_t> more) { out.insert(out.end(), more.begin(), more.end()); }

// What the requests signed at a time share: the room, then the time and a
// nonce, so that a captured signature is refused once it is old or used.
Bytes timedMessage(const Bytes& label, std::span<const std::uint8_t> roomID, std::uint64_t unixSeconds,
                   std::span<const std::uint8_t> nonce) {
    Bytes out = signedMessage(label, roomID);
    append(out, RelayBytes::u64(unixSeconds));
    append(out, nonce);
    return out;
}

}  // namespace

const Bytes& helloLabel() {
    static const Bytes label = textBytes("morvane-relay-host-hello/1");
    return label;
}
const Bytes& proveLabel() {
    static const Bytes label = textBytes("morvane-relay-host-prove/1");
    return label;
}
const Bytes& registerLabel() {
    static const Bytes label = textBytes("morvane-relay-host-register/1");
    return label;
}
const Bytes& removeLabel() {
    static const Bytes label = textBytes("morvane-relay-host-remove/1");
    return label;
}

Bytes helloMessage(std::span<const std::uint8_t> roomID, std::uint64_t unixSeconds, std::span<const std::uint8_t> nonce) {
    return timedMessage(helloLabel(), roomID, unixSeconds, nonce);
}

Bytes proveMessage(std::span<const std::uint8_t> roomID, std::span<const std::uint8_t> nonce) {
    Bytes out = signedMessage(proveLabel(), roomID);
    append(out, nonce);
    return out;
}

Bytes registerMessage(std::span<const std::uint8_t> roomID, std::uint64_t ts, std::span<const std::uint8_t> nonce,
                      const std::string& userId) {
    Bytes out = timedMessage(registerLabel(), roomID, ts, nonce);
    append(out, textBytes(userId));
    return out;
}

Bytes removeMessage(std::span<const std::uint8_t> roomID, std::uint64_t ts, std::span<const std::uint8_t> nonce) {
    return timedMessage(removeLabel(), roomID, ts, nonce);
}

bool verify(std::span<const std::uint8_t> publicKey, std::span<const std::uint8_t> message,
            std::span<const std::uint8_t> raw) {
    if (raw.size() != 64 || publicKey.size() != 65 || publicKey[0] != 0x04) return false;
    P256PublicKey key(nullptr);
    try {
        key = SecureChannel::publicKey(Bytes(publicKey.begin(), publicKey.end()));
    } catch (const SecureChannelError&) {
        return false;
    }
    if (!key.handle()) return false;
    std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> sig(ECDSA_SIG_new(), ECDSA_SIG_free);
    if (!sig) return false;
    BIGNUM* r = BN_bin2bn(raw.data(), 32, nullptr);
    BIGNUM* s = BN_bin2bn(raw.data() + 32, 32, nullptr);
    if (!r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(sig.get(), &der);
    if (derLength <= 0) return false;
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> derOwner(der, [](unsigned char* p) { OPENSSL_free(p); });
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    return ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.handle()) == 1 &&
           EVP_DigestVerify(ctx.get(), der, static_cast<std::size_t>(derLength), message.data(), message.size()) == 1;
}

}  // namespace morvane::RelaySigned

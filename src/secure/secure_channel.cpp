#include "secure/secure_channel.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <stdexcept>

#include "core/secure.h"

namespace morvane {

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using BigNum = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_clear_free>>;
using Group = std::unique_ptr<EC_GROUP, Deleter<EC_GROUP, EC_GROUP_free>>;
using Point = std::unique_ptr<EC_POINT, Deleter<EC_POINT, EC_POINT_free>>;
using ParamBuild = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM, OSSL_PARAM_free>>;

std::shared_ptr<EVP_PKEY> share(EVP_PKEY* key) { return std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free); }

constexpr char curveName[] = "prime256v1";

Bytes concat(std::initializer_list<ByteView> parts) {
    std::size_t total = 0;
    for (auto p : parts) total += p.size();
    Bytes out;
    out.reserve(total);
    for (auto p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

ByteView text(std::string_view s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

const std::uint8_t zero[1] = {0x00};

// Builds an EC key of our curve from octet/BIGNUM parameters; null on failure.
EVP_PKEY* keyFromParams(const BIGNUM* priv, ByteView pub) {
    ParamBuild build(OSSL_PARAM_BLD_new());
    if (!build) return nullptr;
    if (OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, curveName, 0) != 1) return nullptr;
    if (OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, pub.data(), pub.size()) != 1)
        return nullptr;
    if (priv && OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PRIV_KEY, priv) != 1) return nullptr;
    Params params(OSSL_PARAM_BLD_to_param(build.get()));
    if (!params) return nullptr;
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1) return nullptr;
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata(ctx.get(), &key, priv ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return nullptr;
    return key;
}

}  // namespace

// ---- keys ----

Bytes P256PublicKey::bytes() const {
    Bytes out(SecureChannel::publicKeyLength);
    std::size_t len = 0;
    if (EVP_PKEY_get_octet_string_param(key_.get(), OSSL_PKEY_PARAM_PUB_KEY, out.data(), out.size(), &len) != 1 ||
        len != out.size())
        throw SecureChannelError::badKey;
    return out;
}

P256PrivateKey P256PrivateKey::generate() {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    if (!key) throw SecureChannelError::badKey;
    // Public keys travel uncompressed; make sure the key reports that form.
    EVP_PKEY_set_utf8_string_param(key, OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT, "uncompressed");
    return P256PrivateKey(share(key));
}

P256PrivateKey P256PrivateKey::fromRawBytes(ByteView scalar) {
    if (scalar.size() != 32) throw SecureChannelError::badKey;
    Group group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
    BigNum priv(BN_bin2bn(scalar.data(), static_cast<int>(scalar.size()), nullptr));
    if (!group || !priv) throw SecureChannelError::badKey;
    if (BN_is_zero(priv.get()) || BN_cmp(priv.get(), EC_GROUP_get0_order(group.get())) >= 0)
        throw SecureChannelError::badKey;
    Point pub(EC_POINT_new(group.get()));
    if (!pub || EC_POINT_mul(group.get(), pub.get(), priv.get(), nullptr, nullptr, nullptr) != 1)
        throw SecureChannelError::badKey;
    Bytes pubBytes(SecureChannel::publicKeyLength);
    if (EC_POINT_point2oct(group.get(), pub.get(), POINT_CONVERSION_UNCOMPRESSED, pubBytes.data(), pubBytes.size(),
                           nullptr) != pubBytes.size())
        throw SecureChannelError::badKey;
    EVP_PKEY* key = keyFromParams(priv.get(), pubBytes);
    if (!key) throw SecureChannelError::badKey;
    return P256PrivateKey(share(key));
}

Bytes P256PrivateKey::rawBytes() const {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key_.get(), OSSL_PKEY_PARAM_PRIV_KEY, &raw) != 1) throw SecureChannelError::badKey;
    BigNum priv(raw);
    Bytes out(32);
    if (BN_bn2binpad(priv.get(), out.data(), static_cast<int>(out.size())) != 32) throw SecureChannelError::badKey;
    return out;
}

P256PublicKey P256PrivateKey::publicKey() const { return SecureChannel::publicKey(publicKeyBytes()); }

Bytes P256PrivateKey::publicKeyBytes() const {
    Bytes out(SecureChannel::publicKeyLength);
    std::size_t len = 0;
    if (EVP_PKEY_get_octet_string_param(key_.get(), OSSL_PKEY_PARAM_PUB_KEY, out.data(), out.size(), &len) != 1 ||
        len != out.size() || out[0] != 0x04)
        throw SecureChannelError::badKey;
    return out;
}

namespace SecureChannel {

Bytes prologue(std::uint8_t pattern, ByteView roomID) {
    const std::uint8_t p[1] = {pattern};
    return concat({text("morvane/1"), zero, p, roomID});
}

Bytes roomID(ByteView hostAuthPublicKey) {
    Bytes digest = Secure::sha256(concat({text("morvane-room/1"), zero, hostAuthPublicKey}));
    digest.resize(roomIDLength);
    return digest;
}

Bytes enrolCommit(ByteView devicePublicKey, ByteView salt, ByteView name) {
    const std::uint8_t count[1] = {static_cast<std::uint8_t>(name.size() & 0xff)};
    return Secure::sha256(concat({text("morvane-enrol-commit/1"), zero, devicePublicKey, salt, count, name}));
}

std::string sas(ByteView handshakeHash) {
    const Bytes digest = Secure::sha256(concat({text("morvane-sas/1"), zero, handshakeHash}));
    const std::uint32_t value = (std::uint32_t{digest[0]} << 24) | (std::uint32_t{digest[1]} << 16) |
                                (std::uint32_t{digest[2]} << 8) | std::uint32_t{digest[3]};
    char out[8];
    std::snprintf(out, sizeof out, "%06u", static_cast<unsigned>(value % 1'000'000u));
    return out;
}

P256PublicKey publicKey(ByteView bytes) {
    if (bytes.size() != publicKeyLength || bytes[0] != 0x04) throw SecureChannelError::badKey;
    EVP_PKEY* key = keyFromParams(nullptr, bytes);
    if (!key) throw SecureChannelError::badKey;
    auto shared = share(key);
    // Decoding already insists on a point of the curve; the full check also
    // refuses anything outside the prime-order group.
    PkeyCtx check(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!check || EVP_PKEY_public_check(check.get()) != 1) throw SecureChannelError::badKey;
    return P256PublicKey(std::move(shared));
}

Bytes dh(const P256PrivateKey& ours, const P256PublicKey& theirs) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, ours.handle(), nullptr));
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer(ctx.get(), theirs.handle()) != 1)
        throw SecureChannelError::badKey;
    Bytes out(32);
    std::size_t len = out.size();
    if (EVP_PKEY_derive(ctx.get(), out.data(), &len) != 1 || len != 32) throw SecureChannelError::badKey;
    return out;
}

Bytes hmac(ByteView key, ByteView data) {
    Bytes out(32);
    unsigned int len = 0;
    static const std::uint8_t empty[1] = {0};
    if (!HMAC(EVP_sha256(), key.empty() ? empty : key.data(), static_cast<int>(key.size()),
              data.empty() ? empty : data.data(), data.size(), out.data(), &len) ||
        len != 32)
        throw std::runtime_error("hmac-sha-256 failed");
    return out;
}

std::pair<Bytes, Bytes> hkdf2(ByteView chainingKey, ByteView inputKeyMaterial) {
    const Bytes t = hmac(chainingKey, inputKeyMaterial);
    const std::uint8_t one[1] = {0x01}, two[1] = {0x02};
    Bytes first = hmac(t, one);
    Bytes second = hmac(t, concat({first, two}));
    return {std::move(first), std::move(second)};
}

Bytes bigEndian(std::uint64_t value) {
    Bytes out(8);
    for (int i = 7; i >= 0; --i, value >>= 8) out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value);
    return out;
}

Bytes nonce(std::uint64_t counter) {
    Bytes out(4, 0);
    const Bytes be = bigEndian(counter);
    out.insert(out.end(), be.begin(), be.end());
    return out;
}

Bytes encrypt(const SymmetricKey& key, std::uint64_t counter, ByteView associated, ByteView plaintext) {
    const Bytes iv = nonce(counter);
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    if (!ctx || plaintext.size() > static_cast<std::size_t>(INT32_MAX) ||
        associated.size() > static_cast<std::size_t>(INT32_MAX))
        throw SecureChannelError::badTag;
    Bytes out(plaintext.size() + tagLength);
    if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.bytes.data(), iv.data()) != 1)
        throw SecureChannelError::badTag;
    if (!associated.empty() &&
        EVP_EncryptUpdate(ctx.get(), nullptr, &len, associated.data(), static_cast<int>(associated.size())) != 1)
        throw SecureChannelError::badTag;
    int written = 0;
    if (!plaintext.empty()) {
        if (EVP_EncryptUpdate(ctx.get(), out.data(), &len, plaintext.data(), static_cast<int>(plaintext.size())) != 1)
            throw SecureChannelError::badTag;
        written = len;
    }
    if (EVP_EncryptFinal_ex(ctx.get(), out.data() + written, &len) != 1) throw SecureChannelError::badTag;
    written += len;
    if (static_cast<std::size_t>(written) != plaintext.size()) throw SecureChannelError::badTag;
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(tagLength), out.data() + written) != 1)
        throw SecureChannelError::badTag;
    return out;
}

Bytes decrypt(const SymmetricKey& key, std::uint64_t counter, ByteView associated, ByteView sealed) {
    if (sealed.size() < tagLength) throw SecureChannelError::badTag;
    const std::size_t bodyLength = sealed.size() - tagLength;
    if (bodyLength > static_cast<std::size_t>(INT32_MAX) || associated.size() > static_cast<std::size_t>(INT32_MAX))
        throw SecureChannelError::badTag;
    const Bytes iv = nonce(counter);
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.bytes.data(), iv.data()) != 1)
        throw SecureChannelError::badTag;
    int len = 0;
    if (!associated.empty() &&
        EVP_DecryptUpdate(ctx.get(), nullptr, &len, associated.data(), static_cast<int>(associated.size())) != 1)
        throw SecureChannelError::badTag;
    Bytes out(bodyLength);
    int written = 0;
    if (bodyLength > 0) {
        if (EVP_DecryptUpdate(ctx.get(), out.data(), &len, sealed.data(), static_cast<int>(bodyLength)) != 1)
            throw SecureChannelError::badTag;
        written = len;
    }
    Bytes tag(sealed.end() - static_cast<std::ptrdiff_t>(tagLength), sealed.end());
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(tagLength), tag.data()) != 1)
        throw SecureChannelError::badTag;
    if (EVP_DecryptFinal_ex(ctx.get(), out.data() + written, &len) != 1) {
        OPENSSL_cleanse(out.data(), out.size());
        throw SecureChannelError::badTag;
    }
    return out;
}

bool constantTimeEqual(ByteView a, ByteView b) { return Secure::constantTimeEqual(a, b); }

Bytes keyBytes(const SymmetricKey& key) { return Bytes(key.bytes.begin(), key.bytes.end()); }

}  // namespace SecureChannel

// ---- symmetric state ----

namespace {
SymmetricKey keyFrom(const Bytes& bytes) {
    SymmetricKey key;
    std::copy_n(bytes.begin(), key.bytes.size(), key.bytes.begin());
    return key;
}
}  // namespace

SymmetricState::SymmetricState(std::string_view name, ByteView prologue, bool traced) {
    h_ = Secure::sha256(name);
    ck_ = h_;
    if (traced) trace_.emplace();
    note("init");
    h_ = Secure::sha256(concat({h_, prologue}));
    note("prologue");
}

void SymmetricState::mixHash(ByteView data, const char* step) {
    h_ = Secure::sha256(concat({h_, data}));
    note(step);
}

void SymmetricState::mixKey(ByteView inputKeyMaterial, const char* step) {
    auto [first, second] = SecureChannel::hkdf2(ck_, inputKeyMaterial);
    ck_ = std::move(first);
    k_ = keyFrom(second);
    n_ = 0;
    note(step);
}

Bytes SymmetricState::encryptAndHash(ByteView plaintext, const char* step) {
    if (!k_) {
        mixHash(plaintext, step);
        return Bytes(plaintext.begin(), plaintext.end());
    }
    Bytes c = SecureChannel::encrypt(*k_, n_, h_, plaintext);
    n_ += 1;
    h_ = Secure::sha256(concat({h_, c}));
    note(step);
    return c;
}

Bytes SymmetricState::decryptAndHash(ByteView ciphertext, const char* step) {
    if (!k_) {
        mixHash(ciphertext, step);
        return Bytes(ciphertext.begin(), ciphertext.end());
    }
    Bytes p = SecureChannel::decrypt(*k_, n_, h_, ciphertext);
    n_ += 1;
    h_ = Secure::sha256(concat({h_, ciphertext}));
    note(step);
    return p;
}

std::pair<SymmetricKey, SymmetricKey> SymmetricState::split() const {
    auto [first, second] = SecureChannel::hkdf2(ck_, {});
    return {keyFrom(first), keyFrom(second)};
}

void SymmetricState::note(const char* step) {
    if (!trace_) return;
    std::optional<Bytes> k;
    if (k_) k = SecureChannel::keyBytes(*k_);
    trace_->push_back(HandshakeTraceStep{step, h_, ck_, std::move(k)});
}

}  // namespace morvane

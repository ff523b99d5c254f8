#include "relay/relay_identity.h"

#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "core/bounded_json.h"
#include "core/clock.h"
#include "relay/relay_bytes.h"
#include "relay/relay_signed.h"

namespace morvane {

bool RelayIdentity::operator==(const RelayIdentity& other) const {
    return createdAt == other.createdAt && noiseKey.rawBytes() == other.noiseKey.rawBytes() &&
           authKey.rawBytes() == other.authKey.rawBytes();
}

Bytes RelayIdentity::hostPublicKey() const { return authKey.publicKeyBytes(); }
std::string RelayIdentity::hostPublicKeyText() const { return RelayBytes::b64u(hostPublicKey()); }
Bytes RelayIdentity::roomID() const { return SecureChannel::roomID(hostPublicKey()); }

const Bytes& RelayIdentity::helloLabel() { return RelaySigned::helloLabel(); }
const Bytes& RelayIdentity::proveLabel() { return RelaySigned::proveLabel(); }
const Bytes& RelayIdentity::registerLabel() { return RelaySigned::registerLabel(); }
const Bytes& RelayIdentity::removeLabel() { return RelaySigned::removeLabel(); }

Bytes RelayIdentity::helloMessage(std::span<const std::uint8_t> roomID, std::uint64_t unixSeconds,
                                  std::span<const std::uint8_t> nonce) {
    return RelaySigned::helloMessage(roomID, unixSeconds, nonce);
}
Bytes RelayIdentity::proveMessage(std::span<const std::uint8_t> roomID, std::span<const std::uint8_t> nonce) {
    return RelaySigned::proveMessage(roomID, nonce);
}
Bytes RelayIdentity::registerMessage(std::span<const std::uint8_t> roomID, std::uint64_t ts,
                                     std::span<const std::uint8_t> nonce, const std::string& userId) {
    return RelaySigned::registerMessage(roomID, ts, nonce, userId);
}
Bytes RelayIdentity::removeMessage(std::span<const std::uint8_t> roomID, std::uint64_t ts,
                                   std::span<const std::uint8_t> nonce) {
    return RelaySigned::removeMessage(roomID, ts, nonce);
}

Bytes RelayIdentity::sign(const P256PrivateKey& key, std::span<const std::uint8_t> message) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.handle()) != 1)
        throw RelaySigningError();
    std::size_t length = 0;
    if (EVP_DigestSign(ctx.get(), nullptr, &length, message.data(), message.size()) != 1) throw RelaySigningError();
    Bytes der(length);
    if (EVP_DigestSign(ctx.get(), der.data(), &length, message.data(), message.size()) != 1)
        throw RelaySigningError();
    const unsigned char* cursor = der.data();
    std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> sig(
        d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(length)), ECDSA_SIG_free);
    if (!sig) throw RelaySigningError();
    Bytes raw(64);
    if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), raw.data(), 32) != 32 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), raw.data() + 32, 32) != 32)
        throw RelaySigningError();
    return raw;
}

std::string RelayIdentity::helloHeader(std::uint64_t unixSeconds, std::span<const std::uint8_t> nonce) const {
    const Bytes signature = sign(authKey, helloMessage(roomID(), unixSeconds, nonce));
    return "v1." + std::to_string(unixSeconds) + "." + RelayBytes::b64u(nonce) + "." + RelayBytes::b64u(signature);
}

std::string RelayIdentity::proveSignature(std::span<const std::uint8_t> nonce) const {
    return RelayBytes::b64u(sign(authKey, proveMessage(roomID(), nonce)));
}

std::string RelayIdentity::registerProof(const std::string& userId, std::uint64_t ts,
                                         std::span<const std::uint8_t> nonce) const {
    return RelayBytes::b64u(sign(authKey, registerMessage(roomID(), ts, nonce, userId)));
}

std::string RelayIdentity::removeProof(std::uint64_t ts, std::span<const std::uint8_t> nonce) const {
    return RelayBytes::b64u(sign(authKey, removeMessage(roomID(), ts, nonce)));
}

RelayIdentityStore::RelayIdentityStore(std::shared_ptr<DeviceStorage> storage, Encoder encoder)
    : storage_(std::move(storage)), encoder_(std::move(encoder)) {}

RelayIdentityStore::LoadResult RelayIdentityStore::load() const {
    std::optional<Bytes> data;
    try {
        data = storage_->load();
    } catch (const DeviceStorageError& e) {
        return Failure{e.description()};
    } catch (const std::exception& e) {
        return Failure{e.what()};
    }
    if (!data) return None{};
    auto identity = decode(*data);
    if (!identity) return Failure{invalidText};
    return std::move(*identity);
}

std::optional<RelayIdentity> RelayIdentityStore::decode(std::span<const std::uint8_t> data) {
    const auto parsed = BoundedJson::parse(data, BoundedJson::storedFileDepth);
    const auto* found = std::get_if<nlohmann::json>(&parsed);
    if (!found || !found->is_object()) return std::nullopt;
    const auto& object = *found;
    const auto v = object.find("v");
    if (v == object.end() || !v->is_number()) return std::nullopt;
    // A fraction is dropped before the comparison, as the format allows.
    const double version = v->get<double>();
    if (!std::isfinite(version) || std::trunc(version) != 1.0) return std::nullopt;
    auto scalar = [&](const char* key) -> std::optional<Bytes> {
        const auto it = object.find(key);
        if (it == object.end() || !it->is_string()) return std::nullopt;
        auto bytes = RelayBytes::fromB64u(it->get_ref<const std::string&>());
        if (!bytes || bytes->size() != 32) return std::nullopt;
        return bytes;
    };
    const auto noise = scalar("noiseKey");
    const auto auth = scalar("authKey");
    if (!noise || !auth) return std::nullopt;
    const auto created = object.find("createdAt");
    if (created == object.end() || !created->is_string()) return std::nullopt;
    const auto createdAt = parseIsoDate(created->get_ref<const std::string&>());
    if (!createdAt) return std::nullopt;
    try {
        return RelayIdentity{P256PrivateKey::fromRawBytes(*noise), P256PrivateKey::fromRawBytes(*auth), *createdAt};
    } catch (const SecureChannelError&) {
        return std::nullopt;
    }
}

Bytes RelayIdentityStore::encode(const RelayIdentity& identity) {
    try {
        nlohmann::json object = nlohmann::json::object();
        object["authKey"] = RelayBytes::b64u(identity.authKey.rawBytes());
        object["createdAt"] = isoDate(identity.createdAt);
        object["noiseKey"] = RelayBytes::b64u(identity.noiseKey.rawBytes());
        object["v"] = 1;
        const std::string text = object.dump();  // nlohmann keeps keys sorted
        return Bytes(text.begin(), text.end());
    } catch (const std::exception&) {
        return {};
    }
}

RelayIdentity RelayIdentityStore::create(std::int64_t nowWallMillis) {
    const auto existing = load();
    if (std::holds_alternative<RelayIdentity>(existing)) throw DeviceStorageError(existsText);
    if (const auto* failure = std::get_if<Failure>(&existing)) throw DeviceStorageError(failure->text);
    RelayIdentity identity{P256PrivateKey::generate(), P256PrivateKey::generate(), nowWallMillis};
    const Bytes data = encoder_ ? encoder_(identity) : Bytes{};
    // An empty item would load as damaged and block every later create:
    // refuse before anything is written.
    if (data.empty() || !decode(data)) throw DeviceStorageError(unwritableText);
    storage_->save(data);
    return identity;
}

void RelayIdentityStore::reset() { storage_->remove(); }

}  // namespace morvane

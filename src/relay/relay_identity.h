// This computer's long-lived relay identity: the key-agreement key of the
// secure-channel handshakes, the signing key that proves ownership of the
// room to the relay and signs account requests, and when they were made.
// The room id devices look for is derived from the signing key's public
// half. Immutable, usable from any queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <variant>

#include "core/types.h"
#include "devices/device_storage.h"
#include "secure/secure_channel.h"

namespace morvane {

// A signature could not be made (the key is unusable); nothing is sent.
class RelaySigningError : public std::runtime_error {
public:
    RelaySigningError() : std::runtime_error("the relay key could not sign") {}
};

struct RelayIdentity {
    P256PrivateKey noiseKey;
    P256PrivateKey authKey;
    std::int64_t createdAt = 0;  // wall-clock milliseconds

    // 65-byte uncompressed public key of authKey, and its base64url text.
    Bytes hostPublicKey() const;
    std::string hostPublicKeyText() const;
    // 16 bytes; hex of it names the room in the link's address.
    Bytes roomID() const;

    static const Bytes& helloLabel();
    static const Bytes& proveLabel();
    static const Bytes& registerLabel();
    static const Bytes& removeLabel();

    // label, 0x00, room id, then the fields (integers 8 bytes big-endian).
    static Bytes helloMessage(std::span<const std::uint8_t> roomID, std::uint64_t unixSeconds,
                              std::span<const std::uint8_t> nonce);
    static Bytes proveMessage(std::span<const std::uint8_t> roomID, std::span<const std::uint8_t> nonce);
    static Bytes registerMessage(std::span<const std::uint8_t> roomID, std::uint64_t ts,
                                 std::span<const std::uint8_t> nonce, const std::string& userId);
    static Bytes removeMessage(std::span<const std::uint8_t> roomID, std::uint64_t ts,
                               std::span<const std::uint8_t> nonce);

    // "v1." seconds "." b64u(nonce) "." b64u(signature of the hello message).
    std::string helloHeader(std::uint64_t unixSeconds, std::span<const std::uint8_t> nonce) const;
    // b64u of the 64-byte raw (r then s) signatures. Throw RelaySigningError.
    std::string proveSignature(std::span<const std::uint8_t> nonce) const;
    std::string registerProof(const std::string& userId, std::uint64_t ts,
                              std::span<const std::uint8_t> nonce) const;
    std::string removeProof(std::uint64_t ts, std::span<const std::uint8_t> nonce) const;

    // Same keys and same date.
    bool operator==(const RelayIdentity& other) const;

    // ECDSA P-256 / SHA-256 over the whole message, as raw r then s.
    static Bytes sign(const P256PrivateKey& key, std::span<const std::uint8_t> message);
};

// Keeps the identity as a small JSON document in one private item beside
// the device list, and makes it the first time. No cache: every call goes
// to the storage.
class RelayIdentityStore {
public:
    struct Failure {
        std::string text;
        bool operator==(const Failure&) const = default;
    };
    struct None {
        bool operator==(const None&) const = default;
    };
    using LoadResult = std::variant<RelayIdentity, Failure, None>;
    // Turns an identity into the stored bytes; empty means it could not.
    using Encoder = std::function<Bytes(const RelayIdentity&)>;

    static constexpr const char* account = "relay-identity";
    static constexpr const char* label = "Morvane relay identity";
    static constexpr const char* invalidText = "the stored relay identity is not valid";
    static constexpr const char* existsText = "a relay identity exists already";
    static constexpr const char* unwritableText = "the relay identity could not be written";

    explicit RelayIdentityStore(std::shared_ptr<DeviceStorage> storage, Encoder encoder = encode);

    std::string summary() const { return storage_->summary(); }
    LoadResult load() const;
    static std::optional<RelayIdentity> decode(std::span<const std::uint8_t> data);
    // Sorted keys, no blanks: {"authKey":…,"createdAt":…,"noiseKey":…,"v":1}.
    static Bytes encode(const RelayIdentity& identity);
    // Makes and saves a new identity when none is stored. Throws
    // DeviceStorageError when one exists, when the item is unreadable or
    // invalid (it is left untouched), when it cannot be encoded, or when the
    // save fails.
    RelayIdentity create(std::int64_t nowWallMillis);
    void reset();

private:
    std::shared_ptr<DeviceStorage> storage_;
    Encoder encoder_;
};

}  // namespace morvane

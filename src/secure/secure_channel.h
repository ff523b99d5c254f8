// The secure channel's shared ground: protocol constants, the one error type
// with its reason words, the P-256 / AES-256-GCM / SHA-256 primitives in the
// exact byte forms the handshakes and records use, and the Noise symmetric
// state. Nothing here does I/O or keeps time; callers serialise all use.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/types.h"

// OpenSSL's key handle, kept out of this header.
struct evp_pkey_st;

namespace morvane {

using ByteView = std::span<const std::uint8_t>;

// The only error the channel throws. `what()` is exactly the reason word, so
// callers can pass it on to the peer unchanged.
class SecureChannelError : public std::exception {
public:
    explicit SecureChannelError(std::string word) : word(std::move(word)) {}
    const char* what() const noexcept override { return word.c_str(); }
    bool operator==(const SecureChannelError& other) const { return word == other.word; }

    std::string word;

    static const SecureChannelError badLength;
    static const SecureChannelError badKey;
    static const SecureChannelError notEnrolled;
    static const SecureChannelError badTag;
    static const SecureChannelError badState;
    static const SecureChannelError commit;
    static const SecureChannelError badName;
    static const SecureChannelError counter;
    static const SecureChannelError badFlags;
    static const SecureChannelError tooLarge;
    static const SecureChannelError badAck;
};

inline const SecureChannelError SecureChannelError::badLength{"bad-length"};
inline const SecureChannelError SecureChannelError::badKey{"bad-key"};
inline const SecureChannelError SecureChannelError::notEnrolled{"not-enrolled"};
inline const SecureChannelError SecureChannelError::badTag{"bad-tag"};
inline const SecureChannelError SecureChannelError::badState{"bad-state"};
inline const SecureChannelError SecureChannelError::commit{"commit"};
inline const SecureChannelError SecureChannelError::badName{"bad-name"};
inline const SecureChannelError SecureChannelError::counter{"counter"};
inline const SecureChannelError SecureChannelError::badFlags{"bad-flags"};
inline const SecureChannelError SecureChannelError::tooLarge{"too-large"};
inline const SecureChannelError SecureChannelError::badAck{"bad-ack"};

// An AES-256 key.
struct SymmetricKey {
    std::array<std::uint8_t, 32> bytes{};
    bool operator==(const SymmetricKey&) const = default;
};

// A P-256 public key, always valid once made (see SecureChannel::publicKey).
class P256PublicKey {
public:
    // The 65-byte uncompressed X9.63 form (0x04, X, Y).
    Bytes bytes() const;
    evp_pkey_st* handle() const { return key_.get(); }

    // Takes a key that has already been checked to be a P-256 point.
    explicit P256PublicKey(std::shared_ptr<evp_pkey_st> key) : key_(std::move(key)) {}

private:
    std::shared_ptr<evp_pkey_st> key_;
};

// A P-256 private key for key agreement. Copies share one immutable key.
class P256PrivateKey {
public:
    static P256PrivateKey generate();
    // From the raw 32-byte private scalar, the form in which a long-lived key
    // is stored. Throws "bad-key" for a wrong length or a scalar outside 1...n-1.
    static P256PrivateKey fromRawBytes(ByteView scalar);

    Bytes rawBytes() const;
    P256PublicKey publicKey() const;
    // Shorthand for publicKey().bytes(): 65 bytes.
    Bytes publicKeyBytes() const;
    evp_pkey_st* handle() const { return key_.get(); }

    // Takes a key that has already been checked to be a P-256 private key.
    explicit P256PrivateKey(std::shared_ptr<evp_pkey_st> key) : key_(std::move(key)) {}

private:
    std::shared_ptr<evp_pkey_st> key_;
};

// The pair of keys a finished handshake yields. The Mac (responder) sends
// with the Mac-to-device key; a device does the reverse.
struct TransportKeys {
    SymmetricKey send;
    SymmetricKey receive;
    bool operator==(const TransportKeys&) const = default;
};

namespace SecureChannel {

inline constexpr int protocolVersion = 1;
inline constexpr std::string_view ikName = "Morvane_IK_P256_AESGCM_SHA256";
inline constexpr std::string_view xxName = "Morvane_XX_P256_AESGCM_SHA256";
inline constexpr std::uint8_t ikPattern = 0x49;
inline constexpr std::uint8_t xxPattern = 0x58;
inline constexpr std::size_t publicKeyLength = 65;
inline constexpr std::size_t tagLength = 16;
inline constexpr std::size_t roomIDLength = 16;
inline constexpr std::uint8_t typeIK1 = 0x01;
inline constexpr std::uint8_t typeIK2 = 0x02;
inline constexpr std::uint8_t typeXX1 = 0x11;
inline constexpr std::uint8_t typeXX2 = 0x12;
inline constexpr std::uint8_t typeXX3 = 0x13;
inline constexpr std::uint8_t typeTransport = 0x20;
inline constexpr std::size_t ik1Length = 163;
inline constexpr std::size_t ik2Length = 82;
inline constexpr std::size_t xx1Length = 98;
inline constexpr std::size_t xx2Length = 163;
inline constexpr std::size_t xx3BaseLength = 131;
inline constexpr std::size_t nameMaxBytes = 160;
inline constexpr std::size_t saltLength = 32;
inline constexpr std::size_t transportOverhead = 26;
inline constexpr std::uint8_t flagText = 1;
inline constexpr std::uint8_t flagBinary = 2;
inline constexpr std::uint8_t flagClose = 3;
inline constexpr std::uint8_t flagCredit = 4;
inline constexpr std::uint8_t flagMore = 0x80;
inline constexpr std::size_t fragmentDataMax = 240'000;
inline constexpr std::size_t deviceDataMax = 16'384;
inline constexpr std::size_t messageFromHostMax = 16'777'216;
inline constexpr std::size_t creditAckBytes = 262'144;
inline constexpr std::size_t creditWindow = 1'048'576;
inline constexpr std::uint64_t maxRecords = 0xFFFF'FFFFull;
// Both are ASCII bytes on the wire.
inline constexpr std::string_view helloMessage = R"({"t":"hello","v":1})";
inline constexpr std::string_view enrolledMessage = R"({"t":"enrolled"})";

// "morvane/1", 0x00, the pattern byte, the room id.
Bytes prologue(std::uint8_t pattern, ByteView roomID);
// First 16 bytes of SHA-256("morvane-room/1" 0x00 key).
Bytes roomID(ByteView hostAuthPublicKey);
// SHA-256("morvane-enrol-commit/1" 0x00 key salt len(name) name).
Bytes enrolCommit(ByteView devicePublicKey, ByteView salt, ByteView name);
// The six-digit comparison code both screens show.
std::string sas(ByteView handshakeHash);

// Parses a 65-byte uncompressed point; anything else throws "bad-key".
P256PublicKey publicKey(ByteView bytes);
// The 32-byte x-coordinate of the shared point; failure throws "bad-key".
Bytes dh(const P256PrivateKey& ours, const P256PublicKey& theirs);
Bytes hmac(ByteView key, ByteView data);
std::pair<Bytes, Bytes> hkdf2(ByteView chainingKey, ByteView inputKeyMaterial);
Bytes bigEndian(std::uint64_t value);
Bytes nonce(std::uint64_t counter);
// Ciphertext followed by the 16-byte tag; any failure throws "bad-tag".
Bytes encrypt(const SymmetricKey& key, std::uint64_t counter, ByteView associated, ByteView plaintext);
// Input shorter than a tag, or any failure to open, throws "bad-tag".
Bytes decrypt(const SymmetricKey& key, std::uint64_t counter, ByteView associated, ByteView sealed);
bool constantTimeEqual(ByteView a, ByteView b);
Bytes keyBytes(const SymmetricKey& key);

}  // namespace SecureChannel

// The state after one handshake operation, kept when a handshake is traced.
struct HandshakeTraceStep {
    std::string step;
    Bytes h;
    Bytes ck;
    std::optional<Bytes> k;
    bool operator==(const HandshakeTraceStep&) const = default;
};

using HandshakeTrace = std::vector<HandshakeTraceStep>;

// Noise's symmetric state with this protocol's differences: the name is
// always hashed, never used as h directly.
class SymmetricState {
public:
    SymmetricState(std::string_view name, ByteView prologue, bool traced = false);

    void mixHash(ByteView data, const char* step);
    void mixKey(ByteView inputKeyMaterial, const char* step);
    // Both leave the state untouched when they throw "bad-tag".
    Bytes encryptAndHash(ByteView plaintext, const char* step);
    Bytes decryptAndHash(ByteView ciphertext, const char* step);
    // (device-to-Mac, Mac-to-device); changes nothing.
    std::pair<SymmetricKey, SymmetricKey> split() const;

    const Bytes& h() const { return h_; }
    const Bytes& ck() const { return ck_; }
    const std::optional<SymmetricKey>& k() const { return k_; }
    std::uint64_t n() const { return n_; }
    const std::optional<HandshakeTrace>& trace() const { return trace_; }

private:
    void note(const char* step);

    Bytes h_;
    Bytes ck_;
    std::optional<SymmetricKey> k_;
    std::uint64_t n_ = 0;
    std::optional<HandshakeTrace> trace_;
};

}  // namespace morvane

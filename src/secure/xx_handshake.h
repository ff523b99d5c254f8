// The XX handshake that enrols a new device. Neither side knows the other's
// static key, so both travel encrypted; the device first commits to its key,
// a salt and its name, and the owner compares the six-digit code both sides
// derive from the handshake hash.
#pragma once

#include <optional>

#include "secure/secure_channel.h"

namespace morvane {

// The Mac's half. One object per enrolment attempt; any failure leaves it
// failed and every later call throws "bad-state".
class XXResponder {
public:
    enum class Stage { start, read1, wrote2, done, failed };

    struct Enrolment {
        Bytes deviceKey;  // 65 bytes as received
        Bytes name;       // valid UTF-8, 1...160 bytes
        TransportKeys keys;
        Bytes handshakeHash;
    };

    // Without an ephemeral key a fresh one is generated.
    XXResponder(P256PrivateKey staticKey, ByteView roomID, std::optional<P256PrivateKey> ephemeral = std::nullopt,
                bool traced = false);

    void readMessage1(ByteView message);
    Bytes writeMessage2();
    Enrolment readMessage3(ByteView message);

    Stage stage() const { return stage_; }
    std::optional<HandshakeTrace> finishedTrace;

private:
    void fail();

    Stage stage_ = Stage::start;
    std::optional<SymmetricState> symmetric_;
    std::optional<P256PrivateKey> staticKey_;
    std::optional<P256PrivateKey> ephemeral_;
    std::optional<P256PublicKey> deviceEphemeral_;
    std::optional<Bytes> commit_;
};

// The device's half: the host never plays it, but it fixes what an enrolling
// device sends and lets both halves be run against each other.
class XXInitiator {
public:
    enum class Stage { start, wrote1, read2, done, failed };

    struct Result {
        Bytes record;
        TransportKeys keys;
        Bytes handshakeHash;
    };

    // Without a commitment it is computed from the static key, salt and
    // name; a given one is sent unchanged.
    XXInitiator(P256PrivateKey staticKey, ByteView roomID, ByteView name, ByteView salt,
                std::optional<P256PrivateKey> ephemeral = std::nullopt, std::optional<Bytes> commit = std::nullopt,
                bool traced = false);

    Bytes writeMessage1();
    // Returns the Mac's static key as received.
    Bytes readMessage2(ByteView message);
    Result writeMessage3();

    Stage stage() const { return stage_; }
    const Bytes& commit() const { return commit_; }
    // When set, message 3 carries these bytes instead of salt, length and name.
    std::optional<Bytes> payload3Override;
    std::optional<HandshakeTrace> finishedTrace;

private:
    void fail();

    Stage stage_ = Stage::start;
    std::optional<SymmetricState> symmetric_;
    std::optional<P256PrivateKey> staticKey_;
    std::optional<P256PrivateKey> ephemeral_;
    std::optional<P256PublicKey> macEphemeral_;
    Bytes name_;
    Bytes salt_;
    Bytes commit_;
};

}  // namespace morvane

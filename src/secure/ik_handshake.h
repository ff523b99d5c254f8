// The IK handshake that opens every session of an enrolled device: the
// device knows the Mac's static key beforehand and proves its own in the
// first message; one message each way yields the transport keys.
#pragma once

#include <functional>
#include <optional>

#include "secure/secure_channel.h"

namespace morvane {

// The Mac's half. One object per attempt; any failure leaves it failed and
// every later call throws "bad-state".
class IKResponder {
public:
    enum class Stage { start, read1, done, failed };

    struct Message2 {
        Bytes record;
        TransportKeys keys;
        Bytes handshakeHash;
    };

    // Without an ephemeral key a fresh one is generated.
    IKResponder(P256PrivateKey staticKey, ByteView roomID, std::optional<P256PrivateKey> ephemeral = std::nullopt,
                bool traced = false);

    // Returns the device's static key as the 65 bytes that arrived. `lookup`
    // is asked once, after the key decrypted to a valid point and before it
    // is used in a key agreement, whether that key may open a session.
    Bytes readMessage1(ByteView message, const std::function<bool(ByteView)>& lookup);
    Message2 writeMessage2();

    Stage stage() const { return stage_; }
    std::optional<HandshakeTrace> trace() const;
    std::optional<HandshakeTrace> finishedTrace;

private:
    void fail();

    Stage stage_ = Stage::start;
    std::optional<SymmetricState> symmetric_;
    P256PrivateKey staticKey_;
    std::optional<P256PrivateKey> ephemeral_;
    std::optional<P256PublicKey> deviceEphemeral_;
    std::optional<P256PublicKey> deviceStatic_;
};

// The device's half: the host never plays it, but it fixes what a device
// sends and lets both halves be run against each other.
class IKInitiator {
public:
    enum class Stage { start, wrote1, done, failed };

    struct Result {
        TransportKeys keys;
        Bytes handshakeHash;
    };

    IKInitiator(P256PrivateKey staticKey, ByteView remoteStatic, ByteView roomID,
                std::optional<P256PrivateKey> ephemeral = std::nullopt, bool traced = false);

    Bytes writeMessage1();
    Result readMessage2(ByteView message);

    Stage stage() const { return stage_; }
    std::optional<HandshakeTrace> finishedTrace;

private:
    void fail();

    Stage stage_ = Stage::start;
    std::optional<SymmetricState> symmetric_;
    std::optional<P256PrivateKey> staticKey_;
    Bytes remoteStatic_;
    std::optional<P256PrivateKey> ephemeral_;
};

}  // namespace morvane

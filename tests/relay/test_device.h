// A device as the relay sees it, built from the secure channel's device
// halves: it enrols with XX (and derives the code the owner must see), opens
// sessions with IK, seals its messages and credits, and opens, reassembles
// and counts what the host sends. It does no I/O: records go out through the
// caller, so unit tests, the end-to-end tests and the test-device program
// drive it the same way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "secure/ik_handshake.h"
#include "secure/secure_channel.h"
#include "secure/transport.h"
#include "secure/xx_handshake.h"

namespace morvane::testing {

class TestDevice {
public:
    // What arrived from the host: a whole message, or the session's end.
    struct Received {
        enum class Kind { text, binary, close };
        Kind kind = Kind::text;
        Bytes data;
        std::string text() const { return std::string(data.begin(), data.end()); }
        bool operator==(const Received&) const = default;
    };

    TestDevice(std::string name, Bytes roomID, std::optional<P256PrivateKey> staticKey = std::nullopt);

    const Bytes& publicKey() const { return publicKey_; }
    // The same device under another name, as after the owner renamed it.
    TestDevice renamed(std::string name) const { return TestDevice(std::move(name), roomID_, staticKey_); }
    const std::string& name() const { return name_; }

    // Enrolment: message 1, then message 3 from the host's message 2. The
    // code is known once message 3 is written.
    Bytes enrolMessage1();
    Bytes enrolMessage3(ByteView message2);
    const std::optional<std::string>& code() const { return code_; }
    const std::optional<Bytes>& macKey() const { return macKey_; }
    // True when the record is the host's sealed "enrolled" message.
    bool readEnrolled(ByteView record);

    // Sessions: needs the Mac's static key, learnt at enrolment or given.
    Bytes sessionMessage1(std::optional<Bytes> macKey = std::nullopt);
    void sessionMessage2(ByteView message2);
    bool inSession() const { return sender_.has_value(); }

    // Records towards the host.
    Bytes text(std::string_view message);
    Bytes binary(ByteView message);
    Bytes close();
    Bytes credit(std::uint64_t count);
    // Credit for everything received so far.
    Bytes creditAll() { return credit(receivedBytes_); }
    Bytes hello() { return text(SecureChannel::helloMessage); }
    // Seals with arbitrary flags, for records a well-behaved device never sends.
    Bytes raw(std::uint8_t flags, ByteView data);

    // A record from the host; nothing while a fragmented message is incomplete.
    std::optional<Received> receive(ByteView record);
    std::uint64_t receivedBytes() const { return receivedBytes_; }
    std::uint64_t sentRecords() const { return sender_ ? sender_->count : 0; }

private:
    std::string name_;
    Bytes roomID_;
    P256PrivateKey staticKey_;
    Bytes publicKey_;
    std::optional<XXInitiator> xx_;
    std::optional<IKInitiator> ik_;
    std::optional<std::string> code_;
    std::optional<Bytes> macKey_;
    std::optional<TransportKeys> enrolKeys_;
    std::optional<TransportSender> sender_;
    std::optional<TransportReceiver> receiver_;
    std::optional<Reassembler> reassembler_;
    std::uint64_t receivedBytes_ = 0;
};

}  // namespace morvane::testing

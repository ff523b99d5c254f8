// The record layer that carries a session after its handshake. Each record
// is 0x20, an 8-byte big-endian counter, then the AES-GCM sealing of a flags
// byte and the data, with the 9-byte header as associated data. Counters
// travel in the clear and must arrive strictly in order; there is no rekeying.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "secure/secure_channel.h"

namespace morvane {

// The end at which a receiver sits; it sets how large an arriving record may
// be and which flags it accepts.
enum class TransportEnd { mac, device };

// Largest data length of a record arriving at this end.
std::size_t dataMax(TransportEnd end);

class TransportSender {
public:
    explicit TransportSender(const SymmetricKey& key, std::uint64_t maxRecords = SecureChannel::maxRecords);

    // The counter of the next record, also the number sealed so far.
    std::uint64_t count = 0;

    std::uint64_t maxRecords() const { return maxRecords_; }
    // Records that can still be sealed; 0 once discarded.
    std::uint64_t remaining() const;

    // One record; neither flags nor length are checked here.
    Bytes seal(std::uint8_t flags, ByteView data);
    // A kind byte (1 text, 2 binary, 3 close) and the message body, cut into
    // 240,000-byte pieces. Either every record is returned or, when a check
    // fails, nothing is sealed.
    std::vector<Bytes> records(ByteView message);
    void discard() { key_.reset(); }

private:
    std::optional<SymmetricKey> key_;
    std::uint64_t maxRecords_;
};

class TransportReceiver {
public:
    struct Opened {
        std::uint8_t flags = 0;
        Bytes data;
        bool operator==(const Opened&) const = default;
    };

    TransportReceiver(const SymmetricKey& key, TransportEnd end, std::uint64_t maxRecords = SecureChannel::maxRecords);

    // The counter the next record must carry.
    std::uint64_t expected = 0;

    TransportEnd end() const { return end_; }
    std::uint64_t maxRecords() const { return maxRecords_; }

    // Any failure removes the key: one bad record ends the direction.
    Opened open(ByteView record);
    void discard() { key_.reset(); }

private:
    Opened openChecked(ByteView record);

    std::optional<SymmetricKey> key_;
    TransportEnd end_;
    std::uint64_t maxRecords_;
};

// Puts the host's fragments back together on the device's side.
class Reassembler {
public:
    struct Message {
        std::uint8_t kind = 0;
        Bytes message;
        bool operator==(const Message&) const = default;
    };

    explicit Reassembler(std::size_t limit, std::size_t fragmentSize = SecureChannel::fragmentDataMax);

    bool inProgress() const { return kind_.has_value(); }
    bool failed() const { return failed_; }
    // Nothing while a message is still incomplete. Any failure is final.
    std::optional<Message> add(std::uint8_t flags, ByteView data);

private:
    std::optional<Message> addChecked(std::uint8_t flags, ByteView data);

    std::size_t limit_;
    std::size_t fragmentSize_;
    std::optional<std::uint8_t> kind_;
    Bytes buffer_;
    bool failed_ = false;
};

// The 8-byte body of a credit record: a cumulative count, big-endian.
namespace Credit {
Bytes encode(std::uint64_t count);
// Anything but exactly 8 bytes throws "bad-ack".
std::uint64_t decode(ByteView body);
}  // namespace Credit

}  // namespace morvane

#include "relay/relayed_wire.h"

#include <algorithm>
#include <utility>

namespace morvane {

using namespace SecureChannel;

namespace {
constexpr std::size_t frameHeaderLength = 5;

std::uint32_t readLength(ByteView bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) |
           std::uint32_t{bytes[3]};
}
}  // namespace

std::shared_ptr<RelayWire> RelayWire::create(Setup setup) { return std::make_shared<RelayWire>(std::move(setup)); }

RelayWire::RelayWire(Setup setup)
    : id(setup.id),
      deviceID(std::move(setup.deviceID)),
      deviceName(std::move(setup.deviceName)),
      started(setup.started),
      host_(std::move(setup.host)),
      link_(std::move(setup.link)),
      queue_(*setup.queue),
      limits_(setup.limits),
      sender_(TransportSender(setup.sendKey, setup.limits.maxRecords)),
      receiver_(std::move(setup.receiver)) {}

Bytes RelayWire::encode(WSOpcode opcode, std::span<const std::uint8_t> payload) {
    Bytes out;
    out.reserve(frameHeaderLength + payload.size());
    out.push_back(opcode == WSOpcode::text ? flagText : flagBinary);
    const auto length = static_cast<std::uint32_t>(payload.size());
    out.push_back(static_cast<std::uint8_t>(length >> 24));
    out.push_back(static_cast<std::uint8_t>(length >> 16));
    out.push_back(static_cast<std::uint8_t>(length >> 8));
    out.push_back(static_cast<std::uint8_t>(length));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// The close code stays on this side: the device learns only that the
// session is over.
Bytes RelayWire::encodeClose(std::uint16_t) { return Bytes{flagClose}; }

void RelayWire::later(std::function<void(bool)> completion, bool ok) {
    queue_.post([completion = std::move(completion), ok] { completion(ok); });
}

void RelayWire::write(Bytes data, std::function<void(bool)> completion) {
    if (!sender_) return later(std::move(completion), false);

    if (data.size() == 1 && data[0] == flagClose) {
        // The owner's callback may drop its last hold on this wire.
        auto self = shared_from_this();
        std::optional<Bytes> record;
        try {
            record = sender_->seal(flagClose, {});
        } catch (const SecureChannelError&) {
        }
        if (auto host = host_.lock()) host->wireClosed(*this);
        if (sender_) detach();
        if (!record) return later(std::move(completion), false);
        link_->send(id, std::move(*record), std::move(completion));
        return;
    }

    // Sealing works on a copy that replaces the sender only when every frame
    // sealed: a refused write leaves the counter where it was, and nothing
    // sealed under it has left.
    TransportSender working = *sender_;
    std::vector<Bytes> records;
    std::uint64_t total = 0;
    try {
        ByteView rest(data);
        while (!rest.empty()) {
            if (rest.size() < frameHeaderLength) throw SecureChannelError::badLength;
            const std::uint32_t length = readLength(rest.subspan(1, 4));
            if (rest.size() - frameHeaderLength < length) throw SecureChannelError::badLength;
            Bytes message;
            message.reserve(1 + length);
            message.push_back(rest[0]);
            const auto payload = rest.subspan(frameHeaderLength, length);
            message.insert(message.end(), payload.begin(), payload.end());
            for (auto& record : working.records(message)) records.push_back(std::move(record));
            total += length;
            rest = rest.subspan(frameHeaderLength + length);
        }
    } catch (const SecureChannelError& error) {
        closeWord = error.word;
        return later(std::move(completion), false);
    }
    sender_ = std::move(working);
    sent_ += total;
    if (records.empty()) return later(std::move(completion), true);

    auto failed = std::make_shared<bool>(false);
    std::weak_ptr<RelayWire> weak = weak_from_this();
    const std::size_t last = records.size() - 1;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (i < last) {
            link_->send(id, std::move(records[i]), [failed](bool ok) {
                if (!ok) *failed = true;
            });
            continue;
        }
        link_->send(id, std::move(records[i]), [weak, failed, completion = std::move(completion)](bool ok) {
            if (!ok) *failed = true;
            auto wire = weak.lock();
            if (!wire) return completion(false);
            wire->finishWrite(completion, *failed);
        });
    }
}

void RelayWire::finishWrite(std::function<void(bool)> completion, bool failed) {
    if (!sender_ || failed) return completion(false);
    if (holdReleased_) return completion(true);
    if (sent_ - acked_ > static_cast<std::uint64_t>(limits_.creditWindow)) {
        held_ = std::move(completion);
        armStall();
        return;
    }
    completion(true);
}

void RelayWire::acknowledge(ByteView body) {
    std::uint64_t count = 0;
    try {
        count = Credit::decode(body);
    } catch (const SecureChannelError&) {
        throw SecureChannelError::badAck;
    }
    if (count <= acked_ || count > sent_) throw SecureChannelError::badAck;
    acked_ = count;
    if (!held_) return;
    if (sent_ - acked_ <= static_cast<std::uint64_t>(limits_.creditWindow)) {
        auto completion = std::exchange(held_, nullptr);
        ++stallSerial_;
        completion(true);
    } else {
        armStall();
    }
}

void RelayWire::armStall() {
    const std::uint64_t serial = ++stallSerial_;
    std::weak_ptr<RelayWire> weak = weak_from_this();
    queue_.postAfter(millisFromSeconds(limits_.creditStallSeconds), [weak, serial] {
        auto wire = weak.lock();
        if (!wire || !wire->held_ || wire->stallSerial_ != serial) return;
        if (auto host = wire->host_.lock()) host->wireStalled(*wire);
    });
}

void RelayWire::releaseHold() {
    holdReleased_ = true;
    if (!held_) return;
    auto completion = std::exchange(held_, nullptr);
    ++stallSerial_;
    completion(true);
}

void RelayWire::sendClose() {
    try {
        link_->send(id, sender_->seal(flagClose, {}), [](bool) {});
    } catch (const SecureChannelError&) {
    }
}

void RelayWire::cancel() {
    if (!sender_) return;
    auto self = shared_from_this();
    sendClose();
    if (auto host = host_.lock()) host->wireClosed(*this);
    if (sender_) detach();
}

void RelayWire::closeUnaccepted() {
    if (sender_) sendClose();
    detach();
}

void RelayWire::detach() {
    if (sender_) sender_->discard();
    if (receiver_) receiver_->discard();
    sender_.reset();
    receiver_.reset();
    ++stallSerial_;
    if (held_) later(std::exchange(held_, nullptr), false);
}

TransportReceiver::Opened RelayWire::open(ByteView record) {
    if (!receiver_) throw SecureChannelError::badState;
    try {
        return receiver_->open(record);
    } catch (...) {
        receiver_.reset();
        throw;
    }
}

bool RelayWire::nearRecordLimit() const {
    if (!sender_ || !receiver_) return false;
    const std::uint64_t margin = limits_.renewMargin();
    const std::uint64_t received = receiver_->expected;
    return sender_->remaining() < margin || limits_.maxRecords - std::min(received, limits_.maxRecords) < margin;
}

}  // namespace morvane

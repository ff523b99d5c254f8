// The stand-in for a relayed device's WebSocket. The server writes framed
// messages to it as to any wire; it seals them into transport records for
// the device's connection id on the relay link, and it holds a write's
// completion back while more than the credit window is unacknowledged, which
// is what slows a server that keeps one write in flight. The relay host
// opens the device's records through it and applies the device's credits.
// Everything runs on the server's session queue; nothing is locked.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/executor.h"
#include "relay/relay_host_limits.h"
#include "relay/relay_link_transport.h"
#include "secure/transport.h"
#include "server/connection_wire.h"
#include "server/remote_server.h"

namespace morvane {

class RelayWire;

// What a wire reports to the relay host that owns its session.
class RelayWireOwner {
public:
    virtual ~RelayWireOwner() = default;
    // The server closed or cancelled the session: end it without calling
    // the server back.
    virtual void wireClosed(RelayWire& wire) = 0;
    // A held write got no credit in time.
    virtual void wireStalled(RelayWire& wire) = 0;
};

class RelayWire final : public ConnectionWire, public std::enable_shared_from_this<RelayWire> {
public:
    struct Setup {
        std::uint32_t id = 0;
        std::string deviceID;
        std::string deviceName;
        double started = 0;
        std::weak_ptr<RelayWireOwner> host;
        std::shared_ptr<RelayLinkTransport> link;
        Executor* queue = nullptr;
        RelayHostLimits limits;
        SymmetricKey sendKey;
        // Has already opened the session's first record.
        std::optional<TransportReceiver> receiver;
    };

    static std::shared_ptr<RelayWire> create(Setup setup);

    const std::uint32_t id;
    const std::string deviceID;
    const std::string deviceName;
    const double started;
    // The server's handle; absent until accepted and once the session ended.
    std::optional<RelayedConnection> connection;
    // The word this side ended the session with, logged in place of the host's.
    std::optional<std::string> closeWord;

    // ConnectionWire.
    Bytes encode(WSOpcode opcode, std::span<const std::uint8_t> payload) override;
    Bytes encodeClose(std::uint16_t code) override;
    void write(Bytes data, std::function<void(bool)> completion) override;
    void cancel() override;
    void releaseHold() override;
    // The relay's page, which the device is on.
    std::string pageOrigin() const override { return link_ ? link_->pageOrigin() : std::string(); }

    // For the relay host. `open` throws SecureChannelError; any failure
    // removes the receiver so the next record fails with "bad-state".
    TransportReceiver::Opened open(ByteView record);
    // Applies the device's cumulative credit; anything not strictly above
    // the last count or above what was sent throws "bad-ack".
    void acknowledge(ByteView body);
    void armStall();
    void detach();
    void closeUnaccepted();

    bool attached() const { return sender_.has_value(); }
    bool nearRecordLimit() const;
    std::uint64_t sent() const { return sent_; }
    std::uint64_t acked() const { return acked_; }
    bool holding() const { return static_cast<bool>(held_); }
    const std::optional<TransportSender>& sender() const { return sender_; }
    const std::optional<TransportReceiver>& receiver() const { return receiver_; }

    explicit RelayWire(Setup setup);

private:
    void later(std::function<void(bool)> completion, bool ok);
    void sendClose();
    void finishWrite(std::function<void(bool)> completion, bool failed);

    std::weak_ptr<RelayWireOwner> host_;
    std::shared_ptr<RelayLinkTransport> link_;
    Executor& queue_;
    RelayHostLimits limits_;
    std::optional<TransportSender> sender_;
    std::optional<TransportReceiver> receiver_;
    std::uint64_t sent_ = 0;
    std::uint64_t acked_ = 0;
    std::function<void(bool)> held_;
    std::uint64_t stallSerial_ = 0;
    bool holdReleased_ = false;
};

}  // namespace morvane

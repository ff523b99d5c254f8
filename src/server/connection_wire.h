// A session's transport: how its messages are framed and written. Local
// WebSocket connections and relayed channels each have their own.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/types.h"
#include "protocol/ws_codec.h"

namespace morvane {

class ConnectionWire {
public:
    virtual ~ConnectionWire() = default;
    // Frames one message of the given kind for this transport.
    virtual Bytes encode(WSOpcode opcode, std::span<const std::uint8_t> payload) = 0;
    virtual Bytes encodeClose(std::uint16_t code) = 0;
    // Sends bytes; the completion says whether they went out. It runs on
    // the server queue.
    virtual void write(Bytes data, std::function<void(bool)> completion) = 0;
    // Sends several buffers back to back, in order, as one write: the
    // completion says whether all of them went out. By default they are
    // joined and handed to `write`; a transport that can gather overrides it.
    virtual void writeAll(std::vector<Bytes> parts, std::function<void(bool)> completion);
    // Ends the transport at once.
    virtual void cancel() = 0;
    // The close handshake has begun: let go of anything held back.
    virtual void releaseHold() = 0;
    // The origin ("https://host/") of the page at the far end when it is
    // not this computer's own, as for the relay's page; else empty.
    virtual std::string pageOrigin() const { return {}; }
};

// What a controlling session offers the sound relay.
class AudioLink {
public:
    virtual ~AudioLink() = default;
    virtual void sendAudioState(const nlohmann::json& message) = 0;
    // Returns how many packets were dropped.
    virtual int offerAudio(const Bytes& packet, std::int64_t frames) = 0;
    virtual void dropPendingAudio() = 0;
};

}  // namespace morvane

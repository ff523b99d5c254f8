// The incremental reader of the frames a device sends: masked, possibly
// fragmented, within small limits. It does no I/O; the connection feeds it
// what arrives and acts on the events.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "core/types.h"
#include "protocol/ws_codec.h"

namespace morvane {

namespace ws_event {
// A complete text or binary message.
struct Message {
    WSOpcode opcode = WSOpcode::text;
    Bytes data;
    bool operator==(const Message&) const = default;
};
struct Ping {
    Bytes data;
    bool operator==(const Ping&) const = default;
};
struct Pong {
    bool operator==(const Pong&) const = default;
};
struct Close {
    bool operator==(const Close&) const = default;
};
}  // namespace ws_event

class WSParser {
public:
    using Event = std::variant<ws_event::Message, ws_event::Ping, ws_event::Pong, ws_event::Close>;

    static constexpr std::uint16_t protocolError = 1002;
    static constexpr std::uint16_t messageTooBig = 1009;

    // What one call completed: every event, in order, or the close code
    // the connection should use (protocolError or messageTooBig), in which
    // case the events of that call are dropped. A parser that failed is
    // not used again.
    struct Fed {
        std::vector<Event> events;
        std::optional<std::uint16_t> failure;
        bool operator==(const Fed&) const = default;
    };

    // Appends the bytes. A close event ends the call; the bytes behind it
    // stay buffered. Never throws on what a peer sends.
    Fed feed(std::span<const std::uint8_t> data);

    // Bytes received but not yet consumed.
    std::size_t bufferedBytes() const { return buffer_.size(); }

private:
    Bytes buffer_;
    std::optional<WSOpcode> fragmentOpcode_;
    Bytes fragments_;
};

}  // namespace morvane

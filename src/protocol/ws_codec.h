// The server side of the WebSocket protocol (RFC 6455) that the built-in
// client needs: the handshake's accept key and unfragmented, unmasked frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/types.h"

namespace morvane {

namespace WSLimits {
// One frame's payload, and a fragmented message's payloads together; also
// the largest relayed message.
inline constexpr std::size_t maxMessageBytes = 16'384;
// From the upgrade to an accepted first message.
inline constexpr double authSeconds = 5.0;
// A controller silent for longer is ended with "timeout".
inline constexpr double idleSeconds = 15.0;
inline constexpr std::size_t maxQueuedControlMessages = 256;
// What a connection may send before its first message is accepted.
inline constexpr std::size_t maxPreAuthBytes = 4'096;
}  // namespace WSLimits

enum class WSOpcode : std::uint8_t {
    continuation = 0x0,
    text = 0x1,
    binary = 0x2,
    close = 0x8,
    ping = 0x9,
    pong = 0xA,
};
// No value for the reserved opcodes.
std::optional<WSOpcode> wsOpcodeFromRaw(std::uint8_t raw);

namespace WSCodec {
// The "Sec-WebSocket-Accept" value for a "sec-websocket-key" as received.
std::string acceptKey(std::string_view key);
// One final, unmasked frame.
Bytes frame(WSOpcode opcode, std::span<const std::uint8_t> payload);
// A close frame whose payload is the code alone, big-endian.
Bytes closeFrame(std::uint16_t code);
}  // namespace WSCodec

}  // namespace morvane

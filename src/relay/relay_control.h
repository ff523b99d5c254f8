// What travels on the host's link to the relay, without any I/O: the socket
// address, the control texts in both directions and the binary frames that
// carry one device connection's record behind its 4-byte id. Parsers never
// throw on what the relay sends.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/types.h"
#include "relay/relay_link_transport.h"
#include "relay/relay_url.h"
#include "relay/relay_words.h"

namespace morvane {

namespace RelayLinkLimits {
inline constexpr std::string_view subprotocol = "morvane.v1";
inline constexpr std::string_view hostPath = "/relay/v1/host";
inline constexpr std::string_view hostAuthHeader = "X-Morvane-Host-Auth";
// Largest WebSocket message the host accepts.
inline constexpr std::size_t maxIncomingMessageBytes = 65'536;
// Largest control text parsed, in UTF-8 bytes.
inline constexpr std::size_t maxControlBytes = 4'096;
inline constexpr std::size_t maxDevicesListed = 64;
// Close codes and upgrade statuses the relay answers with.
inline constexpr int closeRefused = RelayLinkClose::refused.code;
inline constexpr int closeReplaced = RelayLinkClose::replaced.code;
inline constexpr int closeNotOnAccount = RelayLinkClose::notOnAccount.code;
inline constexpr int goingAway = RelayLinkClose::goingAway.code;
}  // namespace RelayLinkLimits

namespace RelayControl {

struct Challenge {
    Bytes nonce;  // 32 bytes
    bool operator==(const Challenge&) const = default;
};
struct Welcome {
    std::string room;  // 32 lower-case hex digits
    std::vector<RelayConnectionID> devices;
    bool operator==(const Welcome&) const = default;
};
struct Joined {
    RelayConnectionID id = 0;
    bool operator==(const Joined&) const = default;
};
struct Left {
    RelayConnectionID id = 0;
    bool operator==(const Left&) const = default;
};
using Message = std::variant<Challenge, Welcome, Joined, Left>;

// The parsed control text, or absent for anything malformed, unknown or
// over the control text limit.
std::optional<Message> parse(std::string_view text);
// A whole JSON number from 1 to 4,294,967,295 ("7.0" counts as 7);
// booleans, strings, fractions and anything out of range are refused.
std::optional<RelayConnectionID> connectionID(const nlohmann::json& value);

std::string prove(std::string_view signature);
std::string drop(RelayConnectionID id);

// The link's address: base + "/relay/v1/host/" + hex room id. Absent unless
// the scheme is ws or wss, there is a host, and no query or fragment.
std::optional<RelayURL> socketURL(std::string_view baseURL, std::span<const std::uint8_t> roomID);

}  // namespace RelayControl

namespace RelayFrame {
// 4 bytes of id, big-endian, then the record.
Bytes make(RelayConnectionID id, std::span<const std::uint8_t> record);
struct Parsed {
    RelayConnectionID id = 0;
    std::span<const std::uint8_t> record;
};
// Absent for a frame shorter than 5 bytes (an id and at least one byte).
std::optional<Parsed> split(std::span<const std::uint8_t> frame);
}  // namespace RelayFrame

}  // namespace morvane

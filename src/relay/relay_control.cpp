#include "relay/relay_control.h"

#include <cmath>
#include <nlohmann/json.hpp>
#include <set>

#include "relay/relay_bytes.h"

namespace morvane {

namespace RelayControl {

std::optional<RelayConnectionID> connectionID(const nlohmann::json& value) {
    if (value.is_number_unsigned()) {
        const auto v = value.get<std::uint64_t>();
        if (v < 1 || v > 0xFFFF'FFFFull) return std::nullopt;
        return static_cast<RelayConnectionID>(v);
    }
    if (value.is_number_integer()) {
        const auto v = value.get<std::int64_t>();
        if (v < 1 || v > 0xFFFF'FFFFll) return std::nullopt;
        return static_cast<RelayConnectionID>(v);
    }
    if (value.is_number_float()) {
        const double v = value.get<double>();
        if (!std::isfinite(v) || v != std::floor(v) || v < 1 || v > 4'294'967'295.0) return std::nullopt;
        return static_cast<RelayConnectionID>(v);
    }
    return std::nullopt;
}

namespace {
bool isLowerHex(const std::string& text) {
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

const nlohmann::json* member(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}
}  // namespace

std::optional<Message> parse(std::string_view text) {
    if (text.size() > RelayLinkLimits::maxControlBytes) return std::nullopt;
    const auto object = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
    if (object.is_discarded() || !object.is_object() || object.empty()) return std::nullopt;
    const auto* type = member(object, "t");
    if (!type || !type->is_string()) return std::nullopt;
    const auto& t = type->get_ref<const std::string&>();
    if (t == "challenge") {
        const auto* nonce = member(object, "nonce");
        if (!nonce || !nonce->is_string()) return std::nullopt;
        auto bytes = RelayBytes::fromB64u(nonce->get_ref<const std::string&>());
        if (!bytes || bytes->size() != 32) return std::nullopt;
        return Challenge{std::move(*bytes)};
    }
    if (t == "welcome") {
        const auto* room = member(object, "room");
        if (!room || !room->is_string()) return std::nullopt;
        const auto& roomText = room->get_ref<const std::string&>();
        if (roomText.size() != 32 || !isLowerHex(roomText)) return std::nullopt;
        const auto* devices = member(object, "devices");
        if (!devices || !devices->is_array() || devices->size() > RelayLinkLimits::maxDevicesListed)
            return std::nullopt;
        Welcome welcome{roomText, {}};
        std::set<RelayConnectionID> seen;
        for (const auto& value : *devices) {
            const auto id = connectionID(value);
            if (!id || !seen.insert(*id).second) return std::nullopt;
            welcome.devices.push_back(*id);
        }
        return welcome;
    }
    if (t == "joined" || t == "left") {
        const auto* c = member(object, "c");
        if (!c) return std::nullopt;
        const auto id = connectionID(*c);
        if (!id) return std::nullopt;
        if (t == "joined") return Joined{*id};
        return Left{*id};
    }
    return std::nullopt;
}

std::string prove(std::string_view signature) {
    return std::string(R"({"t":"prove","sig":")") + std::string(signature) + "\"}";
}

std::string drop(RelayConnectionID id) {
    return R"({"t":"drop","c":)" + std::to_string(id) + R"(,"why":"refused"})";
}

std::optional<RelayURL> socketURL(std::string_view baseURL, std::span<const std::uint8_t> roomID) {
    const std::string text =
        std::string(baseURL) + std::string(RelayLinkLimits::hostPath) + "/" + RelayBytes::hex(roomID);
    auto url = parseRelayURL(text);
    if (!url || (url->scheme != "wss" && url->scheme != "ws") || url->hasQuery || url->hasFragment || url->hasUser)
        return std::nullopt;
    return url;
}

}  // namespace RelayControl

namespace RelayFrame {

Bytes make(RelayConnectionID id, std::span<const std::uint8_t> record) {
    Bytes frame = RelayBytes::u32(id);
    frame.insert(frame.end(), record.begin(), record.end());
    return frame;
}

std::optional<Parsed> split(std::span<const std::uint8_t> frame) {
    if (frame.size() < 5) return std::nullopt;
    return Parsed{RelayBytes::readU32(frame), frame.subspan(4)};
}

}  // namespace RelayFrame

}  // namespace morvane

#include "transfer/clipboard_message.h"

#include <cmath>

#include "transfer/clipboard_text.h"

namespace morvane {

namespace {

// A JSON number that is no boolean, finite, whole and below a million in
// magnitude.
std::optional<int> integer(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end()) return std::nullopt;
    const nlohmann::json& v = *it;
    if (v.is_number_integer()) {
        if (v.is_number_unsigned()) {
            const auto u = v.get<std::uint64_t>();
            if (u >= 1'000'000) return std::nullopt;
            return static_cast<int>(u);
        }
        const auto i = v.get<std::int64_t>();
        if (i <= -1'000'000 || i >= 1'000'000) return std::nullopt;
        return static_cast<int>(i);
    }
    if (v.is_number_float()) {
        const double d = v.get<double>();
        if (!std::isfinite(d) || std::trunc(d) != d || std::fabs(d) >= 1'000'000) return std::nullopt;
        return static_cast<int>(d);
    }
    return std::nullopt;
}

std::optional<int> transferID(const nlohmann::json& object) {
    const auto id = integer(object, "id");
    if (!id || *id < 1 || *id > ClipboardLimits::maxTransferID) return std::nullopt;
    return id;
}

}  // namespace

std::optional<ClipboardRequest> parseClipboardRequest(std::string_view type, const nlohmann::json& object) {
    if (!object.is_object()) return std::nullopt;
    if (type == "clip-get") {
        const auto id = transferID(object);
        if (!id) return std::nullopt;
        return clipboard_request::Get{*id};
    }
    if (type == "clip-put") {
        const auto id = transferID(object);
        if (!id) return std::nullopt;
        const auto n = integer(object, "n");
        if (!n || *n < 1) return std::nullopt;
        const auto len = integer(object, "len");
        if (!len || *len < 1) return std::nullopt;
        return clipboard_request::PutBegin{*id, *n, *len};
    }
    if (type == "clip-chunk") {
        const auto id = transferID(object);
        if (!id) return std::nullopt;
        const auto i = integer(object, "i");
        if (!i || *i < 0 || *i >= ClipboardLimits::maxChunks) return std::nullopt;
        const auto s = object.find("s");
        if (s == object.end() || !s->is_string()) return std::nullopt;
        const auto& text = s->get_ref<const std::string&>();
        // A byte count bounds the unit count from above, so only longer
        // strings need counting.
        if (text.empty()) return std::nullopt;
        if (text.size() > static_cast<std::size_t>(ClipboardLimits::maxChunkCharacters) &&
            ClipboardText::length(text) > ClipboardLimits::maxChunkCharacters)
            return std::nullopt;
        return clipboard_request::PutChunk{*id, *i, text};
    }
    return std::nullopt;
}

namespace ClipboardMessage {

nlohmann::json state(int id, std::string_view state) {
    return {{"t", "clip"}, {"id", id}, {"state", state}};
}

std::vector<nlohmann::json> text(int id, const std::string& text, bool cut) {
    const auto pieces = ClipboardText::chunks(text, ClipboardLimits::sendChunkCharacters);
    std::vector<nlohmann::json> messages;
    messages.reserve(pieces.size() + 1);
    messages.push_back({{"t", "clip"},
                        {"id", id},
                        {"state", "text"},
                        {"n", pieces.size()},
                        {"len", ClipboardText::length(text)},
                        {"cut", cut}});
    for (std::size_t i = 0; i < pieces.size(); ++i)
        messages.push_back({{"t", "clip-data"}, {"id", id}, {"i", i}, {"s", pieces[i]}});
    return messages;
}

nlohmann::json putResult(int id, std::optional<std::string_view> error) {
    nlohmann::json message = {{"t", "clip-put-result"}, {"id", id}, {"ok", !error.has_value()}};
    if (error) message["error"] = *error;
    return message;
}

}  // namespace ClipboardMessage

}  // namespace morvane

// The clipboard's messages in both directions: the device's requests, read
// from parsed JSON objects, and the host's answers, built as JSON objects.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace morvane {

namespace clipboard_request {
struct Get {
    int id = 0;
    bool operator==(const Get&) const = default;
};
struct PutBegin {
    int id = 0;
    int chunks = 0;
    int length = 0;
    bool operator==(const PutBegin&) const = default;
};
struct PutChunk {
    int id = 0;
    int index = 0;
    std::string text;
    bool operator==(const PutChunk&) const = default;
};
}  // namespace clipboard_request
using ClipboardRequest =
    std::variant<clipboard_request::Get, clipboard_request::PutBegin, clipboard_request::PutChunk>;

// "clip-get", "clip-put" and "clip-chunk" with every field checked; nothing
// for another type or for a missing or invalid field.
std::optional<ClipboardRequest> parseClipboardRequest(std::string_view type, const nlohmann::json& object);

namespace ClipboardMessage {
nlohmann::json state(int id, std::string_view state);
// The "clip" header of a text answer followed by its "clip-data" pieces.
std::vector<nlohmann::json> text(int id, const std::string& text, bool cut);
nlohmann::json putResult(int id, std::optional<std::string_view> error);
}  // namespace ClipboardMessage

}  // namespace morvane

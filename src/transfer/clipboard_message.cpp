#include "transfer/clipboard_message.h"

#include "transfer/clipboard_text.h"

namespace morvane {

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

// The host's clipboard answers, built as JSON objects. (The device's requests
// are read with the rest of the message catalogue.)
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvane {

namespace ClipboardMessage {
nlohmann::json state(int id, std::string_view state);
// The "clip" header of a text answer followed by its "clip-data" pieces.
std::vector<nlohmann::json> text(int id, const std::string& text, bool cut);
nlohmann::json putResult(int id, std::optional<std::string_view> error);
}  // namespace ClipboardMessage

}  // namespace morvane

// Clipboard text as both ends measure it: UTF-16 code units, never cutting a
// surrogate pair, and the rule that keeps password-like contents at home.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace morvane {

namespace ClipboardLimits {
inline constexpr int maxCharacters = 100'000;
inline constexpr int maxChunks = 128;
inline constexpr int maxChunkCharacters = 4096;
inline constexpr int sendChunkCharacters = 4000;
inline constexpr int maxTransferID = 999'999;
inline constexpr std::int64_t transferMillis = 30'000;
inline constexpr std::int64_t minIntervalMillis = 1000;
inline constexpr std::int64_t askingAfterMillis = 1000;
inline constexpr std::int64_t readGiveUpMillis = 60'000;
}  // namespace ClipboardLimits

namespace ClipboardText {
// UTF-16 code units of the text. A byte that is not part of valid UTF-8
// counts as one unit, as the replacement character it would become.
int length(std::string_view text);

struct Limited {
    std::string text;
    bool cut = false;
    bool operator==(const Limited&) const = default;
};
// The longest prefix of whole scalars within `limit` units.
Limited limited(std::string_view text, int limit);

// Pieces of at most `size` units (at least 2), split between scalars only.
std::vector<std::string> chunks(std::string_view text, int size);
}  // namespace ClipboardText

namespace ClipboardPrivacy {
// Clipboard types that mark their contents as concealed or fleeting.
inline constexpr std::string_view markers[] = {
    "org.nspasteboard.ConcealedType",
    "org.nspasteboard.TransientType",
    "com.agilebits.onepassword",
    "de.petermaurer.TransientPasteboardType",
};
bool isPrivate(const std::vector<std::string>& types);
}  // namespace ClipboardPrivacy

}  // namespace morvane

// Rules for the names of transferred files. A name that comes from a device
// is never trusted: it is cleaned into one plain name that cannot climb out
// of its folder, hide itself, carry invisible characters or grow too long.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/types.h"

namespace morvane {

namespace FileName {
// The cleaned name, or nothing when no usable name is left.
std::optional<std::string> sanitise(std::string_view raw);
// A single, visible, non-hidden name of at most 255 bytes.
bool isPlain(std::string_view name);
}  // namespace FileName

namespace FileNaming {
struct Parts {
    std::string stem;
    std::string ext;  // with its dot; empty when the name has none
    bool operator==(const Parts&) const = default;
};
Parts split(std::string_view name);
// The name itself for attempts below 2, else "stem (attempt).ext".
std::string candidate(std::string_view name, int attempt);
// The first candidate that `taken` does not claim, trying up to
// FileLimits::maxCollisionAttempts; nothing when all are taken.
std::optional<std::string> firstFree(std::string_view name, const std::function<bool(const std::string&)>& taken);
}  // namespace FileNaming

namespace FileListing {
struct Prepared {
    std::vector<OutboxEntry> files;
    bool more = false;  // entries were cut off
};
// Plain names with a size of zero or more, newest first, names in order
// within the same time, at most FileLimits::maxListed.
Prepared prepare(std::vector<OutboxEntry> entries);
}  // namespace FileListing

}  // namespace morvane

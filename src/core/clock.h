// Time. Timers and limits use monotonic milliseconds; wall-clock time is
// reached through an injected function so tests can set it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace morvane {

// Milliseconds of monotonic time since an arbitrary start.
std::int64_t nowMillis();

// Wall-clock time as milliseconds since the Unix epoch.
using WallClock = std::function<std::int64_t()>;
std::int64_t systemWallMillis();

// Whole-second UTC date-time "yyyy-MM-ddTHH:mm:ssZ" of wall-clock
// milliseconds (rounded down), and its strict reading: exactly that form,
// no fractions or offsets, no impossible dates; milliseconds back.
std::string isoDate(std::int64_t wallMillis);
std::optional<std::int64_t> parseIsoDate(std::string_view text);

}  // namespace morvane

// Time. Timers and limits use monotonic milliseconds; wall-clock time is
// reached through an injected function so tests can set it.
#pragma once

#include <cstdint>
#include <functional>

namespace morvane {

// Milliseconds of monotonic time since an arbitrary start.
std::int64_t nowMillis();

// Wall-clock time as milliseconds since the Unix epoch.
using WallClock = std::function<std::int64_t()>;
std::int64_t systemWallMillis();

}  // namespace morvane

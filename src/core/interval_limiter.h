// The one-per-interval rule shared by the device's asks: clipboard reads,
// display switches, file starts, keyframe asks. Only what is allowed is
// recorded, and a clock earlier than the last allowed event allows, so a
// clock that went back can never lock the asks out.
#pragma once

#include <cstdint>
#include <optional>

namespace morvane {

template <class Time>
bool allowSpaced(std::optional<Time>& last, Time intervalMillis, Time nowMillis) {
    if (last && nowMillis >= *last && nowMillis - *last < intervalMillis) return false;
    last = nowMillis;
    return true;
}

struct IntervalLimiter {
    explicit IntervalLimiter(std::int64_t intervalMillis) : intervalMillis(intervalMillis) {}
    bool allow(std::int64_t nowMillis) { return allowSpaced(last, intervalMillis, nowMillis); }
    bool operator==(const IntervalLimiter&) const = default;

    std::int64_t intervalMillis;
    std::optional<std::int64_t> last;
};

}  // namespace morvane

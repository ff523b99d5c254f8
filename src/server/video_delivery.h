// The small rules of video delivery: which access unit may go to the device,
// and how often keyframes and video starts may be asked for.
#pragma once

#include "core/interval_limiter.h"

#include <cstdint>
#include <optional>

namespace morvane {

enum class VideoMode {
    jpeg,      // pictures are sent
    starting,  // a video start was handed to the source; its answer is awaited
    h264,      // the source accepted; access units are expected or flowing
};

// Keeps a damaged stream from the device: once a unit is skipped, nothing is
// sent until a keyframe arrives while the connection is free.
struct VideoGate {
    struct Action {
        enum class Kind { send, drop };
        Kind kind = Kind::send;
        bool askKeyframe = false;
        static Action send() { return {Kind::send, false}; }
        static Action drop(bool askKeyframe) { return {Kind::drop, askKeyframe}; }
        bool operator==(const Action&) const = default;
    };

    bool needKeyframe = true;

    Action offer(bool keyframe, bool busy);
    void markBroken() { needKeyframe = true; }
};

// The controller's "refresh" and "keyframe" asks share one of these.
struct KeyframeLimiter : IntervalLimiter {
    static constexpr std::int64_t clientIntervalMillis = 500;
    using IntervalLimiter::IntervalLimiter;
};

// Spaces video (and sound) starts. An answer of 0 also books the start.
struct VideoStartLimiter {
    static constexpr std::int64_t intervalMillis = 1000;

    explicit VideoStartLimiter(std::int64_t interval = intervalMillis) : interval(interval) {}
    std::int64_t waitMillis(std::int64_t nowMillis);

    std::int64_t interval;
    std::optional<std::int64_t> last;
};

}  // namespace morvane

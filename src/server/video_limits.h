// Bounds on the video a controller may ask for and on the access units that
// wait on their way to it.
#pragma once

#include <cstdint>

namespace morvane::VideoLimits {

// The smallest and largest "maxW"/"maxH" a device may request, in pixels.
inline constexpr int requestMin = 64;
inline constexpr int requestMax = 16'384;
// Access units handed from the encoder and not yet taken by the server queue.
inline constexpr int maxQueuedToServer = 4;
// Ticks with capture "ok" and no access unit before pictures take over again.
inline constexpr int firstFrameSeconds = 4;
// The least time between two keyframe requests that reach the source.
inline constexpr std::int64_t keyframeAskSpacingMillis = 250;

}  // namespace morvane::VideoLimits

// Bounds on the video a controller may ask for.
#pragma once

namespace morvane::VideoLimits {

// The smallest and largest "maxW"/"maxH" a device may request, in pixels.
inline constexpr int requestMin = 64;
inline constexpr int requestMax = 16'384;

}  // namespace morvane::VideoLimits

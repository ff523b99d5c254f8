// What each picture quality asks of the capture: size, rates and encoding
// quality, and the even output sizes derived from a display's native pixels.
#pragma once

#include <optional>

#include "core/types.h"

namespace morvane {

struct CaptureSettings {
    int longSide = 0;
    int framesPerSecond = 0;  // JPEG pictures
    double jpegQuality = 0;
    int videoFramesPerSecond = 0;
    int videoBitsPerSecond = 0;

    static const CaptureSettings& of(FrameQuality quality);
};

struct PixelSize {
    int width = 0;
    int height = 0;
    bool operator==(const PixelSize&) const = default;
};

// The largest video size the viewer asked for, present while video is wanted.
struct VideoLimit {
    int maxWidth = 0;
    int maxHeight = 0;
    bool operator==(const VideoLimit&) const = default;
};

// Scales down (never up) so that the longer side fits, then makes both sides
// even and at least 2.
PixelSize outputSize(int nativeWidth, int nativeHeight, int longSide);

namespace VideoGeometry {
// Like outputSize, but also within the viewer's maxima when given.
PixelSize fit(int nativeWidth, int nativeHeight, int longSide, std::optional<int> maxWidth,
              std::optional<int> maxHeight);
}  // namespace VideoGeometry

// The picture size a stream is configured for: the video fit while a video
// limit holds, the JPEG size otherwise.
PixelSize streamSize(int nativeWidth, int nativeHeight, FrameQuality quality, const std::optional<VideoLimit>& video);

}  // namespace morvane

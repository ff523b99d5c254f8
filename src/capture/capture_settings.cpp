#include "capture/capture_settings.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace morvane {

namespace {
const std::array<CaptureSettings, 3> table = {{
    {1280, 8, 0.45, 20, 1'500'000},
    {1664, 12, 0.6, 30, 3'000'000},
    {2048, 15, 0.75, 30, 6'000'000},
}};

int evenAtLeastTwo(double side) {
    auto v = static_cast<long long>(std::floor(side));
    v = std::max<long long>(v, 2);
    v = std::min<long long>(v, 1 << 30);
    return static_cast<int>(v & ~1LL);
}
}  // namespace

const CaptureSettings& CaptureSettings::of(FrameQuality quality) {
    return table[static_cast<std::size_t>(std::clamp(index(quality), 0, 2))];
}

PixelSize outputSize(int nativeWidth, int nativeHeight, int longSide) {
    const double longer = std::max({nativeWidth, nativeHeight, 2});
    const double scale = std::min(static_cast<double>(longSide) / longer, 1.0);
    return {evenAtLeastTwo(scale * nativeWidth), evenAtLeastTwo(scale * nativeHeight)};
}

PixelSize VideoGeometry::fit(int nativeWidth, int nativeHeight, int longSide, std::optional<int> maxWidth,
                             std::optional<int> maxHeight) {
    const double w = std::max(nativeWidth, 2);
    const double h = std::max(nativeHeight, 2);
    const double l = std::max(longSide, 2);
    double scale = std::min(1.0, l / std::max(w, h));
    if (maxWidth) scale = std::min(scale, std::max(*maxWidth, 2) / w);
    if (maxHeight) scale = std::min(scale, std::max(*maxHeight, 2) / h);
    return {evenAtLeastTwo(w * scale), evenAtLeastTwo(h * scale)};
}

PixelSize streamSize(int nativeWidth, int nativeHeight, FrameQuality quality, const std::optional<VideoLimit>& video) {
    const int longSide = CaptureSettings::of(quality).longSide;
    if (video) return VideoGeometry::fit(nativeWidth, nativeHeight, longSide, video->maxWidth, video->maxHeight);
    return outputSize(nativeWidth, nativeHeight, longSide);
}

}  // namespace morvane

#include "input/scroll_accumulator.h"

#include <algorithm>
#include <cmath>

namespace morvane {

ScrollAccumulator::ScrollAccumulator(double pixelsPerStep)
    : pixelsPerStep_(std::isfinite(pixelsPerStep) && pixelsPerStep > 0 ? pixelsPerStep : 1.0) {}

std::optional<WheelSteps> ScrollAccumulator::add(double dx, double dy) {
    if (!std::isfinite(dx) || !std::isfinite(dy)) return std::nullopt;
    // The server never sends more than this; a direct caller gets the same
    // bound, so the step counts always fit.
    constexpr double maxDistance = 2000;
    remainderX_ -= std::clamp(dx, -maxDistance, maxDistance);
    remainderY_ -= std::clamp(dy, -maxDistance, maxDistance);
    const double wholeX = std::trunc(remainderX_ / pixelsPerStep_);
    const double wholeY = std::trunc(remainderY_ / pixelsPerStep_);
    remainderX_ -= wholeX * pixelsPerStep_;
    remainderY_ -= wholeY * pixelsPerStep_;
    if (wholeX == 0 && wholeY == 0) return std::nullopt;
    return WheelSteps{static_cast<int>(wholeY), static_cast<int>(wholeX)};
}

void ScrollAccumulator::reset() {
    remainderX_ = 0;
    remainderY_ = 0;
}

}  // namespace morvane

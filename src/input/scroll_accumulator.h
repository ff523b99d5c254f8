// Wheel steps from pixel distances. The part of a distance too small for a
// whole step is kept, so a slow steady scroll still moves.
#pragma once

#include <optional>

namespace morvane {

// Steps with the sign of wheel values: a positive distance on the device
// (content moved up, or left) gives negative steps.
struct WheelSteps {
    int vertical = 0;
    int horizontal = 0;
    bool operator==(const WheelSteps&) const = default;
};

class ScrollAccumulator {
public:
    explicit ScrollAccumulator(double pixelsPerStep = 1.0);
    // Nothing when the distance adds up to no whole step yet, or when a
    // distance is not a finite number (then nothing changes).
    std::optional<WheelSteps> add(double dx, double dy);
    void reset();

private:
    double pixelsPerStep_;
    double remainderX_ = 0;  // pixels, with the sign of the steps
    double remainderY_ = 0;
};

}  // namespace morvane

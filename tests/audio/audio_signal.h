// Sine waves in and measurements out, for the sound tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "core/types.h"

namespace morvane::testing {

inline std::vector<float> sine(double hz, double amplitude, std::int64_t rate, std::size_t count,
                               std::size_t startIndex = 0) {
    std::vector<float> out(count);
    for (std::size_t i = 0; i < count; ++i)
        out[i] = static_cast<float>(amplitude *
                                    std::sin(2 * std::numbers::pi * hz * static_cast<double>(startIndex + i) /
                                             static_cast<double>(rate)));
    return out;
}

inline std::vector<double> samplesOf(const Bytes& pcm) {
    std::vector<double> out;
    for (std::size_t i = 0; i + 1 < pcm.size(); i += 2)
        out.push_back(static_cast<std::int16_t>(static_cast<std::uint16_t>(pcm[i] | (pcm[i + 1] << 8))) / 32767.0);
    return out;
}

inline double rms(const std::vector<double>& x) {
    if (x.empty()) return 0;
    double sum = 0;
    for (double v : x) sum += v * v;
    return std::sqrt(sum / static_cast<double>(x.size()));
}

// Frequency from the upward zero crossings, interpolated between samples.
inline double frequency(const std::vector<double>& x, std::int64_t rate) {
    double first = -1, last = -1;
    int crossings = 0;
    for (std::size_t i = 1; i < x.size(); ++i) {
        if (x[i - 1] < 0 && x[i] >= 0) {
            double at = static_cast<double>(i - 1) + (-x[i - 1]) / (x[i] - x[i - 1]);
            if (first < 0) first = at;
            last = at;
            ++crossings;
        }
    }
    if (crossings < 2) return 0;
    return (crossings - 1) / (last - first) * static_cast<double>(rate);
}

}  // namespace morvane::testing

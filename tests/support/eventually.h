// Waiting on something another process or thread does: the condition is
// asked again every few milliseconds until it holds or the time is up.
// Header-only, for any test program.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace morvane::testing {

// Whether `condition` held within `millis`.
inline bool eventually(const std::function<bool()>& condition, int millis = 10'000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

}  // namespace morvane::testing

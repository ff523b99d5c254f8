#include "relay_service/rate_window.h"

#include <algorithm>

namespace morvane::relay_service {

std::optional<std::int64_t> RateWindow::take(const std::string& key, std::int64_t nowSeconds) {
    // Bounded memory: a flood of distinct keys is swept from time to time.
    if (++sincePurge_ >= 4096) purge(nowSeconds);
    auto& times = events_[key];
    while (!times.empty() && times.front() + window_ <= nowSeconds) times.pop_front();
    if (static_cast<int>(times.size()) >= most_)
        return std::max<std::int64_t>(1, times.front() + window_ - nowSeconds);
    times.push_back(nowSeconds);
    return std::nullopt;
}

void RateWindow::purge(std::int64_t nowSeconds) {
    sincePurge_ = 0;
    for (auto it = events_.begin(); it != events_.end();) {
        auto& times = it->second;
        while (!times.empty() && times.front() + window_ <= nowSeconds) times.pop_front();
        it = times.empty() ? events_.erase(it) : std::next(it);
    }
}

}  // namespace morvane::relay_service

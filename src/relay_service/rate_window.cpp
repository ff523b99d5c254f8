#include "relay_service/rate_window.h"

#include <algorithm>

namespace morvane::relay_service {

std::optional<std::int64_t> RateWindow::take(const std::string& key, std::int64_t nowSeconds) {
    auto it = counts_.find(key);
    if (it == counts_.end()) {
        // One place is always kept for the overflow key.
        const auto roomFor = [&] { return counts_.size() + (counts_.contains(overflowKey) ? 0 : 1) < maxKeys_; };
        if (!roomFor() && sweptAt_ != nowSeconds) purge(nowSeconds);
        it = counts_.try_emplace(roomFor() ? key : std::string(overflowKey)).first;
    }
    auto& count = it->second;
    if (count.endsAt <= nowSeconds) count = Count{0, nowSeconds + window_};
    if (count.events >= most_) return std::max<std::int64_t>(1, count.endsAt - nowSeconds);
    ++count.events;
    return std::nullopt;
}

void RateWindow::purge(std::int64_t nowSeconds) {
    sweptAt_ = nowSeconds;
    std::erase_if(counts_, [&](const auto& entry) { return entry.second.endsAt <= nowSeconds; });
}

}  // namespace morvane::relay_service

#include "relay_service/rate_window.h"

#include <algorithm>

namespace morvane::relay_service {

std::optional<std::int64_t> RateWindow::take(const std::string& key, std::int64_t nowSeconds) {
    auto it = counts_.find(key);
    if (it == counts_.end()) {
        if (counts_.size() >= maxKeys_) forgetEnded(nowSeconds);
        if (counts_.size() >= maxKeys_) {
            erase(byAge_.begin());
            if (!saidFull_ && full_) full_(counts_.size() + 1);
            saidFull_ = true;
        }
        byAge_.push_back(key);
        it = counts_.emplace(key, Count{0, nowSeconds + window_, std::prev(byAge_.end())}).first;
    }
    auto& count = it->second;
    if (count.endsAt <= nowSeconds) {
        count.events = 0;
        count.endsAt = nowSeconds + window_;
        byAge_.splice(byAge_.end(), byAge_, count.age);
    }
    if (count.events >= most_) return std::max<std::int64_t>(1, count.endsAt - nowSeconds);
    ++count.events;
    return std::nullopt;
}

void RateWindow::giveBack(const std::string& key, std::int64_t nowSeconds) {
    const auto it = counts_.find(key);
    if (it != counts_.end() && it->second.endsAt > nowSeconds && it->second.events > 0) --it->second.events;
}

bool RateWindow::counting(const std::string& key, std::int64_t nowSeconds) const {
    const auto it = counts_.find(key);
    return it != counts_.end() && it->second.endsAt > nowSeconds;
}

int RateWindow::count(const std::string& key, std::int64_t nowSeconds) const {
    const auto it = counts_.find(key);
    return it != counts_.end() && it->second.endsAt > nowSeconds ? it->second.events : 0;
}

void RateWindow::purge(std::int64_t nowSeconds) {
    forgetEnded(nowSeconds);
    if (counts_.size() <= maxKeys_ / 2) saidFull_ = false;
}

void RateWindow::forgetEnded(std::int64_t nowSeconds) {
    while (!byAge_.empty() && counts_.at(byAge_.front()).endsAt <= nowSeconds) erase(byAge_.begin());
}

void RateWindow::erase(std::list<std::string>::iterator oldest) {
    counts_.erase(*oldest);
    byAge_.erase(oldest);
}

}  // namespace morvane::relay_service

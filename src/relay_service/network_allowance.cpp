#include "relay_service/network_allowance.h"

#include <algorithm>

namespace morvane::relay_service {

NetworkAllowance::NetworkAllowance(int most, std::int64_t windowSeconds, std::size_t maxKeys,
                                   std::function<void(std::size_t keys)> full) {
    levels_.reserve(3);
    for (int level = 0; level < 3; ++level) levels_.emplace_back(most << level, windowSeconds, maxKeys, full);
}

std::optional<std::int64_t> NetworkAllowance::take(const std::vector<std::string>& networks, std::int64_t nowSeconds,
                                                   std::vector<std::pair<RateWindow*, std::string>>& counted) {
    std::vector<std::pair<RateWindow*, std::string>> mine;
    for (std::size_t level = 0; level < networks.size() && level < levels_.size(); ++level) {
        auto& window = levels_[level];
        if (const auto wait = window.take(networks[level], nowSeconds)) {
            for (const auto& [taken, key] : mine) taken->giveBack(key, nowSeconds);
            return wait;
        }
        mine.emplace_back(&window, networks[level]);
    }
    counted.insert(counted.end(), mine.begin(), mine.end());
    return std::nullopt;
}

int NetworkAllowance::weight(const std::string& network, std::int64_t nowSeconds) const {
    int most = 0;
    for (std::size_t level = 0; level < levels_.size(); ++level)
        most = std::max(most, levels_[level].count(network, nowSeconds) >> level);
    return most;
}

int NetworkAllowance::count(const std::string& network, std::int64_t nowSeconds) const {
    int most = 0;
    for (const auto& window : levels_) most = std::max(most, window.count(network, nowSeconds));
    return most;
}

int NetworkAllowance::weight(const std::vector<std::string>& networks, std::int64_t nowSeconds) const {
    int most = 0;
    for (const auto& network : networks) most = std::max(most, weight(network, nowSeconds));
    return most;
}

void NetworkAllowance::purge(std::int64_t nowSeconds) {
    for (auto& window : levels_) window.purge(nowSeconds);
}

}  // namespace morvane::relay_service

#include "relay_service/network_allowance.h"

#include <algorithm>
#include <limits>

#include "relay_service/network_scale.h"

namespace morvane::relay_service {

namespace {
constexpr std::size_t allWidths = 5;
}

NetworkAllowance::NetworkAllowance(int most, std::int64_t windowSeconds, std::size_t maxKeys,
                                   std::function<void(std::size_t keys)> full) {
    levels_.reserve(allWidths);
    for (std::size_t level = 0; level < allWidths; ++level)
        levels_.emplace_back(level < NetworkScale::refusingWidths ? most * NetworkScale::times(level)
                                                                  : std::numeric_limits<int>::max(),
                             windowSeconds, maxKeys, full);
}

std::optional<std::int64_t> NetworkAllowance::take(const std::vector<std::string>& networks, std::int64_t nowSeconds) {
    const auto all = NetworkScale::widths(networks);
    Counted mine;
    for (std::size_t level = 0; level < all.size() && level < levels_.size(); ++level) {
        auto& window = levels_[level];
        if (const auto wait = window.take(all[level], nowSeconds)) {
            giveBack(mine, nowSeconds);
            return wait;
        }
        mine.emplace_back(&window, all[level]);
    }
    return std::nullopt;
}

int NetworkAllowance::weight(const std::string& network, std::int64_t nowSeconds) const {
    int most = 0;
    for (std::size_t level = 0; level < levels_.size(); ++level)
        most = std::max(most, levels_[level].count(network, nowSeconds) / NetworkScale::times(level));
    return most;
}

int NetworkAllowance::rank(const std::string& network, std::int64_t nowSeconds) const {
    int most = 0;
    for (std::size_t level = 0; level < levels_.size(); ++level)
        most = std::max(most, levels_[level].count(network, nowSeconds) * 16 / NetworkScale::times(level));
    return most;
}

int NetworkAllowance::weight(const std::vector<std::string>& networks, std::int64_t nowSeconds) const {
    int most = 0;
    for (const auto& network : NetworkScale::widths(networks)) most = std::max(most, weight(network, nowSeconds));
    return most;
}

void NetworkAllowance::purge(std::int64_t nowSeconds) {
    for (auto& window : levels_) window.purge(nowSeconds);
}

}  // namespace morvane::relay_service

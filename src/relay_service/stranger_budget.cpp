#include "relay_service/stranger_budget.h"

#include <algorithm>

namespace morvane::relay_service {

StrangerBudget::StrangerBudget(Limits limits, std::int64_t nowMillis)
    : limits_(limits), balance_(limits.burstMillis * 1000), at_(nowMillis), expected_(std::max<std::int64_t>(1, limits.floorMillis)) {}

void StrangerBudget::refill(std::int64_t nowMillis) {
    if (nowMillis <= at_) return;
    balance_ = std::min(limits_.burstMillis * 1000, balance_ + (nowMillis - at_) * limits_.millisPerSecond);
    at_ = nowMillis;
}

std::int64_t StrangerBudget::left(std::int64_t nowMillis) {
    refill(nowMillis);
    return balance_ / 1000 - held_;
}

std::optional<std::int64_t> StrangerBudget::admit(std::int64_t nowMillis) {
    if (left(nowMillis) <= 0) return std::nullopt;
    held_ += expected_;
    return expected_;
}

void StrangerBudget::settle(std::int64_t held, std::optional<std::int64_t> spentMillis, std::int64_t nowMillis) {
    refill(nowMillis);
    held_ = std::max<std::int64_t>(0, held_ - held);
    if (!spentMillis) return;
    const auto cost = std::max(limits_.floorMillis, *spentMillis);
    balance_ -= cost * 1000;
    // What the next calls are expected to cost: of late, not of long ago.
    expected_ = std::max<std::int64_t>(1, (expected_ * 3 + cost) / 4);
}

}  // namespace morvane::relay_service

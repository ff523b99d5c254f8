#include "relay_service/limit_table.h"

namespace morvane::relay_service {

std::optional<LimitTable::Refusal> LimitTable::take(const Asking& asking, std::int64_t nowSeconds,
                                                    Counted& counted) const {
    Counted mine;
    for (const auto& limit : limits_) {
        if (const auto wait = limit.take(asking, nowSeconds, mine)) {
            giveBack(mine, nowSeconds);
            return Refusal{*wait, limit.says(asking)};
        }
    }
    counted.insert(counted.end(), mine.begin(), mine.end());
    return std::nullopt;
}

void giveBack(const Counted& counted, std::int64_t nowSeconds) {
    for (const auto& [window, key] : counted) window->giveBack(key, nowSeconds);
}

}  // namespace morvane::relay_service

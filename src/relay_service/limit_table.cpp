#include "relay_service/limit_table.h"

namespace morvane::relay_service {

Limit Limit::counting(RateWindow& window, std::function<std::string(const Asking&)> key,
                      std::function<std::string(const Asking&)> says) {
    return {[&window, key = std::move(key), says = std::move(says)](const Asking& asking, std::int64_t nowMillis,
                                                                    Taken& taken) -> std::optional<Refusal> {
        auto k = key(asking);
        if (k.empty()) return std::nullopt;
        if (const auto wait = window.take(k, wholeSeconds(nowMillis))) return Refusal{*wait, says(asking)};
        taken.counted.emplace_back(&window, std::move(k));
        return std::nullopt;
    }};
}

Limit Limit::holding(HeldPlaces& places, std::function<std::string(const std::string&)> says) {
    return {[&places, says = std::move(says)](const Asking& asking, std::int64_t,
                                              Taken& taken) -> std::optional<Refusal> {
        if (asking.places.empty()) return std::nullopt;
        if (const auto full = places.take(asking.places)) return Refusal{1, says(*full)};
        taken.placesOf = &places;
        for (const auto& claim : asking.places) taken.places.push_back(claim.key);
        return std::nullopt;
    }};
}

Limit Limit::spending(StrangerBudget& budget, std::int64_t retrySeconds, std::string says) {
    return {[&budget, retrySeconds, says = std::move(says)](const Asking& asking, std::int64_t nowMillis,
                                                           Taken& taken) -> std::optional<Refusal> {
        if (!asking.strangers) return std::nullopt;
        const auto held = budget.admit(nowMillis);
        if (!held) return Refusal{retrySeconds, says, 503};
        taken.budgetOf = &budget;
        taken.budget = held;
        return std::nullopt;
    }};
}

std::optional<LimitTable::Refusal> LimitTable::take(const Asking& asking, std::int64_t nowMillis, Taken& taken) const {
    Taken mine;
    for (const auto& limit : limits_) {
        if (auto refusal = limit.take(asking, nowMillis, mine)) {
            giveBack(mine, nowMillis);
            return refusal;
        }
    }
    taken.counted.insert(taken.counted.end(), mine.counted.begin(), mine.counted.end());
    if (mine.placesOf) {
        taken.placesOf = mine.placesOf;
        taken.places.insert(taken.places.end(), mine.places.begin(), mine.places.end());
    }
    if (mine.budgetOf) {
        taken.budgetOf = mine.budgetOf;
        taken.budget = mine.budget;
    }
    return std::nullopt;
}

void giveBack(const Counted& counted, std::int64_t nowSeconds) {
    for (const auto& [window, key] : counted) window->giveBack(key, nowSeconds);
}

void giveBack(Taken& taken, std::int64_t nowMillis) {
    giveBack(taken.counted, wholeSeconds(nowMillis));
    taken.counted.clear();
    settle(taken, std::nullopt, nowMillis);
}

void settle(Taken& taken, std::optional<std::int64_t> spentMillis, std::int64_t nowMillis) {
    if (taken.placesOf) taken.placesOf->release(taken.places);
    if (taken.budgetOf && taken.budget) taken.budgetOf->settle(*taken.budget, spentMillis, nowMillis);
    taken.places.clear();
    taken.placesOf = nullptr;
    taken.budget.reset();
    taken.budgetOf = nullptr;
}

}  // namespace morvane::relay_service

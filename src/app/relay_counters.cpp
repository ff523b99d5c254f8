#include "app/relay_counters.h"

#include "relay/relay_budget.h"

namespace morvane {

SettingsCounterStorage::SettingsCounterStorage(SettingsStore& store, Executor& mainQueue)
    : store_(store), mainQueue_(mainQueue) {
    for (const char* key : {RelayBudget::dayKey, RelayUsage::dayKey})
        if (auto text = store_.stringValue(key)) values_[key] = *text;
    for (const char* key : {RelayBudget::countKey, RelayBudget::extraKey, RelayUsage::recordsKey, RelayUsage::extraKey})
        if (auto number = store_.intValue(key)) values_[key] = *number;
}

std::optional<std::string> SettingsCounterStorage::string(const std::string& key) {
    std::lock_guard guard(lock_);
    const auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    if (const auto* text = std::get_if<std::string>(&it->second)) return *text;
    return std::nullopt;
}

std::int64_t SettingsCounterStorage::integer(const std::string& key) {
    std::lock_guard guard(lock_);
    const auto it = values_.find(key);
    if (it == values_.end()) return 0;
    if (const auto* number = std::get_if<std::int64_t>(&it->second)) return *number;
    return 0;
}

void SettingsCounterStorage::set(std::optional<RelayCounterValue> value, const std::string& key) {
    {
        std::lock_guard guard(lock_);
        if (value)
            values_[key] = *value;
        else
            values_.erase(key);
    }
    mainQueue_.post([&store = store_, value, key] {
        // A failed write is logged by the store itself.
        if (!value)
            store.remove(key);
        else if (const auto* text = std::get_if<std::string>(&*value))
            store.setString(key, *text);
        else
            store.setInt(key, std::get<std::int64_t>(*value));
    });
}

}  // namespace morvane

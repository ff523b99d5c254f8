// Where the relay link keeps its daily counters: texts and integers by key.
// The shell's settings file implements it in the program; tests and builds
// without a settings file use MemoryCounterStorage.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

namespace morvane {

using RelayCounterValue = std::variant<std::string, std::int64_t>;

class RelayCounterStorage {
public:
    virtual ~RelayCounterStorage() = default;
    // The text under the key; absent when missing or not a text.
    virtual std::optional<std::string> string(const std::string& key) = 0;
    // The integer under the key; 0 when missing or not an integer.
    virtual std::int64_t integer(const std::string& key) = 0;
    // Stores the value; absent removes the key. Never fails towards the
    // caller (a storage that cannot write reports it its own way).
    virtual void set(std::optional<RelayCounterValue> value, const std::string& key) = 0;
};

// Counters kept in memory only, safe from any thread.
class MemoryCounterStorage final : public RelayCounterStorage {
public:
    std::optional<std::string> string(const std::string& key) override {
        std::lock_guard lock(lock_);
        auto it = values_.find(key);
        if (it == values_.end()) return std::nullopt;
        if (auto* text = std::get_if<std::string>(&it->second)) return *text;
        return std::nullopt;
    }
    std::int64_t integer(const std::string& key) override {
        std::lock_guard lock(lock_);
        auto it = values_.find(key);
        if (it == values_.end()) return 0;
        if (auto* number = std::get_if<std::int64_t>(&it->second)) return *number;
        return 0;
    }
    void set(std::optional<RelayCounterValue> value, const std::string& key) override {
        std::lock_guard lock(lock_);
        if (value)
            values_[key] = std::move(*value);
        else
            values_.erase(key);
    }

private:
    std::mutex lock_;
    std::map<std::string, RelayCounterValue> values_;
};

}  // namespace morvane

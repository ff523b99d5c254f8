// The relay link's daily counters kept in the shell's settings file. The
// link counts on the server's queue while the settings file belongs to the
// main queue, so this keeps its own copy under a lock for the link's reads
// and hands every write to the main queue.
#pragma once

#include <map>
#include <mutex>

#include "app/settings_store.h"
#include "core/executor.h"
#include "relay/relay_counter_storage.h"

namespace morvane {

class SettingsCounterStorage final : public RelayCounterStorage {
public:
    // Reads the day's counters from the store now (call on the main queue).
    // The store must outlive every write this hands to the main queue.
    SettingsCounterStorage(SettingsStore& store, Executor& mainQueue);

    std::optional<std::string> string(const std::string& key) override;
    std::int64_t integer(const std::string& key) override;
    void set(std::optional<RelayCounterValue> value, const std::string& key) override;

private:
    SettingsStore& store_;
    Executor& mainQueue_;
    std::mutex lock_;
    std::map<std::string, RelayCounterValue> values_;
};

}  // namespace morvane

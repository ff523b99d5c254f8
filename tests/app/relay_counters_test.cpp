#include "app/relay_counters.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "manual_executor.h"
#include "relay/relay_budget.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;

TEST(SettingsCounterStorage, CountersReachTheSettingsFileOnTheMainQueueAndSurviveARestart) {
    const fs::path folder = fs::temp_directory_path() / ("relay-counters-" + std::to_string(::getpid()));
    const fs::path file = folder / "settings.json";
    testing::ManualExecutor main;
    {
        SettingsStore store(file, {});
        store.setString(RelayBudget::dayKey, "2024-03-05");
        store.setInt(RelayBudget::countKey, 7);
        store.setString(RelayUsage::recordsKey, "5");  // a text where a number belongs reads as 0
        SettingsCounterStorage counters(store, main);
        EXPECT_EQ(counters.string(RelayBudget::dayKey), "2024-03-05");
        EXPECT_EQ(counters.integer(RelayBudget::countKey), 7);
        EXPECT_EQ(counters.integer(RelayUsage::recordsKey), 0);
        EXPECT_EQ(counters.string(RelayBudget::countKey), std::nullopt);

        RelayBudget budget(counters, 200);
        budget.take(1'709'683'199'000);  // same day: the eighth attempt
        budget.save(counters);
        EXPECT_EQ(counters.integer(RelayBudget::countKey), 8);
        EXPECT_EQ(store.intValue(RelayBudget::countKey), 7);  // not written off the main queue
        counters.set(std::nullopt, RelayUsage::extraKey);
        main.runAll();
        EXPECT_EQ(store.intValue(RelayBudget::countKey), 8);
    }
    SettingsStore reopened(file, {});
    SettingsCounterStorage again(reopened, main);
    EXPECT_EQ(RelayBudget(again, 200).count, 8);
    std::error_code ec;
    fs::remove_all(folder, ec);
}

}  // namespace
}  // namespace morvane

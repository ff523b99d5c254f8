// The per-instance count of account calls: a fixed window per client, and
// a table that stays bounded however many clients call.
#include <gtest/gtest.h>

#include <vector>

#include "relay_service/rate_window.h"

namespace morvane::relay_service {
namespace {

TEST(RateWindow, CountsEachKeyInAFixedWindow) {
    RateWindow window(2, 60, 100);
    struct Step {
        const char* why;
        const char* key;
        std::int64_t now;
        std::optional<std::int64_t> wait;
    };
    const Step steps[] = {
        {"the first opens the window", "a", 100, std::nullopt},
        {"the last allowed", "a", 130, std::nullopt},
        {"one too many waits for the window's end", "a", 140, 20},
        {"another key counts apart", "b", 140, std::nullopt},
        {"refused until the very end", "a", 159, 1},
        {"a new window", "a", 160, std::nullopt},
        {"holds its whole count from its start", "a", 161, std::nullopt},
        {"and ends a minute after it", "a", 219, 1},
    };
    for (const auto& step : steps) EXPECT_EQ(window.take(step.key, step.now), step.wait) << step.why;
    // Two numbers a key, whatever its count: a purge forgets the ended.
    window.purge(200);
    EXPECT_EQ(window.keys(), 1u) << "b's window ended at 200, a's ends at 220";
}

// A caller with countless addresses cannot grow the table, nor lock out
// the clients that come after it: past its size, the oldest window makes
// room for each newcomer, which is counted on its own. The table says once
// that it is full, however long the flood lasts.
TEST(RateWindow, AFullTableForgetsTheOldestWindowsAndSaysSoOnce) {
    constexpr std::size_t most = 4;
    std::vector<std::size_t> said;
    RateWindow window(2, 60, most, [&said](std::size_t keys) { said.push_back(keys); });
    for (const char* known : {"known-1", "known-2", "known-3", "known-4"}) ASSERT_EQ(window.take(known, 100), std::nullopt);
    ASSERT_EQ(window.take("known-4", 100), std::nullopt);
    EXPECT_TRUE(said.empty()) << "a table with room says nothing";
    struct Step {
        const char* why;
        std::string key;
        std::int64_t now;
        bool counted;
    };
    const Step steps[] = {
        {"the first newcomer past the size", "new-1", 101, true},
        {"a second one is counted on its own", "new-2", 101, true},
        {"and so is its second call", "new-2", 101, true},
        {"a third one, whatever the others spent", "new-3", 102, true},
        {"a client still counted keeps its count", "known-4", 102, false},
        {"a newcomer's own count still holds", "new-2", 102, false},
        {"a client pushed out starts afresh", "known-1", 103, true},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(!window.take(step.key, step.now).has_value(), step.counted) << step.why;
        EXPECT_LE(window.keys(), most) << step.why;
    }
    for (int i = 0; i < 10'000; ++i) window.take("flood-" + std::to_string(i), 110);
    EXPECT_LE(window.keys(), most);
    EXPECT_EQ(window.take("after-the-flood", 110), std::nullopt) << "a newcomer is not refused";
    EXPECT_EQ(said, std::vector<std::size_t>{most}) << "said once";

    // Once the windows have ended and the table has room again, a new flood
    // is told of again.
    window.purge(200);
    EXPECT_EQ(window.keys(), 0u);
    for (int i = 0; i < 10; ++i) window.take("again-" + std::to_string(i), 200);
    EXPECT_EQ(said.size(), 2u);
}

}  // namespace
}  // namespace morvane::relay_service

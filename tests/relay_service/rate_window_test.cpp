// The per-instance count of account calls: a fixed window per client, and
// a table that stays bounded however many clients call.
#include <gtest/gtest.h>

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

// A caller with countless addresses cannot grow the table: past its size,
// newcomers share one count, and the clients already counted keep theirs.
TEST(RateWindow, AFullTableCountsNewcomersTogether) {
    constexpr std::size_t most = 4;
    RateWindow window(2, 60, most);
    for (const char* known : {"known-1", "known-2", "known-3"}) ASSERT_EQ(window.take(known, 100), std::nullopt);
    struct Step {
        const char* why;
        std::string key;
        std::int64_t now;
        bool counted;
    };
    const Step steps[] = {
        {"the first newcomer past the size", "new-1", 100, true},
        {"a second one shares its count", "new-2", 101, true},
        {"a third finds the shared count spent", "new-3", 102, false},
        {"a known client keeps its own", "known-1", 102, true},
        {"when the windows end, a newcomer has a count of its own again", "new-4", 160, true},
        {"as have the next ones while there is room", "new-5", 160, true},
        {"up to the table's size", "new-6", 160, true},
        {"then newcomers share again", "new-7", 160, true},
        {"the shared count's second", "new-8", 160, true},
        {"and its end", "new-9", 160, false},
        {"a newcomer with a count of its own keeps it", "new-4", 161, true},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(!window.take(step.key, step.now).has_value(), step.counted) << step.why;
        EXPECT_LE(window.keys(), most) << step.why;
    }
    for (int i = 0; i < 10'000; ++i) window.take("flood-" + std::to_string(i), 170);
    EXPECT_LE(window.keys(), most);
}

}  // namespace
}  // namespace morvane::relay_service

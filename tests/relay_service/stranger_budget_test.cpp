// The store's share for strangers' calls: spent by what the store says the
// calls cost, refilled with time up to its burst, and never spent twice by
// calls admitted before their cost is known.
#include <gtest/gtest.h>

#include <optional>

#include "relay_service/stranger_budget.h"

namespace morvane::relay_service {
namespace {

TEST(StrangerBudget, AdmitsWhileItsShareOfTheStoreIsNotSpent) {
    // 100 ms a second, 300 saved up, 10 a call at least.
    StrangerBudget budget({100, 300, 10}, 0);
    struct Step {
        const char* why;
        std::int64_t now;
        std::int64_t spent;  // by the store, when admitted
        bool admitted;
        std::int64_t left;  // after the step
    };
    const Step steps[] = {
        {"a full burst to start with", 0, 100, true, 200},
        {"settled at what the store spent", 0, 150, true, 50},
        {"a call that cost less than the floor costs the floor", 0, 1, true, 40},
        {"the rest", 0, 40, true, 0},
        {"spent: refused", 0, 0, false, 0},
        {"a second refills a second's share", 1'000, 250, true, -150},
        {"overdrawn until it refills", 2'000, 0, false, -50},
        {"refilled", 2'600, 10, true, 0},
        {"never past its burst", 60'000, 20, true, 280},
    };
    for (const auto& step : steps) {
        const auto held = budget.admit(step.now);
        EXPECT_EQ(held.has_value(), step.admitted) << step.why;
        if (held) budget.settle(*held, step.spent, step.now);
        EXPECT_EQ(budget.left(step.now), step.left) << step.why;
    }
}

// Calls admitted before the store answers hold what such calls cost of
// late, so a burst of them cannot spend the share many times over; a call
// the store never ran gives back what it held and costs nothing.
TEST(StrangerBudget, CallsWaitingForTheStoreHoldWhatTheyAreExpectedToCost) {
    StrangerBudget budget({100, 100, 10}, 0);
    std::vector<std::int64_t> held;
    while (const auto h = budget.admit(0)) held.push_back(*h);
    EXPECT_EQ(held.size(), 10u) << "ten calls of the floor's cost fill a burst of 100";
    for (auto h : held) budget.settle(h, std::nullopt, 0);
    EXPECT_EQ(budget.left(0), 100) << "none of them ran";
    // Calls of 50 ms teach it to hold more for each.
    for (int i = 0; i < 8; ++i) {
        const auto h = budget.admit(i * 1'000);
        ASSERT_TRUE(h);
        budget.settle(*h, 50, i * 1'000);
    }
    held.clear();
    while (const auto h = budget.admit(20'000)) held.push_back(*h);
    EXPECT_LE(held.size(), 3u);
}

}  // namespace
}  // namespace morvane::relay_service

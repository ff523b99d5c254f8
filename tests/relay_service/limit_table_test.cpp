// The gate's limits walked as one table: a call is counted under every row
// that bounds it, and a refusal gives back what the rows before it counted,
// but what a row keeps.
#include <gtest/gtest.h>

#include <string>

#include "relay_service/limit_table.h"

namespace morvane::relay_service {
namespace {

TEST(LimitTable, ARefusalGivesBackWhatTheRowsBeforeItCounted) {
    RateWindow perClient(3, 60, 100), perAddress(2, 60, 100), kept(100, 60, 100);
    const auto row = [](RateWindow& window, const char* says, bool keep, auto key) {
        return Limit{[says](const Asking&) { return std::string(says); },
                     [&window, keep, key](const Asking& a, std::int64_t now, Counted& counted) -> std::optional<std::int64_t> {
                         const std::string k = key(a);
                         if (k.empty()) return std::nullopt;
                         if (const auto wait = window.take(k, now)) return wait;
                         if (!keep) counted.emplace_back(&window, k);
                         return std::nullopt;
                     }};
    };
    const LimitTable table({row(kept, "network", true, [](const Asking& a) { return a.network; }),
                            row(perClient, "client", false, [](const Asking& a) { return a.client; }),
                            row(perAddress, "address", false, [](const Asking& a) { return a.address; })});
    const auto ask = [](const char* client, const char* address) {
        Asking a;
        a.client = client;
        a.address = address;
        a.network = "n";
        return a;
    };
    struct Step {
        const char* client;
        const char* address;
        const char* refusedBy;  // "" when it passes
    };
    const Step steps[] = {
        {"c1", "a", ""},
        {"c1", "a", ""},
        {"c1", "a", "address"},
        // The refusal above gave back c1's count: its third passes.
        {"c1", "", ""},
        {"c1", "", "client"},
        {"c2", "b", ""},
        // No address: that row does not bound it.
        {"c2", "", ""},
    };
    for (const auto& step : steps) {
        Counted counted;
        const auto refusal = table.take(ask(step.client, step.address), 10, counted);
        EXPECT_EQ(refusal ? refusal->why : "", step.refusedBy) << step.client << " " << step.address;
        if (refusal) {
            EXPECT_TRUE(counted.empty());
        }
    }
    // What the network row counted stays, refusals included.
    EXPECT_EQ(kept.count("n", 10), 7);
    // Given back later (the store failed), a call is not held against its
    // caller.
    Counted counted;
    ASSERT_FALSE(table.take(ask("c3", "c"), 10, counted));
    giveBack(counted, 10);
    EXPECT_EQ(perClient.count("c3", 10), 0);
    EXPECT_EQ(perAddress.count("c", 10), 0);
}

}  // namespace
}  // namespace morvane::relay_service

// The gate's limits walked as one table, as nginx walks its zones: a call
// is counted under every row that bounds it, and a refusal gives back what
// the rows before it took (counts, places in the store queue, the share of
// the store for strangers), but what a row keeps.
#include <gtest/gtest.h>

#include <string>

#include "relay_service/limit_table.h"

namespace morvane::relay_service {
namespace {

TEST(LimitTable, ARefusalGivesBackWhatTheRowsBeforeItTook) {
    RateWindow perClient(3, 60, 100), perAddress(2, 60, 100), kept(100, 60, 100);
    HeldPlaces places;
    // Two calls' worth of the store's time, refilled by none in the test.
    StrangerBudget budget({0, 10, 5}, 0);
    const auto says = [](const char* what) { return [what](const Asking&) { return std::string(what); }; };
    const LimitTable table({
        // Kept whatever the answer: what it counted is none of `taken`'s.
        {[&kept](const Asking& a, std::int64_t now, Taken&) -> std::optional<Limit::Refusal> {
            if (const auto wait = kept.take(a.network, wholeSeconds(now))) return Limit::Refusal{*wait, "network"};
            return std::nullopt;
        }},
        Limit::counting(perClient, [](const Asking& a) { return a.client; }, says("client")),
        Limit::holding(places, [](const std::string& key) { return "places of " + key; }),
        Limit::spending(budget, 5, "share"),
        Limit::counting(perAddress, [](const Asking& a) { return a.address; }, says("address")),
    });
    const auto ask = [](const char* client, const char* address, const char* place, bool strangers) {
        Asking a;
        a.client = client;
        a.address = address;
        a.network = "n";
        if (*place) a.places = {{place, 1}};
        a.strangers = strangers;
        return a;
    };
    struct Step {
        const char* client;
        const char* address;
        const char* place;
        bool strangers;
        const char* refusedBy;  // "" when it passes
        int status;
    };
    const Step steps[] = {
        {"c1", "a", "p1", false, "", 0},
        {"c1", "a", "", true, "", 0},
        // The address row refuses: the client's count, the place and the
        // share taken before it are given back.
        {"c1", "a", "p2", true, "address", 429},
        {"c1", "", "p2", false, "", 0},
        {"c1", "", "", false, "client", 429},
        // p1 is held by the first call, not yet answered.
        {"c2", "", "p1", false, "places of p1", 429},
        // One share is held by the second call; the refused third gave
        // its own back, so one is left.
        {"c2", "", "", true, "", 0},
        {"c3", "", "", true, "share", 503},
        // No address, no place, no share: those rows do not bound it.
        {"c3", "", "", false, "", 0},
    };
    for (const auto& step : steps) {
        Taken taken;
        const auto refusal = table.take(ask(step.client, step.address, step.place, step.strangers), 10'000, taken);
        EXPECT_EQ(refusal ? refusal->why : "", step.refusedBy) << step.client << " " << step.address;
        EXPECT_EQ(refusal ? refusal->status : 0, step.status) << step.client << " " << step.address;
        if (refusal) {
            EXPECT_TRUE(taken.counted.empty() && taken.places.empty() && !taken.budget);
        }
    }
    EXPECT_EQ(places.held("p2"), 1);
    // What the network row counted stays, refusals included.
    EXPECT_EQ(kept.count("n", 10), 9);

    // A call the store could not serve is not held against its caller; one
    // it answered keeps its counts and frees its place.
    RateWindow window(5, 60, 100);
    HeldPlaces held;
    const LimitTable small({Limit::counting(window, [](const Asking& a) { return a.client; }, says("client")),
                            Limit::holding(held, [](const std::string& key) { return key; })});
    Taken unserved, served;
    ASSERT_FALSE(small.take(ask("c4", "", "q", false), 10'000, unserved));
    giveBack(unserved, 10'000);
    EXPECT_EQ(window.count("c4", 10), 0);
    EXPECT_EQ(held.held("q"), 0);
    ASSERT_FALSE(small.take(ask("c4", "", "q", false), 10'000, served));
    settle(served, 3, 10'000);
    EXPECT_EQ(window.count("c4", 10), 1);
    EXPECT_EQ(held.held("q"), 0);
}

}  // namespace
}  // namespace morvane::relay_service

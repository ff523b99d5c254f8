// This instance's presence rows as the other instances read them: what the
// presence book asks to be written, and in what order, as links come and
// go, batches fail and beats pass; and what a batch leaves in the store.
#include <gtest/gtest.h>

#include <sstream>

#include "memory_store.h"
#include "relay_service/relay_limits.h"
#include "relay_service/relay_presence.h"

namespace morvane::relay_service::testing {
namespace {

// Steps: "up R", "down R", "moved R" (let go of to another instance),
// "beat", "stop", "ok", "failed", "late" (the batch on its way: written,
// not, run too late by the database), and "next", which
// writes down what next() gave: "R+ R- R~ refresh moving", or "-".
std::vector<std::string> batched(const std::vector<std::string>& steps) {
    RelayPresence presence;
    std::vector<std::string> batches;
    for (const auto& step : steps) {
        std::istringstream words(step);
        std::string verb, room;
        words >> verb >> room;
        if (verb == "up" || verb == "down" || verb == "moved") presence.changed(room, verb == "up", verb == "moved");
        if (verb == "beat") presence.beat();
        if (verb == "stop") presence.stopping();
        if (verb == "ok" || verb == "failed" || verb == "late") presence.done(verb != "failed", verb != "late");
        if (verb != "next") continue;
        const auto batch = presence.next();
        std::string text;
        for (const auto& [r, up] : batch ? batch->rooms : std::vector<std::pair<std::string, bool>>{})
            text += (text.empty() ? "" : " ") + r + (up ? "+" : "-");
        for (const auto& r : batch ? batch->moving : std::vector<std::string>{}) text += (text.empty() ? "" : " ") + r + "~";
        if (batch && batch->refresh) text += text.empty() ? "refresh" : " refresh";
        if (batch && batch->allMoving) text += text.empty() ? "moving" : " moving";
        batches.push_back(batch ? text : "-");
    }
    return batches;
}

TEST(RelayPresence, ChangesAreWrittenInTurnAndWhatFailedWaitsForTheBeat) {
    struct Case {
        const char* name;
        std::vector<std::string> steps;
        std::vector<std::string> batches;
    };
    const std::vector<Case> cases = {
        {"a link up, then down", {"up a", "next", "ok", "down a", "next", "ok", "next"}, {"a+", "a-", "-"}},
        {"one batch at a time, the next as things then stand",
         {"up a", "next", "up b", "down a", "next", "ok", "next"},
         {"a+", "-", "a- b+"}},
        {"a failed batch waits for the beat, or a link up (the store answered for it)",
         {"up a", "next", "failed", "down b", "next", "beat", "next", "failed", "up c", "next"},
         {"a+", "-", "a+ b- refresh", "a+ b- c+ refresh"}},
        {"what failed is written as it stands by then",
         {"up a", "next", "failed", "down a", "beat", "next"},
         {"a+", "a- refresh"}},
        {"a beat refreshes with nothing changed", {"beat", "next", "ok", "next"}, {"refresh", "-"}},
        {"a beat while a batch is on its way refreshes after it",
         {"up a", "next", "beat", "next", "ok", "next"},
         {"a+", "-", "refresh"}},
        {"a beat while a batch is on its way goes again at once should it fail",
         {"up a", "next", "beat", "up b", "failed", "next", "failed", "next"},
         {"a+", "a+ b+ refresh", "-"}},
        {"a link let go of is on its way elsewhere, and may come back",
         {"up a", "up b", "next", "ok", "moved a", "down b", "next", "ok", "moved a", "up a", "next"},
         {"a+ b+", "b- a~", "a+"}},
        {"stopping, the links closing are not written: the rows are moving",
         {"up a", "next", "ok", "stop", "down a", "next", "ok", "next"},
         {"a+", "moving", "-"}},
        {"what waited is written with the move, as it stood when it began",
         {"up a", "next", "ok", "down a", "up b", "beat", "stop", "down b", "next", "ok", "next"},
         {"a+", "a- b+ moving", "-"}},
        {"a move that failed waits for the beat",
         {"up a", "stop", "next", "failed", "next", "beat", "next"},
         {"a+ moving", "-", "a+ moving"}},
        // Run too late, a batch changed nothing: again at once, as things
        // then stand; a second in a row waits for the beat.
        {"what came too late goes again at once, then waits for the beat",
         {"up a", "beat", "next", "late", "down a", "next", "late", "next", "beat", "next", "ok", "next"},
         {"a+ refresh", "a- refresh", "-", "a- refresh", "-"}},
        {"one in time in between, and the next too late goes again at once",
         {"up a", "next", "late", "next", "ok", "up b", "next", "late", "next"},
         {"a+", "a+", "b+", "b+"}},
        {"a move too late goes again", {"up a", "stop", "next", "late", "next"}, {"a+ moving", "a+ moving"}},
    };
    for (const auto& c : cases) EXPECT_EQ(batched(c.steps), c.batches) << c.name;
}

TEST(RelayPresence, AStoppingInstanceKnowsWhatIsNotWrittenYet) {
    RelayPresence presence;
    EXPECT_TRUE(presence.settled());
    presence.changed("a", true);
    presence.changed("b", true);
    ASSERT_TRUE(presence.next());
    presence.changed("b", false);
    presence.changed("c", false);
    EXPECT_FALSE(presence.settled());
    // The batch on its way may not have landed: its rooms count too.
    const RelayPresence::Batch unsettled{{{"a", true}, {"b", false}, {"c", false}}, false};
    EXPECT_EQ(presence.unsettled(), unsettled);
    presence.done(true);
    EXPECT_EQ(presence.unsettled(), (RelayPresence::Batch{{{"b", false}, {"c", false}}, false}));
    ASSERT_TRUE(presence.next());
    presence.done(true);
    EXPECT_TRUE(presence.settled());
}

TEST(RelayPresence, ABatchPutsDropsAndRefreshesOnlyThisInstancesRows) {
    MemoryStore store;
    store.clockSeconds = 100;
    store.putPresence("taken", "other");
    store.putPresence("kept", "here");
    store.putPresence("theirs", "other");
    store.clockSeconds = 130;
    RelayPresence::write(store, "here", RelayPresence::Batch{{{"new", true}, {"taken", true}, {"gone", false}, {"theirs", false}}, true});
    EXPECT_EQ(store.presenceHolder("new", 0), "here");
    EXPECT_EQ(store.presenceHolder("taken", 0), "here") << "the newest link takes the room";
    EXPECT_EQ(store.presenceHolder("kept", 0), "here") << "refreshed";
    EXPECT_EQ(store.presenceHolder("theirs", 30), "other") << "dropped only if ours";
    EXPECT_FALSE(store.presenceHolder("theirs", 29)) << "not refreshed: not ours";

    // A room let go of counts a few seconds more, and the beat leaves it be.
    RelayPresence::write(store, "here", RelayPresence::Batch{{}, true, false, {"kept"}});
    store.clockSeconds += RelayLimits::movingSeconds;
    RelayPresence::write(store, "here", RelayPresence::Batch{{}, true, false, {}});
    EXPECT_EQ(store.presenceHolder("kept", RelayLimits::presenceFreshSeconds), "here");
    store.clockSeconds += 1;
    RelayPresence::write(store, "here", RelayPresence::Batch{{}, true, false, {}});
    EXPECT_FALSE(store.presenceHolder("kept", RelayLimits::presenceFreshSeconds));
    EXPECT_EQ(store.presenceHolder("new", 0), "here");

    // Stopping: this instance's rows count a few seconds more, then none.
    store.putPresence("elsewhere", "other");
    RelayPresence::write(store, "here", RelayPresence::Batch{{}, false, true, {}});
    const auto fresh = RelayLimits::presenceFreshSeconds;
    store.clockSeconds += RelayLimits::movingSeconds;
    EXPECT_EQ(store.presenceHolder("new", fresh), "here");
    EXPECT_EQ(store.presenceHolder("elsewhere", fresh), "other") << "not ours";
    store.clockSeconds += 1;
    EXPECT_FALSE(store.presenceHolder("new", fresh));
    EXPECT_FALSE(store.presenceHolder("kept", fresh));
}

}  // namespace
}  // namespace morvane::relay_service::testing

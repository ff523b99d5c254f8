// TLS handshakes under way weighed in bytes, per network and in all, whose
// turn comes next, and when the heap goes back to the system after a burst
// of connections.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "relay_service/handshake_room.h"
#include "relay_service/handshake_turns.h"
#include "relay_service/heap_ebb.h"

namespace morvane::relay_service {
namespace {

TEST(HandshakeRoom, ANetworkPastItsShareIsRefusedAndPastTheTotalTheLargestPileGivesUpItsOldest) {
    struct Step {
        bool begin;  // else the handshake ends
        const char* name;
        std::vector<std::string> networks = {};  // none: a trusted proxy's
        bool begins = true;
        std::vector<std::string> shed = {};
        std::size_t held = 0;  // handshakes under way after the step
    };
    const std::vector<std::string> a = {"a"}, b = {"b"}, c = {"c"}, proxy = {};
    const std::vector<Step> steps = {
        {true, "a1", a, true, {}, 1},
        {true, "a2", a, true, {}, 2},
        {true, "a3", a, true, {}, 3},
        // Its own share is full: refused before any of it is worked out.
        {true, "a4", a, false, {}, 3},
        {true, "b1", b, true, {}, 4},
        {true, "b2", b, true, {}, 5},
        {true, "p1", proxy, true, {}, 6},
        // The total is full: a newcomer begins, the largest pile gives up its oldest.
        {true, "c1", c, true, {"a1"}, 6},
        // A pile as large as the largest waits.
        {true, "b3", b, false, {}, 6},
        {false, "b1", {}, true, {}, 5},
        {true, "b4", b, true, {}, 6},
        // One given up already, or refused, ends as nothing.
        {false, "a1", {}, true, {}, 6},
        {false, "a4", {}, true, {}, 6},
        {false, "c1", {}, true, {}, 5},
        {true, "c2", c, true, {}, 6},
        // One under way already, against piles of two: it waits.
        {true, "c3", c, false, {}, 6},
    };
    HandshakeRoom room({1, 3, 6});
    std::map<std::string, HandshakeRoom::Id> ids;
    std::map<HandshakeRoom::Id, std::string> names;
    HandshakeRoom::Id next = 1;
    for (const auto& step : steps) {
        if (step.begin) {
            ids[step.name] = next;
            names[next] = step.name;
            const auto start = room.begin(next++, step.networks);
            EXPECT_EQ(start.begins, step.begins) << step.name;
            std::vector<std::string> shed;
            for (const auto id : start.shed) shed.push_back(names.at(id));
            EXPECT_EQ(shed, step.shed) << step.name;
        } else {
            room.end(ids.at(step.name));
        }
        EXPECT_EQ(room.held(), step.held) << step.name;
    }
    EXPECT_EQ(room.heldBy("b"), 2u);
    EXPECT_EQ(room.heldBy("a"), 2u);
}

TEST(HandshakeTurns, NetworksTakeTurnsEachItsOldestSoANewcomerWaitsForOneOfEach) {
    HandshakeTurns turns;
    // A stranger's pile of five, and another's of two, waiting first.
    for (HandshakeTurns::Id id = 1; id <= 5; ++id) turns.wait(id, "stranger");
    turns.wait(6, "other");
    turns.wait(7, "other");
    std::vector<HandshakeTurns::Id> taken = {*turns.next()};
    turns.wait(8, "newcomer");
    while (const auto id = turns.next()) taken.push_back(*id);
    EXPECT_EQ(taken, (std::vector<HandshakeTurns::Id>{1, 6, 2, 8, 7, 3, 4, 5}));
    EXPECT_TRUE(turns.empty());
}

TEST(HeapEbb, TheHeapGoesBackWhenConnectionsFallToHalfTheirMostAndByEnough) {
    struct Step {
        int open;
        bool due;
    };
    const std::vector<Step> steps = {
        {10, false}, {6, false},
        {5, true},  // half of ten, and five fewer
        {3, false},
        {2, false},  // half of five, but only three fewer
        {20, false}, {11, false},
        {1, true},
        {0, false},
    };
    HeapEbb ebb(4);
    for (std::size_t i = 0; i < steps.size(); ++i) EXPECT_EQ(ebb.due(steps[i].open), steps[i].due) << "step " << i;
}

}  // namespace
}  // namespace morvane::relay_service

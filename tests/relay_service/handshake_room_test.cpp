// TLS handshakes under way weighed in bytes, per address, per network and
// in all, whose turn comes next, and when the heap goes back to the system after a burst
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

TEST(HandshakeRoom, AnAddressPastItsShareIsRefusedAndPastTheTotalTheLargestOtherPileGivesWayToAFewOrToHalfOfIt) {
    struct Step {
        bool begin;  // else the handshake ends
        const char* name;
        std::vector<std::string> networks = {};  // address, network; none: a trusted proxy's
        bool begins = true;
        std::vector<std::string> shed = {};
        std::size_t held = 0;  // handshakes under way after the step
    };
    // A stranger's three addresses in one network, a visitor's in another,
    // and one more address in the stranger's.
    const std::vector<std::string> s1 = {"s1", "S"}, s2 = {"s2", "S"}, s3 = {"s3", "S"}, v = {"v", "V"}, w = {"w", "S"};
    const std::vector<Step> steps = {
        {true, "a", s1, true, {}, 1}, {true, "b", s1, true, {}, 2}, {true, "c", s1, true, {}, 3},
        {true, "d", s1, true, {}, 4},
        // Its address's share is full: refused before any of it is worked out.
        {true, "e", s1, false, {}, 4},
        {true, "f", s2, true, {}, 5}, {true, "g", s2, true, {}, 6}, {true, "h", s2, true, {}, 7},
        {true, "i", s2, true, {}, 8}, {true, "j", s3, true, {}, 9}, {true, "k", s3, true, {}, 10},
        {true, "l", s3, true, {}, 11}, {true, "m", s3, true, {}, 12},
        // The total is full: a visitor holding none, then fewer than a few,
        // begins, the largest pile giving up its oldest.
        {true, "v1", v, true, {"a"}, 12},
        {true, "v2", v, true, {"b"}, 12},
        // Past a few, under half the largest pile still begins.
        {true, "v3", v, true, {"c"}, 12},
        // An address holding none in the stranger's own network, the largest
        // there: within it, the largest address (the oldest of those alike)
        // gives way, until the newcomer holds a few.
        {true, "w1", w, true, {"f"}, 12},
        {true, "w2", w, true, {"j"}, 12},
        {true, "w3", w, false, {}, 12},
        // One given up already, or refused, ends as nothing.
        {false, "a", {}, true, {}, 12},
        {false, "w3", {}, true, {}, 12},
        {false, "v1", {}, true, {}, 11},
        {true, "v4", v, true, {}, 12},
        // Behind a trusted proxy, clients cannot be told apart: a few begin
        // as anyone's, and then the proxy's own oldest gives way.
        {true, "p1", {}, true, {"d"}, 12},
        {true, "p2", {}, true, {"g"}, 12},
        {false, "v2", {}, true, {}, 11}, {false, "v3", {}, true, {}, 10}, {false, "v4", {}, true, {}, 9},
        {false, "h", {}, true, {}, 8}, {false, "i", {}, true, {}, 7}, {false, "k", {}, true, {}, 6},
        {false, "l", {}, true, {}, 5}, {false, "m", {}, true, {}, 4}, {false, "w1", {}, true, {}, 3},
        {false, "w2", {}, true, {}, 2},
        {true, "p3", {}, true, {}, 3}, {true, "p4", {}, true, {}, 4}, {true, "p5", {}, true, {}, 5},
        {true, "p6", {}, true, {}, 6}, {true, "p7", {}, true, {}, 7}, {true, "p8", {}, true, {}, 8},
        {true, "p9", {}, true, {}, 9}, {true, "p10", {}, true, {}, 10}, {true, "p11", {}, true, {}, 11},
        {true, "p12", {}, true, {}, 12},
        {true, "p13", {}, true, {"p1"}, 12},
    };
    HandshakeRoom room({.bytesPerHandshake = 1, .bytesPerAddress = 4, .bytes = 12, .bytesAFew = 2, .youngMillis = 0});
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
    EXPECT_EQ(room.heldBy(""), 12u);
    EXPECT_EQ(room.heldBy("S"), 0u);
}

// A network's own share (sixteen addresses' worth) full while the total is
// not: within it, the largest address gives way to one holding none.
TEST(HandshakeRoom, ANetworkPastItsShareMakesRoomWithinItself) {
    HandshakeRoom room({.bytesPerHandshake = 1, .bytesPerAddress = 2, .bytes = 100, .bytesAFew = 2, .youngMillis = 0});
    HandshakeRoom::Id next = 1;
    for (int i = 0; i < 16; ++i) {
        const std::vector<std::string> networks = {"s" + std::to_string(i), "S"};
        EXPECT_TRUE(room.begin(next++, networks).begins);
        EXPECT_TRUE(room.begin(next++, networks).begins);
    }
    EXPECT_EQ(room.heldBy("S"), 32u);
    EXPECT_EQ(room.begin(next++, {"v", "S"}), (HandshakeRoom::Start{true, {1}}));
    EXPECT_EQ(room.begin(next++, {"x", "X"}), (HandshakeRoom::Start{true, {}}));
    EXPECT_EQ(room.heldBy("S"), 32u);
    EXPECT_EQ(room.held(), 33u);
}

// A client that has not done its part for the stale time gives way first
// to one vouched for, whatever the piles, one that has just begun never;
// a stranger dialling again is still refused.
TEST(HandshakeRoom, PastTheTotalAStaleHandshakeGivesWayFirstToAClientVouchedFor) {
    HandshakeRoom room(
        {.bytesPerHandshake = 1, .bytesPerAddress = 4, .bytes = 4, .bytesAFew = 2, .staleMillis = 2'000, .youngMillis = 250});
    // A visitors' network with three under way, and a stranger's single one.
    EXPECT_TRUE(room.begin(1, {"v1", "V"}, true, 0).begins);
    EXPECT_TRUE(room.begin(2, {"v2", "V"}, true, 0).begins);
    EXPECT_TRUE(room.begin(3, {"v3", "V"}, true, 0).begins);
    EXPECT_TRUE(room.begin(4, {"s1", "S"}, true, 0).begins);
    // All begun just now: none is given up for another's, and the newcomer
    // may ask again.
    EXPECT_EQ(room.begin(10, {"v8", "V"}, true, 100), (HandshakeRoom::Start{false, {}, true}));
    // Nothing stale yet: the largest pile is the visitors', so a newcomer
    // in it has another of its own addresses give way.
    EXPECT_EQ(room.begin(5, {"v4", "V"}, true, 1'500), (HandshakeRoom::Start{true, {1}}));
    // Stale: the oldest there goes, though its pile is the smallest.
    EXPECT_EQ(room.begin(6, {"v5", "V"}, true, 3'000), (HandshakeRoom::Start{true, {2}}));
    EXPECT_EQ(room.begin(7, {"v6", "V"}, true, 3'000), (HandshakeRoom::Start{true, {3}}));
    EXPECT_EQ(room.begin(8, {"s2", "S"}, false, 3'000), (HandshakeRoom::Start{false, {}}));
    EXPECT_EQ(room.begin(9, {"v7", "V"}, true, 3'000), (HandshakeRoom::Start{true, {4}}));
}

// A stale handshake gives way to a client whose address has cost a few
// first steps lately, whoever's it is, and to a costlier one only when
// its own address had cost as much: a phone whose handshake is slow keeps
// it beside a stranger dialling thousands from addresses it once
// completed a handshake from, whose own stale ones still give way.
TEST(HandshakeRoom, AStaleHandshakeGivesWayOnlyToAClientWhoseAddressCostNoMoreThanAFewOrThanItsOwn) {
    HandshakeRoom room({.bytesPerHandshake = 1, .bytesPerAddress = 4, .bytes = 6, .bytesAFew = 2, .staleMillis = 2'000,
                        .costAFew = 8, .youngMillis = 250});
    using Start = HandshakeRoom::Start;
    struct Step {
        HandshakeRoom::Id id;
        const char* address;
        std::int64_t at;
        double cost;
        Start start;
    };
    const std::vector<Step> steps = {
        // The phone's one; the stranger's piles, costly and begun later.
        {1, "p", 0, 1, {true, {}}},
        {2, "s1", 1'000, 300, {true, {}}},
        {3, "s1", 1'000, 300, {true, {}}},
        {4, "s1", 1'000, 300, {true, {}}},
        {5, "s2", 1'500, 300, {true, {}}},
        {6, "s2", 1'500, 300, {true, {}}},
        // Full; the phone's is stale, the stranger's not: the stranger's
        // next, its own pile no smaller than half the largest, is refused.
        {7, "s2", 2'600, 300, {false, {}}},
        // A person who has cost a few: the stale one goes, whoever's.
        {8, "v", 2'600, 3, {true, {1}}},
        // The stranger's own stale ones give way to it, while it costs no
        // more than when they began.
        {9, "s2", 3'100, 300, {true, {2}}},
        {10, "s2", 3'100, 400, {false, {}}},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(room.begin(step.id, {step.address, std::string("N") + step.address}, true, step.at, step.cost),
                  step.start)
            << step.id;
    }
}

TEST(HandshakeTurns, WhoHasCostLeastLatelyGoesFirstAndAnAddressThatCompletedOneBeforeThemAll) {
    HandshakeTurns turns;
    std::int64_t now = 0;
    const auto wait = [&](HandshakeTurns::Id id, const char* address, const char* network) {
        turns.wait(id, address, network, now);
    };
    const auto take = [&] { return turns.next(now).value_or(0); };
    // A stranger's two addresses, all of them new.
    wait(1, "s1", "S");
    wait(2, "s1", "S");
    wait(3, "s1", "S");
    wait(4, "s2", "S");
    wait(5, "s2", "S");
    EXPECT_EQ(take(), 1u);
    // An address that cost nothing goes before one that did.
    EXPECT_EQ(take(), 4u);
    now = 100;
    // Two new addresses: the one whose network cost least first, though it came last.
    wait(6, "w", "S");
    wait(7, "v", "V");
    EXPECT_EQ(take(), 7u);
    EXPECT_EQ(take(), 6u);
    // The visitor's next waits behind addresses of a cheaper network...
    wait(8, "v", "V");
    wait(9, "s3", "S");
    EXPECT_EQ(take(), 9u);
    // ...until its first completes: then it goes before every address
    // that has not, whatever it cost.
    wait(10, "v", "V");
    wait(11, "s4", "S");
    turns.completed("v", "V", now);
    EXPECT_EQ(take(), 8u);
    EXPECT_EQ(take(), 10u);
    // Later ones of a known address go first too.
    wait(12, "v", "V");
    EXPECT_EQ(take(), 12u);
    EXPECT_EQ(take(), 11u);
    // An address not known has one worked out at a time: s1's and s2's
    // next wait until theirs end.
    EXPECT_FALSE(turns.next(now));
    turns.ended("s1");
    turns.ended("s2");
    // Weights fade by half each half-life, and keep their order: long
    // after, s1 and s2 alike, s1 waiting longer goes first.
    EXPECT_DOUBLE_EQ(turns.costOf("s1", 0), 1.0);
    EXPECT_DOUBLE_EQ(turns.networkCostOf("S", now + HandshakeTurns::halfLifeMillis), turns.networkCostOf("S", now) / 2);
    now += 30 * HandshakeTurns::halfLifeMillis;
    EXPECT_EQ(take(), 2u);
    EXPECT_EQ(take(), 5u);
    turns.ended("s1");
    EXPECT_EQ(take(), 3u);
    EXPECT_TRUE(turns.empty());
    // Long past, a known address is known no more.
    now += HandshakeTurns::knownMillis;
    wait(13, "v", "V");
    wait(14, "v", "V");
    wait(15, "t", "T");
    EXPECT_EQ(take(), 13u);
    EXPECT_EQ(take(), 15u);
    EXPECT_FALSE(turns.next(now));
    turns.ended("v");
    EXPECT_EQ(take(), 14u);
    // After a quiet year the weights start afresh, none grown past a double.
    now += 365LL * 24 * 3'600'000;
    turns.ended("s1");
    wait(16, "s1", "S");
    EXPECT_EQ(take(), 16u);
    EXPECT_DOUBLE_EQ(turns.costOf("s1", now), 1.0);
    EXPECT_DOUBLE_EQ(turns.networkCostOf("S", now), 1.0);
    // One taken back, as a handshake that waits to ask again.
    turns.refund("s1", "S", now);
    EXPECT_DOUBLE_EQ(turns.costOf("s1", now), 0.0);
    EXPECT_DOUBLE_EQ(turns.networkCostOf("S", now), 0.0);
}

// Visitors who share a network and complete their handshakes leave it
// weighing nothing, however many they were: the next one goes before a
// stranger's address never seen, whose network holds replays alone.
TEST(HandshakeTurns, ANetworkWeighsOnlyTheFirstStepsItsClientsLeftUnfinished) {
    HandshakeTurns turns;
    for (HandshakeTurns::Id id = 1; id <= 6; ++id) {
        const bool visitor = id % 2 == 0;
        const auto address = std::string(visitor ? "v" : "s") + std::to_string(id);
        turns.wait(id, address, visitor ? "V" : "S", 0);
        EXPECT_EQ(turns.next(0).value_or(0), id);
        if (visitor) turns.completed(address, "V", 0);
    }
    turns.wait(7, "s7", "S", 0);
    turns.wait(8, "v8", "V", 0);
    EXPECT_EQ(turns.next(0).value_or(0), 8u);
    EXPECT_EQ(turns.next(0).value_or(0), 7u);
    EXPECT_DOUBLE_EQ(turns.networkCostOf("S", 0), 4.0);
    EXPECT_DOUBLE_EQ(turns.costOf("v2", 0), 1.0);
}

// An address not known with a handshake under way holds its next for a
// moment at most, or until that one ends; a known address, and a trusted
// proxy's clients (the empty address, shared by all of them), never.
TEST(HandshakeTurns, AnUnfinishedHandshakeHoldsItsAddresssNextForAMomentAtMost) {
    constexpr auto hold = HandshakeTurns::holdMillis;
    enum What { wait, next, ended, completed, heldUntil };
    struct Step {
        std::int64_t at;
        What what;
        const char* address;
        // The id that waits, the one next() gives (0: none), or when the
        // first held may go (0: none held).
        std::uint64_t id = 0;
    };
    const std::vector<Step> steps = {
        {0, wait, "a", 1},
        {0, wait, "a", 2},
        {0, wait, "a", 20},
        {0, next, "", 1},
        {0, next, "", 0},
        {0, heldUntil, "", hold},
        {hold - 1, next, "", 0},
        // The hold is over though 1 is still under way: all that waited
        // through it go; a later one is held by them.
        {hold, next, "", 2},
        {hold, next, "", 20},
        {hold, wait, "a", 3},
        {hold, next, "", 0},
        {hold, heldUntil, "", 2 * hold},
        // What holds it ended: at once.
        {hold + 100, ended, "a"},
        {hold + 100, next, "", 3},
        {hold + 100, heldUntil, "", 0},
        // A trusted proxy's clients.
        {hold + 100, wait, "", 4},
        {hold + 100, wait, "", 5},
        {hold + 100, next, "", 4},
        {hold + 100, next, "", 5},
        // A known address.
        {hold + 100, completed, "k"},
        {hold + 100, wait, "k", 6},
        {hold + 100, wait, "k", 7},
        {hold + 100, next, "", 6},
        {hold + 100, next, "", 7},
        // A client whose first stalled, back after the hold: at once, and
        // its next held by that one in turn.
        {1'000, wait, "b", 8},
        {1'000, next, "", 8},
        {1'000 + hold, wait, "b", 9},
        {1'000 + hold, next, "", 9},
        {1'000 + hold, wait, "b", 10},
        {1'000 + hold, next, "", 0},
        {1'000 + hold, heldUntil, "", 1'000 + 2 * hold},
        {1'000 + 2 * hold, next, "", 10},
    };
    HandshakeTurns turns;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const auto& step = steps[i];
        switch (step.what) {
        case wait:
            turns.wait(step.id, step.address, std::string("N") + step.address, step.at);
            break;
        case next:
            EXPECT_EQ(turns.next(step.at).value_or(0), step.id) << "step " << i;
            break;
        case ended:
            turns.ended(step.address);
            break;
        case completed:
            turns.completed(step.address, std::string("N") + step.address, step.at);
            break;
        case heldUntil:
            EXPECT_EQ(turns.heldUntil().value_or(0), static_cast<std::int64_t>(step.id)) << "step " << i;
            break;
        }
    }
}

// A known address goes first while it has cost a few pages' first steps
// lately; past that, replaying ClientHellos, it takes its turn by its cost
// behind a newcomer, and is held as any address not known.
TEST(HandshakeTurns, AKnownAddressPastAFewPagesTakesItsTurnByItsCostAndPastAPersonsTakesTurnsWithNewcomers) {
    HandshakeTurns turns;
    turns.completed("x", "X", 0);
    turns.completed("y", "Y", 0);
    const auto steps = static_cast<HandshakeTurns::Id>(HandshakeTurns::knownCost) + 1;
    for (HandshakeTurns::Id id = 1; id <= steps; ++id) turns.wait(id, "x", "X", 0);
    for (HandshakeTurns::Id id = 1; id <= steps; ++id) EXPECT_EQ(turns.next(0).value_or(0), id);
    turns.wait(100, "x", "X", 0);
    turns.wait(101, "n", "N", 0);
    turns.wait(102, "y", "Y", 0);
    EXPECT_EQ(turns.next(0).value_or(0), 102u);
    EXPECT_EQ(turns.next(0).value_or(0), 101u);
    EXPECT_FALSE(turns.next(0));
    turns.ended("x");
    EXPECT_EQ(turns.next(0).value_or(0), 100u);
    // Past a person's page or two it takes turns with newcomers while both
    // wait, so that a stranger's addresses that once completed one hold a
    // newcomer one turn at most; a person coming back waits for nobody new.
    turns.completed("k", "K", 0);
    const auto costly = static_cast<HandshakeTurns::Id>(HandshakeTurns::personCost) + 1;
    for (HandshakeTurns::Id id = 200; id < 200 + costly + 2; ++id) turns.wait(id, "k", "K", 0);
    for (HandshakeTurns::Id id = 200; id < 200 + costly; ++id) EXPECT_EQ(turns.next(0).value_or(0), id);
    turns.wait(300, "w", "W", 0);
    turns.wait(301, "z", "Z", 0);
    EXPECT_EQ(turns.next(0).value_or(0), 200 + costly);
    turns.wait(400, "y", "Y", 0);
    for (const HandshakeTurns::Id id : {400u, 300u, 201u + static_cast<unsigned>(costly), 301u})
        EXPECT_EQ(turns.next(0).value_or(0), id);
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

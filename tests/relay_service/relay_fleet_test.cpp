// Several morvane-relay processes on one PostgreSQL database behind nginx,
// set up as docs/relay.md says: each instance on an address of its own (here
// 127.0.0.2, .3, .4, standing for a private network) taking plain HTTP from
// the proxy alone, twenty computers linked with the host's own link code
// and twenty phones using the device side as the page does. The list of
// computers must be true through any instance, and every phone must reach
// its computer again within seconds of an instance being killed and
// started, or added (its clock 20 s behind the others'); a sign-out through
// one instance closes that sign-in's phones on another. What the fleet
// meets from its database, its bus and SIGTERM restarts is played in
// relay_fleet_store_test.
#include <gtest/gtest.h>

#include "fleet_rig.h"
#include "relay_service/relay_peers.h"

namespace morvane::relay_service::testing {
namespace {

TEST(RelayFleet, BehindNginxEveryPhoneReachesItsComputerWhileInstancesRestartOrAreAdded) {
    Fleet fleet;
    fleet.populate();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(fleet.throughAgain("all linked", Clock::now() - 1s));

    // The list is true through either instance, once the links' rows are
    // written.
    fleet.expectWholeLists("all linked");

    // Plain HTTP at an instance is for the proxy alone.
    auto& first = *fleet.instances_[0];
    EXPECT_THROW(exchange(first.origin(), "GET", "/", "", "", {}, "127.0.0.9"), std::exception);
    EXPECT_FALSE(first.waitFor("refused a connection from 127.0.0.9").empty());

    // Killed outright, then started again as systemd would (2 s later): the
    // phones it carried dial again and reach their computers elsewhere...
    const auto killed = Clock::now();
    first.stop(SIGKILL);
    std::this_thread::sleep_for(2s);
    fleet.restart(0, "127.0.0.2");
    ASSERT_TRUE(fleet.throughAgain("kill -9 and a start", killed));
    // ...and as the proxy sends its rooms to it again, phones opening their
    // pages there make their computers' links move to it.
    ASSERT_TRUE(fleet.throughAgain("kill -9, pages opened again on the restarted instance", fleet.reopenAll()));

    // A third instance, its clock 20 s behind the others': nginx reloaded
    // with its line; a third of the rooms are its now, and their links move
    // to it as their phones come, the others judging its rows by the
    // database's clock, not by their own.
    fleet.instances_.push_back(fleet.start("127.0.0.4", -20));
    fleet.nginx_.reload(fleet.upstreams());
    ASSERT_TRUE(fleet.throughAgain("a third instance added", fleet.reopenAll()));
    fleet.expectWholeLists("a third instance added");

    // A sign-out through one instance closes the sign-in's phones where
    // they are, on another.
    const auto holder = fleet.holderOf(fleet.rooms[0]);
    const auto other = std::find_if(fleet.instances_.begin(), fleet.instances_.end(),
                                    [&](const auto& instance) { return instance->instance() != holder; });
    ASSERT_NE(other, fleet.instances_.end());
    const auto closed = fleet.signOut(0, **other);
    std::printf("[ fleet    ] sign-out: both phones of the sign-in closed after %s\n",
                closed ? (std::to_string(*closed).substr(0, 4) + " s").c_str() : "never");
    EXPECT_LT(closed.value_or(0), RelayLimits::linkWaitSeconds * morvane::testing::sanitizerSlowdown);
    for (int i = 2; i < static_cast<int>(fleet.phones.size()); ++i) EXPECT_TRUE(fleet.phones[i]->through()) << "phone " << i;
}

// What is wrong with a fleet is said in its logs: an instance whose clock
// is 90 s ahead of the others', within a minute of its start, by it and by
// them, with the offset; and a secret changed in the database, which each
// takes up within seconds, saying so and never that the secrets differ.
TEST(RelayFleet, AClockFarOffAndAChangedSecretAreSaid) {
    Fleet fleet;
    auto& asked = *fleet.instances_[0];
    const auto ask = [&](const std::string& with, const std::string& nonce, const std::string& at,
                         const std::string& from) {
        const auto wall = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
        return exchange(at, "POST", "/fleet/v1/ask",
                        peer_words::question(with, fleet.instances_[1]->instance(), wall, nonce), "", {}, from)
            .status;
    };
    const auto secret = [&] {
        return fleet.database_.cluster().query(fleet.database_.database(), "SELECT secret FROM fleet_secret");
    };
    // The proxy does not pass on a question the instance answers.
    int direct = 0;
    EXPECT_TRUE(morvane::testing::eventually(
        [&] { return ask(secret(), "direct-" + std::to_string(++direct), asked.origin(), "127.0.0.1") == 200; }));
    EXPECT_EQ(ask(secret(), "through-the-proxy", fleet.nginx_.origin(), ""), 404);
    const auto started = Clock::now();
    fleet.instances_.push_back(fleet.start("127.0.0.4", 90));
    auto& ahead = *fleet.instances_[2];
    EXPECT_FALSE(ahead.waitFor("'s clock is 90 s behind this one's", 60s).empty()) << Fleet::logOf(ahead);
    for (std::size_t i = 0; i < 2; ++i) {
        auto& other = *fleet.instances_[i];
        EXPECT_FALSE(other.waitFor("instance " + ahead.instance() + "'s clock is 90 s ahead of this one's", 60s).empty())
            << Fleet::logOf(other);
    }
    std::printf("[ fleet    ] a clock 90 s ahead: said by every instance %.1f s after its start\n", secondsSince(started));

    const auto old = secret();
    fleet.database_.cluster().query(fleet.database_.database(), "UPDATE fleet_secret SET secret = md5('another')");
    for (auto& instance : fleet.instances_)
        EXPECT_FALSE(instance->waitFor("the fleet's secret in the database (table fleet_secret) is not the one this "
                                       "instance read before", 20s)
                         .empty())
            << Fleet::logOf(*instance);

    // Whoever still knows the old secret, asking an instance's line as fast
    // as it can, is answered once a second, and the instances' questions
    // with the new one are answered beside it.
    std::atomic<bool> flooding{true};
    std::atomic<int> floodAsked{0}, floodAnswered{0};
    std::vector<std::thread> flood;
    for (int t = 0; t < 3; ++t)
        flood.emplace_back([&, t] {
            for (int i = 0; flooding; ++i) {
                try {
                    const auto nonce = "old-" + std::to_string(t) + "-" + std::to_string(i);
                    // From the proxy's address: the ports a flood leaves
                    // waiting to close are then not the instances'.
                    floodAnswered += ask(old, nonce, asked.origin(), "127.0.0.1") == 200;
                    ++floodAsked;
                } catch (const std::exception&) {
                }
            }
        });
    const auto flooded = Clock::now();
    int own = 0;
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(300ms);
        try {
            own += ask(secret(), "own-" + std::to_string(i), asked.origin(), "127.0.0.4") == 200;
        } catch (const std::exception&) {
        }
    }
    flooding = false;
    for (auto& thread : flood) thread.join();
    const auto lasted = secondsSince(flooded);
    std::printf("[ fleet    ] the old secret asked %d times in %.1f s: %d answered; the new one's 10: %d answered\n",
                floodAsked.load(), lasted, floodAnswered.load(), own);
    EXPECT_GE(own, 9);
    EXPECT_LE(floodAnswered, static_cast<int>(lasted) + 2);
    for (auto& instance : fleet.instances_)
        for (const char* differs : {"and still does after this instance read it again", "has not read the secret since"})
            EXPECT_EQ(Fleet::lines(*instance, differs), 0) << "an ordinary change\n" << Fleet::logOf(*instance);
}

}  // namespace
}  // namespace morvane::relay_service::testing

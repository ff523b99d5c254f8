// Several morvane-relay processes on one PostgreSQL database behind nginx,
// set up as docs/relay.md says: each instance on an address of its own (here
// 127.0.0.2, .3, .4, standing for a private network) taking plain HTTP from
// the proxy alone, twenty computers linked with the host's own link code
// and twenty phones using the device side as the page does. The list of
// computers must be true through any instance, and every phone must reach
// its computer again within seconds of an instance being killed and
// started, stopped and started as systemd restarts it, or added (its clock
// 20 s behind the others'), and through an instance cut from the database;
// a sign-out through one instance closes that sign-in's phones on another,
// and on one that was away from the bus when it was said.
#include <gtest/gtest.h>

#include "fleet_rig.h"

namespace morvane::relay_service::testing {
namespace {

TEST(RelayFleet, BehindNginxEveryPhoneReachesItsComputerWhileInstancesRestartOrAreAdded) {
    Fleet fleet;
    fleet.populate();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(fleet.throughAgain("all linked", Clock::now() - 1s));

    // The list is true through either instance.
    int lists = fleet.fullLists();
    std::printf("[ fleet    ] %d of 200 lists said every computer online\n", lists);
    EXPECT_EQ(lists, 200);

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

    // Stopped and started as systemctl restart does: as it stops, its rows
    // are left to count a few seconds more, as its computers are moving to
    // another instance, not gone: a phone that dials one meanwhile waits
    // for it rather than hearing it is not connected.
    auto& second = *fleet.instances_[1];
    const auto stopping = second.instance();
    EXPECT_GT(fleet.presenceRows(stopping), 0);
    const auto closed = fleet.closesNow();
    const auto restarted = Clock::now();
    EXPECT_EQ(second.stop(SIGTERM), 0);
    EXPECT_GT(fleet.presenceRows(stopping), 0);
    EXPECT_EQ(fleet.presenceRows(stopping, RelayLimits::movingSeconds + 1), 0);
    fleet.restart(1, "127.0.0.3");
    ASSERT_TRUE(fleet.throughAgain("systemctl restart", restarted));
    ASSERT_TRUE(fleet.throughAgain("systemctl restart, pages opened again", fleet.reopenAll()));
    EXPECT_EQ(fleet.closedSince(closed, 4503), 0) << "told its computer is not connected\n" << fleet.stragglers({});

    // A third instance, its clock 20 s behind the others': nginx reloaded
    // with its line; a third of the rooms are its now, and their links move
    // to it as their phones come, the others judging its rows by the
    // database's clock, not by their own.
    fleet.instances_.push_back(fleet.start("127.0.0.4", -20));
    fleet.nginx_.reload(fleet.upstreams());
    ASSERT_TRUE(fleet.throughAgain("a third instance added", fleet.reopenAll()));
    lists = fleet.fullLists();
    std::printf("[ fleet    ] three instances: %d of 200 lists said every computer online\n", lists);
    EXPECT_EQ(lists, 200);

    // Cut from the database (nothing answers, as across a broken network),
    // an instance lets its links go and takes no connections, so that its
    // computers come back through the others within seconds and the lists
    // stay true through the proxy.
    auto& cut = *fleet.instances_[0];
    const auto cutAt = Clock::now();
    fleet.road(Fleet::addresses[0]).swallow(true);
    ASSERT_FALSE(cut.waitFor("this instance lets its links go", 40s).empty()) << fleet.stragglers(cutAt);
    const auto aside = Clock::now();
    std::printf("[ fleet    ] cut from the database: it stood aside after %.1f s\n", secondsSince(cutAt));
    ASSERT_TRUE(fleet.throughAgain("one instance cut from the database", aside));
    lists = fleet.fullLists();
    std::printf("[ fleet    ] one instance cut: %d of 200 lists said every computer online\n", lists);
    EXPECT_EQ(lists, 200);

    // The database back, the instance answers within a couple of seconds (a
    // check finds it, rather than its calls waiting out a back-off that grew
    // while it was away) and takes connections again.
    fleet.road(Fleet::addresses[0]).swallow(false);
    const auto back = Clock::now();
    const std::string access = fleet.phoneSessions[0]["access_token"];
    EXPECT_TRUE(morvane::testing::eventually(
        [&] {
            try {
                return exchange(cut.origin(), "GET", "/v1/hosts", "", access).status == 200;
            } catch (const std::exception&) {
                return false;  // not listening yet
            }
        },
        40'000))
        << fleet.logOf(cut);
    const double recovered = secondsSince(back);
    std::printf("[ fleet    ] the database back: the instance answered after %.2f s\n", recovered);
    // It takes connections again once its database has answered steadily
    // for 15 s; the bound leaves room for a busy machine.
    EXPECT_LT(recovered, 15.0 + 2.0 * RelayLimits::linkWaitSeconds) << "stood aside long after the database came back";
    EXPECT_FALSE(cut.waitFor("taking connections again").empty());
    ASSERT_TRUE(fleet.throughAgain("the database back, pages opened again", fleet.reopenAll()));

    // Its bus gone for good (the connection it listens on swallowed, and
    // every new one) while its statements work: it knows within seconds and
    // asks the store for what the bus would have said. A sign-out said
    // through another instance closes that sign-in's phones here...
    int account = -1;
    EXPECT_TRUE(morvane::testing::eventually([&] {
        for (int a = 1; a < Fleet::accounts; ++a)
            for (int c = 0; c < 2; ++c)
                if (fleet.holderOf(fleet.rooms[2 * a + c]) == cut.instance()) account = a;
        return account > 0;
    }));
    ASSERT_GT(account, 0);
    fleet.road(Fleet::addresses[0]).swallowApplication("morvane-relay bus");
    const auto busCut = Clock::now();
    ASSERT_FALSE(cut.waitFor("bus: lost", 20s).empty()) << fleet.logOf(cut);
    std::printf("[ fleet    ] its bus cut: lost after %.2f s\n", secondsSince(busCut));
    const auto missed = exchange(fleet.instances_[1]->origin(), "POST", "/v1/auth/signout",
                                 json{{"refresh_token", fleet.phoneSessions[account]["refresh_token"]}}.dump());
    ASSERT_EQ(missed.status, 200) << missed.body;
    const auto missedAt = Clock::now();
    EXPECT_TRUE(morvane::testing::eventually(
        [&] { return !fleet.phones[2 * account]->through() && !fleet.phones[2 * account + 1]->through(); }, 15'000))
        << fleet.stragglers(missedAt);
    const double closedAfter = secondsSince(missedAt);
    std::printf("[ fleet    ] sign-out missed on the bus: both phones closed after %.2f s\n", closedAfter);
    EXPECT_LT(closedAfter, RelayLimits::linkWaitSeconds);
    EXPECT_FALSE(cut.waitFor("missed on the bus: 1 sign-ins connected here signed out").empty());
    for (int i = 2 * account; i < 2 * account + 2; ++i) {
        const auto codes = fleet.phones[i]->closes();
        EXPECT_FALSE(codes.empty() || codes.back() != 4401) << "phone " << i;
    }
    // ...and phones that come to the others for computers whose links it
    // holds get through as they would with its bus: the other two stopped
    // and started again, every computer links through it meanwhile, and
    // then every page is opened again, where the proxy now sends it.
    for (std::size_t i = 1; i < fleet.instances_.size(); ++i) EXPECT_EQ(fleet.instances_[i]->stop(SIGTERM), 0);
    fleet.restart(1, "127.0.0.3");
    fleet.restart(2, "127.0.0.4");
    const auto handOver = fleet.reopenAll();
    const auto took = fleet.everyPhoneThrough(handOver);
    std::printf("[ fleet    ] its bus cut, links handed over from it: every phone through after %s\n",
                took ? (std::to_string(*took).substr(0, 4) + " s").c_str() : "never");
    EXPECT_TRUE(took) << fleet.stragglers(handOver);
    EXPECT_LT(took.value_or(0), RelayLimits::linkWaitSeconds * morvane::testing::sanitizerSlowdown)
        << "a phone's wait ran out";
    EXPECT_GT(fleet.lines(cut, "missed on the bus: asked to let go of the link for room"), 0);
    fleet.road(Fleet::addresses[0]).swallowApplication("");
    ASSERT_FALSE(cut.waitFor("bus: listening again", 20s).empty()) << fleet.logOf(cut);

    // A sign-out through one instance closes the sign-in's phones where
    // they are, on another.
    const auto holder = fleet.holderOf(fleet.rooms[0]);
    const auto other = std::find_if(fleet.instances_.begin(), fleet.instances_.end(),
                                    [&](const auto& instance) { return instance->instance() != holder; });
    ASSERT_NE(other, fleet.instances_.end());
    const auto out = exchange((*other)->origin(), "POST", "/v1/auth/signout",
                              json{{"refresh_token", fleet.phoneSessions[0]["refresh_token"]}}.dump());
    ASSERT_EQ(out.status, 200) << out.body;
    const auto signedOut = Clock::now();
    EXPECT_TRUE(morvane::testing::eventually([&] { return !fleet.phones[0]->through() && !fleet.phones[1]->through(); }, 5000));
    std::printf("[ fleet    ] sign-out: both phones of the sign-in closed after %.2f s\n", secondsSince(signedOut));
    for (int i = 0; i < 2; ++i) {
        const auto codes = fleet.phones[i]->closes();
        EXPECT_FALSE(codes.empty() || codes.back() != 4401) << "phone " << i;
    }
    // The page dials again after its back-off and then asks for a ticket:
    // seconds on a machine busy with other tests.
    EXPECT_TRUE(morvane::testing::eventually([&] { return fleet.phones[0]->signedOut() && fleet.phones[1]->signedOut(); },
                                             15'000))
        << "a new ticket is refused";
    for (int i = 2; i < static_cast<int>(fleet.phones.size()); ++i)
        EXPECT_TRUE(i / 2 == account || fleet.phones[i]->through()) << "phone " << i;
}

}  // namespace
}  // namespace morvane::relay_service::testing

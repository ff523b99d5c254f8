// The PostgreSQL store's own duties: what it says of itself in the log, a
// connection broken under it, a database that stops answering, several
// instances migrating one database at once, clear refusals, and a bus that
// finds the database again.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <cstdio>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "../../support/eventually.h"
#include "postgres_test_cluster.h"
#include "relay_service/postgres_relay_store.h"
#include "relay_service/relay_limits.h"
#include "relay_service/relay_store.h"
#include "stalling_proxy.h"

namespace morvane::relay_service {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing::PostgresBackend;
using testing::StallingProxy;
using Clock = std::chrono::steady_clock;

constexpr const char* password = "s3cret-word";

HostRecord host(int n) {
    char room[33];
    std::snprintf(room, sizeof room, "%032x", n);
    return HostRecord{room, "key-" + std::to_string(n), "computer", "user-1", n};
}

// Time-outs short enough for a test to wait them out.
constexpr StoreTimeouts quick{.connectSeconds = 1, .statementSeconds = 1, .keepaliveSeconds = 60};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Calls made while time is in a test's hands: what each answered (the
// error, or "" when it succeeded) and how long it took.
struct Timed {
    std::string error;
    double seconds;
};
template <class F>
Timed timed(F call) {
    const auto start = Clock::now();
    try {
        call();
        return {"", secondsSince(start)};
    } catch (const RelayStoreError& e) {
        return {e.what(), secondsSince(start)};
    }
}

TEST(PostgresRelayStore, DescribesItsDatabaseButNeverThePassword) {
    PostgresBackend backend;
    const auto folder = backend.cluster().folder();
    const auto db = backend.database();
    const std::string expected = "postgresql postgres@" + folder + ":5432/" + db;
    const std::string strings[] = {
        backend.connectionString(),
        backend.connectionString() + " password=" + password,
        "postgresql://postgres:" + std::string(password) + "@/" + db + "?host=" + folder + "&port=5432",
    };
    for (const auto& s : strings) {
        SCOPED_TRACE(s);
        EXPECT_EQ(openPostgresRelayStore(s)->describe(), expected);
    }
    // Nor in the reason when it cannot connect.
    try {
        openPostgresRelayStore("host=" + folder + " port=5432 dbname=absent user=postgres password=" + password);
        ADD_FAILURE() << "connected to a database that does not exist";
    } catch (const RelayStoreError& e) {
        EXPECT_THAT(e.what(), HasSubstr("\"absent\" does not exist"));
        EXPECT_THAT(e.what(), Not(HasSubstr(password)));
    }
}

// The server ends the connection (a restart, an admin, a cut network): the
// next call connects again and succeeds, each time it happens.
TEST(PostgresRelayStore, ConnectsAgainOnceWhenTheConnectionBreaks) {
    PostgresBackend backend;
    auto store = backend.open();
    ASSERT_EQ(store->addHost(host(1), 10), AddHostOutcome::created);
    const auto endConnections = [&] {
        backend.cluster().exec("postgres",
                               "SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity WHERE datname = '" +
                                   backend.database() + "'");
    };
    endConnections();
    EXPECT_EQ(store->hostByKey("key-1"), host(1));
    endConnections();
    EXPECT_EQ(store->addHost(host(2), 10), AddHostOutcome::created);
    endConnections();
    EXPECT_TRUE(store->useNonce("n1", 100, 1));
    EXPECT_FALSE(store->useNonce("n1", 100, 1));
    EXPECT_EQ(store->hostsOf("user-1"), (std::vector{host(1), host(2)}));
}

// Instances started together on a new database take turns migrating it.
TEST(PostgresRelayStore, InstancesStartingTogetherMigrateOnce) {
    PostgresBackend backend;
    constexpr int instances = 6;
    std::atomic<int> opened{0};
    std::vector<std::string> failures(instances);
    std::vector<std::thread> threads;
    for (int i = 0; i < instances; ++i)
        threads.emplace_back([&, i] {
            try {
                openPostgresRelayStore(backend.connectionString());
                ++opened;
            } catch (const RelayStoreError& e) {
                failures[i] = e.what();
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(opened, instances) << ::testing::PrintToString(failures);
    EXPECT_EQ(backend.open()->addHost(host(1), 10), AddHostOutcome::created);
    EXPECT_NO_THROW(backend.exec("SELECT 1 / (count(*) = 1)::int FROM schema_version"));
}

TEST(PostgresRelayStore, RefusalsSayWhyOnOneLine) {
    ::morvane::relay_service::testing::TempDir empty;
    struct Case {
        const char* why;
        std::string connectionString;
        const char* expected;
    };
    const Case cases[] = {
        {"no server there", "host=" + empty.path() + " dbname=relay user=postgres", "cannot connect to postgresql"},
        {"an unreadable string", "host", "cannot be read"},
        {"nothing given", "", "no connection string"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        try {
            openRelayStore({.kind = "postgresql", .dataDir = {}, .postgresUrl = c.connectionString});
            ADD_FAILURE() << "opened";
        } catch (const RelayStoreError& e) {
            const std::string what = e.what();
            EXPECT_THAT(what, HasSubstr(c.expected));
            EXPECT_EQ(what.find('\n'), std::string::npos) << what;
        }
    }
}

// A database that stops answering (its host gone quiet) fails a call
// within the statement time-out rather than holding the store's queue, and
// the calls of the next seconds at once, without trying a connection each
// time; once it answers again, so does the store.
TEST(PostgresRelayStore, ADatabaseThatStopsAnsweringFailsCallsInSecondsAndThenAtOnce) {
    PostgresBackend backend;
    backend.open();
    StallingProxy proxy(backend.cluster().folder() + "/.s.PGSQL.5432");
    std::int64_t nowMillis = 0;
    auto store = openPostgresRelayStore(proxy.connectionString(backend.database()), quick, [&] { return nowMillis; }, 0);
    ASSERT_EQ(store->addHost(host(1), 10), AddHostOutcome::created);
    struct Step {
        const char* why;
        std::int64_t laterMillis;
        bool swallowing;
        const char* error;  // null: the call succeeds
        int connectionsMade;
        double mostSeconds;
    };
    const Step steps[] = {
        {"answering", 0, false, nullptr, 0, 1.0},
        {"stops answering: the call fails after its time-out", 0, true, "did not answer within 1 s", 0, 2.5},
        {"the next fails at once", 0, true, "away (did not answer within 1 s", 0, 0.3},
        {"and so until the first try", 1'900, true, "the next try in 1 s", 0, 0.3},
        {"the try waits only the connect time-out", 100, true, "cannot connect again: no connection within 1 s", 1, 2.5},
        {"the next try waits longer", 3'900, true, "away (cannot connect again", 0, 0.3},
        {"answering again: the next try succeeds", 100, false, nullptr, 1, 1.0},
        {"and the ones after it", 0, false, nullptr, 0, 1.0},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.why);
        proxy.swallow(step.swallowing);
        nowMillis += step.laterMillis;
        const int before = proxy.accepted();
        const auto call = timed([&] { EXPECT_EQ(store->hostByRoom(host(1).room), host(1)); });
        if (step.error) {
            EXPECT_THAT(call.error, HasSubstr(step.error));
            EXPECT_THAT(call.error, HasSubstr(store->describe()));
        } else {
            EXPECT_EQ(call.error, "");
        }
        EXPECT_LT(call.seconds, step.mostSeconds);
        EXPECT_EQ(proxy.accepted() - before, step.connectionsMade);
    }
}

// A database back from a cut is found by the store's own check, made every
// tenth of a second here, and the next call goes through at once, without
// waiting out the back-off (here it would never end: the clock that times
// it stands still). Meanwhile the store says how it finds the database.
// Opened into the cut (a relay started meanwhile), it does not wait out
// its connect time-out once the database is back, and fails within it when
// the database never comes back.
TEST(PostgresRelayStore, ADatabaseBackFromACutIsUsedAgainAsSoonAsACheckFindsIt) {
    PostgresBackend backend;
    backend.open();
    StallingProxy proxy(backend.cluster().folder() + "/.s.PGSQL.5432");
    std::unique_ptr<RelayStore> store;
    const auto open = [&](int connectSeconds) {
        return timed([&] {
            store = openPostgresRelayStore(proxy.connectionString(backend.database()), {connectSeconds, 1, 60}, [] { return 0; }, 100);
        });
    };
    proxy.swallow(true);
    EXPECT_THAT(open(4).error, HasSubstr("no connection within 4 s"));
    auto opening = std::async(std::launch::async, open, 30);
    // The connection's own time-out is what is at stake: real time.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    proxy.swallow(false);
    const auto opened = opening.get();
    ASSERT_EQ(opened.error, "");
    EXPECT_LT(opened.seconds, 15) << "against the 30 s a connection into the cut waits";
    ASSERT_EQ(store->addHost(host(1), 10), AddHostOutcome::created);
    EXPECT_EQ(store->reach(), StoreReach::answering);

    proxy.swallow(true);
    EXPECT_THROW(store->hostByRoom(host(1).room), RelayStoreError);
    EXPECT_EQ(store->reach(), StoreReach::silent) << "nothing answered: a cut, not a refusal";
    EXPECT_THROW(store->hostByRoom(host(1).room), RelayStoreError) << "the calls meanwhile fail at once";
    EXPECT_EQ(store->reach(), StoreReach::silent);

    proxy.swallow(false);
    EXPECT_TRUE(morvane::testing::eventually([&] { return store->reach() == StoreReach::answering; }, 20'000));
    EXPECT_EQ(store->hostByRoom(host(1).room), host(1));
}

// A call made into a cut whose statement gives up only after a check found
// the database back lost its connection to the cut, not to the database
// now: the calls after it go through at once rather than waiting out a
// back-off.
TEST(PostgresRelayStore, ACallMadeIntoACutThatGivesUpAfterTheReturnHoldsNoCallAfterIt) {
    PostgresBackend backend;
    backend.open();
    StallingProxy proxy(backend.cluster().folder() + "/.s.PGSQL.5432");
    constexpr StoreTimeouts slowStatement{.connectSeconds = 1, .statementSeconds = 4, .keepaliveSeconds = 60};
    auto store = openPostgresRelayStore(proxy.connectionString(backend.database()), slowStatement, {}, 100);
    ASSERT_EQ(store->addHost(host(1), 10), AddHostOutcome::created);
    proxy.swallow(true);
    ASSERT_TRUE(morvane::testing::eventually([&] { return store->health().reach == StoreReach::silent; }));
    auto intoTheCut = std::async(std::launch::async, [&] { return timed([&] { store->hostByRoom(host(1).room); }); });
    // The statement is on its way into the cut before the road opens; the
    // database's own time-out is real, so no manual clock can stand in.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    proxy.swallow(false);
    ASSERT_TRUE(morvane::testing::eventually([&] { return store->health().reach == StoreReach::answering; }, 20'000));
    EXPECT_THAT(intoTheCut.get().error, HasSubstr("did not answer"));
    const auto next = timed([&] { EXPECT_EQ(store->hostByRoom(host(1).room), host(1)); });
    EXPECT_EQ(next.error, "") << "the call after it waits out no back-off";
}

// The store checks its database every so often (here every tenth of a
// second) on a connection of its own, whatever the calls do: it says how
// long the database has answered without a break, and within about a
// second of a cut that it does not, silent or refusing, with no call made.
TEST(PostgresRelayStore, TheStoreSaysHowLongItsDatabaseHasAnsweredWithoutACall) {
    PostgresBackend backend;
    backend.open();
    StallingProxy proxy(backend.cluster().folder() + "/.s.PGSQL.5432");
    auto store = openPostgresRelayStore(proxy.connectionString(backend.database()), quick, {}, 100);
    const auto healthIs = [&](StoreReach reach, std::int64_t leastMillis) {
        return morvane::testing::eventually(
            [&] {
                const auto health = store->health();
                return health.reach == reach && health.forMillis >= leastMillis;
            },
            20'000);
    };
    EXPECT_TRUE(healthIs(StoreReach::answering, 500));
    struct Cut {
        const char* why;
        std::function<void(bool)> cut;
        StoreReach reach;
    };
    const Cut cuts[] = {
        {"silent", [&](bool on) { proxy.swallow(on); }, StoreReach::silent},
        {"refusing", [&](bool on) { proxy.refuse(on); }, StoreReach::refusing},
    };
    for (const auto& c : cuts) {
        SCOPED_TRACE(c.why);
        const auto cutAt = Clock::now();
        c.cut(true);
        EXPECT_TRUE(healthIs(c.reach, 0)) << "found away without a call";
        std::printf("[ health   ] %s: found away after %.2f s\n", c.why, secondsSince(cutAt));
        EXPECT_LT(secondsSince(cutAt), 5.0);
        EXPECT_TRUE(healthIs(c.reach, 1'000)) << "away for longer and longer";
        c.cut(false);
        EXPECT_TRUE(healthIs(StoreReach::answering, 0));
        EXPECT_LT(store->health().forMillis, 3'000) << "answering only since it came back";
    }
}

// The process that holds the store is held up (stopped, swapped out,
// starved), which its clock jumping stands for here: the database answered
// all along, and the store still says so, with the age of the check that
// found it; the next check, begun after, is fresh.
TEST(PostgresRelayStore, AProcessHeldUpIsNoDatabaseThatStoppedAnswering) {
    PostgresBackend backend;
    backend.open();
    std::atomic<std::int64_t> heldUp{0};
    const auto clock = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count() + heldUp.load();
    };
    auto store = openPostgresRelayStore(backend.connectionString(), quick, clock, 100);
    ASSERT_TRUE(morvane::testing::eventually([&] { return store->health().forMillis >= 500; }));
    heldUp = 4'000;
    const auto woke = store->health();
    EXPECT_EQ(woke.reach, StoreReach::answering) << "judged by the age of its last answer";
    EXPECT_GE(woke.checkedMillis, 4'000);
    EXPECT_TRUE(morvane::testing::eventually([&] { return store->health().checkedMillis < 1'000; }))
        << "a check begun since";
    EXPECT_EQ(store->health().reach, StoreReach::answering);
}

// Right after the database was away from this instance, rows the others
// have not renewed yet count for as long again as the outage lasted, so
// that a list does not call their computers offline nor the instance
// forget them; a while after, they are judged as ever. Away again for a
// moment right after its return, the rows are as old as both outages.
void rowsCountAfterAnOutage(bool awayAgain) {
    PostgresBackend backend;
    backend.open();
    StallingProxy proxy(backend.cluster().folder() + "/.s.PGSQL.5432");
    auto store = openPostgresRelayStore(proxy.connectionString(backend.database()), quick, {}, 100);
    const auto room = host(1).room;
    store->putPresence(room, "other");
    store->putPeer("other", "http://10.0.0.2:8080");
    proxy.swallow(true);
    ASSERT_TRUE(morvane::testing::eventually([&] { return store->health().reach == StoreReach::silent; }));
    std::this_thread::sleep_for(std::chrono::seconds(3));
    proxy.swallow(false);
    ASSERT_TRUE(morvane::testing::eventually([&] { return store->health().reach == StoreReach::answering; }, 20'000));
    if (awayAgain) {
        proxy.swallow(true);
        ASSERT_TRUE(morvane::testing::eventually([&] { return store->health().reach == StoreReach::silent; }));
        proxy.swallow(false);
        ASSERT_TRUE(morvane::testing::eventually([&] { return store->health().reach == StoreReach::answering; }, 20'000));
    }
    const auto back = Clock::now();
    const auto online = [&] {
        for (;;) {
            try {
                return store->roomsOnline({room}, 2) == std::vector<std::string>{room};
            } catch (const RelayStoreError&) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
    };
    EXPECT_TRUE(online()) << "a row as old as the outage, renewed by nobody yet";
    EXPECT_EQ(store->presenceHolder(room, 2), "other");
    EXPECT_EQ(store->peers("self", 2), (std::vector<PeerRecord>{{"other", "http://10.0.0.2:8080"}}))
        << "an instance is not forgotten for not having said it is there yet";
    EXPECT_LT(secondsSince(back), 2.0);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_FALSE(online()) << "judged as ever once its holder had time to renew it";
    EXPECT_TRUE(store->peers("self", 2).empty());
}
TEST(PostgresRelayStore, RightAfterAnOutageRowsCountForAsLongAgainAsItLasted) { rowsCountAfterAnOutage(false); }
TEST(PostgresRelayStore, RightAfterTwoOutagesInARowRowsCountForAsLongAsBoth) { rowsCountAfterAnOutage(true); }

// A store opened as the database comes back from an outage it never saw
// (its process started during it) counts the others' rows by how long
// those not renewed yet have been silent, even when one renewed its own
// first. Right after an outage, the rows of an instance started again
// meanwhile stop counting once its new life has put its own at the same
// address, and, once this instance has asked the others, only the rows
// of those that answered count; past a beat, only those of instances that
// answered since the return (none, when none was asked), and later still
// all are judged as ever.
TEST(PostgresRelayStore, RightAfterAnOutageOnlyTheRowsOfInstancesStillThereCount) {
    PostgresBackend backend;
    backend.open();
    const std::string earlier = "vm-earlier", other = "vm-other", quiet = "vm-quiet", renewed = "vm-renewed",
                      later = "vm-later";
    const auto roomOf = [](int n) { return host(n).room; };
    {
        auto writer = openPostgresRelayStore(backend.connectionString(), quick, {}, 0);
        writer->putPeer(earlier, "http://127.0.0.2:8080");
        writer->putPeer(other, "http://127.0.0.3:8080");
        writer->putPeer(quiet, "http://127.0.0.5:8080");
        writer->putPresence(roomOf(1), earlier);
        writer->putPresence(roomOf(2), other);
        writer->putPresence(roomOf(3), quiet);
        backend.cluster().query(backend.database(), "UPDATE presence SET seen_at = seen_at - 60");
        backend.cluster().query(backend.database(), "UPDATE peers SET seen_at = seen_at - 60");
        writer->putPeer(renewed, "http://127.0.0.4:8080");
    }
    std::int64_t nowMillis = 1'000'000;
    auto store = openPostgresRelayStore(backend.connectionString(), quick, [&] { return nowMillis; }, 0);
    const auto online = [&] {
        auto rooms = store->roomsOnline({roomOf(1), roomOf(2), roomOf(3)}, 15);
        std::sort(rooms.begin(), rooms.end());
        std::vector<int> out;
        for (int n = 1; n <= 3; ++n)
            if (std::find(rooms.begin(), rooms.end(), roomOf(n)) != rooms.end()) out.push_back(n);
        return out;
    };
    const auto peers = [&] {
        std::vector<std::string> names;
        for (const auto& peer : store->peers("vm-self", 15)) names.push_back(peer.instance);
        std::sort(names.begin(), names.end());
        return names;
    };
    struct Step {
        const char* what;
        std::function<void()> then;
        std::vector<int> online;
        std::vector<std::string> peers;
    };
    const Step steps[] = {
        {"just opened: a minute-old row counts though another renewed first", [] {}, {1, 2, 3},
         {earlier, other, quiet, renewed}},
        {"a new life at the earlier instance's address", [&] { store->putPeer(later, "http://127.0.0.2:8080"); },
         {2, 3}, {later, other, quiet, renewed}},
        {"asked, only one of the silent answered", [&] { store->heardFrom({other, renewed}); }, {2},
         {later, other, quiet, renewed}},
        {"one answered long before the latest answer", [&] {
             nowMillis += 4'500;
             store->heardFrom({renewed});
         },
         {}, {later, other, quiet, renewed}},
        {"then it answers again", [&] { store->heardFrom({other}); }, {2}, {later, other, quiet, renewed}},
        {"a beat after the return, only what those that answered since hold counts", [&] { nowMillis += 500; }, {2},
         {later, renewed}},
        {"as long after it as a row counts, what nobody renewed is gone", [&] { nowMillis += 10'000; }, {},
         {later, renewed}},
    };
    for (const auto& step : steps) {
        step.then();
        EXPECT_EQ(online(), step.online) << step.what;
        EXPECT_EQ(peers(), step.peers) << step.what;
    }
    EXPECT_EQ(store->presenceHolder(roomOf(1), 15), std::nullopt);

    // Another opened then, past a beat with nobody asked since.
    std::int64_t lateMillis = 1'000'000;
    auto late = openPostgresRelayStore(backend.connectionString(), quick, [&] { return lateMillis; }, 0);
    lateMillis += 5'000;
    EXPECT_TRUE(late->roomsOnline({roomOf(1), roomOf(2), roomOf(3)}, 15).empty());
}

// SIGSTOPs a process now and SIGCONTs it when resumed, destroyed, or after
// a while at the latest, so that a store that waits for it forever still
// lets the test end.
class StoppedProcess {
public:
    explicit StoppedProcess(int pid) : pid_(pid) {
        ::kill(pid_, SIGSTOP);
        guard_ = std::thread([this] {
            std::unique_lock lock(mutex_);
            changed_.wait_for(lock, std::chrono::seconds(20), [this] { return resumed_; });
            ::kill(pid_, SIGCONT);
        });
    }
    ~StoppedProcess() { resume(); }
    void resume() {
        {
            std::lock_guard lock(mutex_);
            resumed_ = true;
        }
        changed_.notify_all();
        if (guard_.joinable()) guard_.join();
    }

private:
    int pid_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool resumed_ = false;
    std::thread guard_;
};

// The store's own server process stops (paused, as the database stalled
// under the service once): the call fails in seconds, what it asked is
// never done once the process wakes, and the next call, on a new
// connection, succeeds.
TEST(PostgresRelayStore, AStoppedServerProcessFailsTheCallAndIsEnded) {
    PostgresBackend backend;
    std::int64_t nowMillis = 0;
    auto store = openPostgresRelayStore(backend.connectionString(), quick, [&] { return nowMillis; }, 0);
    const std::string pidOf = "SELECT pid FROM pg_stat_activity WHERE datname = current_database() AND "
                              "application_name = 'morvane-relay'";
    const auto pid = backend.cluster().query(backend.database(), pidOf);
    ASSERT_FALSE(pid.empty());
    const Token token{"t1", TokenKind::ticket, "user-1", "web", host(1).room, 30};
    {
        StoppedProcess stopped(std::stoi(pid));
        const auto call = timed([&] { store->putToken(token); });
        EXPECT_THAT(call.error, HasSubstr("did not answer within 1 s"));
        EXPECT_LT(call.seconds, 3.0);
        nowMillis += 2'000;
        EXPECT_EQ(store->token("t1"), std::nullopt);
        EXPECT_NE(backend.cluster().query(backend.database(), pidOf + (" AND pid <> " + pid)), "")
            << "a new connection serves the store";
    }
    // Woken, the old process ends without running what it was sent.
    const auto start = Clock::now();
    while (!backend.cluster().query(backend.database(), "SELECT 1 FROM pg_stat_activity WHERE pid = " + pid).empty() &&
           secondsSince(start) < 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(backend.cluster().query(backend.database(), "SELECT 1 FROM pg_stat_activity WHERE pid = " + pid), "");
    EXPECT_EQ(store->token("t1"), std::nullopt) << "a call answered as failed was done after all";
}

// A killed instance's last refresh of its links' rows, held in a server
// process that was paused, runs when it wakes: later than the database's
// own clock allows for a statement sent then, it renews nothing, and the
// rows of the instance that is gone stay as old as they were. One on time
// renews them. A live instance whose put ran that late is told so, to
// write it again: otherwise its computer's row would be lost for good.
TEST(PostgresRelayStore, AWriteTheDatabaseRunsLateChangesNothingAndSaysSo) {
    PostgresBackend backend;
    backend.open();
    auto store = openPostgresRelayStore(backend.connectionString(), quick, {}, 100);
    const auto room = host(1).room;
    store->putPresence(room, "gone");
    // Its checks have read the database's clock.
    ASSERT_TRUE(morvane::testing::eventually([&] { return store->health().forMillis >= 500; }));
    backend.cluster().query(backend.database(), "UPDATE presence SET seen_at = seen_at - 60");
    const std::string age = "SELECT CAST(EXTRACT(EPOCH FROM now()) AS BIGINT) - seen_at FROM presence";
    const std::string pidOf = "SELECT pid FROM pg_stat_activity WHERE datname = current_database() AND "
                              "application_name = 'morvane-relay'";
    const auto pid = backend.cluster().query(backend.database(), pidOf);
    ASSERT_FALSE(pid.empty());
    {
        StoppedProcess stopped(std::stoi(pid));
        // Sent, and left unanswered as its instance died.
        EXPECT_THAT(timed([&] { store->refreshPresence("gone"); }).error, HasSubstr("did not answer"));
        std::this_thread::sleep_for(std::chrono::milliseconds(RelayLimits::presenceLateMillis));
    }
    const auto start = Clock::now();
    while (!backend.cluster().query(backend.database(), "SELECT 1 FROM pg_stat_activity WHERE pid = " + pid).empty() &&
           secondsSince(start) < 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_GE(std::stoi(backend.cluster().query(backend.database(), age)), 59) << "renewed by a statement run late";
    ASSERT_TRUE(morvane::testing::eventually([&] { return store->health().reach == StoreReach::answering; }));
    EXPECT_EQ(store->roomsOnline({room}, RelayLimits::presenceFreshSeconds), std::vector<std::string>{});

    EXPECT_EQ(store->refreshPresence("gone"), 1);
    EXPECT_LE(std::stoi(backend.cluster().query(backend.database(), age)), 1);

    store.reset();
    backend.cluster().query(backend.database(), "DELETE FROM presence");
    store = openPostgresRelayStore(backend.connectionString(), StoreTimeouts{1, 5, 60}, {}, 100);
    ASSERT_TRUE(morvane::testing::eventually([&] { return store->health().forMillis >= 500; }));
    const auto patientPid = backend.cluster().query(backend.database(), pidOf);
    ASSERT_FALSE(patientPid.empty());
    std::future<bool> put;
    {
        StoppedProcess stopped(std::stoi(patientPid));
        put = std::async(std::launch::async, [&] { return store->putPresence(room, "alive"); });
        std::this_thread::sleep_for(std::chrono::milliseconds(RelayLimits::presenceLateMillis + 1'000));
    }
    EXPECT_FALSE(put.get()) << "a put run too late said it was written";
    EXPECT_EQ(store->roomsOnline({room}, RelayLimits::presenceFreshSeconds), std::vector<std::string>{});
    EXPECT_TRUE(store->putPresence(room, "alive"));
    EXPECT_EQ(store->refreshPresence("alive"), 1);
    EXPECT_EQ(store->refreshPresence("nobody"), 0) << "nothing to renew is not lateness";
    EXPECT_EQ(store->roomsOnline({room}, RelayLimits::presenceFreshSeconds), std::vector<std::string>{room});
}

// What a listener heard, for the bus's tests.
struct Heard {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<BusMessage> messages;
    std::vector<std::string> log;

    BusHandler handler() {
        return [this](const BusMessage& m) {
            std::lock_guard lock(mutex);
            messages.push_back(m);
            changed.notify_all();
        };
    }
    std::function<void(const std::string&)> logger() {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex);
            log.push_back(line);
            changed.notify_all();
        };
    }
    bool waitFor(const std::function<bool()>& done) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(15), done);
    }
    bool logged(const std::string& part) const {
        return std::any_of(log.begin(), log.end(), [&](const auto& line) { return line.find(part) != std::string::npos; });
    }
};

// The bus's own connection stops answering while the store's statements
// still work (a cut only a long-lived connection meets): the listener knows
// within about two seconds by a beat it sends itself, though nothing is
// said and its keepalives would wait far longer, tells its hook, and listens
// again once it can. A database silent for every connection is the same to
// it. Texts that are no message of this program are passed over.
TEST(PostgresRelayStore, ABusThatStopsHearingKnowsItWithinSecondsAndListensAgain) {
    PostgresBackend backend;
    auto sender = backend.open();
    StallingProxy proxy(backend.cluster().folder() + "/.s.PGSQL.5432");
    auto store = openPostgresRelayStore(proxy.connectionString(backend.database()),
                                        StoreTimeouts{.connectSeconds = 2, .statementSeconds = 2, .keepaliveSeconds = 30});
    ASSERT_EQ(store->addHost(host(1), 10), AddHostOutcome::created);
    Heard heard;
    std::atomic<int> lost{0}, resumed{0};
    const auto listener = store->listen(
        "alpha", BusHooks{heard.handler(), heard.logger(), [&] { ++lost; }, [&] { ++resumed; }});

    for (const char* text : {"v2 drop-link beta alpha room", "v1 drop-link beta alpha", "v1 drop-link beta alpha a b",
                             "v1 wave beta alpha room", "v1 drop-link  alpha room"})
        backend.exec(std::string("NOTIFY morvane_relay, '") + text + "'");
    const BusMessage first{BusKind::dropLink, host(1).room, "alpha", "beta"};
    sender->publish(first);
    ASSERT_TRUE(heard.waitFor([&] { return !heard.messages.empty(); }));
    EXPECT_EQ(heard.messages, std::vector{first});

    struct Cut {
        const char* why;
        std::function<void(bool)> cut;
        bool statementsWork;
    };
    const Cut cuts[] = {
        {"the bus's connection alone",
         [&](bool on) { proxy.swallowApplication(on ? "morvane-relay bus" : ""); }, true},
        {"every connection", [&](bool on) { proxy.swallow(on); }, false},
    };
    for (const auto& c : cuts) {
        SCOPED_TRACE(c.why);
        const int before = lost;
        const auto cutAt = Clock::now();
        c.cut(true);
        EXPECT_TRUE(morvane::testing::eventually([&] { return lost > before; }, 10'000))
            << ::testing::PrintToString(heard.log);
        const double noticed = secondsSince(cutAt);
        std::printf("[ bus      ] %s cut: lost after %.2f s\n", c.why, noticed);
        // About two seconds; the bound leaves room for a busy machine and is
        // still short of the keepalive's 30 s.
        EXPECT_LT(noticed, 6.0);
        if (c.statementsWork) {
            EXPECT_EQ(store->hostByRoom(host(1).room), host(1)) << "the store's statements work";
        }
        const int back = resumed;
        c.cut(false);
        EXPECT_TRUE(morvane::testing::eventually([&] { return resumed > back; }, 20'000))
            << ::testing::PrintToString(heard.log);
        EXPECT_TRUE(heard.logged("bus: listening again")) << ::testing::PrintToString(heard.log);
    }

    const BusMessage second{BusKind::signedOut, "c2Vzc2lvbg", "", "beta"};
    sender->publish(second);
    EXPECT_TRUE(heard.waitFor([&] { return heard.messages.size() == 2; }));
    EXPECT_EQ(heard.messages, (std::vector{first, second}));
}

}  // namespace
}  // namespace morvane::relay_service

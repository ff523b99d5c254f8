// What the service relies on from any store, checked against each one: the
// same cases, the same answers, whichever database is behind it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <regex>
#include <set>
#include <thread>

#include "relay_service/relay_store.h"
#include "postgres_test_cluster.h"
#include "relay_store_backends.h"

namespace morvane::relay_service {
namespace {

using testing::PostgresBackend;
using testing::SqliteBackend;

HostRecord numberedHost(const std::string& userId, int n, const std::string& name = "computer") {
    char room[33];
    std::snprintf(room, sizeof room, "%032x", n);
    return HostRecord{room, "key-" + std::to_string(n), name, userId, 1'000 + n};
}

const char* outcomeName(AddHostOutcome outcome) {
    switch (outcome) {
    case AddHostOutcome::created: return "created";
    case AddHostOutcome::existing: return "existing";
    case AddHostOutcome::taken: return "taken";
    case AddHostOutcome::limit: return "limit";
    }
    return "?";
}

// One database kind under test: a name for the test's name and a way to
// make a fresh, empty database of that kind.
struct StoreKind {
    const char* name;
    std::unique_ptr<testing::StoreBackend> (*make)();
};
void PrintTo(const StoreKind& kind, std::ostream* out) { *out << kind.name; }

template <class Backend>
std::unique_ptr<testing::StoreBackend> make() {
    return std::make_unique<Backend>();
}

class RelayStoreContract : public ::testing::TestWithParam<StoreKind> {
protected:
    std::unique_ptr<testing::StoreBackend> backendOwner = GetParam().make();
    testing::StoreBackend& backend = *backendOwner;
    std::unique_ptr<RelayStore> store = backend.open();
};

INSTANTIATE_TEST_SUITE_P(Stores, RelayStoreContract, ::testing::Values(StoreKind{"Sqlite", &make<SqliteBackend>},
                                                                  StoreKind{"Postgres", &make<PostgresBackend>}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(RelayStoreContract, AccountIsMadeOnceForEachAddress) {
    auto& store = *this->store;
    const auto first = store.accountForEmail("ann@example.org", 100);
    EXPECT_TRUE(std::regex_match(first.userId, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
        << first.userId;
    EXPECT_EQ(first.email, "ann@example.org");
    EXPECT_EQ(first.createdAt, 100);

    // A later sign-in finds the same account, made when it was first made,
    // from this connection or another one.
    EXPECT_EQ(store.accountForEmail("ann@example.org", 500), first);
    EXPECT_EQ(this->backend.open()->accountForEmail("ann@example.org", 900), first);

    const auto other = store.accountForEmail("bob@example.org", 200);
    EXPECT_NE(other.userId, first.userId);
    EXPECT_EQ(store.account(first.userId), first);
    EXPECT_EQ(store.account(other.userId), other);
    EXPECT_EQ(store.account("00000000-0000-4000-8000-000000000000"), std::nullopt);
}

TEST_P(RelayStoreContract, CodeIsReplacedForTheSameAddressAndLogin) {
    auto& store = *this->store;
    const SignInCode first{"ann@example.org", "login-1", "hash-1", "salt-1", 600, 5};
    const SignInCode second{"ann@example.org", "login-1", "hash-2", "salt-2", 700, 5};
    const SignInCode otherLogin{"ann@example.org", "login-2", "hash-3", "salt-3", 650, 5};
    const SignInCode otherAddress{"bob@example.org", "login-1", "hash-4", "salt-4", 650, 5};
    for (const auto& code : {first, otherLogin, otherAddress, second}) store.putCode(code);

    EXPECT_EQ(store.code("ann@example.org", "login-1"), second);
    EXPECT_EQ(store.code("ann@example.org", "login-2"), otherLogin);
    EXPECT_EQ(store.code("bob@example.org", "login-1"), otherAddress);
    EXPECT_EQ(store.code("carl@example.org", "login-1"), std::nullopt);

    // Tries count down on the one code only; a code that is gone stays gone.
    store.setCodeTries("ann@example.org", "login-1", 2);
    EXPECT_EQ(store.code("ann@example.org", "login-1")->triesLeft, 2);
    EXPECT_EQ(store.code("ann@example.org", "login-2")->triesLeft, 5);
    EXPECT_EQ(store.code("bob@example.org", "login-1")->triesLeft, 5);

    // A new code restores the tries.
    store.putCode(second);
    EXPECT_EQ(store.code("ann@example.org", "login-1")->triesLeft, 5);

    store.deleteCode("ann@example.org", "login-1");
    EXPECT_EQ(store.code("ann@example.org", "login-1"), std::nullopt);
    EXPECT_EQ(store.code("ann@example.org", "login-2"), otherLogin);
    store.setCodeTries("ann@example.org", "login-1", 4);
    EXPECT_EQ(store.code("ann@example.org", "login-1"), std::nullopt);
    store.deleteCode("ann@example.org", "login-1");
}

TEST_P(RelayStoreContract, TokensAreFoundByTheirHashAndDeletedOnce) {
    auto& store = *this->store;
    const Token tokens[] = {
        {"a1", TokenKind::access, "user-1", "mac", "", 900},
        {"r1", TokenKind::refresh, "user-1", "web", "", 90'000},
        {"t1", TokenKind::ticket, "user-2", "web", "0123456789abcdef0123456789abcdef", 30},
    };
    for (const auto& token : tokens) store.putToken(token);
    for (const auto& token : tokens) {
        SCOPED_TRACE(token.hash);
        EXPECT_EQ(store.token(token.hash), token);
        EXPECT_EQ(this->backend.open()->token(token.hash), token);
    }
    EXPECT_EQ(store.token("A1"), std::nullopt);

    EXPECT_TRUE(store.deleteToken("r1"));
    EXPECT_FALSE(store.deleteToken("r1"));
    EXPECT_FALSE(store.deleteToken("never-there"));
    EXPECT_EQ(store.token("r1"), std::nullopt);
    EXPECT_EQ(store.token("a1"), tokens[0]);
    EXPECT_EQ(store.token("t1"), tokens[2]);
}

// Tickets are spent by deleting them: of several instances racing for one
// ticket, exactly one may open the room.
TEST_P(RelayStoreContract, TicketIsSpentOnceAcrossConnections) {
    constexpr int tickets = 20;
    constexpr int connections = 4;
    for (int i = 0; i < tickets; ++i)
        this->store->putToken({"ticket-" + std::to_string(i), TokenKind::ticket, "user-1", "web", "room", 30});
    std::vector<std::unique_ptr<RelayStore>> stores;
    for (int c = 0; c < connections; ++c) stores.push_back(this->backend.open());
    std::vector<std::atomic<int>> spent(tickets);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (auto& s : stores)
        threads.emplace_back([&, store = s.get()] {
            try {
                for (int i = 0; i < tickets; ++i)
                    if (store->deleteToken("ticket-" + std::to_string(i))) ++spent[i];
            } catch (const RelayStoreError&) {
                ++failures;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures, 0);
    for (int i = 0; i < tickets; ++i) EXPECT_EQ(spent[i], 1) << "ticket " << i;
}

TEST_P(RelayStoreContract, AddHostAnswersEachOutcome) {
    auto& store = *this->store;
    struct Step {
        const char* why;
        HostRecord host;
        int limit;
        AddHostOutcome expected;
    };
    const Step steps[] = {
        {"a new key", numberedHost("ann", 1, "one"), 2, AddHostOutcome::created},
        {"the same key again renames", numberedHost("ann", 1, "one renamed"), 2, AddHostOutcome::existing},
        {"another account's key", numberedHost("bob", 1, "thief"), 2, AddHostOutcome::taken},
        {"fills the account to its limit", numberedHost("ann", 2), 2, AddHostOutcome::created},
        {"one past the limit", numberedHost("ann", 3), 2, AddHostOutcome::limit},
        {"a computer already there at the limit", numberedHost("ann", 1, "one again"), 2, AddHostOutcome::existing},
        {"the limit is per account", numberedHost("bob", 3), 2, AddHostOutcome::created},
        {"taken even when the account is full", numberedHost("ann", 3), 2, AddHostOutcome::taken},
        {"a larger limit lets one more in", numberedHost("ann", 4), 3, AddHostOutcome::created},
        {"no room at all", numberedHost("carl", 5), 0, AddHostOutcome::limit},
        {"the same room under another key",
         HostRecord{numberedHost("bob", 2).room, "key-other", "x", "bob", 9}, 2, AddHostOutcome::taken},
    };
    for (const auto& step : steps)
        EXPECT_EQ(outcomeName(store.addHost(step.host, step.limit)), outcomeName(step.expected)) << step.why;

    auto first = numberedHost("ann", 1, "one again");
    EXPECT_EQ(store.hostByKey("key-1"), first) << "renamed, keeping its first registration time";
    EXPECT_EQ(store.hostByRoom(first.room), first);
    EXPECT_EQ(store.hostsOf("ann"),
              (std::vector{first, numberedHost("ann", 2), numberedHost("ann", 4)}));
    EXPECT_EQ(store.hostsOf("bob"), std::vector{numberedHost("bob", 3)});
    EXPECT_EQ(store.hostsOf("carl"), std::vector<HostRecord>{});
    EXPECT_EQ(store.hostByKey("key-5"), std::nullopt);
    EXPECT_EQ(store.hostByKey("key-other"), std::nullopt);

    // Removing one makes room again.
    EXPECT_EQ(outcomeName(store.addHost(numberedHost("ann", 6), 3)), outcomeName(AddHostOutcome::limit));
    EXPECT_TRUE(store.removeHost(numberedHost("ann", 2).room));
    EXPECT_EQ(outcomeName(store.addHost(numberedHost("ann", 6), 3)), outcomeName(AddHostOutcome::created));
}

// Several instances (or threads) registering computers of one account at
// once never push it past its limit.
TEST_P(RelayStoreContract, AddHostKeepsTheLimitUnderConcurrentRegistrations) {
    constexpr int connections = 4;
    constexpr int keysEach = 6;
    constexpr int limit = 10;
    std::vector<std::unique_ptr<RelayStore>> stores;
    for (int c = 0; c < connections; ++c) stores.push_back(this->backend.open());
    std::atomic<int> created{0}, refused{0}, other{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < connections; ++c)
        threads.emplace_back([&, c, store = stores[c].get()] {
            for (int k = 0; k < keysEach; ++k) {
                try {
                    switch (store->addHost(numberedHost("ann", c * 100 + k), limit)) {
                    case AddHostOutcome::created: ++created; break;
                    case AddHostOutcome::limit: ++refused; break;
                    default: ++other;
                    }
                } catch (const RelayStoreError&) {
                    ++other;
                }
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(created, limit);
    EXPECT_EQ(refused, connections * keysEach - limit);
    EXPECT_EQ(other, 0);
    EXPECT_EQ(this->store->hostsOf("ann").size(), std::size_t{limit});
}

TEST_P(RelayStoreContract, HostIsRemovedOnceAndOnlyFromItsAccount) {
    auto& store = *this->store;
    for (const auto& host : {numberedHost("ann", 1), numberedHost("ann", 2), numberedHost("bob", 3)})
        ASSERT_EQ(store.addHost(host, 10), AddHostOutcome::created);
    const auto room = numberedHost("ann", 1).room;
    EXPECT_TRUE(store.removeHost(room));
    EXPECT_FALSE(store.removeHost(room));
    EXPECT_FALSE(this->backend.open()->removeHost(room));
    EXPECT_EQ(store.hostByRoom(room), std::nullopt);
    EXPECT_EQ(store.hostByKey("key-1"), std::nullopt);
    EXPECT_EQ(store.hostsOf("ann"), std::vector{numberedHost("ann", 2)});
    EXPECT_EQ(store.hostsOf("bob"), std::vector{numberedHost("bob", 3)});
    // The key is free again, for any account.
    EXPECT_EQ(store.addHost(numberedHost("bob", 1), 10), AddHostOutcome::created);
}

TEST_P(RelayStoreContract, NonceIsAcceptedOnceBeforeItExpires) {
    auto& store = *this->store;
    struct Step {
        const char* why;
        const char* nonce;
        std::int64_t expiresAt, now;
        bool accepted;
        std::int64_t purgeFirst = -1;
    };
    const Step steps[] = {
        {"first use", "n1", 100, 50, true},
        {"replay", "n1", 100, 60, false},
        {"replay with a later expiry", "n1", 500, 60, false},
        {"another nonce", "n2", 100, 60, true},
        {"offered when it expires", "n3", 100, 100, false},
        {"offered after it expired", "n4", 90, 100, false},
        {"one second before it expires", "n5", 101, 100, true},
        {"replay at its expiry", "n5", 101, 101, false},
        {"forgotten once purged", "n1", 300, 200, true, 200},
        {"a live one survives the purge", "n6", 400, 200, true},
        {"and is still refused after it", "n6", 400, 250, false, 250},
    };
    for (const auto& step : steps) {
        if (step.purgeFirst >= 0) store.purgeExpired(step.purgeFirst);
        EXPECT_EQ(store.useNonce(step.nonce, step.expiresAt, step.now), step.accepted) << step.why;
    }
    EXPECT_FALSE(this->backend.open()->useNonce("n6", 400, 260)) << "another instance sees the same nonce";
}

// A sign-out made through one instance holds on every other until it
// expires, and a second sign-out of the session never shortens it.
TEST_P(RelayStoreContract, SignOutHoldsOnEveryConnectionUntilItExpires) {
    auto& store = *this->store;
    auto other = this->backend.open();
    store.putSignOut("session-1", 100);
    other->putSignOut("session-2", 300);
    struct Step {
        const char* why;
        const char* session;
        std::int64_t now;
        bool signedOut;
        std::int64_t signOutAgainUntil = -1;
    };
    const Step steps[] = {
        {"long before it expires", "session-1", 0, true},
        {"one second before it expires", "session-1", 99, true},
        {"when it expires", "session-1", 100, false},
        {"a session never signed out", "session-3", 50, false},
        {"a session whose id only begins the same", "session", 50, false},
        {"made through the other connection", "session-2", 299, true},
        {"signed out again for longer", "session-1", 150, true, 200},
        {"until the later time", "session-1", 200, false},
        {"signed out again for less", "session-2", 250, true, 120},
        {"keeps the longer time", "session-2", 299, true},
    };
    for (const auto& step : steps) {
        if (step.signOutAgainUntil >= 0) other->putSignOut(step.session, step.signOutAgainUntil);
        EXPECT_EQ(store.signedOut(step.session, step.now), step.signedOut) << step.why;
        EXPECT_EQ(other->signedOut(step.session, step.now), step.signedOut) << step.why << ", asked of the other";
    }
}

TEST_P(RelayStoreContract, PurgeForgetsOnlyWhatHasExpired) {
    auto& store = *this->store;
    const auto account = store.accountForEmail("ann@example.org", 1);
    ASSERT_EQ(store.addHost(numberedHost(account.userId, 1), 10), AddHostOutcome::created);
    for (std::int64_t at : {99, 100, 101}) {
        const auto n = std::to_string(at);
        store.putCode({"ann@example.org", "login-" + n, "h", "s", at, 5});
        store.putToken({"token-" + n, TokenKind::access, account.userId, "mac", "", at});
        ASSERT_TRUE(store.useNonce("nonce-" + n, at, 0));
        store.putSignOut("session-" + n, at);
    }
    store.purgeExpired(100);

    for (std::int64_t at : {99, 100, 101}) {
        const auto n = std::to_string(at);
        const bool kept = at > 100;
        SCOPED_TRACE(n);
        EXPECT_EQ(store.code("ann@example.org", "login-" + n).has_value(), kept);
        EXPECT_EQ(store.token("token-" + n).has_value(), kept);
        // A forgotten nonce is accepted again; a kept one is still a replay.
        EXPECT_EQ(store.useNonce("nonce-" + n, 1'000, 100), !kept);
        // Asked as of a time before it expired: only a forgotten sign-out
        // reads as none.
        EXPECT_EQ(store.signedOut("session-" + n, 0), kept);
    }
    EXPECT_EQ(store.account(account.userId), account);
    EXPECT_EQ(store.hostsOf(account.userId).size(), 1u);
}

TEST_P(RelayStoreContract, SchemaVersionIsCheckedWhenOpened) {
    const auto account = this->store->accountForEmail("ann@example.org", 1);
    this->store.reset();
    // Opening a database of this program's schema changes nothing.
    EXPECT_EQ(this->backend.open()->account(account.userId), account);
    EXPECT_EQ(this->backend.open()->account(account.userId), account);

    this->backend.exec(this->backend.futureSchemaSql());
    try {
        this->backend.open();
        ADD_FAILURE() << "a database of a later schema was opened";
    } catch (const RelayStoreError& e) {
        const std::string what = e.what();
        EXPECT_THAT(what, ::testing::HasSubstr("newer than this program"));
        EXPECT_EQ(what.find('\n'), std::string::npos) << what;
    }
}

// A database the previous release wrote opens, gains what this release
// keeps, and loses nothing it held.
TEST_P(RelayStoreContract, AVersion1DatabaseMigratesKeepingItsData) {
    const auto oldOwner = GetParam().make();
    auto& old = *oldOwner;
    old.makeVersion1();
    const std::string user = "00000000-0000-4000-8000-000000000001";
    const auto host = numberedHost(user, 1);
    old.exec("INSERT INTO accounts VALUES ('" + user + "', 'ann@example.org', 5);"
             "INSERT INTO sign_in_codes VALUES ('ann@example.org', 'login-1', 'hash-1', 'salt-1', 600, 4);"
             "INSERT INTO tokens VALUES ('r1', 'refresh', '" + user + "', 'web', '', 90000);"
             "INSERT INTO tokens VALUES ('t1', 'ticket', '" + user + "', 'web', '" + host.room + "', 30);"
             "INSERT INTO hosts VALUES ('" + host.room + "', 'key-1', 'computer', '" + user + "', 1001);"
             "INSERT INTO used_nonces VALUES ('n1', 400);");

    auto store = old.open();
    EXPECT_EQ(store->account(user), (Account{user, "ann@example.org", 5}));
    EXPECT_EQ(store->code("ann@example.org", "login-1"),
              (SignInCode{"ann@example.org", "login-1", "hash-1", "salt-1", 600, 4}));
    EXPECT_EQ(store->token("r1"), (Token{"r1", TokenKind::refresh, user, "web", "", 90'000}));
    EXPECT_EQ(store->token("t1"), (Token{"t1", TokenKind::ticket, user, "web", host.room, 30}));
    EXPECT_EQ(store->hostsOf(user), std::vector{host});
    EXPECT_FALSE(store->useNonce("n1", 400, 100)) << "a nonce used before the migration is still a replay";

    store->putSignOut("session-1", 500);
    store.reset();
    // Opened again, at this release's version: nothing is migrated twice.
    auto again = old.open();
    EXPECT_TRUE(again->signedOut("session-1", 100));
    EXPECT_EQ(again->account(user), (Account{user, "ann@example.org", 5}));
}

TEST_P(RelayStoreContract, OpensThroughTheConfiguredKind) {
    auto store = openRelayStore(this->backend.config());
    const auto kind = this->backend.config().kind;
    EXPECT_EQ(store->describe().substr(0, kind.size() + 1), kind + " ");
    EXPECT_EQ(store->addHost(numberedHost("ann", 1), 10), AddHostOutcome::created);
    EXPECT_EQ(this->store->hostByKey("key-1"), numberedHost("ann", 1));
}

// A registration the service was told is committed is there after the
// writer is killed at an arbitrary instant, and the database opens cleanly.
TEST_P(RelayStoreContract, KilledWriterLosesNoRegistrationItReported) {
    constexpr int rounds = 3;
    constexpr int reportsBeforeKill = 40;
    this->store.reset();  // no connection is carried across fork
    std::vector<std::string> reported;
    for (int round = 0; round < rounds; ++round) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            try {
                auto store = this->backend.open();
                for (int i = 0; i < 100'000; ++i) {
                    const auto host = numberedHost("user-" + std::to_string(i % 7), round * 100'000 + i);
                    if (store->addHost(host, 1'000'000) != AddHostOutcome::created) ::_exit(3);
                    const std::string line = host.room + "\n";
                    if (::write(fds[1], line.data(), line.size()) != static_cast<ssize_t>(line.size())) ::_exit(4);
                }
            } catch (...) {
                ::_exit(2);
            }
            ::_exit(0);
        }
        ::close(fds[1]);
        FILE* in = ::fdopen(fds[0], "r");
        char line[64];
        int count = 0;
        while (std::fgets(line, sizeof line, in)) {
            reported.emplace_back(line, 32);
            if (++count == reportsBeforeKill) ::kill(pid, SIGKILL);
        }
        std::fclose(in);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the writer stopped by itself: " << status;
    }
    EXPECT_EQ(this->backend.integrity(), "ok");
    auto store = this->backend.open();
    std::set<std::string> missing;
    for (const auto& room : reported)
        if (!store->hostByRoom(room)) missing.insert(room);
    EXPECT_GE(reported.size(), std::size_t{rounds * reportsBeforeKill});
    EXPECT_TRUE(missing.empty()) << missing.size() << " of " << reported.size() << " reported registrations lost";
}

}  // namespace
}  // namespace morvane::relay_service

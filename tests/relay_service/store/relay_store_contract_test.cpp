// What the service relies on from any store, checked against each one: the
// same cases, the same answers, whichever database is behind it (the
// tests' own store in memory included); and what a database must do besides
// (its schema's versions, its files surviving a killed writer).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

#include "memory_store.h"
#include "relay_service/relay_accounts.h"
#include "relay_service/relay_limits.h"
#include "relay_service/relay_store.h"
#include "postgres_test_cluster.h"
#include "relay_store_backends.h"

namespace morvane::relay_service {
namespace {

using testing::DatabaseBackend;
using testing::PostgresBackend;
using testing::SqliteBackend;
using ::testing::UnorderedElementsAre;
using json = nlohmann::json;

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

class MemoryBackend final : public testing::StoreBackend {
public:
    std::unique_ptr<RelayStore> open() override { return data_.connect(); }
    void agePresence(const std::string& instance, std::int64_t seconds) override {
        for (auto& [room, row] : data_.presence)
            if (row.instance == instance) row.seenAt -= seconds;
    }
    void ageLinkRequests(const std::string& holder, std::int64_t seconds) override {
        for (auto& [room, row] : data_.linkRequests)
            if (row.holder == holder) row.askedAt -= seconds;
    }
    void agePeer(const std::string& instance, std::int64_t seconds) override {
        if (data_.peerRows.contains(instance)) data_.peerRows[instance].seenAt -= seconds;
    }

private:
    testing::MemoryStore data_;
};

// One kind of store under test: a name for the test's name and a way to
// make a fresh, empty one.
template <class Backend>
struct Kind {
    const char* name;
    std::unique_ptr<Backend> (*make)();
};
template <class Backend>
void PrintTo(const Kind<Backend>& kind, std::ostream* out) {
    *out << kind.name;
}

template <class Base, class Backend>
std::unique_ptr<Base> make() {
    return std::make_unique<Backend>();
}

template <class Backend>
class Contract : public ::testing::TestWithParam<Kind<Backend>> {
protected:
    std::unique_ptr<Backend> backendOwner = this->GetParam().make();
    Backend& backend = *backendOwner;
    std::unique_ptr<RelayStore> store = backend.open();
};

using RelayStoreContract = Contract<testing::StoreBackend>;
using RelayDatabaseContract = Contract<DatabaseBackend>;

const auto nameOf = [](const auto& info) { return std::string(info.param.name); };

INSTANTIATE_TEST_SUITE_P(Stores, RelayStoreContract,
                         ::testing::Values(Kind<testing::StoreBackend>{"Memory", &make<testing::StoreBackend, MemoryBackend>},
                                           Kind<testing::StoreBackend>{"Sqlite", &make<testing::StoreBackend, SqliteBackend>},
                                           Kind<testing::StoreBackend>{"Postgres",
                                                                       &make<testing::StoreBackend, PostgresBackend>}),
                         nameOf);
INSTANTIATE_TEST_SUITE_P(Databases, RelayDatabaseContract,
                         ::testing::Values(Kind<DatabaseBackend>{"Sqlite", &make<DatabaseBackend, SqliteBackend>},
                                           Kind<DatabaseBackend>{"Postgres", &make<DatabaseBackend, PostgresBackend>}),
                         nameOf);

// Runs each worker on a thread of its own, each with a store object of its
// own as each instance has, and waits for all; a store failure fails the
// test.
void race(testing::StoreBackend& backend, int workers, const std::function<void(RelayStore&, int worker)>& work) {
    std::vector<std::unique_ptr<RelayStore>> stores;
    for (int w = 0; w < workers; ++w) stores.push_back(backend.open());
    std::vector<std::string> failures(static_cast<std::size_t>(workers));
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w)
        threads.emplace_back([&, w] {
            try {
                work(*stores[w], w);
            } catch (const RelayStoreError& e) {
                failures[w] = e.what();
            }
        });
    for (auto& t : threads) t.join();
    for (const auto& failure : failures) EXPECT_EQ(failure, "");
}

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

    // Tries count down on the one code only; a new code restores them.
    EXPECT_EQ(store.spendCodeTry("ann@example.org", "login-1", 100)->triesLeft, 4);
    EXPECT_EQ(store.code("ann@example.org", "login-1")->triesLeft, 4);
    EXPECT_EQ(store.code("ann@example.org", "login-2")->triesLeft, 5);
    EXPECT_EQ(store.code("bob@example.org", "login-1")->triesLeft, 5);
    store.putCode(second);
    EXPECT_EQ(store.code("ann@example.org", "login-1")->triesLeft, 5);

    // A code is taken once; one that is gone stays gone.
    EXPECT_TRUE(store.deleteCode("ann@example.org", "login-1"));
    EXPECT_FALSE(this->backend.open()->deleteCode("ann@example.org", "login-1"));
    EXPECT_EQ(store.code("ann@example.org", "login-1"), std::nullopt);
    EXPECT_EQ(store.code("ann@example.org", "login-2"), otherLogin);
    EXPECT_EQ(store.spendCodeTry("ann@example.org", "login-1", 100), std::nullopt);
    EXPECT_EQ(store.code("ann@example.org", "login-1"), std::nullopt);
}

TEST_P(RelayStoreContract, CodeTriesAreSpentOneAtATimeWhileTheCodeLives) {
    auto& store = *this->store;
    store.putCode({"ann@example.org", "login-1", "hash-1", "salt-1", 600, 3});
    store.putCode({"bob@example.org", "login-1", "hash-2", "salt-2", 600, 3});
    struct Step {
        const char* why;
        const char* email;
        std::int64_t now;
        std::optional<int> triesLeft;  // absent: no live code
    };
    const Step steps[] = {
        {"the first try", "ann@example.org", 100, 2},
        {"the second", "ann@example.org", 200, 1},
        {"the last", "ann@example.org", 599, 0},
        {"none left", "ann@example.org", 599, std::nullopt},
        {"still none", "ann@example.org", 100, std::nullopt},
        {"another address counts its own", "bob@example.org", 100, 2},
        {"when it expires", "bob@example.org", 600, std::nullopt},
        {"an address without a code", "carl@example.org", 100, std::nullopt},
    };
    for (const auto& step : steps) {
        const auto spent = store.spendCodeTry(step.email, "login-1", step.now);
        ASSERT_EQ(spent.has_value(), step.triesLeft.has_value()) << step.why;
        if (!spent) continue;
        EXPECT_EQ(spent->triesLeft, *step.triesLeft) << step.why;
        // It answers the code to compare against.
        EXPECT_EQ(spent->codeHash, std::string(step.email) == "ann@example.org" ? "hash-1" : "hash-2") << step.why;
        EXPECT_EQ(spent->expiresAt, 600) << step.why;
    }
}

// Instances guessing one code at once: every try is spent exactly once, so
// no more guesses are compared than the code allows, and only one of them
// takes the code.
TEST_P(RelayStoreContract, CodeTriesHoldAcrossConnectionsRacing) {
    constexpr int codes = 20, tries = 5, workers = 2;
    for (int c = 0; c < codes; ++c)
        this->store->putCode({"ann@example.org", "login-" + std::to_string(c), "h", "s", 600, tries});
    std::vector<std::multiset<int>> triesLeftSeen(codes);
    std::vector<int> taken(codes);
    std::mutex mutex;
    race(this->backend, workers, [&](RelayStore& store, int) {
        for (int c = 0; c < codes; ++c) {
            const auto login = "login-" + std::to_string(c);
            while (const auto spent = store.spendCodeTry("ann@example.org", login, 100)) {
                std::lock_guard lock(mutex);
                triesLeftSeen[c].insert(spent->triesLeft);
            }
            const bool took = store.deleteCode("ann@example.org", login);
            std::lock_guard lock(mutex);
            taken[c] += took;
        }
    });
    for (int c = 0; c < codes; ++c) {
        EXPECT_EQ(triesLeftSeen[c], (std::multiset<int>{0, 1, 2, 3, 4})) << "code " << c;
        EXPECT_EQ(taken[c], 1) << "code " << c;
    }
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
    std::vector<std::atomic<int>> spent(tickets);
    race(this->backend, connections, [&](RelayStore& store, int) {
        for (int i = 0; i < tickets; ++i)
            if (store.deleteToken("ticket-" + std::to_string(i))) ++spent[i];
    });
    for (int i = 0; i < tickets; ++i) EXPECT_EQ(spent[i], 1) << "ticket " << i;
}

// A refresh spends its token and stores the next ones in one step: once,
// across instances racing for it, and nothing is stored for a token
// already spent.
TEST_P(RelayStoreContract, ARefreshTokenIsReplacedOnceAcrossConnections) {
    constexpr int connections = 4;
    this->store->putToken({"r0", TokenKind::refresh, "user-1", "web", "", 90'000});
    std::atomic<int> replaced{0};
    race(this->backend, connections, [&](RelayStore& store, int worker) {
        const auto name = std::to_string(worker);
        if (store.replaceToken("r0", {{"a-" + name, TokenKind::access, "user-1", "web", "", 900},
                                      {"r-" + name, TokenKind::refresh, "user-1", "web", "", 90'000}}))
            ++replaced;
    });
    EXPECT_EQ(replaced, 1);
    EXPECT_EQ(this->store->token("r0"), std::nullopt);
    int stored = 0;
    for (int w = 0; w < connections; ++w) {
        const auto access = this->store->token("a-" + std::to_string(w));
        const auto refresh = this->store->token("r-" + std::to_string(w));
        EXPECT_EQ(access.has_value(), refresh.has_value()) << "worker " << w;
        stored += refresh.has_value();
    }
    EXPECT_EQ(stored, 1) << "only the winner's tokens are stored";
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
    std::atomic<int> created{0}, refused{0}, other{0};
    race(this->backend, connections, [&](RelayStore& store, int c) {
        for (int k = 0; k < keysEach; ++k) {
            switch (store.addHost(numberedHost("ann", c * 100 + k), limit)) {
            case AddHostOutcome::created: ++created; break;
            case AddHostOutcome::limit: ++refused; break;
            default: ++other;
            }
        }
    });
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

// The rooms registered since a time, the newest first and at most as many
// as asked, through any store of the database; a removed one is gone.
TEST_P(RelayStoreContract, RoomsRegisteredSinceATimeAreListedNewestFirst) {
    auto& store = *this->store;
    for (int n = 1; n <= 5; ++n) ASSERT_EQ(store.addHost(numberedHost("ann", n), 10), AddHostOutcome::created);
    ASSERT_TRUE(store.removeHost(numberedHost("ann", 4).room));
    const auto room = [](int n) { return numberedHost("ann", n).room; };
    EXPECT_EQ(store.roomsRegisteredSince(0, 100), (std::vector{room(5), room(3), room(2), room(1)}));
    EXPECT_EQ(this->backend.open()->roomsRegisteredSince(1'002, 100), (std::vector{room(5), room(3), room(2)}));
    EXPECT_EQ(store.roomsRegisteredSince(0, 2), (std::vector{room(5), room(3)}));
    EXPECT_TRUE(store.roomsRegisteredSince(1'006, 100).empty());
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

// The code limits: a fixed window from a key's first event, counted alike
// through every connection.
TEST_P(RelayStoreContract, RateCountsHoldAcrossConnectionsInAFixedWindow) {
    auto other = this->backend.open();
    RelayStore* connections[] = {this->store.get(), other.get()};
    struct Step {
        const char* why;
        int connection;
        const char* key;
        std::int64_t now;
        std::optional<std::int64_t> wait;  // absent: counted
    };
    const Step steps[] = {
        {"the first opens the window", 0, "a", 100, std::nullopt},
        {"the second, through the other", 1, "a", 100, std::nullopt},
        {"the last allowed", 0, "a", 150, std::nullopt},
        {"one too many waits for the window's end", 1, "a", 160, 540},
        {"refused ones count, and never move the end", 0, "a", 699, 1},
        {"another key counts apart", 1, "b", 699, std::nullopt},
        {"the window has ended", 0, "a", 700, std::nullopt},
        {"a new one begins with it", 1, "a", 1'299, std::nullopt},
        {"the other key's window runs from its own first event", 0, "b", 1'298, std::nullopt},
    };
    for (const auto& step : steps)
        EXPECT_EQ(connections[step.connection]->countRate(step.key, 3, 600, step.now), step.wait) << step.why;

    // Counted at once from several instances: exactly `most` get through.
    std::atomic<int> counted{0};
    race(this->backend, 4, [&](RelayStore& store, int) {
        for (int i = 0; i < 10; ++i) counted += !store.countRate("raced", 7, 600, 100).has_value();
    });
    EXPECT_EQ(counted, 7);
}

// Two instances sharing the store mail one mailbox, whatever its tags, its
// few codes between them, and give each network its day's few guesses at
// one address's codes between them; another network's are its own.
TEST_P(RelayStoreContract, InstancesShareAMailboxsMailsAndANetworksGuesses) {
    auto otherStore = this->backend.open();
    std::int64_t nowMillis = 1'800'000'000'000;
    const auto hooks = [&nowMillis] {
        return RelayAccounts::Hooks{[&nowMillis] { return nowMillis; }, [](const std::string&) {}, {}, {}, {}};
    };
    RelayAccounts one(*this->store, hooks(), true), two(*otherStore, hooks(), true);
    RelayAccounts* instances[] = {&one, &two};
    const auto call = [](RelayAccounts& accounts, AccountEndpoint endpoint, json body, const std::string& client) {
        AccountCall routed;
        routed.endpoint = endpoint;
        routed.body = std::move(body);
        routed.client = client;
        return accounts.handle(routed);
    };
    for (int i = 0; i <= RelayLimits::mailsPerMailbox; ++i) {
        const auto asked = call(*instances[i % 2], AccountEndpoint::code,
                                json{{"email", "box+" + std::to_string(i) + "@example.com"}, {"login_id", "l"}},
                                "203.0.113." + std::to_string(i));
        EXPECT_EQ(asked.delivery.has_value(), i < RelayLimits::mailsPerMailbox) << i;
    }
    // Live codes for one address, each its own login, to guess at: their
    // tries are more than a network's guesses.
    const int most = RelayLimits::guessesAwayPerDay;
    const int codes = most / RelayLimits::codeTries + 2;
    for (int i = 0; i < codes; ++i)
        ASSERT_TRUE(call(one, AccountEndpoint::code, json{{"email", "g@example.com"}, {"login_id", "l" + std::to_string(i)}},
                         "192.0.2." + std::to_string(i))
                        .delivery);
    const auto guess = [&](RelayAccounts& accounts, int login, const std::string& from) {
        return call(accounts, AccountEndpoint::verify,
                    json{{"email", "g@example.com"}, {"login_id", "l" + std::to_string(login)}, {"code", "x"}, {"client", "web"}},
                    from)
            .status;
    };
    for (int i = 0; i < most; ++i)
        EXPECT_EQ(guess(*instances[i % 2], i / RelayLimits::codeTries, "198.51.100.1"), 400) << i;
    EXPECT_EQ(guess(one, codes - 2, "198.51.100.1"), 429);
    EXPECT_EQ(guess(two, codes - 2, "198.51.100.1"), 429);
    EXPECT_EQ(guess(two, codes - 1, "198.51.100.2"), 400) << "another network's guesses are its own";
}

// Which instance holds each computer's link: the newest link's, while it
// is refreshed, and only its holder lets go of it. Rows are stamped and
// judged by the store's own clock, never a caller's.
TEST_P(RelayStoreContract, PresenceShowsTheFreshHolderOfEachRoom) {
    auto& store = *this->store;
    auto other = this->backend.open();
    const auto room = [](int n) { return numberedHost("u", n).room; };
    store.putPresence(room(1), "alpha");
    store.putPresence(room(2), "alpha");
    other->putPresence(room(3), "beta");

    struct Check {
        const char* why;
        int room;
        std::int64_t freshSeconds;
        std::optional<std::string> holder;
    };
    const auto check = [&](const char* when, std::initializer_list<Check> checks) {
        for (const auto& c : checks) {
            EXPECT_EQ(store.presenceHolder(room(c.room), c.freshSeconds), c.holder) << when << ": " << c.why;
            EXPECT_EQ(other->presenceHolder(room(c.room), c.freshSeconds), c.holder) << when << ": " << c.why << " (other)";
        }
    };
    this->backend.agePresence("alpha", 100);
    this->backend.agePresence("beta", 100);
    check("put", {{"held", 1, 200, "alpha"},
                  {"held by the other", 3, 200, "beta"},
                  {"not refreshed since", 1, 50, std::nullopt},
                  {"never held", 4, 200, std::nullopt}});

    EXPECT_EQ(store.refreshPresence("alpha"), 2) << "one statement refreshes all of an instance's rows";
    EXPECT_EQ(other->refreshPresence("nobody"), 0);
    check("heartbeat", {{"refreshed", 1, 50, "alpha"}, {"refreshed too", 2, 50, "alpha"}, {"not its own", 3, 50, std::nullopt}});

    other->putPresence(room(1), "beta");
    check("taken over", {{"the newest link's", 1, 60, "beta"}});
    EXPECT_FALSE(store.dropPresence(room(1), "alpha")) << "no longer held by the one dropping it";
    EXPECT_EQ(store.refreshPresence("alpha"), 1) << "nor refreshed by it";
    check("after the old holder let go", {{"kept by the new one", 1, 60, "beta"}});
    EXPECT_TRUE(other->dropPresence(room(1), "beta"));
    EXPECT_FALSE(other->dropPresence(room(1), "beta"));
    check("dropped", {{"nobody holds it", 1, 60, std::nullopt}});

    EXPECT_THAT(store.roomsOnline({room(1), room(2), room(3), room(4)}, 50), UnorderedElementsAre(room(2)));
    EXPECT_THAT(other->roomsOnline({room(2), room(3)}, 200), UnorderedElementsAre(room(2), room(3)));
    EXPECT_THAT(store.roomsOnline({}, 60), ::testing::IsEmpty());
}

// The instances sharing a store, each where it takes the others' questions:
// those seen lately, never the one asking, the last address each gave, and
// one secret for all of them.
TEST_P(RelayStoreContract, PeersAreTheOthersSeenLatelyAndShareOneSecret) {
    auto& store = *this->store;
    auto other = this->backend.open();
    const PeerRecord alpha{"alpha", "10.0.0.1:8080"}, beta{"beta", "10.0.0.2:8080"}, gamma{"gamma", "[fd00::3]:8080"};
    store.putPeer(alpha.instance, alpha.address);
    other->putPeer(beta.instance, beta.address);
    other->putPeer(gamma.instance, gamma.address);
    this->backend.agePeer("gamma", 100);
    EXPECT_THAT(store.peers("alpha", 50), UnorderedElementsAre(beta)) << "gamma was not seen lately";
    EXPECT_THAT(other->peers("beta", 200), UnorderedElementsAre(alpha, gamma));
    const PeerRecord moved{"beta", "10.0.0.9:8080"};
    store.putPeer(moved.instance, moved.address);
    EXPECT_THAT(other->peers("alpha", 50), UnorderedElementsAre(moved));
    other->dropPeer("beta");
    EXPECT_THAT(store.peers("alpha", 200), UnorderedElementsAre(gamma));

    const auto secret = store.fleetSecret();
    EXPECT_EQ(secret.size(), 64u);
    EXPECT_EQ(other->fleetSecret(), secret);
    EXPECT_EQ(this->backend.open()->fleetSecret(), secret);
}

// What an instance off the bus asks the store instead: the requests made
// of it to let go of a link, recent ones only and each once, and which of
// its sign-ins signed out, however many it holds.
TEST_P(RelayStoreContract, AnInstanceOffTheBusFindsWhatItMissedInTheStore) {
    auto& store = *this->store;
    auto other = this->backend.open();
    const auto room = [](int n) { return numberedHost("u", n).room; };
    other->requestLink(room(1), "alpha");
    this->backend.ageLinkRequests("alpha", 100);
    other->requestLink(room(2), "alpha");
    other->requestLink(room(3), "alpha");
    other->requestLink(room(4), "beta");
    store.requestLink(room(4), "alpha");  // asked again, of another holder
    other->requestLink(room(5), "beta");

    EXPECT_THAT(store.takeLinkRequests("alpha", 50), UnorderedElementsAre(room(2), room(3), room(4)))
        << "not the one asked long ago";
    EXPECT_THAT(store.takeLinkRequests("alpha", 50), ::testing::IsEmpty()) << "each is taken once";
    EXPECT_THAT(other->takeLinkRequests("beta", 50), UnorderedElementsAre(room(5)));

    store.putSignOut("gone", 200);
    store.putSignOut("expired", 90);
    std::vector<std::string> sessions{"gone", "expired", "here"};
    EXPECT_THAT(other->signedOutAmong(sessions, 100), UnorderedElementsAre("gone"));
    EXPECT_THAT(other->signedOutAmong({}, 100), ::testing::IsEmpty());
    // More than one statement's worth.
    for (int i = 0; i < 1'200; ++i) sessions.push_back("session-" + std::to_string(i));
    for (int i = 0; i < 1'200; i += 100) store.putSignOut("session-" + std::to_string(i), 200);
    EXPECT_EQ(other->signedOutAmong(sessions, 100).size(), 13u);

    // Forgotten by the purge an hour after they were made: made young
    // again after it, only the one made since is there.
    other->requestLink(room(6), "gamma");
    this->backend.ageLinkRequests("gamma", 3'700);
    store.purgeExpired(100);
    other->requestLink(room(7), "gamma");
    this->backend.ageLinkRequests("gamma", -3'700);
    EXPECT_THAT(store.takeLinkRequests("gamma", 50), UnorderedElementsAre(room(7)));
}

// Messages between instances reach the one they name, or every other one,
// never their sender and never anyone else.
TEST_P(RelayStoreContract, BusCarriesMessagesToTheirAddresseesOnly) {
    auto other = this->backend.open();
    std::mutex mutex;
    std::condition_variable arrived;
    std::map<std::string, std::vector<BusMessage>> heard;
    const auto hearing = [&](const std::string& instance) {
        return [&, instance](const BusMessage& m) {
            std::lock_guard lock(mutex);
            heard[instance].push_back(m);
            arrived.notify_all();
        };
    };
    const auto alpha = this->store->listen("alpha", hearing("alpha"), {});
    const auto beta = other->listen("beta", hearing("beta"), {});
    const auto gamma = other->listen("gamma", hearing("gamma"), {});

    const BusMessage drop{BusKind::dropLink, numberedHost("u", 1).room, "alpha", "beta"};
    const BusMessage signedOut{BusKind::signedOut, "c2Vzc2lvbi0x", "", "beta"};
    const BusMessage toNobody{BusKind::dropLink, numberedHost("u", 2).room, "delta", "beta"};
    const BusMessage last{BusKind::signedOut, "last", "", "omega"};
    for (const auto& m : {drop, signedOut, toNobody, last}) other->publish(m);

    // Each hears in the order sent, so once all have heard the last one,
    // nothing else is on its way.
    std::unique_lock lock(mutex);
    EXPECT_TRUE(arrived.wait_for(lock, std::chrono::seconds(10), [&] {
        for (const auto* instance : {"alpha", "beta", "gamma"})
            if (heard[instance].empty() || heard[instance].back() != last) return false;
        return true;
    })) << "the last message did not reach every listener";
    EXPECT_EQ(heard["alpha"], (std::vector{drop, signedOut, last}));
    EXPECT_EQ(heard["beta"], (std::vector{last})) << "the sender hears nothing of its own";
    EXPECT_EQ(heard["gamma"], (std::vector{signedOut, last}));
    lock.unlock();

    EXPECT_THROW(other->publish(BusMessage{BusKind::dropLink, "a room", "alpha", "beta"}), RelayStoreError);
    EXPECT_THROW(other->publish(BusMessage{BusKind::dropLink, "room", "alpha", ""}), RelayStoreError);
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
        ASSERT_EQ(store.countRate("rate-" + n, 1, at - 50, 50), std::nullopt);
    }
    // Links whose holder has not refreshed them for an hour, by the
    // database's clock, are forgotten.
    store.putPresence(numberedHost("u", 1).room, "gone");
    store.putPresence(numberedHost("u", 2).room, "alive");
    this->backend.agePresence("gone", 3'700);
    this->backend.agePresence("alive", 3'500);
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
        // A forgotten count begins again; a kept one refuses the second.
        EXPECT_EQ(store.countRate("rate-" + n, 1, 1'000, 60).has_value(), kept);
    }
    EXPECT_EQ(store.presenceHolder(numberedHost("u", 1).room, 10'000), std::nullopt);
    EXPECT_EQ(store.presenceHolder(numberedHost("u", 2).room, 10'000), "alive");
    EXPECT_EQ(store.account(account.userId), account);
    EXPECT_EQ(store.hostsOf(account.userId).size(), 1u);
}

// An older instance keeps running against a database one additive step
// newer (a rolling upgrade); a database it could misread is refused.
TEST_P(RelayDatabaseContract, SchemaVersionsDecideWhetherTheDatabaseOpens) {
    const auto account = this->store->accountForEmail("ann@example.org", 1);
    this->store.reset();
    // Opening a database of this program's schema changes nothing.
    EXPECT_EQ(this->backend.open()->account(account.userId), account);
    EXPECT_EQ(this->backend.open()->account(account.userId), account);

    const int known = relayStoreSchemaVersion();
    struct Case {
        const char* why;
        int version, compatible;
        const char* refusal;  // null: opens
    };
    const Case cases[] = {
        {"one step newer, additive", known + 1, known, nullptr},
        {"several steps newer, all additive", known + 3, 2, nullptr},
        {"one step newer that this program would misread", known + 1, known + 1, "newer than this program"},
        {"a compatible version above the version", known, known + 1, "damaged schema version"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        this->backend.exec(this->backend.markSchemaSql(c.version, c.compatible));
        try {
            auto store = this->backend.open();
            EXPECT_EQ(c.refusal, nullptr) << "opened";
            EXPECT_EQ(store->account(account.userId), account);
        } catch (const RelayStoreError& e) {
            const std::string what = e.what();
            ASSERT_NE(c.refusal, nullptr) << what;
            EXPECT_THAT(what, ::testing::HasSubstr(c.refusal));
            EXPECT_EQ(what.find('\n'), std::string::npos) << what;
        }
    }
}

// What a later program's additive step leaves (a table, a column with a
// default) is used as it is: everything this program writes still works,
// and the database keeps its newer version.
TEST_P(RelayDatabaseContract, AnAdditivelyNewerDatabaseIsUsedAsItIs) {
    this->store.reset();
    const int known = relayStoreSchemaVersion();
    this->backend.exec(this->backend.markSchemaSql(known + 1, known) +
                       "CREATE TABLE later_things (name TEXT NOT NULL);"
                       "ALTER TABLE hosts ADD COLUMN colour TEXT NOT NULL DEFAULT 'blue';"
                       "ALTER TABLE tokens ADD COLUMN used_at " + this->backend.int64Type() + ";");
    auto store = this->backend.open();
    const auto account = store->accountForEmail("ann@example.org", 1);
    ASSERT_EQ(store->addHost(numberedHost(account.userId, 1), 10), AddHostOutcome::created);
    EXPECT_EQ(store->hostsOf(account.userId), std::vector{numberedHost(account.userId, 1)});
    const Token token{"a1", TokenKind::access, account.userId, "web", "", 900};
    store->putToken(token);
    EXPECT_EQ(store->token("a1"), token);
    EXPECT_EQ(store->countRate("k", 1, 60, 1), std::nullopt);
    store->putPresence(numberedHost(account.userId, 1).room, "alpha");
    store->purgeExpired(2);
    store.reset();

    // Had it been written back to this program's version, a database whose
    // compatible version is raised past this program would still open.
    this->backend.exec(testing::markCompatibleSql(known + 1));
    EXPECT_THROW(this->backend.open(), RelayStoreError);
}

// A database the previous release wrote opens, gains what this release
// keeps, and loses nothing it held.
TEST_P(RelayDatabaseContract, AVersion1DatabaseMigratesKeepingItsData) {
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
    EXPECT_EQ(store->countRate("k", 1, 60, 1), std::nullopt);
    store->putPresence(host.room, "alpha");
    EXPECT_EQ(store->presenceHolder(host.room, 60), "alpha");
    store.reset();
    // Opened again, at this release's version: nothing is migrated twice.
    auto again = old.open();
    EXPECT_TRUE(again->signedOut("session-1", 100));
    EXPECT_EQ(again->account(user), (Account{user, "ann@example.org", 5}));
}

// Every store that opens a database seals tokens with the one key made
// with it, so that instances know each other's tokens; another database
// has a key of its own.
TEST_P(RelayDatabaseContract, ADatabaseHasOneSealKeyForEveryoneWhoOpensIt) {
    const auto key = this->store->sealKey();
    EXPECT_EQ(key.size(), 64u);
    EXPECT_EQ(this->backend.open()->sealKey(), key);
    this->store.reset();
    EXPECT_EQ(this->backend.open()->sealKey(), key) << "opened again";
    const auto other = GetParam().make();
    EXPECT_NE(other->open()->sealKey(), key);
}

TEST_P(RelayDatabaseContract, OpensThroughTheConfiguredKind) {
    auto store = openRelayStore(this->backend.config());
    const auto kind = this->backend.config().kind;
    EXPECT_EQ(store->describe().substr(0, kind.size() + 1), kind + " ");
    EXPECT_EQ(store->addHost(numberedHost("ann", 1), 10), AddHostOutcome::created);
    EXPECT_EQ(this->store->hostByKey("key-1"), numberedHost("ann", 1));
}

// A registration the service was told is committed is there after the
// writer is killed at an arbitrary instant, and the database opens cleanly.
// A database that fails as a call's new tokens are stored keeps none of
// them: a sign-in leaves no access token without its refresh token, and a
// refresh keeps the old one, so the phone refreshes again instead of
// signing in again.
TEST_P(RelayDatabaseContract, TokensThatFailPartWayAreNoneOfThemStored) {
    const Token old{"r0", TokenKind::refresh, "user-1", "web", "", 90'000};
    this->store->putToken(old);
    this->backend.exec(this->backend.failInsertsSql("tokens", "NEW.hash = 'r-new'"));
    const std::vector<Token> made{{"a-new", TokenKind::access, "user-1", "web", "", 900},
                                  {"r-new", TokenKind::refresh, "user-1", "web", "", 90'000}};
    EXPECT_THROW(this->store->putTokens(made), RelayStoreError) << "a sign-in";
    EXPECT_THROW(this->store->replaceToken("r0", made), RelayStoreError) << "a refresh";
    auto other = this->backend.open();
    EXPECT_EQ(other->token("r0"), old);
    EXPECT_EQ(other->token("a-new"), std::nullopt) << "the token stored before the failure is undone with it";
    // The same store object goes on working after the failed transaction.
    EXPECT_TRUE(this->store->replaceToken("r0", {{"a-2", TokenKind::access, "user-1", "web", "", 900}}));
    EXPECT_EQ(other->token("r0"), std::nullopt);
    EXPECT_EQ(other->token("a-2")->kind, TokenKind::access);
}

// A registration the service was told is committed is there after the
// writer is killed at an arbitrary instant, and a sign-in's two tokens are
// there together or not at all; the database opens cleanly.
TEST_P(RelayDatabaseContract, KilledWriterLosesNoRegistrationItReported) {
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
                    store->putTokens({{"a-" + host.room, TokenKind::access, host.userId, "web", "", 900},
                                      {"r-" + host.room, TokenKind::refresh, host.userId, "web", "", 90'000}});
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
    // Each round wrote in order: past its last registration, the kill came.
    for (int round = 0; round < rounds; ++round)
        for (int i = 0;; ++i) {
            const auto host = numberedHost("user-" + std::to_string(i % 7), round * 100'000 + i);
            const bool access = store->token("a-" + host.room).has_value();
            EXPECT_EQ(access, store->token("r-" + host.room).has_value()) << "round " << round << ", sign-in " << i;
            if (!store->hostByRoom(host.room)) break;
        }
}

}  // namespace
}  // namespace morvane::relay_service

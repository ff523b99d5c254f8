// The PostgreSQL store's own duties: what it says of itself in the log, a
// connection broken under it, several instances migrating one database at
// once, and clear refusals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "postgres_test_cluster.h"
#include "relay_service/postgres_relay_store.h"
#include "relay_service/relay_store.h"

namespace morvane::relay_service {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing::PostgresBackend;

constexpr const char* password = "s3cret-word";

HostRecord host(int n) {
    char room[33];
    std::snprintf(room, sizeof room, "%032x", n);
    return HostRecord{room, "key-" + std::to_string(n), "computer", "user-1", n};
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

}  // namespace
}  // namespace morvane::relay_service

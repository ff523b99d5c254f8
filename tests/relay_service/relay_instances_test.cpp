// Several morvane-relay processes on one PostgreSQL database, as a proxy
// routing rooms by id would run them: what one instance is told, the others
// must hold to.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <set>

#include <nlohmann/json.hpp>

#include "postgres_test_cluster.h"
#include "relay_service/relay_accounts.h"
#include "relay_process.h"
#include "relay_service/relay_limits.h"
#include "service_rig.h"
#include "stalling_proxy.h"

namespace morvane::relay_service::testing {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

// A whole sign-in through one instance, the code read from its log.
json signIn(RelayProcess& relay, const std::string& email) {
    const auto asked = exchange(relay.origin(), "POST", "/v1/auth/code", json{{"email", email}, {"login_id", "page"}}.dump());
    EXPECT_EQ(asked.status, 200) << asked.body;
    const std::string prefix = "Sign-in code for " + email + ": ";
    const auto line = relay.waitFor(prefix);
    const auto code = line.empty() ? std::string() : line.substr(line.find(prefix) + prefix.size());
    const auto verified = exchange(relay.origin(), "POST", "/v1/auth/verify",
                                   json{{"email", email}, {"login_id", "page"}, {"code", code}, {"client", "web"}}.dump());
    EXPECT_EQ(verified.status, 200) << verified.body;
    return json::parse(verified.body, nullptr, false);
}

TEST(RelayInstances, ASignOutThroughOneInstanceIsHeldByAnother) {
    PostgresBackend database;
    TempDir folder;
    RelayProcess a(folder.path(), "a", database.connectionString());
    RelayProcess b(folder.path(), "b", database.connectionString());

    const auto session = signIn(a, "ann@example.org");
    const auto bystander = signIn(a, "bob@example.org");
    ASSERT_TRUE(session.contains("access_token")) << session.dump();
    const std::string access = session["access_token"];
    // The other instance knows the sign-in from the database alone.
    ASSERT_EQ(exchange(b.origin(), "GET", "/v1/hosts", "", access).status, 200);

    const auto out = exchange(a.origin(), "POST", "/v1/auth/signout",
                              json{{"refresh_token", session["refresh_token"]}}.dump());
    ASSERT_EQ(out.status, 200) << out.body;
    EXPECT_FALSE(a.waitFor("signed out ann@example.org (page)").empty());

    const auto listed = exchange(b.origin(), "GET", "/v1/hosts", "", access);
    EXPECT_EQ(listed.status, 401);
    EXPECT_EQ(json::parse(listed.body, nullptr, false), (json{{"error", "unauthorized"}}));
    EXPECT_EQ(exchange(b.origin(), "POST", "/v1/hosts/0123456789abcdef0123456789abcdef/ticket", "", access).status, 401);
    EXPECT_EQ(exchange(a.origin(), "GET", "/v1/hosts", "", access).status, 401);
    EXPECT_EQ(exchange(b.origin(), "GET", "/v1/hosts", "", bystander["access_token"]).status, 200)
        << "another sign-in of the same database still works on the instance";

    EXPECT_EQ(a.stop(), 0);
    EXPECT_EQ(b.stop(), 0);
}

Exchange askCode(RelayProcess& relay, const std::string& email) {
    return exchange(relay.origin(), "POST", "/v1/auth/code", json{{"email", email}, {"login_id", "page"}}.dump());
}

Exchange verify(RelayProcess& relay, const std::string& email, const std::string& code) {
    return exchange(relay.origin(), "POST", "/v1/auth/verify",
                    json{{"email", email}, {"login_id", "page"}, {"code", code}, {"client", "web"}}.dump());
}

// Guesses made at once through two instances compare no more than the
// code's tries between them, and the code limits count both instances'
// requests together.
TEST(RelayInstances, CodeTriesAndLimitsHoldAcrossInstances) {
    PostgresBackend database;
    TempDir folder;
    RelayProcess a(folder.path(), "a", database.connectionString());
    RelayProcess b(folder.path(), "b", database.connectionString());
    RelayProcess* instances[] = {&a, &b};

    ASSERT_EQ(askCode(a, "ann@example.org").status, 200);
    const std::string prefix = "Sign-in code for ann@example.org: ";
    const auto line = a.waitFor(prefix);
    ASSERT_FALSE(line.empty());
    const auto code = line.substr(line.find(prefix) + prefix.size());
    const auto wrong = code == "000000" ? "000001" : "000000";
    // Two at a time, one through each: more of one code's calls at once
    // than an instance lets wait for the store are answered try-later.
    // Each comparison spent a try of its own, so each number of tries left
    // is told once (a code with none left says 0 to every guess after).
    std::multiset<int> told;
    for (int round = 0; round < 6; ++round) {
        std::vector<std::future<Exchange>> guesses;
        for (auto* relay : instances)
            guesses.push_back(std::async(std::launch::async, [&, relay] { return verify(*relay, "ann@example.org", wrong); }));
        for (auto& guess : guesses) {
            const auto answer = guess.get();
            EXPECT_EQ(answer.status, 400);
            const auto left = json::parse(answer.body, nullptr, false).value("tries_left", 0);
            if (left > 0) told.insert(left);
        }
    }
    EXPECT_EQ(verify(a, "ann@example.org", code).status, 400) << "the right code after the last try";
    std::multiset<int> once;
    for (int left = 1; left < RelayLimits::codeTries; ++left) once.insert(left);
    EXPECT_EQ(told, once);

    // One code asked through a already; the address's last ones through b.
    for (int i = 1; i < RelayLimits::codesPerAddress; ++i) EXPECT_EQ(askCode(b, "ann@example.org").status, 200);
    for (auto* relay : instances) EXPECT_EQ(askCode(*relay, "ann@example.org").status, 429);
}

// The database stops answering under a running relay: what needs it is
// answered 503 "try-later" within seconds and the log says why, and once
// the database answers again, so does the relay.
TEST(RelayInstances, AStalledDatabaseIsAnsweredTryLaterWithinSeconds) {
    PostgresBackend database;
    StallingProxy proxy(database.cluster().folder() + "/.s.PGSQL.5432");
    TempDir folder;
    RelayProcess relay(folder.path(), "a", proxy.connectionString(database.database()),
                       json{{"connect_timeout_seconds", 1}, {"statement_timeout_seconds", 1}});
    ASSERT_EQ(askCode(relay, "ann@example.org").status, 200);

    proxy.swallow(true);
    auto stalled = std::async(std::launch::async, [&] { return askCode(relay, "ann@example.org"); });
    const bool answered = stalled.wait_for(10s) == std::future_status::ready;
    proxy.swallow(false);  // lets a relay that waits for it answer, so that the test ends
    EXPECT_TRUE(answered) << "no answer while the database was stalled";
    const auto refused = stalled.get();
    EXPECT_EQ(refused.status, 503);
    EXPECT_EQ(json::parse(refused.body, nullptr, false)["error"], "try-later");
    EXPECT_FALSE(relay.waitFor("did not answer within 1 s").empty());

    // The store leaves the database alone a moment, then finds it again.
    int status = 0;
    for (const auto start = std::chrono::steady_clock::now();
         status != 200 && std::chrono::steady_clock::now() - start < 10s; std::this_thread::sleep_for(200ms))
        status = askCode(relay, "bob@example.org").status;
    EXPECT_EQ(status, 200);
}

// The operator's list is read again on SIGHUP (systemctl reload), so taking
// someone off it ends their sign-in at its next refresh without a restart
// that would drop everyone's connections; a list that does not read keeps
// the one in force.
TEST(RelayInstances, WhoMaySignInIsReadAgainOnReload) {
    TempDir folder;
    const auto configOf = [&](const json& accounts) {
        return json{{"store", {{"kind", "sqlite"}}}, {"data_dir", folder.path() + "/data"}, {"codes_in_log", true},
                    {"accounts", accounts}};
    };
    RelayProcess relay(folder.path(), "relay", configOf({"ann@example.org"}));
    const auto ann = signIn(relay, "ann@example.org");
    ASSERT_TRUE(ann.contains("refresh_token")) << ann.dump();
    EXPECT_EQ(askCode(relay, "bob@example.org").status, 403);

    const auto reload = [&](const json& config) {
        auto written = config;
        written["listen"] = relay.origin().substr(std::string("http://").size());
        writeFile(folder.path() + "/relay.json", written.dump());
        relay.signal(SIGHUP);
    };
    const auto refresh = [&](const json& session) {
        return exchange(relay.origin(), "POST", "/v1/auth/refresh", json{{"refresh_token", session["refresh_token"]}}.dump());
    };
    // Codes to the log no more, and a limit: both kept until a restart, as
    // the log says (the codes below still come to it).
    auto changed = configOf({"@example.com", "bob@example.org"});
    changed["codes_in_log"] = false;
    changed["limits"] = {{"connections", 500}};
    reload(changed);
    ASSERT_FALSE(relay.waitFor("read the config again; who may sign in: the 1 address and 1 domain").empty());
    EXPECT_FALSE(relay.waitFor("changed in the config but kept as they were until a restart (systemctl restart "
                               "morvane-relay): codes_in_log, limits")
                     .empty());
    const auto refused = refresh(ann);
    EXPECT_EQ(refused.status, 403);
    EXPECT_EQ(json::parse(refused.body, nullptr, false).value("error", ""), "not-invited");
    EXPECT_EQ(askCode(relay, "ann@example.org").status, 403);
    EXPECT_TRUE(signIn(relay, "bob@example.org").contains("access_token"));
    EXPECT_TRUE(signIn(relay, "cy@example.com").contains("access_token"));

    reload(configOf({"ann@example.org", "not an address"}));
    EXPECT_FALSE(relay.waitFor("who may sign in is unchanged").empty());
    EXPECT_EQ(askCode(relay, "bob@example.org").status, 200);
    EXPECT_EQ(askCode(relay, "ann@example.org").status, 403);
    EXPECT_EQ(relay.stop(), 0);
}

// Started while its database does not answer (a fail-over under way, the
// database's host still booting), an instance waits for it rather than
// ending, says so once, and listens within seconds of its return.
TEST(RelayInstances, AnInstanceStartedWhileTheDatabaseIsAwayWaitsForIt) {
    PostgresBackend database;
    StallingProxy proxy(database.cluster().folder() + "/.s.PGSQL.5432");
    proxy.refuse(true);
    TempDir folder;
    auto starting = std::async(std::launch::async, [&] {
        return std::make_unique<RelayProcess>(folder.path(), "a", proxy.connectionString(database.database()));
    });
    EXPECT_EQ(starting.wait_for(5s), std::future_status::timeout) << "started without its store";
    proxy.refuse(false);
    const auto back = std::chrono::steady_clock::now();
    ASSERT_EQ(starting.wait_for(20s), std::future_status::ready);
    const auto relay = starting.get();
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - back).count();
    std::printf("[ start    ] listening %.1f s after its database answered\n", took);
    EXPECT_LT(took, 10.0);
    const auto lines = relay->lines();
    const auto said = [&](const std::string& part) {
        return std::count_if(lines.begin(), lines.end(), [&](const auto& line) { return line.find(part) != std::string::npos; });
    };
    EXPECT_EQ(said("the store does not answer ("), 1) << nlohmann::json(lines).dump();
    EXPECT_EQ(said("the store answers: postgresql"), 1);
    EXPECT_EQ(exchange(relay->origin(), "GET", "/").status, 200);
}

}  // namespace
}  // namespace morvane::relay_service::testing

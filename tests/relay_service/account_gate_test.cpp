// The account calls' limits counted in memory before a call waits for the
// store, and the store queue's lanes under a flood of made-up sign-ins:
// the gate and the accounts on an in-memory store, with the store queue's
// worker run by hand a few jobs at a time, slower than the flood comes.
#include <gtest/gtest.h>

#include <deque>

#include "../app/manual_executor.h"
#include "account_rig.h"
#include "relay/relay_identity.h"
#include "relay_service/relay_limits.h"
#include "relay_service/work_queue.h"

namespace morvane::relay_service::testing {
namespace {

using morvane::testing::ManualExecutor;

// The store's worker, one job a turn when told: a store that takes longer
// than a flood's calls take to come.
class SlowWorker final : public Executor {
public:
    void post(std::function<void()> work) override { jobs_.push_back(std::move(work)); }
    void postAfter(std::int64_t, std::function<void()> work) override { post(std::move(work)); }
    bool isCurrent() const override { return true; }
    void drain() override {
        while (run(1) > 0) {
        }
    }
    int run(int most) {
        int ran = 0;
        for (; ran < most && !jobs_.empty(); ++ran) {
            auto job = std::move(jobs_.front());
            jobs_.pop_front();
            job();
        }
        return ran;
    }

private:
    std::deque<std::function<void()>> jobs_;
};

// The service's way with account calls, on hand-run queues: the gate, then
// the store queue's lane, then the accounts.
struct FloodRig {
    AccountRig rig;
    ManualExecutor network;
    SlowWorker worker;
    RelayLog log{[this](const std::string& line) { rig.logs.push_back(line); }};
    WorkQueue store{"the store", worker, network, [this] { return network.now(); },
                    WorkQueueLimits{16, 5'000, AccountGate::storeLanes(16)}, log};
    AccountGate gate{[this] { return rig.nowMillis; }, log, true};

    void call(const std::string& method, const std::string& path, const json& body, const std::string& bearer,
              const std::string& client, std::function<void(AccountAnswer)> done) {
        auto routed = withJsonRequest(method, path, body, bearer, routeRelay);
        auto& account = std::get<relay_route::Account>(routed).call;
        account.client = client;
        queueAccountCall(gate, store, rig.accounts, std::move(account), std::move(done));
    }
    // A code's delivery comes back to the accounts in the sign-ins' lane.
    void delivered(const CodeDelivery& delivery, std::function<void(AccountAnswer)> done) {
        auto& accounts = rig.accounts;
        store.run<AccountAnswer>([&accounts, delivery] { return accounts.delivered(delivery, std::nullopt); },
                                 [done](std::optional<AccountAnswer> answer) { done(answer ? *answer : storeTryLater()); },
                                 AccountGate::signInLane);
    }
    // One turn: the store takes `jobs`, the answers come back, 5 ms pass.
    void turn(int jobs) {
        worker.run(jobs);
        network.runAll();
        network.advance(5);
        rig.nowMillis += 5;
    }
};

// During a flood of sign-ins under ever new client keys and addresses, more
// than the store can answer, people asking a code and signing in with it
// get through, and so does a signed-in account's list, ticket, refresh and
// its computer's link; the log says what happens in a few lines.
TEST(AccountGate, AFloodOfMadeUpSignInsHoldsUpNeitherPeopleSigningInNorSignedInAccounts) {
    FloodRig flood;
    auto& rig = flood.rig;
    const auto computer = newComputer();
    const auto owner = rig.signIn("owner@example.com");
    ASSERT_EQ(rig.registerComputer(computer, owner).status, 201);
    const auto room = RelayBytes::hex(computer.roomID());
    rig.logs.clear();

    constexpr int people = 10;
    int signedIn = 0, failed = 0;
    std::vector<std::string> knownCalls;
    auto refresh = owner["refresh_token"].get<std::string>();
    auto access = owner["access_token"].get<std::string>();
    int flooded = 0;
    for (int round = 0; round < 400; ++round) {
        for (int i = 0; i < 40; ++i, ++flooded)
            flood.call("POST", "/v1/auth/verify",
                       json{{"email", "x" + std::to_string(flooded) + "@example.com"},
                            {"login_id", "flood"},
                            {"code", "123456"},
                            {"client", "web"}},
                       "", "10.0." + std::to_string(flooded / 250) + "." + std::to_string(flooded % 250),
                       [](AccountAnswer) {});
        if (round % 30 == 0 && round / 30 < people) {
            const auto person = "person" + std::to_string(round / 30) + "@example.com";
            const auto client = "192.0.2." + std::to_string(round / 30);
            const json asked{{"email", person}, {"login_id", "l"}};
            flood.call("POST", "/v1/auth/code", asked, "", client, [&, person, client](AccountAnswer code) {
                if (!code.delivery) return void(++failed);
                flood.delivered(*code.delivery, [&, person, client, digits = code.delivery->code](AccountAnswer sent) {
                    if (sent.status != 200) return void(++failed);
                    flood.call("POST", "/v1/auth/verify",
                               json{{"email", person}, {"login_id", "l"}, {"code", digits}, {"client", "mac"}}, "", client,
                               [&](AccountAnswer verified) { verified.status == 200 ? ++signedIn : ++failed; });
                });
            });
        }
        if (round % 40 == 20) {
            const auto note = [&knownCalls](const std::string& what) {
                return [&knownCalls, what](AccountAnswer answer) {
                    knownCalls.push_back(what + " " + std::to_string(answer.status));
                };
            };
            flood.call("GET", "/v1/hosts", nullptr, access, "198.51.100.7", note("list"));
            flood.call("POST", "/v1/hosts/" + room + "/ticket", json::object(), access, "198.51.100.7", note("ticket"));
            flood.call("POST", "/v1/auth/refresh", json{{"refresh_token", refresh}}, "", "198.51.100.7",
                       [&](AccountAnswer answer) {
                           knownCalls.push_back("refresh " + std::to_string(answer.status));
                           if (answer.status != 200) return;
                           refresh = answer.body["refresh_token"];
                           access = answer.body["access_token"];
                       });
            // A computer dialling its link again is judged in the first lane.
            const auto hello = computer.helloHeader(static_cast<std::uint64_t>(rig.seconds()), Secure::randomBytes(16));
            auto& accounts = rig.accounts;
            flood.store.run<HostAdmission>([&accounts, room, hello] { return accounts.admitHost(room, hello); },
                                           [&knownCalls](std::optional<HostAdmission> admission) {
                                               knownCalls.push_back("link " + std::to_string(admission ? admission->status : 503));
                                           });
        }
        flood.turn(4);
    }
    for (int i = 0; i < 200; ++i) flood.turn(4);

    EXPECT_GE(signedIn, 9) << failed << " failed";
    EXPECT_EQ(signedIn + failed, people);
    ASSERT_EQ(knownCalls.size(), 40u);
    for (const auto& call : knownCalls) EXPECT_TRUE(call.ends_with(" 200") || call == "link 0") << call;
    // What the people's sign-ins say, a line each, and a few lines for the
    // 16,000 calls of the flood: the lane it filled, and at most ten of the
    // sign-ins it refused in the first five seconds.
    int other = 0;
    for (const auto& line : rig.logs)
        other += line.find("sign-in code sent to person") == std::string::npos &&
                 line.find("signed in person") == std::string::npos && line.find("registered room") == std::string::npos;
    EXPECT_LE(other, 12) << ::testing::PrintToString(rig.logs);
}

// Past the table's size, the oldest counts make room: a flood of new keys
// locks out no client that comes after it, and the log says so once.
TEST(AccountGate, AFullTableOfCountsRefusesNoNewcomer) {
    AccountRig rig;
    std::vector<std::string> logs;
    AccountGate gate([&rig] { return rig.nowMillis; }, RelayLog([&logs](const std::string& line) { logs.push_back(line); }),
                     true, 8);
    const auto session = rig.signIn("owner@example.com");
    const auto list = [&](const std::string& client) {
        AccountCall call;
        call.endpoint = AccountEndpoint::listHosts;
        call.bearer = session["access_token"];
        call.client = client;
        return gate.check(call);
    };
    for (int i = 0; i < 5'000; ++i)
        for (int n = 0; n < 3; ++n) list("junk-" + std::to_string(i));
    for (const char* newcomer : {"192.0.2.1", "192.0.2.2", "2001:db8::/64"}) {
        const auto pass = list(newcomer);
        EXPECT_FALSE(pass.refusal) << newcomer;
        EXPECT_EQ(pass.lane, AccountGate::knownLane);
    }
    int full = 0;
    for (const auto& line : logs) full += line.find("is full") != std::string::npos;
    EXPECT_EQ(full, 1) << ::testing::PrintToString(logs);
}

// The limits counted here answer at once, as the store's counts would, and
// send each sign-in to its lane: a code asked here makes its sign-in
// expected.
TEST(AccountGate, LimitsAnswerAtOnceAndSignInsTakeTheirLanes) {
    AccountRig rig;
    AccountGate gate([&rig] { return rig.nowMillis; }, RelayLog(), true);
    const auto call = [&](AccountEndpoint endpoint, json body, const std::string& client = "198.51.100.7") {
        AccountCall c;
        c.endpoint = endpoint;
        c.body = std::move(body);
        c.client = client;
        return gate.check(c);
    };
    const json verify{{"email", "owner@example.com"}, {"login_id", "l"}, {"code", "123456"}, {"client", "mac"}};
    EXPECT_EQ(call(AccountEndpoint::verify, verify).lane, AccountGate::strangerLane) << "no code asked here";
    EXPECT_EQ(call(AccountEndpoint::code, json{{"email", "Owner@Example.com"}, {"login_id", "l"}}).lane,
              AccountGate::signInLane);
    EXPECT_EQ(call(AccountEndpoint::verify, verify).lane, AccountGate::signInLane) << "the code was asked here";
    EXPECT_EQ(call(AccountEndpoint::verify, json{{"email", "owner@example.com"}, {"login_id", "other"}, {"client", "mac"}}).lane,
              AccountGate::strangerLane)
        << "another login's code";
    rig.advance(RelayLimits::codeLifetimeSeconds);
    EXPECT_EQ(call(AccountEndpoint::verify, verify).lane, AccountGate::strangerLane) << "the code has expired";

    struct Case {
        const char* limit;
        int most;
        std::function<json(int)> body;
        AccountEndpoint endpoint;
        bool sameClient;
    };
    const Case cases[] = {
        {"codes for one address", RelayLimits::codesPerAddress,
         [](int) { return json{{"email", "a@example.com"}, {"login_id", "l"}}; }, AccountEndpoint::code, false},
        {"codes from one client", RelayLimits::codesPerClient,
         [](int i) { return json{{"email", "p" + std::to_string(i) + "@example.com"}, {"login_id", "l"}}; },
         AccountEndpoint::code, true},
        {"sign-ins from one client", RelayLimits::verifiesPerClient,
         [](int i) {
             return json{{"email", "o" + std::to_string(i) + "@example.com"}, {"login_id", "l"}, {"client", "web"}};
         },
         AccountEndpoint::verify, true},
        {"calls from one client a minute", RelayLimits::callsPerClientMinute, [](int) { return json::object(); },
         AccountEndpoint::listHosts, true},
    };
    for (const auto& c : cases) {
        AccountGate fresh([&rig] { return rig.nowMillis; }, RelayLog(), true);
        const auto at = [&](int i) {
            AccountCall one;
            one.endpoint = c.endpoint;
            one.body = c.body(i);
            one.client = c.sameClient ? "203.0.113.9" : "203.0.113." + std::to_string(i);
            return fresh.check(one);
        };
        for (int i = 0; i < c.most; ++i) ASSERT_FALSE(at(i).refusal) << c.limit << " " << i;
        const auto refused = at(c.most);
        ASSERT_TRUE(refused.refusal) << c.limit;
        EXPECT_EQ(refused.refusal->status, 429) << c.limit;
        EXPECT_EQ(refused.refusal->body["error"], "try-later") << c.limit;
        EXPECT_GE(refused.refusal->body["retry_after"].get<int>(), 1) << c.limit;
    }
}

}  // namespace
}  // namespace morvane::relay_service::testing

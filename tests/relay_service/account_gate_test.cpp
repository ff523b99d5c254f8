// The account calls' limits counted in memory before a call waits for the
// store, the places a call may hold there, and the store queue's lanes
// under floods that need no account: the gate and the accounts on an
// in-memory store, with the store queue's worker run by hand a few jobs at
// a time, slower than the flood comes.
#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "../app/manual_executor.h"
#include "account_rig.h"
#include "relay/relay_identity.h"
#include "relay/relay_words.h"
#include "relay_service/relay_limits.h"
#include "relay_service/token_seal.h"
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
        turns += ran;
        return ran;
    }
    // The worker's turns taken so far: a turn runs one job of the queue.
    int turns = 0;

private:
    std::deque<std::function<void()>> jobs_;
};

// The service's way with account calls and devices' tickets, on hand-run
// queues: the gate, then the store queue's lane, then the accounts.
struct FloodRig {
    // `allowed`: who may sign in (anyone by default).
    explicit FloodRig(const AccountList& allowed = {})
        : rig(allowed),
          gate([this] { return rig.nowMillis; }, log, true, rig.store.sealKey(), RelayLimits::maxCountedClients,
               allowed) {}

    AccountRig rig;
    ManualExecutor network;
    SlowWorker worker;
    RelayLog log{[this](const std::string& line) { rig.logs.push_back(line); }};
    // Newcomers' turns ranked by the gate, as the service ranks them.
    WorkQueue store{"the store", worker, network, [this] { return network.now(); },
                    WorkQueueLimits{16, 5'000, AccountGate::storeLanes(16, [this](const std::string& turn) {
                                                   return gate.rank(turn);
                                               })},
                    log};
    AccountGate gate;

    // A call from `client`, counted under its own network unless others are
    // named.
    void call(const std::string& method, const std::string& path, const json& body, const std::string& bearer,
              const std::string& client, std::function<void(AccountAnswer)> done,
              std::vector<std::string> networks = {}) {
        auto routed = withJsonRequest(method, path, body, bearer, routeRelay);
        auto& account = std::get<relay_route::Account>(routed).call;
        account.client = client;
        account.networks = networks.empty() ? std::vector{client} : std::move(networks);
        queueAccountCall(gate, store, rig.accounts, std::move(account), std::move(done));
    }
    void device(const std::string& room, const std::string& ticket, const std::string& client,
                std::function<void(DeviceAdmission)> done) {
        queueDeviceAdmission(gate, store, rig.accounts, room, ticket, {client}, std::move(done));
    }
    void link(const std::string& room, const std::string& hello, const std::string& client,
              std::function<void(HostAdmission)> done) {
        queueHostAdmission(gate, store, rig.accounts, room, hello, {client}, std::move(done));
    }
    // What the service tells the gate at start and every half minute.
    void learnRooms() { gate.knowRooms(rig.store.roomsRegisteredSince(0, RelayLimits::maxKnownRooms)); }
    // A code's delivery comes back to the accounts in the first lane, as the
    // service hands it back.
    void delivered(const CodeDelivery& delivery, std::function<void(AccountAnswer)> done) {
        auto& accounts = rig.accounts;
        store.run<AccountAnswer>([&accounts, delivery] { return accounts.delivered(delivery, std::nullopt); },
                                 [done](std::optional<AccountAnswer> answer) { done(answer ? *answer : storeTryLater()); },
                                 AccountGate::knownLane);
    }
    // A code asked through the gate: the code delivered, or the newest in
    // the address's mailbox when the relay answered that it holds for this
    // login too; "" when refused.
    void askCode(const std::string& email, const std::string& login, const std::string& client,
                 std::function<void(std::string)> done, std::vector<std::string> networks = {}) {
        call(
            "POST", "/v1/auth/code", json{{"email", email}, {"login_id", login}}, "", client,
            [this, email, done](AccountAnswer code) {
                if (!code.delivery) return done(code.status == 200 ? mailbox[email] : "");
                delivered(*code.delivery, [this, email, done, digits = code.delivery->code](AccountAnswer sent) {
                    if (sent.status != 200) return done("");
                    mailbox[email] = digits;
                    ++mails[email];
                    done(digits);
                });
            },
            std::move(networks));
    }
    // The newest code mailed to each address, and how many were.
    std::map<std::string, std::string> mailbox;
    std::map<std::string, int> mails;
    // One turn: the store takes `jobs`, the answers come back, 5 ms pass.
    void turn(int jobs) {
        worker.run(jobs);
        network.runAll();
        network.advance(5);
        rig.nowMillis += 5;
    }
    // Runs until nothing waits.
    void settle() {
        for (int i = 0; i < 1000 && store.waiting() > 0; ++i) turn(100);
        network.runAll();
    }
};

// A client key and network no one used before: an address of 10/8.
std::string newClient(int i) { return "10." + std::to_string(i / 62'500) + "." + std::to_string(i / 250 % 250) + "." + std::to_string(i % 250); }

// The /64 i of the /56 j of the /48 k, widest last, as clientNetworks
// names them.
std::vector<std::string> v6Networks(int i, int j, int k) {
    const auto h = [](int n) { return std::to_string(n); };
    return {"2001:db8:" + h(k) + ":" + h(j * 256 + i) + "::/64", "2001:db8:" + h(k) + ":" + h(j * 256) + "::/56",
            "2001:db8:" + h(k) + "::/48"};
}

// A token of the right shape that this relay never handed out.
std::string madeUpToken() { return RelayBytes::b64u(Secure::randomBytes(16)) + RelayBytes::b64u(Secure::randomBytes(32)); }

// Floods that need no account, each under ever new client keys and
// networks, more than the store can answer: people asking a code and
// signing in with it get through, and so do a signed-in account's list,
// ticket, refresh and its computers' links, one of them registered through
// another instance a moment ago; the flood holds no more of the store
// queue's places than its bound, and the log says what happens in a
// few lines.
TEST(AccountGate, FloodsWithoutAnAccountHoldUpNeitherPeopleSigningInNorSignedInAccounts) {
    struct Attack {
        const char* name;
        // What the attacker does first: asks a code of its own.
        std::function<void(FloodRig&)> prepare;
        // The flood's call `i`; `done` once it is answered.
        std::function<void(FloodRig&, int i, const std::string& room, std::function<void()> done)> send;
        std::size_t mostHeld;  // places of the store queue the flood holds at once, at most
        // What else the attack is held to, checked after it.
        std::function<void(FloodRig&)> bound = {};
    };
    const auto verify = [](FloodRig& flood, int i, const std::string& email, const std::string& login,
                           std::function<void()> done) {
        flood.call("POST", "/v1/auth/verify",
                   json{{"email", email}, {"login_id", login}, {"code", "123456"}, {"client", "web"}}, "", newClient(i),
                   [done](AccountAnswer) { done(); });
    };
    // One code's verifies reach the store for its tries, then once every
    // time its verdict is asked again.
    const auto oneCodeBound = [](FloodRig& flood) {
        const auto storeVerifies = RelayLimits::codeTries + 3000 / RelayLimits::codeVerdictMillis + 2;
        EXPECT_LE(flood.rig.store.codeReads["attacker@example.com"], 2 * storeVerifies);
    };
    const Attack attacks[] = {
        {"made-up sign-ins", [](FloodRig&) {},
         [&](FloodRig& flood, int i, const std::string&, std::function<void()> done) {
             verify(flood, i, "x" + std::to_string(i) + "@example.com", "flood", std::move(done));
         },
         AccountGate::storeLanes(16)[1].maxWaiting},
        {"one code asked here, its verifies",
         [](FloodRig& flood) {
             flood.askCode("attacker@example.com", "attack", "203.0.113.66", [](std::string code) { EXPECT_NE(code, ""); });
             flood.settle();
         },
         [&](FloodRig& flood, int i, const std::string&, std::function<void()> done) {
             verify(flood, i, "attacker@example.com", "attack", std::move(done));
         },
         RelayLimits::placesPerCode, oneCodeBound},
        {"one code asked through another instance, its verifies",
         [](FloodRig& flood) { EXPECT_NE(flood.rig.requestCode("attacker@example.com", "attack"), ""); },
         [&](FloodRig& flood, int i, const std::string&, std::function<void()> done) {
             verify(flood, i, "attacker@example.com", "attack", std::move(done));
         },
         RelayLimits::placesPerCode, oneCodeBound},
        {"codes asked for other people's addresses from three /48s, tried from sixteen others",
         [](FloodRig& flood) {
             // Ten codes from each /64 (of a /56 of its own), as many as one
             // client may ask, more than the store can try in the flood's
             // time; a second for each /64, as the store's share for
             // strangers' codes allows.
             for (int i = 0; i < 240; ++i) {
                 if (i % 10 == 0) flood.rig.advance(1);
                 const auto networks = v6Networks(0, i / 10, 900 + i / 80);
                 flood.askCode("victim" + std::to_string(i) + "@example.com", "attack", networks.front(),
                               [](std::string code) { EXPECT_NE(code, ""); }, networks);
                 flood.settle();
             }
         },
         [](FloodRig& flood, int i, const std::string&, std::function<void()> done) {
             const auto networks = v6Networks(i % 256, i / 256 % 256, 1000 + i % 16);
             flood.call("POST", "/v1/auth/verify",
                        json{{"email", "victim" + std::to_string(i % 240) + "@example.com"},
                             {"login_id", "attack"},
                             {"code", "123456"},
                             {"client", "web"}},
                        "", networks.front(), [done](AccountAnswer) { done(); }, networks);
         },
         AccountGate::storeLanes(16)[0].maxWaiting},
        {"codes for plus-addresses from three hundred /48s, each tried from the /64 that asked it", [](FloodRig&) {},
         [](FloodRig& flood, int i, const std::string&, std::function<void()> done) {
             // Call i of /48 i % 300: a code, then four tries of it.
             const auto round = i / 300;
             const auto networks = v6Networks(round / 5 % 256, 0, 2000 + i % 300);
             const auto email = "victim+" + std::to_string(i % 300) + "-" + std::to_string(round / 5) + "@example.com";
             if (round % 5 == 0)
                 return flood.call("POST", "/v1/auth/code", json{{"email", email}, {"login_id", "attack"}}, "",
                                   networks.front(), [done](AccountAnswer) { done(); }, networks);
             flood.call("POST", "/v1/auth/verify",
                        json{{"email", email}, {"login_id", "attack"}, {"code", "123456"}, {"client", "web"}}, "",
                        networks.front(), [done](AccountAnswer) { done(); }, networks);
         },
         // The newcomers' lane, and the strangers' share of the others.
         AccountGate::storeLanes(16)[0].maxWaiting + AccountGate::storeLanes(16)[1].maxWaiting +
             AccountGate::storeLanes(16)[3].maxWaiting},
        {"codes for plus-addresses from a fresh /48 of one /32 each call", [](FloodRig&) {},
         [](FloodRig& flood, int i, const std::string&, std::function<void()> done) {
             const auto networks = v6Networks(0, 0, 1000 + i % 8999);
             flood.call("POST", "/v1/auth/code",
                        json{{"email", "victim+" + std::to_string(i) + "@example.com"}, {"login_id", "attack"}}, "",
                        networks.front(), [done](AccountAnswer) { done(); }, networks);
         },
         // The newcomers' lane while the /32 has asked little, and the
         // strangers' share of the code requests' lane.
         AccountGate::storeLanes(16)[0].maxWaiting + AccountGate::storeLanes(16)[3].maxWaiting},
        {"made-up bearer tokens", [](FloodRig&) {},
         [](FloodRig& flood, int i, const std::string&, std::function<void()> done) {
             flood.call("GET", "/v1/hosts", nullptr, madeUpToken(), newClient(i), [done](AccountAnswer) { done(); });
         },
         AccountGate::storeLanes(16)[2].maxWaiting},
        {"made-up refresh tokens", [](FloodRig&) {},
         [](FloodRig& flood, int i, const std::string&, std::function<void()> done) {
             flood.call("POST", "/v1/auth/refresh", json{{"refresh_token", madeUpToken()}}, "", newClient(i),
                        [done](AccountAnswer) { done(); });
         },
         AccountGate::storeLanes(16)[2].maxWaiting},
        {"made-up tickets", [](FloodRig&) {},
         [](FloodRig& flood, int i, const std::string& room, std::function<void()> done) {
             flood.device(room, madeUpToken(), newClient(i), [done](DeviceAdmission) { done(); });
         },
         AccountGate::storeLanes(16)[2].maxWaiting},
        {"links for made-up rooms", [](FloodRig&) {},
         [](FloodRig& flood, int i, const std::string&, std::function<void()> done) {
             const auto made = newComputer();
             flood.link(RelayBytes::hex(Secure::randomBytes(16)),
                        made.helloHeader(static_cast<std::uint64_t>(flood.rig.seconds()), Secure::randomBytes(16)),
                        newClient(i), [done](HostAdmission) { done(); });
         },
         // And links wait, off the queue, for the store's list of the rooms
         // registered lately, as many as its wait holds at most.
         AccountGate::storeLanes(16)[2].maxWaiting + RelayLimits::maxRoomWaiters},
    };
    for (const auto& attack : attacks) {
        SCOPED_TRACE(attack.name);
        FloodRig flood;
        auto& rig = flood.rig;
        const auto computer = newComputer();
        const auto owner = rig.signIn("owner@example.com");
        ASSERT_EQ(rig.registerComputer(computer, owner).status, 201);
        const auto room = RelayBytes::hex(computer.roomID());
        flood.learnRooms();
        // Registered through another instance since this one read the rooms.
        const auto newcomer = newComputer();
        ASSERT_EQ(rig.registerComputer(newcomer, owner).status, 201);
        const auto newRoom = RelayBytes::hex(newcomer.roomID());
        // A person who signed in from home before.
        const std::string homeClient = "198.51.100.50";
        flood.askCode("home@example.com", "first", homeClient, [&](std::string code) {
            flood.call("POST", "/v1/auth/verify",
                       json{{"email", "home@example.com"}, {"login_id", "first"}, {"code", code}, {"client", "web"}}, "",
                       homeClient, [](AccountAnswer answer) { EXPECT_EQ(answer.status, 200); });
        });
        flood.settle();
        attack.prepare(flood);
        rig.logs.clear();

        constexpr int people = 10;
        int signedIn = 0, failed = 0, atHome = 0;
        std::vector<std::string> knownCalls;
        auto refresh = owner["refresh_token"].get<std::string>();
        auto access = owner["access_token"].get<std::string>();
        int flooded = 0, answered = 0;
        std::size_t held = 0;
        // A person types the code in the next round, once the flood has
        // taken back whatever places the store's last turn freed.
        std::vector<std::function<void()>> typed;
        for (int round = 0; round < 400; ++round) {
            for (int i = 0; i < 40; ++i, ++flooded) attack.send(flood, flooded, room, [&answered] { ++answered; });
            for (auto& type : std::exchange(typed, {})) type();
            if (round % 30 == 0 && round / 30 < people) {
                const auto person = "person" + std::to_string(round / 30) + "@example.com";
                const auto client = "192.0.2." + std::to_string(round / 30);
                flood.askCode(person, "l", client, [&, person, client](std::string digits) {
                    if (digits.empty()) return void(++failed);
                    typed.push_back([&, person, client, digits] {
                        flood.call("POST", "/v1/auth/verify",
                                   json{{"email", person}, {"login_id", "l"}, {"code", digits}, {"client", "mac"}}, "",
                                   client, [&](AccountAnswer verified) { verified.status == 200 ? ++signedIn : ++failed; });
                    });
                });
            }
            if (round % 40 == 30) {
                // The person at home signs in again, on another computer.
                const auto login = "again-" + std::to_string(round);
                flood.askCode("home@example.com", login, homeClient, [&, login](std::string digits) {
                    typed.push_back([&, login, digits] {
                        flood.call("POST", "/v1/auth/verify",
                                   json{{"email", "home@example.com"}, {"login_id", login}, {"code", digits}, {"client", "web"}},
                                   "", homeClient, [&](AccountAnswer verified) { atHome += verified.status == 200; });
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
                for (const auto& [linked, linkRoom] : {std::pair{&computer, room}, std::pair{&newcomer, newRoom}})
                    flood.link(linkRoom,
                               linked->helloHeader(static_cast<std::uint64_t>(rig.seconds()), Secure::randomBytes(16)),
                               "198.51.100.8", [&knownCalls](HostAdmission admission) {
                                   knownCalls.push_back("link " + std::to_string(admission.status));
                               });
            }
            flood.turn(4);
            // What waits for the store now is the flood's, but for a few.
            held = std::max(held, static_cast<std::size_t>(flooded - answered));
        }
        flood.settle();

        EXPECT_GE(signedIn, 9) << failed << " failed";
        EXPECT_EQ(signedIn + failed, people);
        EXPECT_EQ(atHome, 10) << "a person at home is behind no stranger";
        ASSERT_EQ(knownCalls.size(), 50u);
        for (const auto& call : knownCalls) EXPECT_TRUE(call.ends_with(" 200") || call == "link 0") << call;
        EXPECT_EQ(answered, flooded) << "every call of the flood is answered";
        EXPECT_LE(held, attack.mostHeld);
        if (attack.bound) attack.bound(flood);
        // What the people's sign-ins say, a line each, and a few lines for
        // the 16,000 calls of the flood: the lane it filled, and at most ten
        // of the calls it had refused in each five seconds.
        int other = 0;
        for (const auto& line : rig.logs)
            other += line.find("sign-in code sent to person") == std::string::npos &&
                     line.find("home@example.com") == std::string::npos &&
                     line.find("signed in person") == std::string::npos && line.find("registered room") == std::string::npos;
        EXPECT_LE(other, 20) << ::testing::PrintToString(rig.logs);
    }
}

// A stranger can neither spend a listed person's codes, nor flood their
// mailbox, nor list who is listed: a listed address asked for three times
// from each of ten other networks is mailed a few codes, and leaves its
// owner a code to sign in with, ten times over, at home and on a network
// they never used, as it does a listed person who never signed in; a
// person at home on one IPv4 address has every code promised there; and
// guesses from one /48, listed or not, are answered as the list says only
// as often as the /48 may ask, then "try later" whatever the address.
TEST(AccountGate, StrangersNeitherSpendAPersonsCodesNorListWhoIsListed) {
    const auto allowed = std::get<AccountList>(AccountList::parse({"owner@example.org", "@family.example"}));
    FloodRig flood(allowed);
    const auto home = v6Networks(1, 0, 7);
    const auto ask = [&](const std::string& email, const std::string& login, const std::vector<std::string>& networks) {
        std::optional<AccountAnswer> out;
        flood.call("POST", "/v1/auth/code", json{{"email", email}, {"login_id", login}}, "", networks.front(),
                   [&out](AccountAnswer answer) { out = std::move(answer); }, networks);
        flood.settle();
        return out ? out->status : 0;
    };
    const auto signIn = [&](const std::string& login, const std::vector<std::string>& from,
                            const std::string& email = "owner@example.org") {
        std::optional<AccountAnswer> verified;
        flood.askCode(email, login, from.front(), [&](std::string code) {
            flood.call("POST", "/v1/auth/verify",
                       json{{"email", email}, {"login_id", login}, {"code", code}, {"client", "web"}}, "",
                       from.front(), [&](AccountAnswer answer) { verified = std::move(answer); }, from);
        }, from);
        flood.settle();
        return verified && verified->status == 200;
    };
    // Home is the /48 the owner signed in from, on another computer there.
    ASSERT_TRUE(signIn("first", v6Networks(2, 0, 7)));
    // Strangers ask three times from each of ten other /48s: each is
    // answered as the person would be, and the person is mailed a few.
    const auto strangersAsk = [&](const std::string& email) {
        for (int n = 0; n < 10; ++n)
            for (int i = 0; i < 3; ++i) {
                const auto from = v6Networks(i, 0, 100 + n);
                flood.askCode(email, "x", from.front(), [](std::string) {}, from);
                flood.settle();
            }
    };
    // How many of `times` sign-ins from `from` went through.
    const auto signIns = [&](int times, const std::string& prefix, const std::vector<std::string>& from,
                             const std::string& email = "owner@example.org") {
        int signedIn = 0;
        for (int i = 0; i < times; ++i) signedIn += signIn(prefix + std::to_string(i), from, email);
        return signedIn;
    };
    strangersAsk("owner@example.org");
    // The owner's first code came from a network not known for them yet.
    EXPECT_EQ(flood.mails["owner@example.org"], RelayLimits::mailsPerAddressElsewhere);
    EXPECT_EQ(signIns(10, "again-", home), 10) << "at home";
    // Away from home, on a network never used, with the newest code in the
    // mailbox; then that network is one the owner signed in from.
    EXPECT_EQ(signIns(10, "away-", v6Networks(0, 0, 300)), 10) << "away";
    EXPECT_LE(flood.mails["owner@example.org"], RelayLimits::mailsPerAddress);
    // A listed person who never signed in, after the same strangers.
    strangersAsk("new@family.example");
    EXPECT_EQ(signIns(10, "n-", v6Networks(0, 0, 301), "new@family.example"), 10) << "never signed in before";
    EXPECT_LE(flood.mails["new@family.example"], RelayLimits::mailsPerAddress);

    // Strangers' guesses at one address's codes, away from its homes:
    // however many logins and codes they spread them over, through a day
    // of windows, each network compares its day's few.
    int guessed = 0;
    for (int round = 0; round < 20; ++round) {
        for (int k = 0; k < 2; ++k) {
            const auto from = v6Networks(round % 3, 0, 400 + k);
            const auto login = "guess-" + std::to_string(round) + "-" + std::to_string(k);
            ask("target@family.example", login, from);
            for (int i = 0; i < RelayLimits::codeTries; ++i) {
                std::optional<AccountAnswer> tried;
                flood.call("POST", "/v1/auth/verify",
                           json{{"email", "target@family.example"}, {"login_id", login}, {"code", "000000"}, {"client", "web"}},
                           "", from.front(), [&](AccountAnswer answer) { tried = std::move(answer); }, from);
                flood.settle();
                guessed += tried && tried->status != 429;
            }
        }
        flood.rig.advance(RelayLimits::codeWindowSeconds);
    }
    EXPECT_LE(guessed, 2 * RelayLimits::guessesAwayPerDay);

    // A person at home on one IPv4 address is given every code the rule
    // promises there, signing in with each.
    const auto v4 = std::vector<std::string>{"192.0.2.44"};
    ASSERT_TRUE(signIn("first-v4", v4, "new@family.example"));
    flood.rig.advance(RelayLimits::codeWindowSeconds);
    EXPECT_EQ(signIns(RelayLimits::codesPerAddressAtHome, "v4-", v4, "new@family.example"),
              RelayLimits::codesPerAddressAtHome);
    EXPECT_EQ(ask("new@family.example", "one-more", v4), 429);

    // Guesses from one /48, a new /64 each, half of them listed.
    int told = 0, tryLater = 0;
    for (int i = 0; i < 10'000; ++i) {
        const auto email = "guess" + std::to_string(i) + (i % 2 ? "@family.example" : "@elsewhere.example");
        const auto status = ask(email, "g", v6Networks(i % 256, i / 256 % 256, 9));
        status == 429 ? ++tryLater : ++told;
    }
    EXPECT_LE(told, 4 * RelayLimits::signInAsksPerNetwork);
    EXPECT_LE(told, 100);
    EXPECT_EQ(told + tryLater, 10'000);
}

// Guesses at one address's codes away from its homes are counted for a
// day under the network each comes from: a stranger's network has its
// few, and none of them are the owner's, who tries from their own.
TEST(AccountGate, GuessesAwayFromHomeAreEachNetworksOwnForADay) {
    AccountRig rig;
    AccountGate gate([&rig] { return rig.nowMillis; }, RelayLog(), true, rig.store.sealKey());
    int login = 0;
    // A verify from `network`, answered `status` when it passes.
    const auto tries = [&](const std::string& network, int status) {
        AccountCall call;
        call.endpoint = AccountEndpoint::verify;
        call.body = json{{"email", "g@example.com"}, {"login_id", "l" + std::to_string(login++)}, {"code", "123456"},
                         {"client", "web"}};
        call.client = network;
        call.networks = {network};
        auto pass = gate.check(call);
        if (pass.refusal) return false;
        gate.answered(pass, AccountAnswer{status, status == 200 ? json::object() : json{{"error", "invalid-code"}}, std::nullopt});
        return true;
    };
    struct Step {
        const char* why;
        std::int64_t laterSeconds;
        const char* network;
        int calls;
        int passed;
        int status = 400;
    };
    const int most = RelayLimits::guessesAwayPerDay;
    const Step steps[] = {
        {"a stranger's day of guesses", 0, "198.51.100.1", most + 2, most},
        {"the owner on a network they never used tries their own", 0, "192.0.2.7", 3, 3},
        {"ten minutes on, the stranger's day goes on", RelayLimits::codeWindowSeconds, "198.51.100.1", 1, 0},
        {"the owner signs in", 0, "203.0.113.5", 1, 1, 200},
        {"at home, nothing is counted as a guess", 0, "203.0.113.5", most + 2, most + 2},
        {"a day on, the stranger has a new day's few", RelayLimits::guessWindowSeconds, "198.51.100.1", most + 1, most},
    };
    for (const auto& step : steps) {
        rig.advance(step.laterSeconds);
        int passed = 0;
        for (int i = 0; i < step.calls; ++i) passed += tries(step.network, step.status);
        EXPECT_EQ(passed, step.passed) << step.why;
    }
}

// A stranger who knows a listed address asks for its codes from two /48s
// and a third, past its mails, and guesses ten times at the code given
// again to their logins, twice over: the owner on networks they never
// used, and a listed person who never signed in, each sign in every time,
// told that no new code was mailed and that the code mailed earlier
// stands.
TEST(AccountGate, AStrangersGuessesAtACodeGivenAgainLockNoOneOut) {
    const auto allowed = std::get<AccountList>(AccountList::parse({"owner@example.org", "@family.example"}));
    FloodRig flood(allowed);
    const auto post = [&](const std::string& path, const json& body, const std::vector<std::string>& from) {
        AccountAnswer out{0, json(), std::nullopt};
        flood.call("POST", path, body, "", from.front(), [&out](AccountAnswer answer) { out = std::move(answer); }, from);
        flood.settle();
        return out;
    };
    const auto verify = [&](const std::string& email, const std::string& login, const std::string& code,
                            const std::vector<std::string>& from) {
        return post("/v1/auth/verify", json{{"email", email}, {"login_id", login}, {"code", code}, {"client", "web"}}, from)
            .status;
    };
    std::string first;
    flood.askCode("owner@example.org", "home", "2001:db8:1::", [&](std::string code) { first = code; },
                  v6Networks(0, 0, 1));
    flood.settle();
    ASSERT_EQ(verify("owner@example.org", "home", first, v6Networks(0, 0, 1)), 200);

    int stranger = 0;
    const auto strangerCalls = [&](const std::string& email) {
        for (int i = 0; i < 8; ++i) {
            const auto from = v6Networks(i % 3, 0, 700 + std::min(i / 3, 2));
            flood.askCode(email, "s" + std::to_string(stranger + i), from.front(), [](std::string) {}, from);
            flood.settle();
        }
        for (int i = 0; i < 10; ++i)
            EXPECT_NE(verify(email, "s" + std::to_string(stranger + 6 + i / 5), "000000", v6Networks(0, 0, 702)), 200);
        stranger += 8;
    };
    for (const auto* email : {"owner@example.org", "new@family.example"}) {
        int signedIn = 0, toldNotMailed = 0;
        for (int round = 0; round < 2; ++round) {
            strangerCalls(email);
            for (int n = 0; n < 5; ++n) {
                const auto from = v6Networks(0, 0, 800 + round * 5 + n);
                const auto login = "p" + std::to_string(round * 5 + n);
                const auto asked = post("/v1/auth/code", json{{"email", email}, {"login_id", login}}, from);
                ASSERT_EQ(asked.status, 200) << email;
                ASSERT_FALSE(asked.delivery) << "past the address's mails";
                toldNotMailed += asked.body.value(std::string(RelayCodeSent::sent), true) == false;
                signedIn += verify(email, login, flood.mailbox[email], from) == 200;
            }
        }
        EXPECT_EQ(signedIn, 10) << email;
        EXPECT_EQ(toldNotMailed, 10) << email;
    }
}

// A stranger asking codes for countless plus-addresses of one mailbox, 50
// calls a second for a minute from 300 /48s, gets it mailed a few codes in
// all; newcomers elsewhere sign in meanwhile.
TEST(AccountGate, PlusAddressesOfOneMailboxShareItsMails) {
    const auto allowed = std::get<AccountList>(AccountList::parse({"@family.example"}));
    FloodRig flood(allowed);
    int signedIn = 0, newcomers = 0;
    for (int tick = 0; tick < 12'000; ++tick) {
        if (tick % 4 == 0) {
            const int n = tick / 4;
            const auto from = v6Networks(n / 300 % 256, 0, 2'000 + n % 300);
            const auto tag = (n % 2 ? "Owner+" : "owner+") + std::to_string(n);
            flood.askCode(tag + "@Family.example", "x", from.front(), [](std::string) {}, from);
        }
        if (tick % 1'200 == 600) {
            const auto email = "p" + std::to_string(newcomers) + "@family.example";
            const auto from = v6Networks(0, 0, 5'000 + newcomers++);
            flood.askCode(email, "l", from.front(), [&, email, from](std::string code) {
                flood.call("POST", "/v1/auth/verify",
                           json{{"email", email}, {"login_id", "l"}, {"code", code}, {"client", "web"}}, "", from.front(),
                           [&](AccountAnswer answer) { signedIn += answer.status == 200; }, from);
            }, from);
        }
        flood.turn(4);
    }
    flood.settle();
    int toTheMailbox = 0;
    for (const auto& [address, mails] : flood.mails) toTheMailbox += mailboxOf(normalizeAddress(address).value_or("")) == "owner@family.example" ? mails : 0;
    EXPECT_LE(toTheMailbox, RelayLimits::mailsPerMailbox);
    EXPECT_GE(toTheMailbox, 1);
    EXPECT_EQ(newcomers, 10);
    EXPECT_GE(signedIn, 9);
}

// What each key may hold of the store queue's places at once, while its
// calls wait: a client network and its wider ones, a sign-in code, a
// sign-in's sealed token, a registered room's links; and what no network
// bound touches: many people behind one address with tokens of their own,
// or a trusted proxy that names no client.
TEST(AccountGate, PlacesAreBoundedPerNetworkPerCodeAndPerSignIn) {
    AccountRig rig;
    std::vector<json> sessions;
    for (int i = 0; i < 40; ++i) {
        // Past the codes one client may ask in a window.
        if (i % RelayLimits::codesPerClient == 0) rig.advance(RelayLimits::codeWindowSeconds);
        sessions.push_back(rig.signIn("p" + std::to_string(i) + "@example.com", "web"));
        ASSERT_FALSE(sessions.back().is_null());
    }
    const auto list = [](const std::string& token, std::vector<std::string> networks) {
        AccountCall call;
        call.endpoint = AccountEndpoint::listHosts;
        call.bearer = token;
        call.client = networks.empty() ? "10.0.0.1" : networks.front();
        call.networks = std::move(networks);
        return call;
    };
    const auto verify = [](const std::string& email, std::vector<std::string> networks) {
        AccountCall call;
        call.endpoint = AccountEndpoint::verify;
        call.body = json{{"email", email}, {"login_id", "l"}, {"code", "123456"}, {"client", "web"}};
        call.client = networks.empty() ? "10.0.0.1" : networks.front();
        call.networks = std::move(networks);
        return call;
    };
    const auto& v6 = v6Networks;
    const auto room = RelayBytes::hex(Secure::randomBytes(16));
    using Check = std::function<AccountGate::Pass(AccountGate&, int)>;
    const auto checked = [](std::function<AccountCall(int)> call) -> Check {
        return [call](AccountGate& gate, int i) { return gate.check(call(i)); };
    };
    struct Case {
        const char* what;
        Check pass;
        int most;  // -1: none of the 100 calls is refused
    };
    const Case cases[] = {
        {"made-up tokens from one IPv4 address", checked([&](int) { return list(madeUpToken(), {"203.0.113.9"}); }),
         RelayLimits::placesPerNetwork},
        {"made-up tokens from one /64", checked([&](int) { return list(madeUpToken(), v6(1, 1, 1)); }),
         RelayLimits::placesPerNetwork},
        {"made-up tokens, a new /64 of one /56 each", checked([&](int i) { return list(madeUpToken(), v6(i, 1, 1)); }),
         2 * RelayLimits::placesPerNetwork},
        {"made-up tokens, a new /64 of one /48 each",
         checked([&](int i) { return list(madeUpToken(), v6(i % 3, i / 3, 1)); }), 4 * RelayLimits::placesPerNetwork},
        {"made-up sign-ins, a new /64 of one /48 each",
         checked([&](int i) { return verify("x" + std::to_string(i) + "@example.com", v6(i % 3, i / 3, 2)); }),
         4 * RelayLimits::placesPerNetwork},
        {"one code's verifies under new networks", checked([&](int i) { return verify("x@example.com", {newClient(i)}); }),
         RelayLimits::placesPerCode},
        {"codes asked here from new /64s of one /48, each tried from new networks",
         [&](AccountGate& gate, int i) {
             // Twenty codes, as many as the /48 may ask with room to spare.
             const auto email = "asked" + std::to_string(i % 20) + "@example.com";
             if (i < 20) {
                 AccountCall ask;
                 ask.endpoint = AccountEndpoint::code;
                 ask.body = json{{"email", email}, {"login_id", "l"}};
                 ask.networks = v6(i % 3, i / 3, 3);
                 ask.client = ask.networks.front();
                 const auto asked = gate.check(ask);
                 EXPECT_FALSE(asked.refusal);
                 gate.answered(asked, AccountAnswer{});
             }
             return gate.check(verify(email, {newClient(i)}));
         },
         4 * RelayLimits::placesPerNetwork},
        {"one sign-in's token from new networks",
         checked([&](int i) { return list(sessions[0]["access_token"], {newClient(i)}); }), RelayLimits::placesPerSignIn},
        {"links for made-up rooms from one IPv4 address",
         [](AccountGate& gate, int) { return gate.checkLink(RelayBytes::hex(Secure::randomBytes(16)), {"203.0.113.9"}); },
         RelayLimits::placesPerNetwork},
        {"one registered room's links from new networks",
         [&](AccountGate& gate, int i) {
             gate.knowRooms({room});
             return gate.checkLink(room, {newClient(i)});
         },
         RelayLimits::placesPerRoom},
        {"forty people's tokens behind one carrier's address",
         checked([&](int i) { return list(sessions[i % 40]["access_token"], {"100.64.0.1"}); }), -1},
        {"made-up tokens through a trusted proxy that names no client",
         checked([&](int) { return list(madeUpToken(), {}); }), -1},
    };
    for (const auto& c : cases) {
        AccountGate gate([&rig] { return rig.nowMillis; }, RelayLog(), true, rig.store.sealKey());
        std::vector<AccountGate::Pass> waiting;
        int passed = 0;
        for (int i = 0; i < 100; ++i) {
            auto pass = c.pass(gate, i);
            if (pass.refusal) {
                EXPECT_EQ(pass.refusal->status, 429) << c.what;
                EXPECT_EQ(pass.refusal->body["error"], "try-later") << c.what;
                continue;
            }
            ++passed;
            waiting.push_back(std::move(pass));
        }
        EXPECT_EQ(passed, c.most < 0 ? 100 : c.most) << c.what;
        // Answered (here: the store failed), the places are free again: in
        // a new window, past what a network may ask in one.
        for (const auto& pass : waiting) gate.answered(pass, std::nullopt);
        const auto before = rig.nowMillis;
        rig.advance(RelayLimits::codeWindowSeconds);
        EXPECT_FALSE(c.pass(gate, 100).refusal) << c.what;
        rig.nowMillis = before;
    }
}

// Past the table's size, the oldest counts make room: a flood of new keys
// locks out no client that comes after it, and the log says so once.
TEST(AccountGate, AFullTableOfCountsRefusesNoNewcomer) {
    AccountRig rig;
    std::vector<std::string> logs;
    AccountGate gate([&rig] { return rig.nowMillis; }, RelayLog([&logs](const std::string& line) { logs.push_back(line); }),
                     true, rig.store.sealKey(), 8);
    const auto session = rig.signIn("owner@example.com");
    const auto list = [&](const std::string& client) {
        AccountCall call;
        call.endpoint = AccountEndpoint::listHosts;
        call.bearer = session["access_token"];
        call.client = client;
        auto pass = gate.check(call);
        gate.answered(pass, AccountAnswer{});
        return pass;
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
// send each call to its lane: a code asked here makes its sign-in expected,
// and a token's seal says whose it is.
TEST(AccountGate, LimitsAnswerAtOnceAndCallsTakeTheirLanes) {
    AccountRig rig;
    AccountGate gate([&rig] { return rig.nowMillis; }, RelayLog(), true, rig.store.sealKey());
    const auto call = [&](AccountEndpoint endpoint, json body, const std::string& bearer = "") {
        AccountCall c;
        c.endpoint = endpoint;
        c.body = std::move(body);
        c.bearer = bearer;
        c.client = "198.51.100.7";
        auto pass = gate.check(c);
        gate.answered(pass, std::nullopt);
        return pass;
    };
    const json verify{{"email", "owner@example.com"}, {"login_id", "l"}, {"code", "123456"}, {"client", "mac"}};
    EXPECT_EQ(call(AccountEndpoint::verify, verify).lane, AccountGate::strangerLane) << "no code asked here";
    EXPECT_EQ(call(AccountEndpoint::code, json{{"email", "Owner@Example.com"}, {"login_id", "l"}}).lane,
              AccountGate::signInLane)
        << "a network's first code is a newcomer's";
    EXPECT_EQ(call(AccountEndpoint::verify, verify).lane, AccountGate::signInLane) << "the code was asked here";
    EXPECT_EQ(call(AccountEndpoint::verify, json{{"email", "owner@example.com"}, {"login_id", "other"}, {"client", "mac"}}).lane,
              AccountGate::strangerLane)
        << "another login's code";

    const auto session = rig.signIn("owner@example.com", "web");
    const auto access = session["access_token"].get<std::string>();
    const json refresh{{"refresh_token", session["refresh_token"]}};
    const auto unsealed = madeUpToken();
    EXPECT_EQ(call(AccountEndpoint::listHosts, json(), access).lane, AccountGate::knownLane);
    EXPECT_EQ(call(AccountEndpoint::refresh, refresh).lane, AccountGate::knownLane);
    EXPECT_EQ(call(AccountEndpoint::listHosts, json(), unsealed).lane, AccountGate::unprovenLane);
    EXPECT_EQ(call(AccountEndpoint::refresh, json{{"refresh_token", unsealed}}).lane, AccountGate::unprovenLane);
    EXPECT_EQ(call(AccountEndpoint::listHosts, json(), session["refresh_token"]).lane, AccountGate::unprovenLane)
        << "a refresh token is no bearer";
    EXPECT_EQ(call(AccountEndpoint::listHosts, json(), "").lane, AccountGate::unprovenLane);

    rig.advance(RelayLimits::codeLifetimeSeconds);
    EXPECT_EQ(call(AccountEndpoint::verify, verify).lane, AccountGate::strangerLane) << "the code has expired";
    // An expired sealed token is refused as the accounts would, at once.
    rig.advance(RelayLimits::accessSeconds);
    const auto expired = call(AccountEndpoint::listHosts, json(), access);
    ASSERT_TRUE(expired.refusal);
    EXPECT_EQ(expired.refusal->status, 401);
    EXPECT_EQ(expired.refusal->body, rig.call("GET", "/v1/hosts", nullptr, access).body);
    EXPECT_EQ(call(AccountEndpoint::refresh, refresh).lane, AccountGate::knownLane) << "a refresh token lives longer";
    EXPECT_FALSE(call(AccountEndpoint::signOut, refresh).refusal);

    struct Case {
        const char* limit;
        int most;
        std::function<json(int)> body;
        AccountEndpoint endpoint;
        bool sameClient;
    };
    const Case cases[] = {
        {"codes for one address from one network", RelayLimits::codesPerAddress,
         [](int) { return json{{"email", "a@example.com"}, {"login_id", "l"}}; }, AccountEndpoint::code, true},
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
        AccountGate fresh([&rig] { return rig.nowMillis; }, RelayLog(), true, rig.store.sealKey());
        const auto at = [&](int i) {
            AccountCall one;
            one.endpoint = c.endpoint;
            one.body = c.body(i);
            one.client = c.sameClient ? "203.0.113.9" : "203.0.113." + std::to_string(i);
            auto pass = fresh.check(one);
            fresh.answered(pass, AccountAnswer{});
            return pass;
        };
        for (int i = 0; i < c.most; ++i) ASSERT_FALSE(at(i).refusal) << c.limit << " " << i;
        const auto refused = at(c.most);
        ASSERT_TRUE(refused.refusal) << c.limit;
        EXPECT_EQ(refused.refusal->status, 429) << c.limit;
        EXPECT_EQ(refused.refusal->body["error"], "try-later") << c.limit;
        EXPECT_GE(refused.refusal->body["retry_after"].get<int>(), 1) << c.limit;
    }
}

// People the gate must not turn away for what it keeps in memory: a sign-in
// made through another instance, or before a restart, whose tokens this
// gate never saw; a token handed out before tokens were sealed; a code
// asked again after its verdict was learned, through this instance or
// another; and a computer registered through another instance. Each is
// answered as the store would answer it.
TEST(AccountGate, MemoryTurnsAwayNoOneTheStoreWouldLetIn) {
    FloodRig flood;
    auto& rig = flood.rig;
    const auto ask = [&](const std::string& method, const std::string& path, const json& body, const std::string& bearer) {
        AccountAnswer out{0, json(), std::nullopt};
        flood.call(method, path, body, bearer, "198.51.100.7", [&out](AccountAnswer answer) { out = std::move(answer); });
        flood.settle();
        return out;
    };
    const auto verify = [&](const std::string& login, const std::string& code,
                            const std::string& email = "person@example.com") {
        return ask("POST", "/v1/auth/verify", json{{"email", email}, {"login_id", login}, {"code", code}, {"client", "web"}},
                   "");
    };

    // Signed in through another instance (the same store, another gate and
    // accounts, as after a restart too): its tokens are known by their seal.
    RelayAccounts other(rig.store, RelayAccounts::Hooks{[&rig] { return rig.nowMillis; }, RelayLog(), {}, {}, {}}, true);
    const auto elsewhere = answerCall(other, "POST", "/v1/auth/code", json{{"email", "ann@example.com"}, {"login_id", "l"}});
    ASSERT_TRUE(elsewhere.delivery);
    ASSERT_EQ(other.delivered(*elsewhere.delivery, std::nullopt).status, 200);
    const auto session = answerCall(other, "POST", "/v1/auth/verify",
                                    json{{"email", "ann@example.com"}, {"login_id", "l"}, {"code", elsewhere.delivery->code},
                                         {"client", "web"}});
    ASSERT_EQ(session.status, 200);
    EXPECT_EQ(ask("GET", "/v1/hosts", nullptr, session.body["access_token"]).status, 200);
    const auto pass =
        flood.gate.check(AccountCall{AccountEndpoint::listHosts, "", session.body["access_token"], json(), "x", {"x"}});
    EXPECT_EQ(pass.lane, AccountGate::knownLane);
    flood.gate.answered(pass, AccountAnswer{});

    // Handed out before tokens were sealed: still good, in its own lane.
    const auto old = RelayBytes::b64u(Secure::randomBytes(16)) + RelayBytes::b64u(Secure::randomBytes(32));
    rig.store.putToken(Token{Secure::sha256Hex(old), TokenKind::access, session.body["user"]["id"], "web", "",
                             rig.seconds() + 600});
    EXPECT_EQ(ask("GET", "/v1/hosts", nullptr, old).status, 200);

    // A code tried five times is spent: its verdict answers from memory.
    auto code = rig.requestCode("person@example.com", "l1");
    for (int i = 0; i < RelayLimits::codeTries; ++i) EXPECT_EQ(verify("l1", "000000").status, 400);
    const auto reads = rig.store.codeReads["person@example.com"];
    const auto spent = verify("l1", code);
    EXPECT_EQ(spent.body, (json{{"error", "invalid-code"}, {"tries_left", 0}}));
    EXPECT_EQ(rig.store.codeReads["person@example.com"], reads) << "answered from memory";
    // A new code asked through another instance is found once the verdict
    // is asked again.
    code = rig.requestCode("person@example.com", "l1");
    rig.nowMillis += RelayLimits::codeVerdictMillis;
    EXPECT_EQ(verify("l1", code).status, 200);
    // Used, the code is gone; one asked here again is taken at once.
    EXPECT_EQ(verify("l1", code).body, (json{{"error", "invalid-code"}}));
    std::string again;
    flood.askCode("person@example.com", "l1", "198.51.100.7", [&again](std::string digits) { again = digits; });
    flood.settle();
    ASSERT_NE(again, "");
    EXPECT_EQ(verify("l1", again).status, 200);
    // An expired code says so, from memory too, until a new one is asked.
    code = rig.requestCode("later@example.com", "l2");
    rig.advance(RelayLimits::codeLifetimeSeconds);
    const json expired{{"error", "invalid-code"}, {"expired", true}};
    EXPECT_EQ(verify("l2", code, "later@example.com").body, expired);
    const auto expiredReads = rig.store.codeReads["later@example.com"];
    EXPECT_EQ(verify("l2", code, "later@example.com").body, expired);
    EXPECT_EQ(rig.store.codeReads["later@example.com"], expiredReads) << "answered from memory";

    // A computer registered through another instance a moment ago: its
    // first link here waits for the store's list of rooms registered lately
    // and is let in, and its room is known from then on; after a restart,
    // the rooms the store lists are known at once.
    const auto computer = newComputer();
    ASSERT_EQ(rig.registerComputer(computer, session.body).status, 201);
    const auto room = RelayBytes::hex(computer.roomID());
    const auto lane = [room](AccountGate& gate) {
        const auto pass = gate.checkLink(room, {"198.51.100.9"});
        gate.answered(pass, std::nullopt);
        return pass.lane;
    };
    EXPECT_EQ(lane(flood.gate), AccountGate::unprovenLane);
    HostAdmission linked{-1, "", {}, {}};
    flood.link(room, computer.helloHeader(static_cast<std::uint64_t>(rig.seconds()), Secure::randomBytes(16)),
               "198.51.100.9", [&linked](HostAdmission admission) { linked = std::move(admission); });
    flood.settle();
    EXPECT_EQ(linked.status, 0) << linked.reason;
    EXPECT_EQ(lane(flood.gate), AccountGate::knownLane);
    AccountGate restarted([&rig] { return rig.nowMillis; }, RelayLog(), true, rig.store.sealKey());
    restarted.knowRooms(rig.store.roomsRegisteredSince(0, RelayLimits::maxKnownRooms));
    EXPECT_EQ(lane(restarted), AccountGate::knownLane);
}

// The operator's list of who may sign in: a listed address and an address
// at a listed domain sign in as anyone did before; any other address is
// refused a code and a sign-in at once, from memory, with nothing sent,
// stored or queued for it, whatever the case it is written in.
TEST(AccountGate, OnlyTheAddressesTheOperatorListedSignIn) {
    const auto allowed = std::get<AccountList>(AccountList::parse({"owner@example.org", "@family.example"}));
    FloodRig flood(allowed);
    auto& rig = flood.rig;
    const auto signIn = [&](const std::string& email) {
        std::optional<AccountAnswer> verified;
        flood.askCode(email, "l", "192.0.2.1", [&](std::string code) {
            flood.call("POST", "/v1/auth/verify",
                       json{{"email", email}, {"login_id", "l"}, {"code", code}, {"client", "web"}}, "", "192.0.2.1",
                       [&](AccountAnswer answer) { verified = std::move(answer); });
        });
        flood.settle();
        return verified ? verified->status : 0;
    };
    EXPECT_EQ(signIn("owner@example.org"), 200);
    EXPECT_EQ(signIn("Kid@Family.Example"), 200);

    const json notInvited{{"error", "not-invited"}};
    for (const char* stranger : {"eve@example.org", "kid@school.family.example", "owner@example.org.evil"}) {
        SCOPED_TRACE(stranger);
        const auto turns = flood.worker.turns;
        rig.logs.clear();
        std::vector<AccountAnswer> answers;
        const auto keep = [&answers](AccountAnswer answer) { answers.push_back(std::move(answer)); };
        flood.call("POST", "/v1/auth/code", json{{"email", stranger}, {"login_id", "l"}}, "", "192.0.2.2", keep);
        flood.call("POST", "/v1/auth/verify",
                   json{{"email", stranger}, {"login_id", "l"}, {"code", "123456"}, {"client", "mac"}}, "", "192.0.2.2",
                   keep);
        ASSERT_EQ(answers.size(), 2u) << "answered at once, before the store's worker runs";
        for (const auto& answer : answers) {
            EXPECT_EQ(answer.status, 403);
            EXPECT_EQ(answer.body, notInvited);
            EXPECT_FALSE(answer.delivery);
        }
        EXPECT_EQ(flood.store.waiting(), 0u);
        flood.settle();
        EXPECT_EQ(flood.worker.turns, turns) << "the store was never asked";
        EXPECT_EQ(rig.store.codeReads.count(stranger), 0u);
        for (const auto& line : rig.logs) EXPECT_EQ(line.find("code sent"), std::string::npos) << line;
    }
    EXPECT_EQ(rig.store.codes.size(), 0u) << "the listed sign-ins used theirs";
}

// A code whose verdict the gate holds costs the store nothing while it is
// fresh; once stale, the verifies of every such code wait for a question
// to the store about all of them together, which reads and writes nothing
// else; and a new code asked through another instance meanwhile is found.
TEST(AccountGate, StaleVerdictsAreAskedOfTheStoreTogether) {
    FloodRig flood;
    auto& rig = flood.rig;
    constexpr int codes = 30;
    std::vector<AccountAnswer> answers;
    // Each code tried once, one after another or all at once.
    const auto verifyAll = [&](bool inTurn) {
        answers.clear();
        for (int i = 0; i < codes; ++i) {
            flood.call("POST", "/v1/auth/verify",
                       json{{"email", "p" + std::to_string(i) + "@example.com"},
                            {"login_id", "l"},
                            {"code", "123456"},
                            {"client", "web"}},
                       "", "10.9.0." + std::to_string(i), [&answers](AccountAnswer answer) { answers.push_back(answer); });
            if (inTurn) flood.settle();
        }
    };
    const json expired{{"error", "invalid-code"}, {"expired", true}};
    for (int i = 0; i < codes; ++i) {
        if (i % RelayLimits::codesPerClient == 0) rig.advance(RelayLimits::codeWindowSeconds);
        EXPECT_NE(rig.requestCode("p" + std::to_string(i) + "@example.com", "l"), "");
    }
    rig.advance(RelayLimits::codeLifetimeSeconds);
    verifyAll(true);
    ASSERT_EQ(answers.size(), static_cast<std::size_t>(codes));
    for (const auto& answer : answers) EXPECT_EQ(answer.body, expired);

    // Fresh: from memory, at once.
    auto turns = flood.worker.turns;
    verifyAll(false);
    EXPECT_EQ(answers.size(), static_cast<std::size_t>(codes));
    EXPECT_EQ(flood.worker.turns, turns);

    // Stale: one question for all, and the answers from it.
    const auto fresh = rig.requestCode("p0@example.com", "l");  // through another instance
    rig.nowMillis += RelayLimits::codeVerdictMillis;
    const auto reads = rig.store.codeReads;
    turns = flood.worker.turns;
    verifyAll(false);
    EXPECT_TRUE(answers.empty()) << "they wait for the store";
    flood.settle();
    ASSERT_EQ(answers.size(), static_cast<std::size_t>(codes));
    // The first verify's question, one for all those that came while it
    // was on its way, and p0's verify: its code is live again, so it went
    // on to the store, the wrong guess spending a try.
    EXPECT_EQ(flood.worker.turns - turns, 3);
    for (int i = 1; i < codes; ++i) {
        const auto email = "p" + std::to_string(i) + "@example.com";
        EXPECT_EQ(rig.store.codeReads[email], reads.at(email) + 1) << email;
    }
    EXPECT_EQ(std::count_if(answers.begin(), answers.end(), [&](const AccountAnswer& a) { return a.body == expired; }),
              codes - 1);
    std::optional<AccountAnswer> signedIn;
    flood.call("POST", "/v1/auth/verify",
               json{{"email", "p0@example.com"}, {"login_id", "l"}, {"code", fresh}, {"client", "web"}}, "", "10.9.0.0",
               [&](AccountAnswer answer) { signedIn = answer; });
    flood.settle();
    ASSERT_TRUE(signedIn);
    EXPECT_EQ(signedIn->status, 200);
}

// The seal says what a token this relay handed out is, and nothing of any
// other text.
TEST(TokenSeal, ReadsOnlyWhatItSealed) {
    const TokenSeal seal("key-one");
    const auto session = RelayBytes::b64u(Secure::randomBytes(16));
    const auto token = seal.mint(TokenKind::access, session, 1'900'000'000);
    ASSERT_EQ(token.size(), 65u);
    EXPECT_EQ(tokenSession(token), session);
    const auto issued = seal.issued(TokenKind::access, token);
    ASSERT_TRUE(issued);
    EXPECT_EQ(issued->session, session);
    EXPECT_EQ(issued->expiresAt, 1'900'000'000);
    auto changed = token;
    changed[30] = changed[30] == 'A' ? 'B' : 'A';
    struct Case {
        const char* what;
        TokenSeal seal;
        TokenKind kind;
        std::string token;
    };
    const Case refused[] = {
        {"another kind", seal, TokenKind::refresh, token},
        {"another key", TokenSeal("key-two"), TokenKind::access, token},
        {"a character changed", seal, TokenKind::access, changed},
        {"another session", seal, TokenKind::access, RelayBytes::b64u(Secure::randomBytes(16)) + token.substr(22)},
        {"an unsealed token", seal, TokenKind::access, madeUpToken()},
        {"cut short", seal, TokenKind::access, token.substr(0, 64)},
        {"not base64url", seal, TokenKind::access, token.substr(0, 64) + "="},
        {"nothing", seal, TokenKind::access, ""},
    };
    for (const auto& c : refused) EXPECT_FALSE(c.seal.issued(c.kind, c.token)) << c.what;
}

}  // namespace
}  // namespace morvane::relay_service::testing

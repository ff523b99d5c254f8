// The account interface's refusals and what it keeps: codes, tokens,
// registrations and signed requests, on a manual clock.
#include <gtest/gtest.h>

#include "account_rig.h"
#include "relay/relay_words.h"
#include "relay_service/relay_limits.h"
#include "secure/secure_channel.h"

namespace morvane::relay_service::testing {
namespace {

const std::string owner = "owner@example.com";

// Tokens travel in JSON, headers and a socket's query as they are.
bool base64url(const std::string& text) {
    return !text.empty() &&
           text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") == std::string::npos;
}

// Every refusal keeps the one word the host knows; beside it the page is
// told what a person can do: try again (and how often), or ask for a new
// code because this one expired or was tried too often.
TEST(RelayAccountsCodes, WrongExpiredSpentAndExhaustedCodesAreRefused) {
    struct Case {
        const char* name;
        std::function<std::string(AccountRig&, const std::string& code)> before;  // answers the code to send
        json body;
    };
    const json refused{{"error", "invalid-code"}};
    const auto triesLeft = [&](int n) { return json{{"error", "invalid-code"}, {"tries_left", n}}; };
    const std::vector<Case> cases = {
        {"a wrong code", [](AccountRig&, const std::string& code) { return code == "000000" ? "000001" : "000000"; },
         triesLeft(RelayLimits::codeTries - 1)},
        {"an expired code",
         [](AccountRig& rig, const std::string& code) {
             rig.advance(RelayLimits::codeLifetimeSeconds);
             return code;
         },
         json{{"error", "invalid-code"}, {"expired", true}}},
        {"a code already used",
         [](AccountRig& rig, const std::string& code) {
             rig.post("/v1/auth/verify", json{{"email", owner}, {"login_id", "login-1"}, {"code", code}, {"client", "mac"}});
             return code;
         },
         refused},
        {"the right code after the last try",
         [](AccountRig& rig, const std::string& code) {
             const auto wrong = code == "000000" ? "000001" : "000000";
             for (int i = 0; i < RelayLimits::codeTries; ++i)
                 rig.post("/v1/auth/verify",
                          json{{"email", owner}, {"login_id", "login-1"}, {"code", wrong}, {"client", "mac"}});
             return code;
         },
         triesLeft(0)},
        {"a code tried too often, once it has also expired",
         [](AccountRig& rig, const std::string& code) {
             for (int i = 0; i < RelayLimits::codeTries; ++i)
                 rig.post("/v1/auth/verify",
                          json{{"email", owner}, {"login_id", "login-1"}, {"code", "x"}, {"client", "mac"}});
             rig.advance(RelayLimits::codeLifetimeSeconds);
             return code;
         },
         json{{"error", "invalid-code"}, {"expired", true}}},
        {"the code of another sign-in",
         [](AccountRig& rig, const std::string&) { return rig.requestCode("other@example.com", "login-2"); },
         triesLeft(RelayLimits::codeTries - 1)},
        {"another login id's code",
         [](AccountRig& rig, const std::string&) { return rig.requestCode(owner, "login-2"); },
         triesLeft(RelayLimits::codeTries - 1)},
    };
    for (const auto& c : cases) {
        AccountRig rig;
        const auto code = rig.requestCode(owner);
        ASSERT_EQ(code.size(), 6u) << c.name;
        const auto sent = c.before(rig, code);
        const auto answer =
            rig.post("/v1/auth/verify", json{{"email", owner}, {"login_id", "login-1"}, {"code", sent}, {"client", "mac"}});
        EXPECT_EQ(answer.status, 400) << c.name;
        EXPECT_EQ(answer.body, c.body) << c.name;
    }
}

TEST(RelayAccountsCodes, ARightCodeSignsInOnceWithTokensKeptOnlyAsHashes) {
    AccountRig rig;
    const auto code = rig.requestCode("  Owner@Example.COM ");
    const auto answer = rig.post("/v1/auth/verify",
                                 json{{"email", owner}, {"login_id", "login-1"}, {"code", code}, {"client", "web"}});
    ASSERT_EQ(answer.status, 200);
    const auto& body = answer.body;
    EXPECT_EQ(body["user"]["email"], owner);
    EXPECT_EQ(body["expires_in"], RelayLimits::accessSeconds);
    const auto access = body["access_token"].get<std::string>(), refresh = body["refresh_token"].get<std::string>();
    EXPECT_NE(access, refresh);
    EXPECT_LE(refresh.size(), 512u);
    for (const auto& token : {access, refresh}) EXPECT_TRUE(base64url(token)) << token;
    ASSERT_EQ(rig.store.tokens.size(), 2u);
    for (const auto& [hash, token] : rig.store.tokens) {
        EXPECT_NE(hash, access);
        EXPECT_NE(hash, refresh);
        EXPECT_TRUE(hash == Secure::sha256Hex(access) || hash == Secure::sha256Hex(refresh));
        EXPECT_EQ(token.client, "web");
    }
    // The same address signs in to the same account; no log line holds a
    // code or a token.
    EXPECT_EQ(rig.signIn(owner)["user"]["id"], body["user"]["id"]);
    for (const auto& line : rig.logs) {
        EXPECT_EQ(line.find(code), std::string::npos) << line;
        EXPECT_EQ(line.find(access), std::string::npos) << line;
    }
}

TEST(RelayAccountsCodes, CodesAreSixRandomDigits) {
    AccountRig rig;
    std::set<std::string> seen;
    for (int i = 0; i < 30; ++i) {
        rig.advance(RelayLimits::codeWindowSeconds);
        const auto code = rig.requestCode("person" + std::to_string(i) + "@example.com", "l", "203.0.113." + std::to_string(i));
        ASSERT_EQ(code.size(), 6u);
        EXPECT_EQ(code.find_first_not_of("0123456789"), std::string::npos);
        seen.insert(code);
    }
    EXPECT_GT(seen.size(), 25u);
}

TEST(RelayAccountsCodes, BadAddressesAndMissingFieldsAreRefusedWithTheirWords) {
    struct Case {
        std::string path;
        json body;
        int status;
        std::string word;
    };
    const std::vector<Case> cases = {
        {"/v1/auth/code", {{"email", "no-at-sign"}, {"login_id", "l"}}, 400, "invalid-email"},
        {"/v1/auth/code", {{"email", "a@b"}, {"login_id", "l"}}, 400, "invalid-email"},
        {"/v1/auth/code", {{"email", "a b@example.com"}, {"login_id", "l"}}, 400, "invalid-email"},
        {"/v1/auth/code", {{"email", ".a@example.com"}, {"login_id", "l"}}, 400, "invalid-email"},
        {"/v1/auth/code", {{"email", "a@-example.com"}, {"login_id", "l"}}, 400, "invalid-email"},
        {"/v1/auth/code", {{"email", 7}, {"login_id", "l"}}, 400, "invalid-email"},
        {"/v1/auth/code", {{"email", owner}}, 400, "bad-request"},
        {"/v1/auth/verify", {{"email", "x"}, {"login_id", "l"}, {"code", "123456"}, {"client", "mac"}}, 400, "invalid-email"},
        {"/v1/auth/verify", {{"email", owner}, {"login_id", "l"}, {"code", "123456"}, {"client", "tv"}}, 400, "bad-request"},
        {"/v1/nothing", json::object(), 404, "not-found"},
    };
    for (const auto& c : cases) {
        AccountRig rig;
        const auto answer = rig.post(c.path, c.body);
        EXPECT_EQ(answer.status, c.status) << c.body.dump();
        EXPECT_EQ(answer.body["error"], c.word) << c.body.dump();
        EXPECT_FALSE(answer.delivery);
    }
    AccountRig rig;
    RelayRequest notJson;
    notJson.method = "POST";
    notJson.target = "/v1/auth/code";
    notJson.contentType = "text/plain";
    notJson.body = R"({"email":"owner@example.com"})";
    EXPECT_EQ(answerRequest(rig.accounts, notJson).status, 415);
    notJson.contentType = "application/json";
    notJson.body = "[1,";
    EXPECT_EQ(answerRequest(rig.accounts, notJson).status, 400);
}

// A code for `email` asked from /64 number `i` of one /48.
AccountAnswer askFromOneNetwork(RelayAccounts& accounts, const std::string& email, int i) {
    AccountCall call;
    call.endpoint = AccountEndpoint::code;
    call.body = json{{"email", email}, {"login_id", "l"}};
    call.client = "2001:db8:1:" + std::to_string(i) + "::/64";
    call.networks = {call.client, "2001:db8:1::/56", "2001:db8:1::/48"};
    return accounts.handle(call);
}

TEST(RelayAccountsCodes, RateLimitsPerAddressAndPerClientAnswerRetryAfter) {
    {
        AccountRig rig;
        // Counted per asking network: a stranger asking elsewhere leaves
        // the owner's own.
        for (int i = 0; i < RelayLimits::codesPerAddress; ++i)
            EXPECT_TRUE(askFromOneNetwork(rig.accounts, owner, i).delivery);
        const auto answer = askFromOneNetwork(rig.accounts, owner, 99);
        EXPECT_EQ(answer.status, 429);
        EXPECT_EQ(answer.body["error"], "try-later");
        EXPECT_EQ(answer.body["retry_after"], RelayLimits::codeWindowSeconds);
        EXPECT_FALSE(rig.requestCode(owner, "l", "198.51.100.7").empty());
        rig.advance(RelayLimits::codeWindowSeconds);
        EXPECT_TRUE(askFromOneNetwork(rig.accounts, owner, 99).delivery);
    }
    {
        AccountRig rig;
        for (int i = 0; i < RelayLimits::codesPerClient; ++i)
            EXPECT_FALSE(rig.requestCode("p" + std::to_string(i) + "@example.com").empty());
        EXPECT_EQ(rig.post("/v1/auth/code", json{{"email", "late@example.com"}, {"login_id", "l"}}).status, 429);
        // Another client is not held up by this one.
        EXPECT_FALSE(rig.requestCode("late@example.com", "l", "192.0.2.1").empty());
    }
    {
        // Tries of live codes: one that can sign no one in costs no count.
        AccountRig rig;
        for (int i = 0; i < RelayLimits::verifiesPerClient + 1; ++i)
            rig.requestCode("o" + std::to_string(i) + "@example.com", "l", "192.0.2." + std::to_string(i));
        int limited = 0;
        for (int i = 0; i < RelayLimits::verifiesPerClient + 1; ++i)
            limited += rig.post("/v1/auth/verify", json{{"email", "o" + std::to_string(i) + "@example.com"},
                                                        {"login_id", "l"},
                                                        {"code", "123456"},
                                                        {"client", "mac"}})
                           .status == 429;
        EXPECT_EQ(limited, 1);
    }
}

// Instances sharing one database count the code limits together: asked
// through either, the limit is reached as through one.
TEST(RelayAccountsCodes, CodeLimitsHoldAcrossInstancesSharingTheStore) {
    const auto via = [](RelayAccounts& accounts, const std::string& path, const json& body, const std::string& client) {
        return answerCall(accounts, "POST", path, body, "", client);
    };
    struct Case {
        const char* limit;
        int most;
        std::function<AccountAnswer(RelayAccounts&, int i)> call;
    };
    const Case cases[] = {
        {"codes for one address from one network", RelayLimits::codesPerAddress,
         [&](RelayAccounts& a, int i) { return askFromOneNetwork(a, owner, i); }},
        {"codes from one client", RelayLimits::codesPerClient,
         [&](RelayAccounts& a, int i) {
             return via(a, "/v1/auth/code", json{{"email", "p" + std::to_string(i) + "@example.com"}, {"login_id", "l"}},
                        "198.51.100.7");
         }},
        {"codes mailed to one mailbox, whatever the tag", RelayLimits::mailsPerMailbox,
         [&](RelayAccounts& a, int i) {
             return via(a, "/v1/auth/code", json{{"email", "box+" + std::to_string(i) + "@example.com"}, {"login_id", "l"}},
                        "203.0.113." + std::to_string(i));
         }},
        {"guesses at one address's codes from one network", RelayLimits::guessesAwayPerDay,
         [&](RelayAccounts& a, int i) {
             return via(a, "/v1/auth/verify",
                        json{{"email", "g@example.com"},
                             {"login_id", "l" + std::to_string(i)},
                             {"code", "123456"},
                             {"client", "mac"}},
                        "198.51.100.8");
         }},
        {"verifications from one client", RelayLimits::verifiesPerClient,
         [&](RelayAccounts& a, int i) {
             return via(a, "/v1/auth/verify",
                        json{{"email", "o" + std::to_string(i) + "@example.com"},
                             {"login_id", "l"},
                             {"code", "123456"},
                             {"client", "mac"}},
                        "198.51.100.7");
         }},
    };
    for (const auto& c : cases) {
        AccountRig rig;
        // Live codes to try: tries of a code that can sign no one in are
        // not counted.
        for (int i = 0; i <= c.most; ++i) {
            rig.requestCode("o" + std::to_string(i) + "@example.com", "l", "192.0.2." + std::to_string(i));
            rig.requestCode("g@example.com", "l" + std::to_string(i), "192.0.2." + std::to_string(100 + i));
        }
        RelayAccounts other(rig.store, RelayAccounts::Hooks{[&rig] { return rig.nowMillis; }, [](const std::string&) {}, {}, {}, {}},
                            true);
        RelayAccounts* instances[] = {&rig.accounts, &other};
        for (int i = 0; i < c.most; ++i) EXPECT_NE(c.call(*instances[i % 2], i).status, 429) << c.limit << " " << i;
        for (auto* instance : instances) {
            const auto refused = c.call(*instance, c.most);
            EXPECT_EQ(refused.status, 429) << c.limit;
            EXPECT_EQ(refused.body["error"], "try-later") << c.limit;
        }
    }
}

// The whole relay mails so many codes an hour, through every instance
// sharing its store: past it a code request is told to try later, or given
// again the code mailed to its address this hour; the log names the bound
// once however many are refused; the next hour mails again.
TEST(RelayAccountsCodes, TheRelaysMailInAnHourIsBoundedAndTheLogSaysSo) {
    AccountRig rig;
    RelayAccounts other(rig.store, RelayAccounts::Hooks{[&rig] { return rig.nowMillis; }, [](const std::string&) {}, {}, {}, {}},
                        true);
    const auto ask = [&](int i) {
        auto& accounts = i % 2 ? other : rig.accounts;
        auto answer = answerCall(accounts, "POST", "/v1/auth/code",
                                 json{{"email", "p" + std::to_string(i) + "@example.com"}, {"login_id", "l"}}, "",
                                 "10." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ".1");
        if (answer.delivery) answer = accounts.delivered(*answer.delivery, std::nullopt);
        return answer;
    };
    for (int i = 0; i < RelayLimits::mailsPerHour; ++i) {
        const auto mailed = ask(i);
        ASSERT_EQ(mailed.status, 200) << i;
        ASSERT_EQ(mailed.body[std::string(RelayCodeSent::sent)], true) << i;
    }
    rig.advance(60);
    for (int i = 0; i < 20; ++i) {
        const auto refused = ask(RelayLimits::mailsPerHour + 2 * i);
        EXPECT_EQ(refused.status, 503);
        EXPECT_EQ(refused.body["error"], "try-later");
        EXPECT_GE(refused.body["retry_after"].get<int>(), RelayLimits::mailHourSeconds - 120);
        EXPECT_LE(refused.body["retry_after"].get<int>(), RelayLimits::mailHourSeconds);
    }
    const auto again = ask(0);
    EXPECT_EQ(again.status, 200);
    EXPECT_EQ(again.body[std::string(RelayCodeSent::sent)], false) << "the code mailed to it this hour stands";
    EXPECT_EQ(std::count_if(rig.logs.begin(), rig.logs.end(),
                            [](const std::string& line) { return line.find("codes this hour, its bound") != std::string::npos; }),
              1);
    rig.advance(RelayLimits::mailHourSeconds);
    EXPECT_EQ(ask(5'000).body[std::string(RelayCodeSent::sent)], true);
}

// Each guess spends a try before its code is compared, even when another
// instance guesses the same code in between: no more guesses are compared
// than the code allows.
TEST(RelayAccountsCodes, EachGuessSpendsATryWhileAnotherInstanceGuessesTheSameCode) {
    AccountRig rig;
    RelayAccounts other(rig.store,
                        RelayAccounts::Hooks{[&rig] { return rig.nowMillis; },
                                             [&rig](const std::string& line) { rig.logs.push_back(line); }, {}, {}, {}},
                        true);
    const auto code = rig.requestCode(owner);
    const json guess{{"email", owner}, {"login_id", "login-1"}, {"code", code == "000000" ? "000001" : "000000"}, {"client", "mac"}};
    bool meanwhile = false;
    rig.store.afterCodeRead = [&] {
        if (std::exchange(meanwhile, true)) return;
        rig.nowMillis += ThrottledLine::defaultEveryMillis;
        answerCall(other, "POST", "/v1/auth/verify", guess, "", "192.0.2.9");
        meanwhile = false;
    };
    for (int i = 0; i < RelayLimits::codeTries; ++i) {
        EXPECT_EQ(rig.post("/v1/auth/verify", guess).status, 400);
        // Each comparison's line said, not folded into the next.
        rig.nowMillis += ThrottledLine::defaultEveryMillis;
    }
    rig.store.afterCodeRead = nullptr;

    const auto compared = std::count_if(rig.logs.begin(), rig.logs.end(),
                                        [](const auto& line) { return line.find("wrong code") != std::string::npos; });
    EXPECT_EQ(compared, RelayLimits::codeTries);
    const auto right = rig.post("/v1/auth/verify", json{{"email", owner}, {"login_id", "login-1"}, {"code", code}, {"client", "mac"}});
    EXPECT_EQ(right.body, (json{{"error", "invalid-code"}, {"tries_left", 0}}));
}

TEST(RelayAccountsCodes, ACodeThatCouldNotBeSentIsForgottenAndSaysTryLater) {
    AccountRig rig;
    const auto pending = rig.post("/v1/auth/code", json{{"email", owner}, {"login_id", "l"}});
    ASSERT_TRUE(pending.delivery);
    EXPECT_EQ(rig.store.codes.size(), 1u);
    const auto answer = rig.accounts.delivered(*pending.delivery, std::string("connection refused"));
    EXPECT_EQ(answer.status, 503);
    EXPECT_EQ(answer.body["error"], "try-later");
    EXPECT_TRUE(rig.store.codes.empty());

    MemoryStore store;
    RelayAccounts unconfigured(store, RelayAccounts::Hooks{[] { return 0; }, [](const std::string&) {}, {}, {}, {}}, false);
    const auto refused = answerCall(unconfigured, "POST", "/v1/auth/code", json{{"email", owner}, {"login_id", "l"}});
    EXPECT_EQ(refused.status, 503);
    EXPECT_EQ(refused.body["error"], "not-configured");
}

TEST(RelayAccountsCodes, ABrokenStoreAnswersTryLater) {
    AccountRig rig;
    const auto session = rig.signIn(owner);
    rig.store.broken = true;
    for (const auto& path : {"/v1/auth/code", "/v1/auth/verify", "/v1/auth/refresh", "/v1/auth/signout", "/v1/hosts"}) {
        const auto answer = rig.post(path,
                                     json{{"email", owner},
                                          {"login_id", "l"},
                                          {"code", "123456"},
                                          {"client", "mac"},
                                          {"refresh_token", session["refresh_token"]}},
                                     session["access_token"]);
        EXPECT_EQ(answer.status, 503) << path;
        EXPECT_EQ(answer.body["error"], "try-later") << path;
    }
}

TEST(RelayAccountsTokens, RefreshSpendsTheOldTokenAndSignOutRevokesTheSession) {
    AccountRig rig;
    const auto first = rig.signIn(owner, "web");
    const auto renewed = rig.post("/v1/auth/refresh", json{{"refresh_token", first["refresh_token"]}});
    ASSERT_EQ(renewed.status, 200);
    EXPECT_EQ(renewed.body["user"]["id"], first["user"]["id"]);
    EXPECT_NE(renewed.body["refresh_token"], first["refresh_token"]);
    // Spent: the same refresh token works once.
    EXPECT_EQ(rig.post("/v1/auth/refresh", json{{"refresh_token", first["refresh_token"]}}).status, 401);
    EXPECT_EQ(rig.call("GET", "/v1/hosts", nullptr, renewed.body["access_token"]).status, 200);

    // Signing out ends the session: its refresh token, and its access
    // tokens old and new.
    EXPECT_EQ(rig.post("/v1/auth/signout", json{{"refresh_token", renewed.body["refresh_token"]}}).body, (json{{"ok", true}}));
    // Its device connections are to close, on every instance.
    EXPECT_EQ(rig.signedOutSessions, std::vector<std::string>{tokenSession(first["refresh_token"])});
    EXPECT_EQ(rig.post("/v1/auth/refresh", json{{"refresh_token", renewed.body["refresh_token"]}}).status, 401);
    EXPECT_EQ(rig.call("GET", "/v1/hosts", nullptr, renewed.body["access_token"]).status, 401);
    EXPECT_EQ(rig.call("GET", "/v1/hosts", nullptr, first["access_token"]).status, 401);
    // A sign-out of nothing is done too.
    EXPECT_EQ(rig.post("/v1/auth/signout", json{{"refresh_token", "nothing"}}).body, (json{{"ok", true}}));
    EXPECT_EQ(rig.signedOutSessions.size(), 1u);

    // Access tokens expire.
    const auto other = rig.signIn("other@example.com");
    rig.advance(RelayLimits::accessSeconds);
    EXPECT_EQ(rig.call("GET", "/v1/hosts", nullptr, other["access_token"]).status, 401);
    EXPECT_EQ(rig.post("/v1/auth/refresh", json{{"refresh_token", other["refresh_token"]}}).status, 200);
    EXPECT_EQ(rig.call("GET", "/v1/hosts", nullptr, "").status, 401);
    EXPECT_EQ(rig.call("GET", "/v1/hosts", nullptr, other["refresh_token"]).status, 401);
}

// An address taken off the list (the relay started again with a new one)
// signs in no more: its refresh and the access it holds are refused at
// once, and nothing else of it is lost; put back, the same sign-in
// refreshes again.
TEST(RelayAccountsTokens, AnAddressTakenOffTheListIsRefusedAtOnceAndKeepsTheRest) {
    AccountRig rig;
    const auto session = rig.signIn("kid@family.example", "web");
    ASSERT_EQ(rig.registerComputer(newComputer(), session).status, 201);
    const auto ownerSession = rig.signIn(owner, "web", "login-2");
    const auto restarted = [&rig](std::vector<std::string> entries) {
        return std::make_unique<RelayAccounts>(
            rig.store, RelayAccounts::Hooks{[&rig] { return rig.nowMillis; }, [](const std::string&) {}, {}, {}, {}}, true,
            std::get<AccountList>(AccountList::parse(entries)));
    };
    const auto refresh = [](RelayAccounts& accounts, const json& tokens) {
        return answerCall(accounts, "POST", "/v1/auth/refresh", json{{"refresh_token", tokens["refresh_token"]}});
    };

    auto without = restarted({owner});
    const auto refused = refresh(*without, session);
    EXPECT_EQ(refused.status, 403);
    EXPECT_EQ(refused.body, (json{{"error", "not-invited"}}));
    EXPECT_EQ(refresh(*without, ownerSession).status, 200) << "a listed address refreshes";
    EXPECT_EQ(answerCall(*without, "GET", "/v1/hosts", nullptr, session["access_token"]).body, (json{{"error", "not-invited"}}))
        << "the access it holds is refused at once";
    EXPECT_EQ(answerCall(*without, "GET", "/v1/hosts", nullptr, ownerSession["access_token"]).status, 200);
    EXPECT_EQ(answerCall(*without, "POST", "/v1/auth/code", json{{"email", "kid@family.example"}, {"login_id", "l"}}).status,
              403);

    auto back = restarted({owner, "@family.example"});
    const auto again = refresh(*back, session);
    EXPECT_EQ(again.status, 200);
    EXPECT_EQ(answerCall(*back, "GET", "/v1/hosts", nullptr, again.body["access_token"]).body["hosts"].size(), 1u)
        << "its computer is still on its account";
}

// A store that fails while a call's new tokens are stored answers
// try-later and keeps none of them: a refresh leaves the old refresh token
// as it was, for the next try, and a sign-in leaves no access token without
// its refresh token.
TEST(RelayAccountsTokens, TokensTheStoreFailsPartWayAreNoneOfThemKept) {
    AccountRig rig;
    const auto first = rig.signIn(owner, "web");
    int puts = 0;
    rig.store.beforeTokenPut = [&puts] {
        if (++puts % 2 == 0) throw RelayStoreError("the database went away");
    };
    const auto failed = rig.post("/v1/auth/refresh", json{{"refresh_token", first["refresh_token"]}});
    EXPECT_EQ(failed.status, 503);
    EXPECT_EQ(failed.body["error"], "try-later");
    EXPECT_EQ(rig.signIn("other@example.com", "web"), json()) << "the sign-in failed too";
    EXPECT_EQ(rig.store.tokens.size(), 2u) << "the first sign-in's: the failed calls left none";
    rig.store.beforeTokenPut = nullptr;
    const auto renewed = rig.post("/v1/auth/refresh", json{{"refresh_token", first["refresh_token"]}});
    ASSERT_EQ(renewed.status, 200);
    EXPECT_EQ(rig.call("GET", "/v1/hosts", nullptr, renewed.body["access_token"]).status, 200);
    EXPECT_EQ(rig.store.tokens.size(), 3u) << "the first access token, the new access and refresh tokens";
}

// Instances sharing one database: a sign-out through one holds on the
// other at once, for its access tokens and for a ticket made before it,
// and is forgotten once no access token it covers can be alive.
TEST(RelayAccountsTokens, ASignOutThroughOneInstanceHoldsOnAnother) {
    AccountRig rig;
    RelayAccounts other(rig.store, RelayAccounts::Hooks{[&rig] { return rig.nowMillis; }, [](const std::string&) {}, {}, {}, {}},
                        true);
    const auto onOther = [&](const std::string& method, const std::string& path, const json& session) {
        return answerCall(other, method, path, json::object(), session["access_token"].get<std::string>(), "x");
    };
    const auto session = rig.signIn(owner, "web");
    const auto bystander = rig.signIn("bystander@example.com", "web", "login-2");
    const auto computer = newComputer();
    const auto room = RelayBytes::hex(computer.roomID());
    ASSERT_EQ(rig.registerComputer(computer, session).status, 201);
    ASSERT_EQ(onOther("GET", "/v1/hosts", session).status, 200);
    const auto ticket = rig.ticketFor(room, session);
    ASSERT_FALSE(ticket.empty());

    ASSERT_EQ(rig.post("/v1/auth/signout", json{{"refresh_token", session["refresh_token"]}}).status, 200);
    EXPECT_EQ(onOther("GET", "/v1/hosts", session).status, 401);
    EXPECT_EQ(onOther("POST", "/v1/hosts/" + room + "/ticket", session).status, 401);
    EXPECT_EQ(other.admitDevice(room, ticket).closeCode, 4401);
    EXPECT_EQ(onOther("GET", "/v1/hosts", bystander).status, 200) << "only the one sign-in ends";

    // Kept past the last access token it covers, then purged.
    rig.advance(RelayLimits::accessSeconds);
    other.purge();
    EXPECT_EQ(rig.store.signOuts.size(), 1u);
    rig.advance(RelayLimits::signOutMarginSeconds);
    other.purge();
    EXPECT_TRUE(rig.store.signOuts.empty());
}

TEST(RelayAccountsHosts, RegistrationIsCheckedAndIdempotent) {
    AccountRig rig;
    const auto session = rig.signIn(owner);
    const auto userId = session["user"]["id"].get<std::string>();
    const auto computer = newComputer();
    const auto room = RelayBytes::hex(computer.roomID());
    const auto ts = static_cast<std::uint64_t>(rig.seconds());

    const auto created = rig.registerComputer(computer, session, "Study desk");
    EXPECT_EQ(created.status, 201);
    EXPECT_EQ(created.body, (json{{"host", {{"room", room}, {"name", "Study desk"}}}}));
    const auto again = rig.registerComputer(computer, session, "Attic");
    EXPECT_EQ(again.status, 200);
    EXPECT_EQ(rig.store.hosts.at(room).name, "Attic");

    struct Case {
        const char* name;
        std::function<json()> body;
        int status;
        std::string word;
    };
    const auto nonce = Secure::randomBytes(16);
    const auto once = signedBody(computer, userId, ts, nonce, true);
    ASSERT_EQ(rig.post("/v1/hosts", once, session["access_token"]).status, 200);
    const std::vector<Case> cases = {
        {"a replayed proof", [&] { return once; }, 401, "bad-proof"},
        {"another user's proof",
         [&] { return signedBody(computer, "00000000-0000-0000-0000-000000000000", ts, Secure::randomBytes(16), true); },
         401, "bad-proof"},
        {"another key's signature",
         [&] {
             auto body = signedBody(computer, userId, ts, Secure::randomBytes(16), true);
             body["sig"] = newComputer().registerProof(userId, ts, Secure::randomBytes(16));
             return body;
         },
         401, "bad-proof"},
        {"a changed name under the signature",
         [&] {
             auto body = signedBody(computer, userId, ts, Secure::randomBytes(16), true);
             body["ts"] = ts + 1;
             return body;
         },
         401, "bad-proof"},
        {"a clock too far behind",
         [&] { return signedBody(computer, userId, ts - RelayLimits::proofWindowSeconds - 1, Secure::randomBytes(16), true); },
         401, "bad-proof"},
        {"a clock too far ahead",
         [&] { return signedBody(computer, userId, ts + RelayLimits::proofWindowSeconds + 1, Secure::randomBytes(16), true); },
         401, "bad-proof"},
        {"a short key",
         [&] {
             auto body = signedBody(computer, userId, ts, Secure::randomBytes(16), true);
             body["public_key"] = RelayBytes::b64u(Bytes(33, 2));
             return body;
         },
         400, "bad-request"},
        {"a negative time",
         [&] {
             auto body = signedBody(computer, userId, ts, Secure::randomBytes(16), true);
             body["ts"] = -1;
             return body;
         },
         400, "bad-request"},
        {"a name with a line break",
         [&] { return signedBody(computer, userId, ts, Secure::randomBytes(16), true, "a\nb"); }, 400, "bad-request"},
    };
    for (const auto& c : cases) {
        const auto answer = rig.post("/v1/hosts", c.body(), session["access_token"]);
        EXPECT_EQ(answer.status, c.status) << c.name;
        EXPECT_EQ(answer.body["error"], c.word) << c.name;
    }
    EXPECT_EQ(rig.store.hosts.size(), 1u);

    // Without a live bearer nothing is registered.
    EXPECT_EQ(rig.post("/v1/hosts", signedBody(newComputer(), userId, ts, Secure::randomBytes(16), true)).status, 401);

    // Another account cannot take this computer.
    const auto thief = rig.signIn("thief@example.com", "mac", "login-9");
    const auto taken = rig.registerComputer(computer, thief);
    EXPECT_EQ(taken.status, 409);
    EXPECT_EQ(taken.body["error"], "host-taken");
}

TEST(RelayAccountsHosts, AnAccountKeepsAtMostTenComputers) {
    AccountRig rig;
    const auto session = rig.signIn(owner);
    for (int i = 0; i < RelayLimits::hostsPerAccount; ++i) EXPECT_EQ(rig.registerComputer(newComputer(), session).status, 201);
    const auto refused = rig.registerComputer(newComputer(), session);
    EXPECT_EQ(refused.status, 403);
    EXPECT_EQ(refused.body["error"], "host-limit");
    const auto listed = rig.call("GET", "/v1/hosts", nullptr, session["access_token"]);
    EXPECT_EQ(listed.body["hosts"].size(), 10u);
}

TEST(RelayAccountsHosts, RemovalIsSignedAndAlwaysFinishes) {
    AccountRig rig;
    const auto session = rig.signIn(owner);
    const auto computer = newComputer();
    const auto room = RelayBytes::hex(computer.roomID());
    ASSERT_EQ(rig.registerComputer(computer, session).status, 201);
    const auto ts = static_cast<std::uint64_t>(rig.seconds());

    // A signature by another key, or a replayed one, removes nothing.
    auto forged = signedBody(computer, "", ts, Secure::randomBytes(16), false);
    forged["sig"] = newComputer().removeProof(ts, Secure::randomBytes(16));
    EXPECT_EQ(rig.post("/v1/hosts/self/delete", forged).body["error"], "bad-proof");
    EXPECT_EQ(rig.store.hosts.size(), 1u);

    const auto body = signedBody(computer, "", ts, Secure::randomBytes(16), false);
    EXPECT_EQ(rig.post("/v1/hosts/self/delete", body).body, (json{{"ok", true}}));
    EXPECT_TRUE(rig.store.hosts.empty());
    EXPECT_EQ(rig.removedRooms, std::vector<std::string>{room});
    EXPECT_EQ(rig.post("/v1/hosts/self/delete", body).body["error"], "bad-proof");
    // Removing a computer no longer registered is done.
    EXPECT_EQ(rig.post("/v1/hosts/self/delete", signedBody(computer, "", ts, Secure::randomBytes(16), false)).body,
              (json{{"ok", true}}));
    EXPECT_EQ(rig.removedRooms.size(), 1u);
}

TEST(RelayAccountsHosts, TheListShowsOnlyTheAccountsComputersAndWhetherTheyAreOnline) {
    AccountRig rig;
    const auto session = rig.signIn(owner, "web");
    const auto mine = newComputer(), theirs = newComputer();
    rig.registerComputer(mine, session, "Desk");
    rig.registerComputer(theirs, rig.signIn("other@example.com", "mac", "login-2"), "Other");
    rig.onlineRooms.insert(RelayBytes::hex(mine.roomID()));
    const auto listed = rig.call("GET", "/v1/hosts", nullptr, session["access_token"]);
    EXPECT_EQ(listed.body,
              (json{{"hosts", {{{"room", RelayBytes::hex(mine.roomID())}, {"name", "Desk"}, {"online", true}}}}}));
}

// Instances sharing a database: a computer is online wherever its link is
// held, as the holder's fresh presence row says, and a device's admission
// names that holder for the rooms to wait on.
TEST(RelayAccountsHosts, TheListAndTheAdmissionsReadWhoHoldsEachLinkFromTheStore) {
    struct Case {
        const char* name;
        std::optional<std::int64_t> seenSecondsAgo;  // the row's last refresh, absent for no row
        bool linkHere;
        // How far the database's clock is behind this instance's: the rows
        // are judged by the database's alone.
        std::int64_t databaseBehind;
        bool online;
        std::string holder;
    };
    const auto fresh = RelayLimits::presenceFreshSeconds;
    const std::vector<Case> cases = {
        {"no link anywhere", std::nullopt, false, 0, false, ""},
        {"held by another instance", 0, false, 0, true, "there"},
        {"refreshed as long ago as still counts", fresh, false, 0, true, "there"},
        {"an instance that stopped refreshing", fresh + 1, false, 0, false, ""},
        {"up here, its row not written yet", std::nullopt, true, 0, true, ""},
        {"held elsewhere, the database's clock 20 s behind ours", 0, false, 20, true, "there"},
        {"stale by the database's clock, fresh by ours", fresh + 1, false, -20, false, ""},
    };
    for (const auto& c : cases) {
        AccountRig rig;
        const auto session = rig.signIn(owner, "web");
        const auto computer = newComputer();
        const auto room = RelayBytes::hex(computer.roomID());
        rig.registerComputer(computer, session, "Desk");
        const auto database = rig.seconds() - c.databaseBehind;
        if (c.seenSecondsAgo) {
            rig.store.clockSeconds = database - *c.seenSecondsAgo;
            rig.store.putPresence(room, "there");
        }
        rig.store.clockSeconds = database;
        if (c.linkHere) rig.onlineRooms.insert(room);
        const auto listed = rig.call("GET", "/v1/hosts", nullptr, session["access_token"]);
        EXPECT_EQ(listed.body, (json{{"hosts", {{{"room", room}, {"name", "Desk"}, {"online", c.online}}}}})) << c.name;
        const auto admitted = rig.accounts.admitDevice(room, rig.ticketFor(room, session));
        EXPECT_EQ(admitted.closeCode, 0) << c.name;
        EXPECT_EQ(admitted.holder, c.holder) << c.name;
    }
}

TEST(RelayAccountsAdmission, TicketsOpenOneRoomOfTheirAccountOnce) {
    AccountRig rig;
    const auto session = rig.signIn(owner, "web");
    const auto computer = newComputer();
    const auto room = RelayBytes::hex(computer.roomID());
    rig.registerComputer(computer, session);
    const auto otherRoom = RelayBytes::hex(newComputer().roomID());

    const auto ticket = rig.ticketFor(room, session);
    ASSERT_TRUE(base64url(ticket)) << ticket;
    // A ticket is asked for with the bearer alone, no body needed.
    RelayRequest request;
    const auto target = "/v1/hosts/" + room + "/ticket";
    const auto authorization = "Bearer " + session["access_token"].get<std::string>();
    request.method = "POST";
    request.target = target;
    request.authorization = authorization;
    const auto bare = answerRequest(rig.accounts, request);
    EXPECT_EQ(bare.status, 200);
    EXPECT_EQ(rig.accounts.admitDevice(otherRoom, ticket).reason, "ticket-refused");
    const auto admitted = rig.accounts.admitDevice(room, ticket);
    EXPECT_EQ(admitted.closeCode, 0);
    EXPECT_EQ(admitted.userId, session["user"]["id"]);
    EXPECT_EQ(admitted.session, tokenSession(session["access_token"]));
    EXPECT_EQ(rig.accounts.admitDevice(room, ticket).closeCode, 4401);

    const auto late = rig.ticketFor(room, session);
    rig.advance(RelayLimits::ticketSeconds);
    EXPECT_EQ(rig.accounts.admitDevice(room, late).closeCode, 4401);
    EXPECT_EQ(rig.accounts.admitDevice(room, "").closeCode, 4401);
    EXPECT_EQ(rig.accounts.admitDevice(room, "made.up").closeCode, 4401);

    // A device of another account gets no ticket for this room.
    const auto stranger = rig.signIn("stranger@example.com", "web", "login-3");
    const auto refused = rig.post("/v1/hosts/" + room + "/ticket", json::object(), stranger["access_token"]);
    EXPECT_EQ(refused.status, 404);
    EXPECT_EQ(refused.body["error"], "unknown-host");

    // The computer left the account after the ticket was made.
    const auto before = rig.ticketFor(room, session);
    rig.store.hosts.clear();
    EXPECT_EQ(rig.accounts.admitDevice(room, before).closeCode, 4404);
}

TEST(RelayAccountsAdmission, AHostsHelloMustBeSignedFreshAndNew) {
    AccountRig rig;
    const auto session = rig.signIn(owner);
    const auto computer = newComputer();
    const auto room = RelayBytes::hex(computer.roomID());
    const auto now = static_cast<std::uint64_t>(rig.seconds());
    EXPECT_EQ(rig.accounts.admitHost(room, computer.helloHeader(now, Secure::randomBytes(16))).status, 410);
    rig.registerComputer(computer, session);

    const auto hello = computer.helloHeader(now, Secure::randomBytes(16));
    const auto admitted = rig.accounts.admitHost(room, hello);
    EXPECT_EQ(admitted.status, 0);
    EXPECT_EQ(admitted.publicKey, computer.hostPublicKey());
    struct Case {
        const char* name;
        std::string header;
    };
    const std::vector<Case> cases = {
        {"a replayed hello", hello},
        {"another key's hello", newComputer().helloHeader(now, Secure::randomBytes(16))},
        {"an old hello", computer.helloHeader(now - RelayLimits::proofWindowSeconds - 1, Secure::randomBytes(16))},
        {"no hello", ""},
        {"a malformed hello", "v1.x.y.z"},
        {"another version", "v2" + hello.substr(2)},
    };
    for (const auto& c : cases) EXPECT_EQ(rig.accounts.admitHost(room, c.header).status, 401) << c.name;
    EXPECT_EQ(rig.accounts.admitHost("not-a-room", hello).status, 410);
}

}  // namespace
}  // namespace morvane::relay_service::testing

#include "relay/relay_account.h"

#include <gtest/gtest.h>

#include <thread>

#include "relay/relay_bytes.h"

namespace morvane {
namespace {

using nlohmann::json;
using FailureKind = RelayAccountFailure::Kind;
using Step = RelayAccountTexts::Step;

// Answers each request with what the test queued, and keeps the requests.
class ScriptedHttp final : public RelayHttpTransport {
public:
    std::vector<RelayHttpRequest> requests;
    std::vector<RelayHttpAnswer> answers;
    std::vector<std::function<void()>> later;
    struct Task final : RelayHttpTask {
        bool cancelled = false;
        void cancel() override { cancelled = true; }
    };
    std::shared_ptr<RelayHttpTask> post(RelayHttpRequest request, std::function<void(RelayHttpAnswer)> done) override {
        requests.push_back(std::move(request));
        auto answer = answers.empty() ? RelayHttpAnswer{} : answers.front();
        if (!answers.empty()) answers.erase(answers.begin());
        later.push_back([done = std::move(done), answer] { done(answer); });
        return std::make_shared<Task>();
    }
    void run() {
        auto work = std::move(later);
        later.clear();
        for (auto& w : work) w();
    }
};

RelayHttpAnswer answered(int status, const std::string& body) {
    return {RelayHttpAnswer::Kind::answered, status, body.empty() ? std::nullopt : std::optional<Bytes>(Bytes(body.begin(), body.end())), {}};
}

const std::string userID = "0123abcd-4567-89ef-0123-456789abcdef";

TEST(RelayAccount, OriginsMustBeHttpsOrLoopbackHttpWithoutPathQueryOrUser) {
    auto http = std::make_shared<ScriptedHttp>();
    for (const char* good : {"https://relay.example.com", "https://relay.example.com/", "https://relay.example.com:8443",
                             "http://127.0.0.1:9000", "http://localhost", "HTTPS://Relay.Example.com"})
        EXPECT_TRUE(RelayAccount::create(good, http, systemWallMillis)) << good;
    for (const char* bad : {"http://relay.example.com", "http://127.0.0.2", "https://relay.example.com/api",
                            "https://relay.example.com?x", "https://relay.example.com#x", "https://user@relay.example.com",
                            "wss://relay.example.com", "https://", "relay.example.com", ""})
        EXPECT_FALSE(RelayAccount::create(bad, http, systemWallMillis)) << bad;
}

TEST(RelayAccount, EmailAddressesAreTrimmedLowerCasedAndCheckedPieceByPiece) {
    const std::string local64(64, 'a'), local65(65, 'a');
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"  Owner@Example.COM \n", "owner@example.com"},
        {"first.last+tag@mail.example.org", "first.last+tag@mail.example.org"},
        {local64 + "@example.com", local64 + "@example.com"},
        {local65 + "@example.com", std::nullopt},
        {"owner@example", std::nullopt},
        {".owner@example.com", std::nullopt},
        {"owner.@example.com", std::nullopt},
        {"ow..ner@example.com", std::nullopt},
        {"owner@-example.com", std::nullopt},
        {"owner@example-.com", std::nullopt},
        {"owner@exa_mple.com", std::nullopt},
        {"ow ner@example.com", std::nullopt},
        {"owné@example.com", std::nullopt},
        {"owner@@example.com", std::nullopt},
        {"owner@a@example.com", std::nullopt},
        {"owner@example..com", std::nullopt},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"a@" + std::string(250, 'b') + ".com", std::nullopt},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(RelayAccount::normalizeEmail(in), out) << in;
}

TEST(RelayAccount, CodesAreSixDigitsWithBlanksAndHyphensIgnored) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"123456", "123456"}, {"123 456", "123456"}, {"123-456", "123456"}, {" 12 34\n56 ", "123456"},
        {"12345", std::nullopt}, {"1234567", std::nullopt}, {"12345a", std::nullopt}, {"١٢٣٤٥٦", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(RelayAccount::normalizeCode(in), out) << in;
}

TEST(RelayAccount, HostNamesLoseControlsAndDirectionOverridesAndAreCut) {
    EXPECT_EQ(RelayAccount::cleanHostName("   "), "Computer");
    EXPECT_EQ(RelayAccount::cleanHostName(""), "Computer");
    EXPECT_EQ(RelayAccount::cleanHostName("  Desk\x01top \n"), "Desktop");
    EXPECT_EQ(RelayAccount::cleanHostName("evil\u202Etxt.exe"), "eviltxt.exe");
    EXPECT_EQ(RelayAccount::cleanHostName("a\u2066b\u2069c\u2028"), "abc");
    EXPECT_EQ(RelayAccount::cleanHostName("Cafe\u0301"), "Caf\u00e9");  // composed
    const std::string hundred(100, 'x');
    EXPECT_EQ(RelayAccount::cleanHostName(hundred), std::string(64, 'x'));
    std::string wide;
    for (int i = 0; i < 70; ++i) wide += "\u00e9";
    EXPECT_EQ(RelayAccount::cleanHostName(wide).size(), 128u);  // 64 scalars of 2 bytes
    EXPECT_EQ(RelayAccount::cleanHostName(std::string(63, 'x') + "   y"), std::string(63, 'x'));
}

TEST(RelayAccount, UserIdsAreLowerCaseUuids) {
    EXPECT_TRUE(RelayAccount::isUserId(userID));
    std::string upper = userID;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_FALSE(RelayAccount::isUserId(upper));
    EXPECT_FALSE(RelayAccount::isUserId(userID.substr(1)));
    EXPECT_FALSE(RelayAccount::isUserId(std::string(userID).replace(8, 1, "0")));
    EXPECT_EQ(RelayAccount::newLoginID().size(), 22u);
    EXPECT_NE(RelayAccount::newLoginID(), RelayAccount::newLoginID());
}

TEST(RelayAccount, AnswersAreReadWithinTheirLimitAndRefusalsKeepTheirWords) {
    struct Case {
        int status;
        std::optional<std::string> body;
        RelayAccountResult<json> result;
    };
    const auto bad = RelayAccountFailure::of(FailureKind::badAnswer);
    const std::vector<Case> cases = {
        {200, R"({"ok":true})", json{{"ok", true}}},
        {204, std::nullopt, bad},
        {200, "[1]", bad},
        {200, "not json", bad},
        {404, std::nullopt, RelayAccountFailure::refused(404, "", std::nullopt)},
        {429, R"({"error":"slow-down","retry_after":30})", RelayAccountFailure::refused(429, "slow-down", 30)},
        {400, R"({"error":7,"retry_after":"30"})", RelayAccountFailure::refused(400, "", std::nullopt)},
        {400, R"({"retry_after":2.9})", RelayAccountFailure::refused(400, "", 2)},
        {503, "<html>", RelayAccountFailure::refused(503, "", std::nullopt)},
    };
    for (const auto& c : cases) {
        std::optional<Bytes> data;
        if (c.body) data = Bytes(c.body->begin(), c.body->end());
        EXPECT_EQ(RelayAccount::read(c.status, data), c.result) << c.status << " " << c.body.value_or("-");
    }
    std::string big = R"({"ok":true,"pad":")" + std::string(65'536, 'x') + "\"}";
    EXPECT_EQ(RelayAccount::read(200, Bytes(big.begin(), big.end())), RelayAccountResult<json>(bad));
    EXPECT_EQ(RelayAccount::read(400, Bytes(big.begin(), big.end())),
              RelayAccountResult<json>(RelayAccountFailure::refused(400, "", std::nullopt)));
}

TEST(RelayAccount, VerifyAnswersNeedTokensWithinLimitsAndAUserId) {
    auto answer = [](const std::string& access, const std::string& refresh, const json& user) {
        return json{{"access_token", access}, {"refresh_token", refresh}, {"user", user}};
    };
    const json user{{"id", userID}, {"email", "Other@Example.com"}};
    EXPECT_EQ(RelayAccount::session(answer("a", "r", user), "me@example.com"),
              (RelayAccountSession{"a", "r", userID, "other@example.com"}));
    EXPECT_EQ(RelayAccount::session(answer("a", "r", {{"id", userID}, {"email", "not an address"}}), "me@example.com")->email,
              "me@example.com");
    EXPECT_EQ(RelayAccount::session(answer("a", "r", {{"id", userID}}), "me@example.com")->email, "me@example.com");
    EXPECT_TRUE(RelayAccount::session(answer(std::string(4'096, 'a'), std::string(512, 'r'), user), "m@e.com"));
    EXPECT_FALSE(RelayAccount::session(answer(std::string(4'097, 'a'), "r", user), "m@e.com"));
    EXPECT_FALSE(RelayAccount::session(answer("a", std::string(513, 'r'), user), "m@e.com"));
    EXPECT_FALSE(RelayAccount::session(answer("", "r", user), "m@e.com"));
    EXPECT_FALSE(RelayAccount::session(answer("a", "r", {{"id", "nope"}}), "m@e.com"));
    EXPECT_FALSE(RelayAccount::session(answer("a", "r", "user"), "m@e.com"));
    EXPECT_FALSE(RelayAccount::session(json{{"access_token", "a"}, {"refresh_token", "r"}}, "m@e.com"));
}

TEST(RelayAccountTexts, EachStepWordsItsFailures) {
    auto refused = [](int status, const std::string& error) { return RelayAccountFailure::refused(status, error, std::nullopt); };
    const std::string signIn = "Could not reach the sign-in service. Check your connection, then try again.";
    const std::string tooMany = "Too many tries. Wait a few minutes, then try again.";
    const std::string untrusted =
        "This computer does not trust the certificate of the relay, so nothing was sent to it. If the relay uses a "
        "certificate of your own, add it to this computer's trusted certificates (copy it to "
        "/usr/local/share/ca-certificates/ and run sudo update-ca-certificates); otherwise check the relay's address. "
        "Morvane's log (host.log) says why.";
    struct Case {
        RelayAccountFailure failure;
        Step step;
        std::string text;
    };
    const std::vector<Case> cases = {
        {refused(400, "invalid-email"), Step::code, "Could not send a code. Check the address and try again."},
        {refused(429, ""), Step::code, "Too many codes were requested. Wait a few minutes, then try again."},
        {refused(503, "try-later"), Step::code, "The relay cannot send more codes right now. Try again later."},
        {refused(500, "try-later"), Step::code, signIn},
        {refused(501, "not-configured"), Step::code, "Sign-in is not available on this relay."},
        {RelayAccountFailure::of(FailureKind::unreachable), Step::code, signIn},
        {refused(400, "invalid-code"), Step::verify, "That code is wrong or has expired. Check it, or send a new code."},
        {refused(400, "invalid-email"), Step::verify, "Could not send a code. Check the address and try again."},
        {refused(429, "invalid-code"), Step::verify, "That code is wrong or has expired. Check it, or send a new code."},
        {refused(429, ""), Step::verify, tooMany},
        {refused(400, "not-configured"), Step::verify, "Sign-in is not available on this relay."},
        {refused(403, "not-invited"), Step::code,
         "This relay's owner has not let this address sign in. Ask them to add it, or use another."},
        {RelayAccountFailure::of(FailureKind::badAnswer), Step::verify, signIn},
        {refused(403, "host-limit"), Step::registration,
         "This account already has 10 computers. Remove one on another device, then try again."},
        {refused(401, "bad-proof"), Step::remove,
         "This computer's date and time look wrong. Correct them in the system settings, then try again."},
        {refused(429, ""), Step::registration, tooMany},
        {refused(400, "not-configured"), Step::remove, "This relay is not set up yet."},
        {refused(409, "host-taken"), Step::registration, "Could not reach the relay. Check your connection, then try again."},
        {RelayAccountFailure::of(FailureKind::cancelled), Step::remove, "Could not reach the relay. Check your connection, then try again."},
        {RelayAccountFailure::of(FailureKind::untrusted), Step::code, untrusted},
        {RelayAccountFailure::of(FailureKind::untrusted), Step::registration, untrusted},
    };
    for (const auto& c : cases) EXPECT_EQ(RelayAccountTexts::text(c.failure, c.step), c.text) << c.text;
}

TEST(RelayAccount, RequestsCarryTheirPathsHeadersAndSortedSignedBodies) {
    auto http = std::make_shared<ScriptedHttp>();
    auto account = RelayAccount::create("https://relay.example.com:8443/", http, [] { return std::int64_t{1'700'000'000'999}; });
    ASSERT_TRUE(account);
    const RelayIdentity identity{P256PrivateKey::generate(), P256PrivateKey::generate(), 0};
    account->sendCode("me@example.com", "login", [](auto) {});
    account->verify("me@example.com", "login", "123456", [](auto) {});
    account->registerHost(identity, {"token", "refresh", userID, "me@example.com"}, " My\u202E Box ", [](auto) {});
    account->removeSelf(identity, [](auto) {});
    account->signOut("refresh", [](auto) {});
    ASSERT_EQ(http->requests.size(), 5u);
    const std::vector<std::string> targets = {"/v1/auth/code", "/v1/auth/verify", "/v1/hosts", "/v1/hosts/self/delete",
                                              "/v1/auth/signout"};
    for (std::size_t i = 0; i < 5; ++i) {
        const auto& r = http->requests[i];
        EXPECT_EQ(r.target, targets[i]);
        EXPECT_EQ(r.url.host, "relay.example.com");
        EXPECT_EQ(r.url.port, 8443);
        EXPECT_EQ(r.timeoutMillis, 15'000);
        const bool bearer = std::any_of(r.headers.begin(), r.headers.end(), [](auto& h) { return h.first == "Authorization"; });
        EXPECT_EQ(bearer, i == 2) << r.target;
    }
    EXPECT_EQ(http->requests[0].body, R"({"email":"me@example.com","login_id":"login"})");
    EXPECT_EQ(http->requests[1].body, R"({"client":"mac","code":"123456","email":"me@example.com","login_id":"login"})");
    const auto reg = json::parse(http->requests[2].body);
    EXPECT_EQ(reg["name"], "My Box");
    EXPECT_EQ(reg["ts"], 1'700'000'000);
    EXPECT_EQ(reg["public_key"], identity.hostPublicKeyText());
    EXPECT_EQ(http->requests[2].body.find("{\"name\""), 0u);  // sorted keys
    const auto remove = json::parse(http->requests[3].body);
    EXPECT_NE(remove["nonce"], reg["nonce"]);  // a fresh nonce per signed request
    EXPECT_EQ(http->requests[4].body, R"({"refresh_token":"refresh"})");
}

TEST(RelayAccount, TransportOutcomesAndBadRequestsMapToTheirFailures) {
    auto http = std::make_shared<ScriptedHttp>();
    auto account = RelayAccount::create("https://relay.example.com", http, [] { return std::int64_t{-5'000}; });
    const RelayIdentity identity{P256PrivateKey::generate(), P256PrivateKey::generate(), 0};

    // A code request's answer: mailed, unless the relay says none was.
    std::vector<RelayAccountResult<bool>> results;
    auto keep = [&](RelayAccountResult<bool> r) { results.push_back(r); };
    http->answers = {answered(200, R"({"ok":true})"), answered(200, R"({"ok":true,"sent":false})"),
                     answered(200, R"({"ok":true,"sent":true})"), answered(200, R"({"ok":true,"sent":"no"})"),
                     answered(200, R"({"ok":false})"), answered(200, ""),
                     {RelayHttpAnswer::Kind::unreachable, 0, std::nullopt, {}},
                     {RelayHttpAnswer::Kind::untrusted, 0, std::nullopt, {}},
                     {RelayHttpAnswer::Kind::cancelled, 0, std::nullopt, {}}, answered(404, "")};
    for (int i = 0; i < 10; ++i) account->sendCode("me@example.com", "l", keep);
    http->run();
    const std::vector<RelayAccountResult<bool>> expected = {
        true, false, true, true, RelayAccountFailure::of(FailureKind::badAnswer), RelayAccountFailure::of(FailureKind::badAnswer),
        RelayAccountFailure::of(FailureKind::unreachable), RelayAccountFailure::of(FailureKind::untrusted),
        RelayAccountFailure::of(FailureKind::cancelled), RelayAccountFailure::refused(404, "", std::nullopt)};
    EXPECT_EQ(results, expected);

    // A request that cannot be built fails at once, inside the call, and
    // nothing is sent.
    results.clear();
    const auto before = http->requests.size();
    EXPECT_EQ(account->sendCode(std::string(9'000, 'a'), "l", keep), nullptr);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0], RelayAccountResult<bool>(RelayAccountFailure::of(FailureKind::badAnswer)));
    std::optional<RelayAccountResult<bool>> registered;
    EXPECT_EQ(account->registerHost(identity, {"t", "r", "not-a-user", "e"}, "n", [&](auto r) { registered = r; }), nullptr);
    EXPECT_EQ(registered, RelayAccountResult<bool>(RelayAccountFailure::of(FailureKind::badAnswer)));
    EXPECT_EQ(http->requests.size(), before);

    // Register: 201 is a new registration, another 2xx an existing one, and
    // a 2xx without a host object is a bad answer. A clock before 1970
    // signs with ts 0.
    std::vector<RelayAccountResult<bool>> regs;
    http->answers = {answered(201, R"({"host":{}})"), answered(200, R"({"host":{}})"), answered(200, R"({"host":1})")};
    for (int i = 0; i < 3; ++i)
        account->registerHost(identity, {"t", "r", userID, "e"}, "n", [&](auto r) { regs.push_back(r); });
    http->run();
    EXPECT_EQ(regs, (std::vector<RelayAccountResult<bool>>{true, false, RelayAccountFailure::of(FailureKind::badAnswer)}));
    EXPECT_EQ(json::parse(http->requests.back().body)["ts"], 0);
}

TEST(RelayPending, FirstValueCountsAndLateValuesGoToTheAbandonHandler) {
    RelayPending<int> pending;
    EXPECT_FALSE(pending.wait(0.01));
    pending.set(1);
    pending.set(2);
    EXPECT_EQ(pending.value(), 1);
    EXPECT_TRUE(pending.wait(0));
    std::vector<int> discarded;
    pending.abandon([&](int v) { discarded.push_back(v); });
    EXPECT_EQ(discarded, (std::vector<int>{1}));

    RelayPending<int> later;
    later.abandon([&](int v) { discarded.push_back(v * 10); });
    later.abandon([&](int v) { discarded.push_back(v * 100); });  // replaces the first handler
    std::thread setter([&] { later.set(3); });
    setter.join();
    EXPECT_EQ(discarded, (std::vector<int>{1, 300}));
    EXPECT_TRUE(later.wait(0));
}

TEST(RelayWaitOutcome, AnswersAreUsedUnlessCancelledAndDiscardable) {
    struct Case {
        bool cancelled, answered, discardable;
        RelayWaitOutcome outcome;
    };
    for (const auto& c : std::vector<Case>{{true, true, true, RelayWaitOutcome::discard},
                                           {true, true, false, RelayWaitOutcome::use},
                                           {false, true, true, RelayWaitOutcome::use},
                                           {false, true, false, RelayWaitOutcome::use},
                                           {true, false, true, RelayWaitOutcome::abandon},
                                           {false, false, true, RelayWaitOutcome::abandon},
                                           {true, false, false, RelayWaitOutcome::cancel},
                                           {false, false, false, RelayWaitOutcome::cancel}})
        EXPECT_EQ(decideRelayWait(c.cancelled, c.answered, c.discardable), c.outcome);
}

}  // namespace
}  // namespace morvane

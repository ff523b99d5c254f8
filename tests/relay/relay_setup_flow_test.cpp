#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "relay_controller_rig.h"

namespace morvane {
namespace {

using testing::ControllerRig;
using Lines = std::vector<std::string>;

// Answers account requests by path from a script; a held answer waits for
// the test to release it.
class ScriptedAccountHttp final : public RelayHttpTransport {
public:
    struct Task final : RelayHttpTask {
        void cancel() override { cancelled = true; }
        bool cancelled = false;
    };
    std::shared_ptr<RelayHttpTask> post(RelayHttpRequest request, std::function<void(RelayHttpAnswer)> done) override {
        targets.push_back(request.target);
        auto task = std::make_shared<Task>();
        auto& queue = script[request.target];
        const std::string ok = R"({"ok":true})";
        RelayHttpAnswer answer{RelayHttpAnswer::Kind::answered, 200, Bytes(ok.begin(), ok.end()), {}};
        if (!queue.empty()) {
            answer = queue.front();
            queue.pop_front();
        }
        if (hold == request.target) {
            held = [done, answer] { done(answer); };
        } else {
            done(answer);
        }
        return task;
    }
    void answer(const std::string& target, int status, const std::string& body) {
        script[target].push_back({RelayHttpAnswer::Kind::answered, status, Bytes(body.begin(), body.end()), {}});
    }
    int count(const std::string& target) const {
        return static_cast<int>(std::count(targets.begin(), targets.end(), target));
    }

    std::map<std::string, std::deque<RelayHttpAnswer>> script;
    Lines targets;
    std::string hold;
    std::function<void()> held;
};

const std::string session =
    R"({"access_token":"a","refresh_token":"r","user":{"id":"0b7a6c1e-2f4d-4c8a-9e3b-5d6f7a8b9c0d","email":"owner@example.com"}})";

// A rig whose owner types from a script: for each dialog title the text to
// type and the button to press.
struct FlowRig : ControllerRig {
    explicit FlowRig(std::string builtIn = "relay.example.com")
        : ControllerRig(
              true, std::nullopt,
              [this](const std::string& origin) {
                  return RelayAccount::create(origin, http, [] { return noonMillis(); });
              },
              std::move(builtIn)) {
        answer = [this](const RelayAlert& alert, std::function<bool()>) {
            shown.push_back(alert.message);
            auto& queue = typing[alert.message];
            if (queue.empty()) return RelayResponse::abort;
            auto [text, button] = queue.front();
            queue.pop_front();
            typed = text;
            return button;
        };
        http->answer("/v1/auth/verify", 200, session);
        http->answer("/v1/hosts", 201, R"({"host":{}})");
    }
    static std::int64_t noonMillis() { return 1'780'000'000'000; }
    void type(const std::string& title, const std::string& text, int button = RelayResponse::first) {
        typing[title].push_back({text, button});
    }
    std::shared_ptr<ScriptedAccountHttp> http = std::make_shared<ScriptedAccountHttp>();
    std::map<std::string, std::deque<std::pair<std::string, int>>> typing;
    Lines shown;
};

TEST(RelaySetUpFlow, SignInWithTheEmailedCodeRegistersAndTurnsTheRelayOn) {
    FlowRig rig;
    rig.controller->start();
    rig.type("Sign in to the relay", "  Owner@Example.com ");
    rig.type("Enter the code from the e-mail", "123-456");
    rig.controller->perform("setUp");
    EXPECT_EQ(rig.asked, Lines{"set up the relay"});
    EXPECT_EQ(rig.http->targets,
              (Lines{"/v1/auth/code", "/v1/auth/verify", "/v1/hosts", "/v1/auth/signout"}));
    EXPECT_EQ(rig.settings.stringValue(RelayController::emailKey), "owner@example.com");
    EXPECT_EQ(rig.settings.stringValue(RelayController::hostKey), "relay.example.com");
    EXPECT_EQ(rig.settings.boolValue(RelayController::enabledKey), true);
    EXPECT_TRUE(rig.controller->link());
    EXPECT_FALSE(rig.controller->flowBusy());
    EXPECT_EQ(rig.log, (Lines{"set up: identity created", "set up: registered with the account",
                              "turned on (owner authenticated)"}));
}

// A build that names no relay, run with none in its environment: nothing
// names or dials a relay until the owner gives the address of theirs, and
// from then on that relay is the one every dialog, the menu and the link use.
TEST(RelaySetUpFlow, WithNoRelayNamedTheSetUpAsksForTheAddressFirstAndUsesItEverywhere) {
    FlowRig rig("");
    rig.controller->start();
    EXPECT_EQ(rig.controller->defaultAddress(), "");
    EXPECT_EQ(rig.controller->relayAddress(), "");
    EXPECT_EQ(rig.titles(), (testing::Items{RelayMenuItem::label("Relay: off"),
                                            RelayMenuItem::command("Set Up Relay\u2026", "setUp", true)}));
    EXPECT_FALSE(rig.controller->guideFacts().email);

    // Cancelling the address dialog asks nothing of anyone.
    rig.type("Relay address", "", RelayResponse::second);
    rig.controller->perform("setUp");
    EXPECT_EQ(rig.shown, Lines{"Relay address"});
    EXPECT_TRUE(rig.http->targets.empty());
    EXPECT_FALSE(rig.controller->flowBusy());
    ASSERT_EQ(rig.alerts.size(), 1u);
    ASSERT_TRUE(rig.alerts[0].field);
    EXPECT_EQ(rig.alerts[0].field->text, "");
    // The example is the documentation's own.
    EXPECT_EQ(rig.alerts[0].field->placeholder, "relay.example.org");
    EXPECT_NE(rig.alerts[0].informative.find("the relay you run (morvane-relay), for example relay.example.org."),
              std::string::npos);

    // The address as a browser shows it, pasted, gives the name.
    rig.type("Relay address", "not a relay");
    rig.type("Relay address", " https://My.Relay.ORG/ ");
    rig.type("Sign in to the relay", "owner@example.com");
    rig.type("Enter the code from the e-mail", "123456");
    rig.controller->perform("setUp");
    EXPECT_EQ(rig.shown, (Lines{"Relay address", "Relay address", "Relay address", "Sign in to the relay",
                                "Enter the code from the e-mail"}));
    EXPECT_EQ(rig.alerts[2].informative.rfind("That is not a relay address.", 0), 0u);
    EXPECT_NE(rig.alerts[3].informative.find("Relay: my.relay.org"), std::string::npos);
    EXPECT_EQ(rig.settings.stringValue(RelayController::hostKey), "my.relay.org");
    ASSERT_TRUE(rig.controller->link());
    rig.queue.runAll();
    EXPECT_EQ(rig.sockets->last().request.url.host, "my.relay.org");
    EXPECT_EQ(rig.controller->relayAddress(), "my.relay.org");
    const auto menu = rig.titles();
    EXPECT_NE(std::find(menu.begin(), menu.end(), RelayMenuItem::detail("Relay address: my.relay.org")), menu.end());

    // The next launch keeps it.
    ControllerRig again(true, std::nullopt, nullptr, "");
    again.settings.values = rig.settings.values;
    again.identityItem->stored = rig.identityItem->stored;
    again.controller->start();
    EXPECT_EQ(again.controller->relayAddress(), "my.relay.org");
    EXPECT_TRUE(again.controller->enabled());

    for (const auto& alert : rig.alerts) EXPECT_EQ(alert.informative.find("morvane.app"), std::string::npos);
    for (const auto& line : rig.log) EXPECT_EQ(line.find("morvane.app"), std::string::npos);
}

TEST(RelaySetUpFlow, WrongInputIsAskedForAgainWithItsNote) {
    FlowRig rig;
    rig.controller->start();
    rig.type("Sign in to the relay", "   ");
    rig.type("Sign in to the relay", "not an address");
    rig.type("Sign in to the relay", "owner@example.com");
    rig.type("Enter the code from the e-mail", "12 345");
    rig.type("Enter the code from the e-mail", "12 345", RelayResponse::abort);
    std::vector<std::string> notes;
    auto answer = rig.answer;
    rig.answer = [&](const RelayAlert& alert, std::function<bool()> closeWhen) {
        notes.push_back(alert.informative.substr(0, alert.informative.find("\n\n")));
        return answer(alert, closeWhen);
    };
    rig.controller->perform("setUp");
    ASSERT_GE(notes.size(), 5u);
    EXPECT_EQ(notes[1], RelayAccountTexts::enterEmail);
    EXPECT_EQ(notes[2], RelayAccountTexts::badEmail);
    EXPECT_EQ(notes[4], RelayAccountTexts::enterCode);
    EXPECT_FALSE(rig.controller->flowBusy());
    EXPECT_FALSE(rig.settings.stringValue(RelayController::emailKey));
}

// A relay that mailed no new code says so, and the dialog tells the person
// to look for the code mailed earlier rather than wait for a mail that
// will not come; a new code sent is told as before.
TEST(RelaySetUpFlow, TheCodeDialogSaysWhenNoNewCodeWasMailed) {
    FlowRig rig;
    rig.controller->start();
    for (const auto* sent : {"false", "true", "false"})
        rig.http->answer("/v1/auth/code", 200, std::string(R"({"ok":true,"sent":)") + sent + "}");
    rig.type("Sign in to the relay", "owner@example.com");
    rig.type("Enter the code from the e-mail", "", RelayResponse::second);
    rig.type("Enter the code from the e-mail", "", RelayResponse::second);
    rig.type("Enter the code from the e-mail", "123456");
    std::vector<std::string> notes;
    auto answer = rig.answer;
    rig.answer = [&](const RelayAlert& alert, std::function<bool()> closeWhen) {
        if (alert.message == "Enter the code from the e-mail")
            notes.push_back(alert.informative.substr(0, alert.informative.find("\n\n")) + " ");
        return answer(alert, closeWhen);
    };
    rig.controller->perform("setUp");
    EXPECT_EQ(notes, (Lines{RelayAccountTexts::earlierCodeStands, RelayAccountTexts::newCodeSent,
                            RelayAccountTexts::earlierCodeStands}));
    EXPECT_TRUE(rig.controller->link());
}

TEST(RelaySetUpFlow, EveryFailedAccountCallIsLoggedWithWhyAndTheDialogNamesTheAddress) {
    struct Case {
        const char* name;
        std::string target;
        RelayHttpAnswer answer;
        std::string line;
        std::string note;
    };
    const RelayHttpAnswer unreachable{RelayHttpAnswer::Kind::unreachable, 0, std::nullopt,
                                      "relay.example.com:443: name not found"};
    const std::string busy = R"({"error":"try-later"})";
    const std::string signIn =
        "Could not reach the sign-in service at relay.example.com. Check your connection, then try again.";
    const std::vector<Case> cases = {
        {"code, no answer", "/v1/auth/code", unreachable,
         "set up: the code could not be sent: unreachable: relay.example.com:443: name not found", signIn},
        {"code, server error", "/v1/auth/code",
         {RelayHttpAnswer::Kind::answered, 500, std::nullopt, {}},
         "set up: the code could not be sent: refused: relay.example.com:443 answered with HTTP 500", signIn},
        {"verify, no answer", "/v1/auth/verify", unreachable,
         "set up: sign-in failed: unreachable: relay.example.com:443: name not found", signIn},
        {"register, no answer", "/v1/hosts", unreachable,
         "set up: not registered (unreachable: relay.example.com:443: name not found)",
         "Could not reach the relay at relay.example.com. Check your connection, then try again."},
        {"code, certificate not trusted", "/v1/auth/code",
         {RelayHttpAnswer::Kind::untrusted, 0, std::nullopt,
          "relay.example.com:443: certificate not trusted for relay.example.com (self-signed certificate)"},
         "set up: the code could not be sent: untrusted: relay.example.com:443: certificate not trusted for "
         "relay.example.com (self-signed certificate). " +
             std::string(untrustedCertificateAdvice),
         "This computer does not trust the certificate of the relay at relay.example.com, so nothing was sent to it. " +
             std::string(untrustedCertificateAdvice) + "."},
        {"register, busy", "/v1/hosts",
         {RelayHttpAnswer::Kind::answered, 503, Bytes(busy.begin(), busy.end()), {}},
         "set up: not registered (try-later: relay.example.com:443 answered with HTTP 503)",
         "Could not reach the relay at relay.example.com. Check your connection, then try again."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FlowRig rig;
        rig.controller->start();
        rig.http->script[c.target].push_front(c.answer);
        rig.type("Sign in to the relay", "owner@example.com");
        rig.type("Enter the code from the e-mail", "123456");
        std::vector<std::string> texts;
        auto answer = rig.answer;
        rig.answer = [&](const RelayAlert& alert, std::function<bool()> closeWhen) {
            texts.push_back(alert.informative);
            return answer(alert, closeWhen);
        };
        rig.controller->perform("setUp");
        EXPECT_TRUE(rig.logged(c.line)) << ::testing::PrintToString(rig.log);
        EXPECT_TRUE(std::any_of(texts.begin(), texts.end(),
                                [&](const std::string& t) { return t.rfind(c.note, 0) == 0; }))
            << ::testing::PrintToString(texts);
    }
}

TEST(RelaySetUpFlow, AMachineOnAnotherAccountIsOfferedTheMoveOnce) {
    for (bool secondRefused : {false, true}) {
        SCOPED_TRACE(secondRefused);
        FlowRig rig;
        rig.controller->start();
        rig.http->script["/v1/hosts"].clear();
        rig.http->answer("/v1/hosts", 409, R"({"error":"host-taken"})");
        if (secondRefused)
            rig.http->answer("/v1/hosts", 409, R"({"error":"host-taken"})");
        else
            rig.http->answer("/v1/hosts", 200, R"({"host":{}})");
        rig.type("Sign in to the relay", "owner@example.com");
        rig.type("Enter the code from the e-mail", "123456");
        rig.type("This computer is on another account", "");
        rig.type("Could not set up the relay", "");
        rig.controller->perform("setUp");
        EXPECT_EQ(std::count(rig.shown.begin(), rig.shown.end(), "This computer is on another account"), 1);
        EXPECT_EQ(rig.asked, (Lines{"set up the relay", "move this computer to another relay account"}));
        EXPECT_EQ(rig.http->count("/v1/hosts/self/delete"), 1);
        EXPECT_EQ(rig.http->count("/v1/auth/signout"), 1);
        EXPECT_EQ(rig.logged("set up: moved from another account"), !secondRefused);
        EXPECT_EQ(rig.logged("set up: not registered (host-taken: relay.example.com:443 answered with HTTP 409)"), secondRefused);
        EXPECT_EQ(rig.settings.stringValue(RelayController::emailKey).has_value(), !secondRefused);
        EXPECT_FALSE(rig.controller->flowBusy());
    }
}

TEST(RelaySetUpFlow, SetUpWhilePausedStoresTheAccountAndLeavesTheRelayOff) {
    FlowRig rig;
    rig.controller->start();
    rig.paused = true;
    rig.type("Sign in to the relay", "owner@example.com");
    rig.type("Enter the code from the e-mail", "123456");
    rig.controller->perform("setUp");
    EXPECT_EQ(rig.settings.stringValue(RelayController::emailKey), "owner@example.com");
    EXPECT_FALSE(rig.controller->enabled());
    EXPECT_FALSE(rig.controller->link());
}

TEST(RelaySetUpFlow, ASessionArrivingAfterTheOwnerCancelledIsSignedOutUnused) {
    FlowRig rig;
    rig.controller->start();
    rig.http->hold = "/v1/auth/verify";
    rig.type("Sign in to the relay", "owner@example.com");
    rig.type("Enter the code from the e-mail", "123456");
    rig.type("Signing in\u2026", "", RelayResponse::first);
    rig.controller->perform("setUp");
    EXPECT_EQ(std::count(rig.shown.begin(), rig.shown.end(), "Signing in\u2026"), 1);
    EXPECT_EQ(rig.http->count("/v1/auth/signout"), 0);
    ASSERT_TRUE(rig.http->held);
    rig.http->held();
    EXPECT_EQ(rig.http->count("/v1/auth/signout"), 1);
    EXPECT_FALSE(rig.settings.stringValue(RelayController::emailKey));
    EXPECT_FALSE(rig.controller->flowBusy());
}

TEST(RelaySetUpFlow, RemovalFromTheAccountStopsTheRelayAndForgetsTheAccount) {
    struct Case {
        bool on;
        bool refused;
    };
    for (const auto& c : std::vector<Case>{{true, false}, {false, false}, {true, true}}) {
        SCOPED_TRACE(std::to_string(c.on) + std::to_string(c.refused));
        FlowRig rig;
        rig.setUpBefore(c.on);
        rig.controller->start();
        if (c.refused) rig.http->answer("/v1/hosts/self/delete", 503, R"({"error":"try-later"})");
        rig.type("Remove this computer from your account?", "");
        rig.type("Could not remove this computer", "");
        rig.controller->perform("removeFromAccount");
        EXPECT_EQ(rig.asked, Lines{"remove this computer from the relay account"});
        EXPECT_EQ(rig.controller->accountEmail().has_value(), c.refused);
        EXPECT_EQ(rig.logged("set up: removed from the account"), !c.refused);
        EXPECT_EQ(rig.logged("set up: not removed (try-later: relay.example.com:443 answered with HTTP 503)"), c.refused);
        EXPECT_EQ(rig.settings.boolValue(RelayController::enabledKey), c.on && c.refused);
        EXPECT_EQ(rig.controller->link() != nullptr, c.on && c.refused);
        EXPECT_TRUE(rig.controller->identity());
        EXPECT_FALSE(rig.controller->flowBusy());
    }
}

}  // namespace
}  // namespace morvane

#include "app/owner_auth.h"

#include <gtest/gtest.h>

#include <vector>

#include "manual_executor.h"

namespace morvane {
namespace {

class FakePrompt final : public OwnerPrompt {
public:
    void ask(const std::string& reason, std::function<void(bool)> done) override {
        reasons.push_back(reason);
        pending = std::move(done);
    }
    void cancel() override {
        ++cancels;
        answer(false);
    }
    void answer(bool ok) {
        if (auto done = std::move(pending)) {
            pending = nullptr;
            done(ok);
        }
    }
    std::vector<std::string> reasons;
    std::function<void(bool)> pending;
    int cancels = 0;
};

struct Fixture {
    testing::ManualExecutor main;
    FakePrompt prompt;
    bool controller = false;
    std::optional<std::int64_t> lastEnd;
    std::vector<std::string> lines;
    OwnerAuthentication auth{main, prompt, [this] { return coolDownBlocks(controller, lastEnd, main.now()); },
                             [this](const std::string& tag, const std::string& text) {
                                 lines.push_back(tag + "  " + text);
                             }};
    int thens = 0, otherwises = 0;
    void request(bool withOtherwise = true) {
        auth.withOwnerAuthentication(
            "resume", "let your paired devices connect to this computer again",
            withOtherwise ? std::function<void()>([this] { ++otherwises; }) : nullptr, [this] { ++thens; });
    }
};

TEST(OwnerAuthentication, EachFailureIsLoggedWithWhatItWasForAndThreeInARowApartFromCancel) {
    using Event = OwnerPrompt::Event;
    struct Case {
        const char* name;
        std::vector<std::pair<Event, int>> reports;
        bool ok;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"right at the second try", {{Event::wrongPassword, 1}}, true,
         {"auth  resume: owner authentication failed: wrong password (1)",
          "auth  resume: owner authentication succeeded"}},
        {"three wrong", {{Event::wrongPassword, 1}, {Event::wrongPassword, 2}, {Event::triesUsedUp, 3}}, false,
         {"auth  resume: owner authentication failed: wrong password (1)",
          "auth  resume: owner authentication failed: wrong password (2)",
          "auth  resume: owner authentication failed: three wrong passwords in a row, not allowed"}},
        {"cancelled after a wrong one", {{Event::wrongPassword, 1}, {Event::cancelled, 1}}, false,
         {"auth  resume: owner authentication failed: wrong password (1)",
          "auth  resume: owner authentication was cancelled by the owner"}},
        {"ended by the host", {}, false, {"auth  resume: owner authentication failed or was cancelled"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        f.request();
        ASSERT_TRUE(f.prompt.report);
        for (const auto& [event, tries] : c.reports) f.prompt.report(event, tries);
        f.prompt.answer(c.ok);
        f.main.runAll();
        EXPECT_EQ(f.lines, c.lines);
        // A report from a prompt that has answered changes nothing.
        f.prompt.report(Event::wrongPassword, 9);
        EXPECT_EQ(f.lines, c.lines);
    }
}

TEST(CoolDownRule, BlocksWhileControlledAndForTenSecondsAfter) {
    EXPECT_FALSE(coolDownBlocks(false, std::nullopt, 0));  // never controlled
    EXPECT_TRUE(coolDownBlocks(true, std::nullopt, 0));
    EXPECT_TRUE(coolDownBlocks(false, 1'000, 10'900));
    EXPECT_FALSE(coolDownBlocks(false, 1'000, 11'000));
}

TEST(OwnerAuthentication, RunsTheChangeOnlyAfterSuccessAndOnALaterTurn) {
    Fixture f;
    f.request();
    ASSERT_EQ(f.prompt.reasons, std::vector<std::string>{"let your paired devices connect to this computer again"});
    EXPECT_TRUE(f.auth.authenticating());
    f.prompt.answer(true);
    f.main.runOneTurn();  // the outcome
    EXPECT_FALSE(f.auth.authenticating());
    EXPECT_EQ(f.thens, 0);  // the final check waits for another turn
    f.main.runAll();
    EXPECT_EQ(f.thens, 1);
    EXPECT_EQ(f.otherwises, 0);
    EXPECT_EQ(f.lines, std::vector<std::string>{"auth  resume: owner authentication succeeded"});
}

TEST(OwnerAuthentication, RefusesSilentlyWhileBlockedOrAlreadyAsking) {
    Fixture f;
    f.lastEnd = 0;
    f.main.advance(9'900);
    f.request();
    f.main.runAll();
    EXPECT_TRUE(f.prompt.reasons.empty());
    EXPECT_EQ(f.otherwises, 1);
    EXPECT_TRUE(f.lines.empty());
    f.main.advance(100);  // 10.0 s after the controller left
    f.request();
    f.request();  // a second request while the first prompt is up
    f.main.runAll();
    EXPECT_EQ(f.prompt.reasons.size(), 1u);
    EXPECT_EQ(f.otherwises, 2);
}

TEST(OwnerAuthentication, FailureAndInvalidationRunOtherwise) {
    Fixture f;
    f.request();
    f.prompt.answer(false);
    f.main.runAll();
    EXPECT_EQ(f.otherwises, 1);
    EXPECT_EQ(f.lines.back(), "auth  resume: owner authentication failed or was cancelled");

    // A device connects while the prompt is up.
    f.request();
    f.controller = true;
    f.auth.invalidate();
    f.main.runAll();
    EXPECT_EQ(f.prompt.cancels, 1);
    EXPECT_EQ(f.thens, 0);
    EXPECT_EQ(f.otherwises, 2);
    EXPECT_FALSE(f.auth.authenticating());
}

TEST(OwnerAuthentication, ADeviceConnectingBetweenSuccessAndTheFinalCheckStopsTheChange) {
    Fixture f;
    f.request();
    f.prompt.answer(true);
    f.main.runOneTurn();
    f.controller = true;
    f.main.runAll();
    EXPECT_EQ(f.thens, 0);
    EXPECT_EQ(f.otherwises, 1);
    EXPECT_EQ(f.lines, (std::vector<std::string>{"auth  resume: owner authentication succeeded",
                                                 "auth  resume: not done, a controller is or was just connected"}));
}

TEST(OwnerAuthentication, APromptAnsweringTwiceCountsOnce) {
    Fixture f;
    std::function<void(bool)> done;
    f.request();
    done = f.prompt.pending;
    f.prompt.answer(true);
    done(false);
    f.main.runAll();
    EXPECT_EQ(f.thens, 1);
    EXPECT_EQ(f.otherwises, 0);
    EXPECT_EQ(f.lines.size(), 1u);
}

TEST(ModalAlertGate, OneAlertAtATimeNeverWhileControlledAbortedOnce) {
    ModalAlertGate gate;
    EXPECT_FALSE(gate.tryOpen(true));
    EXPECT_FALSE(gate.isOpen());
    ASSERT_TRUE(gate.tryOpen(false));
    EXPECT_FALSE(gate.tryOpen(false));  // a second alert while one is open
    EXPECT_FALSE(gate.shouldAbort(false, false));
    EXPECT_TRUE(gate.shouldAbort(false, true));
    EXPECT_FALSE(gate.shouldAbort(true, true));  // already aborted
    gate.closed();
    EXPECT_FALSE(gate.shouldAbort(true, true));  // nothing open
    ASSERT_TRUE(gate.tryOpen(false));
    EXPECT_FALSE(gate.aborted());
    EXPECT_TRUE(gate.shouldAbort(true, false));
}

}  // namespace
}  // namespace morvane

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "server/session_stage.h"
#include "server_fakes.h"

namespace morvane {
namespace {

using testing::FakeFrameSource;
using testing::FakeInput;
using testing::Journal;

using Lines = std::vector<std::string>;

// Only what the stage asks of the driver, in the shared journal.
class JournalEffects final : public DisplayEffects {
public:
    explicit JournalEffects(Journal& journal) : journal_(journal) {}
    EventHandler onEvent() const override { return nullptr; }
    void setOnEvent(EventHandler) override {}
    std::optional<Modes> modes(std::uint32_t) override { return std::nullopt; }
    int otherActiveDisplays(std::uint32_t) override { return 0; }
    bool secureInputOn() const override { return false; }
    bool restoreOwed() const override { return false; }
    bool setMode(std::int32_t, std::uint32_t, std::int64_t) override { return false; }
    bool restoreMode(std::uint32_t) override { return false; }
    void forgetMode(std::uint32_t) override {}
    void cover(std::uint32_t, const std::string&, std::int64_t, std::function<void(bool)>) override {}
    void uncover() override {}
    EscapeArm armEscape(std::int64_t) override { return {}; }
    void disarmEscape() override {}
    void restoreAll(std::int64_t epoch) override {
        journal_.add(epoch == std::numeric_limits<std::int64_t>::max() ? "restore all"
                                                                        : "restore up to " + std::to_string(epoch));
    }
    void keepAlive() override { journal_.add("keep alive"); }
    void recoverAtLaunch() override {}

private:
    Journal& journal_;
};

class ModeFrameSource final : public FakeFrameSource {
public:
    explicit ModeFrameSource(Journal& journal) : FakeFrameSource(journal), journal_(journal) {}
    void displayModeChanged() override { journal_.add("mode changed"); }

private:
    Journal& journal_;
};

struct Stage {
    explicit Stage(bool withEffects) {
        onControllerChange = [this](std::optional<std::string> name) {
            journal.add("controller " + name.value_or("none"));
        };
        onSession = [this](const SessionEvent& event) {
            if (auto s = std::get_if<session_event::Started>(&event))
                journal.add("started " + s->deviceID + " " + s->route);
            else if (auto e = std::get_if<session_event::Ended>(&event))
                journal.add("ended " + e->deviceID + (e->takenOver ? " taken over" : ""));
        };
        stage = std::make_unique<SessionStage>(input, frames, withEffects ? &effects : nullptr,
                                               [this] { return paused; }, onControllerChange, onSession);
    }
    Journal journal;
    FakeInput input{journal};
    ModeFrameSource frames{journal};
    JournalEffects effects{journal};
    bool paused = false;
    SessionStage::ControllerHandler onControllerChange;
    SessionStage::SessionHandler onSession;
    std::unique_ptr<SessionStage> stage;
};

TEST(SessionStage, AStartingSessionPutsTheLastOneBackBeforeTheShellHears) {
    struct Case {
        const char* name;
        SessionStage::Started start;
        bool paused;
        bool withEffects;
        Lines expected;
    };
    const SessionStage::Started first{"p1", "Phone", "local", false, std::nullopt, false, false, 3, nullptr};
    SessionStage::Started takeover{"p1", "Phone", "relay", true, "t1", true, true, 4, nullptr};
    SessionStage::Started takeoverNoMatch = takeover;
    takeoverNoMatch.hadMatch = false;
    takeoverNoMatch.videoWasActive = false;
    const std::vector<Case> cases = {
        {"first session", first, false, true, {"restore up to 3", "capture start", "controller Phone", "started p1 local"}},
        {"first session while paused", first, true, true, {"restore up to 3", "controller Phone", "started p1 local"}},
        {"first session without a driver", first, false, false, {"capture start", "controller Phone", "started p1 local"}},
        {"takeover of a matched, streaming session",
         takeover,
         false,
         true,
         {"release", "restore up to 4", "mode changed", "video stop", "select auto", "request frame",
          "controller Phone", "ended t1 taken over", "started p1 relay"}},
        {"takeover of a plain session",
         takeoverNoMatch,
         false,
         true,
         {"release", "restore up to 4", "select auto", "request frame", "controller Phone", "ended t1 taken over",
          "started p1 relay"}},
    };
    for (const auto& c : cases) {
        Stage s(c.withEffects);
        s.paused = c.paused;
        s.stage->started(c.start);
        EXPECT_EQ(s.journal.lines(), c.expected) << c.name;
    }
}

TEST(SessionStage, EndingOrStoppingLetsGoOfEverythingTheSessionHeld) {
    struct Case {
        const char* name;
        std::function<void(SessionStage&)> act;
        Lines expected;
    };
    const std::vector<Case> cases = {
        {"a streaming session ends",
         [](SessionStage& s) { s.ended({"p1", true, 5}); },
         {"release", "restore up to 5", "video stop", "capture stop", "controller none", "ended p1"}},
        {"a session without a device ends",
         [](SessionStage& s) { s.ended({std::nullopt, false, 6}); },
         {"release", "restore up to 6", "capture stop", "controller none"}},
        {"the server stops under a session", [](SessionStage& s) { s.stopped(true); }, {"release", "restore all"}},
        {"the server stops idle", [](SessionStage& s) { s.stopped(false); }, {"restore all"}},
        {"the tick keeps the driver alive", [](SessionStage& s) { s.keepAlive(); }, {"keep alive"}},
    };
    for (const auto& c : cases) {
        Stage s(true);
        c.act(*s.stage);
        EXPECT_EQ(s.journal.lines(), c.expected) << c.name;
    }
}

TEST(SessionStage, InputReachesTheComputerOnlyWhileNotPaused) {
    Stage s(false);
    s.stage->input(input::Move{10, 20});
    s.paused = true;
    s.stage->input(input::Move{30, 40});
    s.stage->input(input::Lock{});
    s.paused = false;
    s.stage->input(input::Lock{});
    EXPECT_EQ(s.journal.lines(), (Lines{"move 10.000000 20.000000", "lock"}));
}

}  // namespace
}  // namespace morvane

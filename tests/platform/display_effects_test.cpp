// The display-effects driver on fakes: undo record, restores, recovery at
// launch, cover, Escape watch, watchdog and reconfiguration, with time from
// a ManualExecutor.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>

#include "../app/manual_executor.h"
#include "effects_fakes.h"
#include "platform/linux/display_effects_x11.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;
using testing::FakeBackend;
using testing::fakeMode;

constexpr std::uint32_t mainDisplay = 71;
constexpr std::uint32_t second = 72;
const std::string thisBoot = "6f1c1d2e-0000-4000-8000-000000000001";

std::string event(const DisplayEffectsEvent& e) {
    return std::visit(
        [](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, fx_event::ModeChangedElsewhere>)
                return "changed-elsewhere " + std::to_string(v.display);
            if constexpr (std::is_same_v<T, fx_event::Reconfigured>) return "reconfigured";
            if constexpr (std::is_same_v<T, fx_event::CoverLost>) return "cover-lost";
            if constexpr (std::is_same_v<T, fx_event::KeyWatchLost>) return "key-watch-lost";
            if constexpr (std::is_same_v<T, fx_event::EscapeHeld>) return "escape-held";
            if constexpr (std::is_same_v<T, fx_event::SecureInput>) return "secure-input";
            return "system-away";
        },
        e);
}

struct Rig {
    testing::ManualExecutor main;
    testing::FakeDisplays displays;
    testing::FakeCovers covers;
    testing::FakeKeys keys;
    testing::FakeLease lease;
    fs::path folder;
    fs::path marker;
    std::vector<std::string> lines;
    std::vector<std::string> events;
    std::vector<std::vector<ModeToRestore>> expiries;
    std::vector<std::optional<int>> exclusions;
    std::function<void(bool)> exclusionAnswer;
    double extraSeconds = 0;  // uptime the manual clock does not cover
    std::string boot = thisBoot;
    std::shared_ptr<SystemDisplayEffects> driver;

    Rig() {
        folder = fs::temp_directory_path() / ("morvane-fx-" + std::to_string(::getpid()) + "-" +
                                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        marker = folder / "support" / "display-change.json";
        displays.add(mainDisplay, {fakeMode(1, 1920, 1080), fakeMode(2, 1440, 900), fakeMode(3, 1280, 720)}, 1);
    }
    ~Rig() {
        driver.reset();
        fs::remove_all(folder);
    }
    SystemDisplayEffects& make() {
        DisplayEffectsSetup s;
        s.markerPath = marker;
        s.log = [this](const std::string& line) { lines.push_back(line); };
        s.main = &main;
        s.backend = std::make_unique<FakeBackend>(displays);
        s.makeCover = [this](const Rect& frame, const std::string&) -> std::unique_ptr<CoverWindow> {
            if (covers.refuse) return nullptr;
            ++covers.made;
            return std::make_unique<testing::FakeCover>(covers, frame, 0x400000 + covers.made);
        };
        s.keys = std::make_unique<testing::FakeKeyWatch>(keys);
        s.leaseTimer = std::make_unique<testing::FakeLeaseTimer>(lease);
        s.uptime = [this] { return static_cast<double>(main.now()) / 1000.0 + extraSeconds; };
        s.bootId = [this] { return boot; };
        s.leaseExpired = [this](const std::vector<ModeToRestore>& modes) { expiries.push_back(modes); };
        driver = SystemDisplayEffects::create(std::move(s));
        driver->setOnEvent([this](const DisplayEffectsEvent& e) { events.push_back(event(e)); });
        driver->excludeWindow = [this](std::optional<int> window, std::function<void(bool)> done) {
            exclusions.push_back(window);
            if (window) exclusionAnswer = std::move(done);
        };
        return *driver;
    }
    std::int32_t current(std::uint32_t d = mainDisplay) { return displays.displays[d].current; }
    std::optional<nlohmann::json> record() const {
        std::ifstream in(marker);
        if (!in) return std::nullopt;
        return nlohmann::json::parse(in, nullptr, false);
    }
    void writeRecord(const std::string& text) {
        fs::create_directories(marker.parent_path());
        std::ofstream(marker) << text;
    }
    void clearLines() { lines.clear(); }
    // The displays were rearranged; the check runs 0.2 s later.
    void reconfigure() {
        displays.reconfigured();
        main.runAll();
        main.advance(200);
    }
};

// --- modes and the undo record --------------------------------------------

TEST(DisplayEffectsDriver, RecordIsWrittenBeforeTheChangeAndRemovedWhenTheModeIsBack) {
    Rig rig;
    auto& fx = rig.make();
    ASSERT_TRUE(fx.setMode(2, mainDisplay, 1));
    EXPECT_EQ(rig.current(), 2);
    const auto record = rig.record();
    ASSERT_TRUE(record);
    EXPECT_EQ((*record)["boot"], thisBoot);
    EXPECT_EQ((*record)["changed"], nlohmann::json::parse(R"([{"display":71,"original":1,"applied":2}])"));
    EXPECT_EQ(rig.lines.back(), "resolution of display 71 changed to 1440x900 pt for the controller");

    EXPECT_TRUE(fx.restoreMode(mainDisplay));
    EXPECT_EQ(rig.current(), 1);
    EXPECT_FALSE(fs::exists(rig.marker));
    EXPECT_EQ(rig.lines.back(), "resolution of display 71 put back to 1920x1080 pt");
}

TEST(DisplayEffectsDriver, RestoreReturnsToTheModeFromBeforeTheFirstChange) {
    Rig rig;
    auto& fx = rig.make();
    ASSERT_TRUE(fx.setMode(2, mainDisplay, 1));
    ASSERT_TRUE(fx.setMode(3, mainDisplay, 1));
    EXPECT_EQ((*rig.record())["changed"][0]["original"], 1);
    EXPECT_EQ((*rig.record())["changed"][0]["applied"], 3);
    EXPECT_TRUE(fx.restoreMode(mainDisplay));
    EXPECT_EQ(rig.current(), 1);
}

TEST(DisplayEffectsDriver, RefusedChangesLeaveDisplayAndRecordAlone) {
    struct Case {
        const char* name;
        std::function<void(Rig&)> arrange;
        std::int32_t mode;
        std::int64_t epoch;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"unlisted mode", [](Rig&) {}, 99, 1, {}},
        {"offline display", [](Rig& r) { r.displays.displays[mainDisplay].online = false; }, 2, 1, {}},
        {"mirrored display", [](Rig& r) { r.displays.mirrors[second] = mainDisplay; }, 2, 1, {}},
        {"session ended", [](Rig& r) { r.driver->restoreAll(5); }, 2, 4,
         {"resolution not changed: the session that asked has ended"}},
        {"system refuses", [](Rig& r) { r.displays.refuseApplies = 1; }, 2, 1,
         {"resolution not changed: the system refused 1440x900"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        auto& fx = rig.make();
        c.arrange(rig);
        rig.clearLines();
        EXPECT_FALSE(fx.setMode(c.mode, mainDisplay, c.epoch));
        EXPECT_EQ(rig.current(), 1);
        EXPECT_FALSE(fs::exists(rig.marker));
        EXPECT_EQ(rig.lines, c.lines);
        EXPECT_FALSE(fx.leaseRunning());
    }
}

TEST(DisplayEffectsDriver, UnwritableRecordMeansNoChange) {
    Rig rig;
    auto& fx = rig.make();
    // The record's folder is a file: nothing can be written there.
    fs::create_directories(rig.folder);
    std::ofstream(rig.folder / "support") << "in the way";
    EXPECT_FALSE(fx.setMode(2, mainDisplay, 1));
    EXPECT_EQ(rig.current(), 1);
    EXPECT_TRUE(rig.displays.applied.empty());
    ASSERT_EQ(rig.lines.size(), 2u);
    EXPECT_TRUE(rig.lines[0].starts_with("the record of the resolution change could not be saved: "));
    EXPECT_EQ(rig.lines[1], "resolution not changed: the record needed to put it back could not be saved");
    EXPECT_TRUE(fx.restoreMode(mainDisplay));  // nothing is owed
    EXPECT_FALSE(fx.restoreOwed());
}

TEST(DisplayEffectsDriver, ChangeMadeAtTheMachineIsNeitherOverwrittenNorUndone) {
    struct Case {
        const char* name;
        std::int32_t setAtMachine;
        std::string line;
    };
    for (const Case& c : {Case{"other mode", 3, "resolution of display 71 was changed on the computer: left as it is"},
                          Case{"own mode again", 1, "resolution of display 71 is already back to normal"}}) {
        SCOPED_TRACE(c.name);
        Rig rig;
        auto& fx = rig.make();
        ASSERT_TRUE(fx.setMode(2, mainDisplay, 1));
        rig.displays.displays[mainDisplay].current = c.setAtMachine;
        rig.displays.displays[mainDisplay].own = c.setAtMachine;
        if (c.setAtMachine != 1) {
            EXPECT_FALSE(fx.setMode(2, mainDisplay, 1));
            EXPECT_EQ(rig.lines.back(), "resolution not changed: it was changed on the computer");
        }
        EXPECT_TRUE(fx.restoreMode(mainDisplay));
        EXPECT_EQ(rig.current(), c.setAtMachine);
        EXPECT_EQ(rig.lines.back(), c.line);
        EXPECT_FALSE(fs::exists(rig.marker));
    }
}

TEST(DisplayEffectsDriver, ForgetPutsBackOnlyWhileTheDriversModeIsInForce) {
    {
        Rig rig;
        auto& fx = rig.make();
        ASSERT_TRUE(fx.setMode(2, mainDisplay, 1));
        fx.forgetMode(mainDisplay);
        EXPECT_EQ(rig.current(), 1);
        EXPECT_EQ(rig.lines[rig.lines.size() - 2],
                  "resolution of display 71: Morvane's change came after one made on the computer; putting it back");
    }
    {
        Rig rig;
        auto& fx = rig.make();
        ASSERT_TRUE(fx.setMode(2, mainDisplay, 1));
        rig.displays.displays[mainDisplay].current = rig.displays.displays[mainDisplay].own = 3;
        fx.forgetMode(mainDisplay);
        EXPECT_EQ(rig.current(), 3);
        EXPECT_EQ(rig.lines.back(), "resolution of display 71 was changed on the computer: left as it is");
        EXPECT_FALSE(fs::exists(rig.marker));
    }
}

TEST(DisplayEffectsDriver, FailedRestoreStaysOwedAndIsRetriedWhileTheDisplayIsOnline) {
    Rig rig;
    auto& fx = rig.make();
    ASSERT_TRUE(fx.setMode(2, mainDisplay, 1));
    rig.displays.refuseApplies = 2;
    rig.clearLines();
    EXPECT_FALSE(fx.restoreMode(mainDisplay));
    EXPECT_FALSE(fx.restoreMode(mainDisplay));
    EXPECT_EQ(rig.lines, std::vector<std::string>{"resolution of display 71 could not be put back now (the system "
                                                  "refused); trying again every few seconds"});
    EXPECT_TRUE(fx.restoreOwed());
    EXPECT_TRUE(fs::exists(rig.marker));  // until the mode is really back
    EXPECT_FALSE(fx.leaseRunning());      // an owed restore needs no watchdog
    rig.main.advance(3000);
    EXPECT_EQ(rig.current(), 1);
    EXPECT_FALSE(fx.restoreOwed());
    EXPECT_FALSE(fs::exists(rig.marker));
    EXPECT_EQ(rig.main.pendingTimers(), 1u);  // the last retry turn, which finds nothing
    rig.main.advance(3000);
    EXPECT_EQ(rig.main.pendingTimers(), 0u);
}

TEST(DisplayEffectsDriver, OfflineDisplayWaitsForItsReturnWithoutRetrying) {
    Rig rig;
    auto& fx = rig.make();
    rig.displays.add(second, {fakeMode(11, 2560, 1440), fakeMode(12, 1920, 1080)}, 11);
    ASSERT_TRUE(fx.setMode(12, second, 1));
    rig.displays.displays[second].online = false;
    rig.clearLines();
    EXPECT_FALSE(fx.restoreMode(second));
    EXPECT_EQ(rig.lines, std::vector<std::string>{
                             "resolution of display 72 could not be put back now; it will be when the display is back"});
    const auto tries = rig.displays.applied.size();
    rig.main.advance(9000);
    EXPECT_EQ(rig.displays.applied.size(), tries);
    rig.displays.displays[second].online = true;
    rig.reconfigure();
    EXPECT_EQ(rig.current(second), 11);
    EXPECT_FALSE(fx.restoreOwed());
}

TEST(DisplayEffectsDriver, RestoreAllEndsEverythingAndOnlyRaisesTheFloor) {
    Rig rig;
    auto& fx = rig.make();
    fx.restoreAll(7);
    ASSERT_TRUE(fx.setMode(2, mainDisplay, 7));
    fx.cover(mainDisplay, "covered", 7, [](bool) {});
    ASSERT_EQ(fx.armEscape(7), EscapeArm::armed);
    fx.restoreAll(3);
    EXPECT_EQ(fx.minEpoch(), 7);
    EXPECT_EQ(rig.current(), 1);
    EXPECT_FALSE(fx.covered());
    EXPECT_FALSE(rig.keys.running);
    EXPECT_FALSE(fx.leaseRunning());
    EXPECT_EQ(fx.armEscape(6), EscapeArm::failed);
}

TEST(DisplayEffectsDriver, ModesAndDisplayCounts) {
    Rig rig;
    auto& fx = rig.make();
    const auto modes = fx.modes(mainDisplay);
    ASSERT_TRUE(modes);
    EXPECT_EQ(modes->all.size(), 3u);
    EXPECT_EQ(modes->current.id, 1);
    EXPECT_EQ(fx.otherActiveDisplays(mainDisplay), 0);
    rig.displays.add(second, {fakeMode(11, 1920, 1080)}, 11);
    rig.displays.add(73, {fakeMode(21, 1920, 1080)}, 21);
    EXPECT_EQ(fx.otherActiveDisplays(12345), 2);
    rig.displays.mirrors[73] = second;
    EXPECT_FALSE(fx.modes(second));
    EXPECT_FALSE(fx.modes(73));
    rig.displays.displays[mainDisplay].modes.clear();
    rig.displays.displays[mainDisplay].modes.push_back(fakeMode(1, 1920, 1080));
    EXPECT_FALSE(fx.modes(999));
}

// --- recovery at launch ----------------------------------------------------

TEST(DisplayEffectsDriver, RecoveryActsOnlyOnRecordsOfThisBoot) {
    struct Case {
        const char* name;
        std::string record;
        std::int32_t atLaunch;  // the display's mode when the host starts
        std::int32_t after;
        std::vector<std::string> lines;
        bool owed = false;
    };
    const std::string one = R"("changed":[{"display":71,"original":1,"applied":2}])";
    const std::string notARecord = "display-change.json could not be used (not a record of resolution changes); it was removed";
    const std::vector<Case> cases = {
        {"left changed", "{\"boot\":\"" + thisBoot + "\"," + one + "}", 2, 1,
         {"display 71: a resolution change is left from the last run", "resolution of display 71 put back to 1920x1080 pt"}},
        {"changed since", "{\"boot\":\"" + thisBoot + "\"," + one + "}", 3, 3,
         {"display 71: the resolution Morvane had set is gone; nothing to undo"}},
        {"earlier boot", "{\"boot\":\"another-boot\"," + one + "}", 2, 2,
         {"a resolution change from before the last restart needs no undoing"}},
        {"unknown boot", "{\"boot\":\"\"," + one + "}", 2, 2,
         {"a resolution change from before the last restart needs no undoing"}},
        {"boot not a string", "{\"boot\":0," + one + "}", 2, 2, {notARecord}},
        {"not json", "{\"boot\":", 2, 2, {"display-change.json could not be used (not valid JSON); it was removed"}},
        {"changed not a list", "{\"boot\":\"" + thisBoot + "\",\"changed\":{}}", 2, 2, {notARecord}},
        {"element not an object", "{\"boot\":\"" + thisBoot + "\",\"changed\":[1]}", 2, 2, {notARecord}},
        // Nesting past any record's is refused before a document is built.
        {"nested too deep", "{\"boot\":\"" + thisBoot + "\",\"changed\":[{\"display\":71,\"original\":1,\"applied\":2," +
             "\"x\":" + std::string(100, '[') + std::string(100, ']') + "}]}",
         2, 2, {"display-change.json could not be used (nested deeper than 16 levels); it was removed"}},
        {"one bad element",
         "{\"boot\":\"" + thisBoot +
             R"(","changed":[{"display":-1,"original":1,"applied":2},{"display":71,"original":1,"applied":2.5},)" +
             R"({"display":71,"original":4294967296,"applied":2},{"display":71,"original":1,"applied":2}]})",
         2, 1,
         {"display 71: a resolution change is left from the last run", "resolution of display 71 put back to 1920x1080 pt"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.displays.displays[mainDisplay].current = c.atLaunch;
        rig.displays.displays[mainDisplay].own = c.after;
        rig.writeRecord(c.record);
        auto& fx = rig.make();
        fx.recoverAtLaunch();
        EXPECT_EQ(rig.current(), c.after);
        EXPECT_EQ(rig.lines, c.lines);
        EXPECT_FALSE(fs::exists(rig.marker));
        EXPECT_FALSE(fx.restoreOwed());
    }
}

TEST(DisplayEffectsDriver, RecoveryKeepsTheRecordWhileTheDisplayIsAway) {
    Rig rig;
    rig.displays.add(second, {fakeMode(11, 2560, 1440), fakeMode(12, 1920, 1080)}, 12);
    rig.displays.displays[second].own = 11;
    rig.displays.displays[second].online = false;
    rig.writeRecord("{\"boot\":\"" + thisBoot + R"(","changed":[{"display":72,"original":11,"applied":12}]})");
    auto& fx = rig.make();
    fx.recoverAtLaunch();
    EXPECT_TRUE(fx.restoreOwed());
    ASSERT_TRUE(rig.record());
    EXPECT_EQ((*rig.record())["changed"][0]["display"], 72);
    // The display comes back still showing the mode the last run set.
    rig.displays.displays[second].online = true;
    rig.reconfigure();
    EXPECT_EQ(rig.current(second), 11);
    EXPECT_FALSE(fs::exists(rig.marker));
}

TEST(DisplayEffectsDriver, DisplaysAwayAtLaunchAreCountedOnOneLineAndAskedAboutOnce) {
    // Display 71 is connected and still in the mode the last run set; the
    // others are not connected. The X server is asked about the displays a
    // few times in all (15), not for each display the record names.
    const std::string left71 = "display 71: a resolution change is left from the last run";
    const std::string back71 = "resolution of display 71 put back to 1920x1080 pt";
    const struct {
        const char* name;
        std::uint32_t away;
        std::vector<std::string> lines;
    } cases[] = {
        {"one away", 1,
         {left71, "a resolution change is left from the last run on a display that is not connected; it is put back "
                  "when the display is back", back71}},
        {"as many as a record holds", 1258,
         {left71, "resolution changes are left from the last run on 1258 displays that are not connected; each is "
                  "put back when its display is back", back71}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.displays.displays[mainDisplay].current = 2;
        const std::uint32_t returning = 1000;
        rig.displays.add(returning, {fakeMode(11, 2560, 1440), fakeMode(12, 1920, 1080)}, 12);
        rig.displays.displays[returning].own = 11;
        rig.displays.displays[returning].online = false;
        nlohmann::json changed = nlohmann::json::array({{{"display", 71}, {"original", 1}, {"applied", 2}}});
        for (std::uint32_t d = returning; d < returning + c.away; ++d)
            changed.push_back({{"display", d}, {"original", 11}, {"applied", 12}});
        rig.writeRecord(nlohmann::json{{"boot", thisBoot}, {"changed", changed}}.dump());
        auto& fx = rig.make();
        fx.recoverAtLaunch();
        EXPECT_EQ(rig.lines, c.lines);
        EXPECT_LE(rig.displays.queries, 20);
        EXPECT_TRUE(fx.restoreOwed());
        ASSERT_TRUE(rig.record());
        EXPECT_EQ((*rig.record())["changed"].size(), c.away);
        // One of them comes back and is put back; the rest still wait.
        rig.displays.displays[returning].online = true;
        rig.reconfigure();
        EXPECT_EQ(rig.current(returning), 11);
        EXPECT_EQ(fx.restoreOwed(), c.away > 1);
    }
}

TEST(DisplayEffectsDriver, OversizedRecordIsDroppedUnread) {
    Rig rig;
    rig.writeRecord(std::string(100 * 1024, ' '));
    rig.displays.displays[mainDisplay].current = 2;
    rig.displays.displays[mainDisplay].own = 2;
    auto& fx = rig.make();
    fx.recoverAtLaunch();
    EXPECT_FALSE(fs::exists(rig.marker));
    EXPECT_EQ(rig.lines,
              std::vector<std::string>{"display-change.json could not be used (larger than 65536 bytes); it was removed"});
}

// --- cover -----------------------------------------------------------------

TEST(DisplayEffectsDriver, CoverShowsOnlyOnceTheCaptureLeavesItOut) {
    Rig rig;
    auto& fx = rig.make();
    std::vector<bool> answers;
    fx.cover(mainDisplay, "covered", 1, [&](bool ok) { answers.push_back(ok); });
    EXPECT_TRUE(fx.covered());
    EXPECT_FALSE(rig.covers.opaque);
    EXPECT_TRUE(fx.leaseRunning());
    ASSERT_EQ(rig.exclusions.size(), 1u);
    EXPECT_EQ(rig.exclusions[0], 0x400001);
    rig.exclusionAnswer(true);
    EXPECT_TRUE(rig.covers.opaque);
    EXPECT_EQ(answers, std::vector<bool>{true});
    EXPECT_EQ(rig.lines.back(), "the screen of display 71 is hidden from view");
    rig.main.advance(4000);  // the deadline no longer counts
    EXPECT_EQ(answers, std::vector<bool>{true});
    fx.uncover();
    EXPECT_EQ(rig.covers.open, 0);
    EXPECT_EQ(rig.exclusions.back(), std::nullopt);
    EXPECT_EQ(rig.lines.back(), "the screen is shown again");
    EXPECT_FALSE(fx.leaseRunning());
}

TEST(DisplayEffectsDriver, LateOrRefusedExclusionFailsTheCover) {
    for (const bool late : {true, false}) {
        SCOPED_TRACE(late ? "late" : "refused");
        Rig rig;
        auto& fx = rig.make();
        std::vector<bool> answers;
        fx.cover(mainDisplay, "covered", 1, [&](bool ok) { answers.push_back(ok); });
        if (late) {
            rig.main.advance(4000);
            rig.exclusionAnswer(true);
        } else {
            rig.exclusionAnswer(false);
        }
        EXPECT_EQ(answers, std::vector<bool>{false});
        EXPECT_EQ(rig.covers.open, 0);
        EXPECT_FALSE(rig.covers.opaque);
        EXPECT_EQ(rig.lines.back(), "the screen was not hidden: the cover could not be left out of the picture");
    }
}

TEST(DisplayEffectsDriver, SecondCoverOvertakesTheFirst) {
    Rig rig;
    auto& fx = rig.make();
    std::vector<std::string> answers;
    fx.cover(mainDisplay, "covered", 1, [&](bool ok) { answers.push_back(ok ? "first ok" : "first failed"); });
    auto firstAnswer = rig.exclusionAnswer;
    fx.cover(mainDisplay, "covered", 1, [&](bool ok) { answers.push_back(ok ? "second ok" : "second failed"); });
    firstAnswer(true);
    EXPECT_EQ(answers, std::vector<std::string>{"first failed"});
    EXPECT_EQ(rig.covers.open, 1);
    EXPECT_FALSE(rig.covers.opaque);
    rig.exclusionAnswer(true);
    EXPECT_EQ(answers, (std::vector<std::string>{"first failed", "second ok"}));
    fx.uncover();
}

TEST(DisplayEffectsDriver, CoverRefusedWithoutTryingAnswersOnTheNextTurn) {
    struct Case {
        const char* name;
        std::function<void(Rig&)> arrange;
        std::uint32_t display;
    };
    const std::vector<Case> cases = {
        {"old epoch", [](Rig& r) { r.driver->restoreAll(3); }, mainDisplay},
        {"no such display", [](Rig&) {}, 999},
        {"no exclusion", [](Rig& r) { r.driver->excludeWindow = nullptr; }, mainDisplay},
        {"no window", [](Rig& r) { r.covers.refuse = true; }, mainDisplay},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        auto& fx = rig.make();
        c.arrange(rig);
        rig.clearLines();
        std::vector<bool> answers;
        fx.cover(c.display, "covered", 1, [&](bool ok) { answers.push_back(ok); });
        EXPECT_TRUE(answers.empty());
        rig.main.runOneTurn();
        EXPECT_EQ(answers, std::vector<bool>{false});
        EXPECT_TRUE(rig.lines.empty());
        EXPECT_FALSE(fx.leaseRunning());
    }
}

TEST(DisplayEffectsDriver, CoverEndsWhenItsDisplayGoesOrTheCaptureLosesIt) {
    struct Case {
        const char* name;
        std::function<void(Rig&)> act;
        std::string line;
        std::vector<std::string> events;
    };
    const std::vector<Case> cases = {
        {"exclusion lost", [](Rig& r) { r.driver->coverLost(); },
         "the screen is shown again: it could not be left out of the picture", {"cover-lost"}},
        {"display unplugged",
         [](Rig& r) {
             r.displays.displays[mainDisplay].online = false;
             r.reconfigure();
         },
         "the screen is shown again: the displays changed", {"reconfigured", "cover-lost"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        auto& fx = rig.make();
        fx.cover(mainDisplay, "covered", 1, [](bool) {});
        rig.exclusionAnswer(true);
        c.act(rig);
        rig.main.runAll();
        EXPECT_FALSE(fx.covered());
        EXPECT_EQ(rig.lines.back(), c.line);
        EXPECT_EQ(rig.events, c.events);
    }
}

TEST(DisplayEffectsDriver, CoverFollowsItsDisplaysNewSize) {
    Rig rig;
    auto& fx = rig.make();
    fx.cover(mainDisplay, "covered", 1, [](bool) {});
    rig.exclusionAnswer(true);
    ASSERT_TRUE(fx.setMode(2, mainDisplay, 1));
    rig.displays.displays[mainDisplay].bounds = {0, 0, 1440, 900};
    rig.reconfigure();
    EXPECT_TRUE(fx.covered());
    EXPECT_EQ(rig.covers.frame, (Rect{0, 0, 1440, 900}));
    EXPECT_TRUE(rig.events.empty());
    fx.restoreAll(1);
}

// --- Escape watch -----------------------------------------------------------

TEST(DisplayEffectsDriver, EscapeHeldThreeSecondsIsReportedOncePerPress) {
    Rig rig;
    auto& fx = rig.make();
    ASSERT_EQ(fx.armEscape(1), EscapeArm::armed);
    ASSERT_EQ(fx.armEscape(1), EscapeArm::armed);
    EXPECT_EQ(rig.keys.starts, 1);
    rig.keys.key(true, false);
    rig.main.advance(2750);
    rig.keys.key(false, false);  // let go too early
    rig.keys.key(true, false);
    rig.main.advance(2750);
    EXPECT_TRUE(rig.events.empty());
    for (int i = 0; i < 8; ++i) {
        rig.keys.key(true, true);  // auto-repeat keeps the first press
        rig.main.advance(250);
    }
    EXPECT_EQ(rig.events, std::vector<std::string>{"escape-held"});
    EXPECT_EQ(rig.lines.back(), "Escape was held at the computer");
    fx.disarmEscape();
    EXPECT_FALSE(rig.keys.running);
    EXPECT_EQ(rig.main.pendingTimers(), 1u);
    rig.main.advance(250);
    EXPECT_EQ(rig.main.pendingTimers(), 0u);
}

TEST(DisplayEffectsDriver, LostKeyWatchDisarmsAndIsReported) {
    Rig rig;
    auto& fx = rig.make();
    ASSERT_EQ(fx.armEscape(1), EscapeArm::armed);
    rig.keys.alive = false;
    rig.main.advance(250);
    EXPECT_FALSE(fx.watching());
    EXPECT_EQ(rig.events, std::vector<std::string>{"key-watch-lost"});
    EXPECT_EQ(rig.lines.back(), "the watch on the Escape key stopped");
}

TEST(DisplayEffectsDriver, KeyWatchThatCannotStartAnswersWhy) {
    for (const auto answer : {EscapeArm::noPermission, EscapeArm::failed}) {
        Rig rig;
        rig.keys.answer = answer;
        auto& fx = rig.make();
        EXPECT_EQ(fx.armEscape(1), answer);
        EXPECT_FALSE(fx.watching());
    }
}

TEST(DisplayEffectsDriver, CoverIsRaisedAgainWhenSomethingShowsAboveIt) {
    Rig rig;
    auto& fx = rig.make();
    ASSERT_EQ(fx.armEscape(1), EscapeArm::armed);
    fx.cover(mainDisplay, "covered", 1, [](bool) {});
    rig.exclusionAnswer(true);
    rig.main.advance(250);
    EXPECT_EQ(rig.covers.raised, 0);
    rig.displays.coverOnTop = false;
    rig.main.advance(250);
    EXPECT_EQ(rig.covers.raised, 1);
    fx.restoreAll(1);
}

// --- watchdog ----------------------------------------------------------------

TEST(DisplayEffectsDriver, WatchdogRunsOnlyWhileAnEffectIsInForce) {
    Rig rig;
    auto& fx = rig.make();
    EXPECT_FALSE(fx.leaseRunning());
    ASSERT_TRUE(fx.setMode(2, mainDisplay, 1));
    EXPECT_TRUE(fx.leaseRunning());
    EXPECT_TRUE(rig.lease.fire);
    rig.displays.refuseApplies = 1;
    EXPECT_FALSE(fx.restoreMode(mainDisplay));  // owed now
    EXPECT_FALSE(fx.leaseRunning());
    EXPECT_FALSE(rig.lease.fire);
    rig.main.advance(3000);
}

TEST(DisplayEffectsDriver, WatchdogExpiresWhenTheServerOrTheMainQueueStalls) {
    struct Case {
        const char* name;
        bool serverBeats;
        bool mainRuns;
        int expiresAfterSeconds;  // 0: never within 30 s
    };
    const std::vector<Case> cases = {
        {"both alive", true, true, 0},
        {"server stalls", false, true, 9},
        {"main queue blocked", true, false, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        auto& fx = rig.make();
        ASSERT_TRUE(fx.setMode(2, mainDisplay, 1));
        int expiredAt = 0;
        for (int second = 1; second <= 30 && !expiredAt; ++second) {
            rig.extraSeconds += 1;
            if (c.serverBeats) fx.keepAlive();
            rig.lease.fire();
            if (c.mainRuns) rig.main.runAll();
            if (!rig.expiries.empty()) expiredAt = second;
        }
        EXPECT_EQ(expiredAt, c.expiresAfterSeconds);
        if (expiredAt) {
            ASSERT_EQ(rig.expiries.size(), 1u);
            EXPECT_EQ(rig.expiries[0], (std::vector<ModeToRestore>{{mainDisplay, fakeMode(1, 1920, 1080)}}));
            EXPECT_EQ(rig.lines.back(), "Morvane stopped responding while the display was changed: quitting so the "
                                        "display goes back to normal");
        }
        fx.restoreAll(1);
    }
}

TEST(DisplayEffectsDriver, WatchdogDoesNotCountASleepAgainstTheHost) {
    Rig rig;
    auto& fx = rig.make();
    ASSERT_TRUE(fx.setMode(2, mainDisplay, 1));
    rig.extraSeconds += 1;
    rig.lease.fire();
    rig.main.runAll();
    rig.extraSeconds += 60;  // nothing ran meanwhile
    rig.lease.fire();
    rig.main.runAll();
    EXPECT_TRUE(rig.expiries.empty());
    fx.restoreAll(1);
}

TEST(DisplayEffectsDriver, WatchdogTimerMayLoseItsOwnerInsideItsOwnFiring) {
    // The firing holds the last reference to the driver, whose end stops the
    // timer from the timer's own thread: that must neither hang nor crash.
    auto owner = std::make_shared<std::unique_ptr<LeaseTimer>>(makeMonotonicLeaseTimer());
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    (*owner)->start([owner, done]() mutable {
        if (!owner) return;
        owner->reset();
        owner.reset();
        done->set_value();
    });
    owner.reset();
    EXPECT_EQ(finished.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

// --- reconfiguration and system events ------------------------------------------

TEST(DisplayEffectsDriver, BurstOfReconfigurationsGivesOneCheck) {
    Rig rig;
    auto& fx = rig.make();
    ASSERT_TRUE(fx.setMode(2, mainDisplay, 1));
    rig.displays.displays[mainDisplay].current = rig.displays.displays[mainDisplay].own = 3;  // set at the machine
    for (int i = 0; i < 10; ++i) rig.displays.reconfigured();
    rig.main.runAll();
    rig.main.advance(100);
    EXPECT_TRUE(rig.events.empty());
    rig.main.advance(100);
    EXPECT_EQ(rig.events, std::vector<std::string>{"changed-elsewhere 71"});
    fx.forgetMode(mainDisplay);
    EXPECT_EQ(rig.current(), 3);
}

TEST(DisplayEffectsDriver, NewDisplayReportsReconfiguredOnce) {
    Rig rig;
    auto& fx = rig.make();
    ASSERT_TRUE(fx.setMode(2, mainDisplay, 1));
    rig.displays.add(second, {fakeMode(11, 1920, 1080)}, 11);
    rig.reconfigure();
    EXPECT_EQ(rig.events, std::vector<std::string>{"reconfigured"});
    fx.restoreAll(1);
}

TEST(DisplayEffectsDriver, SystemAwayComesFromTheSessionAndFromBlankedScreens) {
    Rig rig;
    auto& fx = rig.make();
    fx.systemAway();
    rig.main.runAll();
    EXPECT_EQ(rig.events, std::vector<std::string>{"system-away"});
    ASSERT_TRUE(fx.setMode(2, mainDisplay, 1));
    rig.main.advance(1000);
    rig.displays.awake = false;
    rig.main.advance(1000);
    rig.main.advance(1000);
    EXPECT_EQ(rig.events, (std::vector<std::string>{"system-away", "system-away"}));
    fx.restoreAll(1);
}

}  // namespace
}  // namespace morvane

#include "platform/linux/locker_linux.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>

namespace morvane {
namespace {

using Kind = CommandResult::Kind;
using Call = LockerBus::Call;

// The desktops' lockers as a script: each question is written down
// ("mate Lock", "login GetActive", "xscreensaver LOCK") and answered from the
// table (nothing for a question it does not name: a saver not on the bus),
// at once or, when `held`, only when the test lets the answers go.
struct ScriptedLockers final : LockerBus, XScreenSaverAccess {
    static constexpr const char* names[] = {"freedesktop", "gnome", "mate", "cinnamon", "xfce"};
    std::map<std::string, std::optional<bool>> answers;
    std::optional<bool> xscreensaver;  // nothing: none runs
    bool held = false;
    std::vector<std::function<void()>> waiting;
    std::vector<std::string> asked;

    void askSaver(std::size_t saver, Call call, std::function<void(std::optional<bool>)> answer) override {
        reply(std::string(names[saver]) + (call == Call::lock ? " Lock" : " GetActive"), std::move(answer));
    }
    void askLoginManager(Call call, std::function<void(std::optional<bool>)> answer) override {
        reply(call == Call::lock ? "login Lock" : "login GetActive", std::move(answer));
    }
    std::optional<bool> locked() override { return xscreensaver; }
    bool lock() override {
        asked.push_back("xscreensaver LOCK");
        return xscreensaver.has_value();
    }
    void letGo() {
        auto all = std::move(waiting);
        waiting.clear();
        for (auto& answer : all) answer();
    }

private:
    void reply(const std::string& question, std::function<void(std::optional<bool>)> answer) {
        asked.push_back(question);
        const auto it = answers.find(question);
        const std::optional<bool> value = it == answers.end() ? std::nullopt : it->second;
        if (held)
            waiting.push_back([answer = std::move(answer), value] { answer(value); });
        else
            answer(value);
    }
};

// What one round of answers says, for every kind of desktop.
TEST(ScreenLocker, TheFirstScreenSaverThatAnswersHasTheLastWordThenTheHintThenXscreensaver) {
    using Savers = std::array<std::optional<bool>, busScreenSavers.size()>;
    const struct {
        const char* why;
        Savers savers;
        std::optional<bool> hint, xscreensaver;
        LockerLookResult look;
    } table[] = {
        {"nothing answers at all", {}, std::nullopt, std::nullopt, {false, false}},
        {"MATE alone, locked", {std::nullopt, std::nullopt, true}, std::nullopt, std::nullopt, {true, true}},
        {"a saver's unlocked beats xscreensaver's locked", {false}, std::nullopt, true, {true, false}},
        {"the first of the table decides", {std::nullopt, false, true}, std::nullopt, std::nullopt, {true, false}},
        {"no saver: the login manager's hint says locked", {}, true, false, {true, true}},
        {"a hint of unlocked proves no locker", {}, false, std::nullopt, {false, false}},
        {"a hint of unlocked, xscreensaver runs", {}, false, false, {true, false}},
        {"xscreensaver alone, locked", {}, std::nullopt, true, {true, true}},
        {"xscreensaver alone, blanked or not", {}, std::nullopt, false, {true, false}},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.why);
        EXPECT_EQ(decideLook(row.savers, row.hint, row.xscreensaver), row.look);
        // The same through the ports.
        ScriptedLockers script;
        for (std::size_t i = 0; i < busScreenSavers.size(); ++i)
            if (row.savers[i]) script.answers[std::string(ScriptedLockers::names[i]) + " GetActive"] = row.savers[i];
        if (row.hint) script.answers["login GetActive"] = row.hint;
        script.xscreensaver = row.xscreensaver;
        std::optional<LockerLookResult> seen;
        ScreenLocker(nullptr, &script, &script).look([&](ScreenLocker::Look look) { seen = look; });
        EXPECT_EQ(seen, row.look);
        for (const auto& question : script.asked) EXPECT_FALSE(question.ends_with("Lock")) << "a look must not lock";
    }
}

// Each desktop's saver in the table's order, then xscreensaver, then the
// login manager: the first that takes it ends the round, a saver that does
// not reply to Lock took it when it is active, and nothing taking it is said.
TEST(ScreenLocker, TriesEachLockerInTurnAndSaysWhenNoneTookIt) {
    const struct {
        const char* why;
        std::map<std::string, std::optional<bool>> answers;
        std::optional<bool> xscreensaver;
        bool took;
        std::vector<std::string> asked;  // after the savers before the first named
    } table[] = {
        {"MATE replies to Lock", {{"mate Lock", true}}, std::nullopt, true, {"mate Lock"}},
        {"MATE locks and never replies: its GetActive decides",
         {{"mate GetActive", true}},
         std::nullopt,
         true,
         {"mate Lock", "mate GetActive"}},
        {"Cinnamon after a freedesktop saver that refuses",
         {{"freedesktop GetActive", false}, {"cinnamon Lock", true}},
         std::nullopt,
         true,
         {"freedesktop Lock", "freedesktop GetActive", "gnome Lock", "gnome GetActive", "mate Lock",
          "mate GetActive", "cinnamon Lock"}},
        {"xscreensaver before the login manager", {}, false, true, {"xscreensaver LOCK"}},
        {"the login manager last", {{"login Lock", true}}, std::nullopt, true, {"xscreensaver LOCK", "login Lock"}},
        {"a saver that neither replies nor locks, and nothing else", {{"xfce GetActive", false}}, std::nullopt, false,
         {"xfce Lock", "xfce GetActive", "xscreensaver LOCK", "login Lock"}},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.why);
        ScriptedLockers script;
        script.answers = row.answers;
        script.xscreensaver = row.xscreensaver;
        std::vector<std::string> log;
        std::optional<bool> took;
        ScreenLocker([&](const std::string& line) { log.push_back(line); }, &script, &script).lock([&](bool t) {
            took = t;
        });
        EXPECT_EQ(took, row.took);
        // The savers before the first one the row names were asked and had
        // nothing to say.
        std::vector<std::string> expected;
        for (const char* name : ScriptedLockers::names) {
            if (row.asked.front().starts_with(std::string(name) + " ")) break;
            expected.push_back(std::string(name) + " Lock");
            expected.push_back(std::string(name) + " GetActive");
        }
        expected.insert(expected.end(), row.asked.begin(), row.asked.end());
        EXPECT_EQ(script.asked, expected);
        EXPECT_EQ(log, row.took ? std::vector<std::string>{}
                                : std::vector<std::string>{"the screen could not be locked: no screen locker answered"});
    }
    // With no bus and no display, nothing can take it.
    std::optional<bool> took;
    ScreenLocker(nullptr, nullptr, nullptr).lock([&](bool t) { took = t; });
    EXPECT_EQ(took, false);
}

// Answers come when the lockers give them: a look waits for every one, a
// lock for the one it asked, and a locker gone meanwhile hears nothing more.
TEST(ScreenLocker, WaitsForTheAnswersItAskedAndNoLongerThanItsOwnerLives) {
    ScriptedLockers script;
    script.held = true;
    script.answers = {{"gnome GetActive", true}, {"cinnamon Lock", true}};
    int looks = 0, locks = 0;
    {
        ScreenLocker locker(nullptr, &script, &script);
        std::optional<LockerLookResult> seen;
        locker.look([&](ScreenLocker::Look look) {
            ++looks;
            seen = look;
        });
        EXPECT_EQ(script.asked.size(), busScreenSavers.size() + 1) << "every locker at once";
        EXPECT_FALSE(seen);
        script.letGo();
        EXPECT_EQ(seen, (LockerLookResult{true, true}));

        script.asked.clear();
        script.answers.erase("gnome GetActive");
        std::optional<bool> took;
        locker.lock([&](bool t) {
            ++locks;
            took = t;
        });
        for (int step = 0; step < 20 && !took; ++step) script.letGo();
        EXPECT_EQ(took, true);
        EXPECT_EQ(script.asked.back(), "cinnamon Lock");

        locker.look([&](ScreenLocker::Look) { ++looks; });
        locker.lock([&](bool) { ++locks; });
    }
    script.letGo();
    script.letGo();
    EXPECT_EQ(looks, 1);
    EXPECT_EQ(locks, 1);
}

TEST(RunCommand, EndsInTimeAndKeepsItsOutputBounded) {
    const auto start = std::chrono::steady_clock::now();
    const auto slow = runCommand({"sleep", "30"}, 200);
    EXPECT_EQ(slow.kind, Kind::timedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

    const auto lingering = runCommand({"sh", "-c", "exec >&-; sleep 30"}, 200);
    EXPECT_EQ(lingering.kind, Kind::timedOut);

    const auto big = runCommand({"sh", "-c", "head -c 300000 /dev/zero | tr '\\0' x"}, 10'000);
    EXPECT_EQ(big.kind, Kind::exited);
    EXPECT_EQ(big.status, 0);
    EXPECT_EQ(big.output.size(), 64u * 1024);

    const auto echoed = runCommand({"echo", "boolean true"}, 10'000);
    EXPECT_EQ(echoed.kind, Kind::exited);
    EXPECT_EQ(echoed.output, "boolean true\n");
    EXPECT_EQ(runCommand({"false"}, 10'000).status, 1);
    EXPECT_EQ(runCommand({"morvane-no-such-program"}, 10'000).kind, Kind::missing);
    EXPECT_EQ(runCommand({}, 10'000).kind, Kind::failed);
}

}  // namespace
}  // namespace morvane

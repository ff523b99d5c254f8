#include "platform/linux/locker_linux.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>

namespace morvane {
namespace {

using Kind = CommandResult::Kind;

// Answers each program by its name and writes down what was run.
struct ScriptedRunner {
    std::map<std::string, CommandResult> answers;
    std::vector<std::string> ran;
    CommandRunner runner() {
        return [this](const std::vector<std::string>& argv, std::int64_t limit) {
            EXPECT_GT(limit, 0);
            ran.push_back(argv.at(0) + (argv.size() > 1 ? " " + argv[1] : ""));
            const auto it = answers.find(argv[0]);
            return it == answers.end() ? CommandResult{Kind::missing, -1, ""} : it->second;
        };
    }
};

TEST(ScreenLocker, TriesEachLockerInTurnAndSaysWhenNoneTookIt) {
    {
        ScriptedRunner script;
        script.answers["dbus-send"] = {Kind::exited, 0, ""};
        std::vector<std::string> log;
        ScreenLocker locker([&](const std::string& l) { log.push_back(l); }, script.runner());
        EXPECT_TRUE(locker.lock());
        EXPECT_EQ(script.ran, (std::vector<std::string>{"dbus-send --session"}));
        EXPECT_TRUE(log.empty());
    }
    {
        // No screen saver on the bus (a timeout counts the same), a login
        // manager that refuses, then xdg-screensaver.
        ScriptedRunner script;
        script.answers["dbus-send"] = {Kind::timedOut, -1, ""};
        script.answers["loginctl"] = {Kind::exited, 1, ""};
        script.answers["xdg-screensaver"] = {Kind::exited, 0, ""};
        ScreenLocker locker(nullptr, script.runner());
        EXPECT_TRUE(locker.lock());
        EXPECT_EQ(script.ran, (std::vector<std::string>{"dbus-send --session", "loginctl lock-session",
                                                         "xdg-screensaver lock"}));
    }
    {
        // Without dbus-send, gdbus speaks to the bus; nothing works at all.
        ScriptedRunner script;
        script.answers["gdbus"] = {Kind::exited, 1, ""};
        std::vector<std::string> log;
        ScreenLocker locker([&](const std::string& l) { log.push_back(l); }, script.runner());
        EXPECT_FALSE(locker.lock());
        EXPECT_EQ(script.ran, (std::vector<std::string>{"dbus-send --session", "gdbus call", "loginctl lock-session",
                                                         "xdg-screensaver lock"}));
        EXPECT_EQ(log, (std::vector<std::string>{"the screen could not be locked: no screen locker answered"}));
    }
}

TEST(ScreenLocker, LockedOnlyWhenTheScreenSaverSaysSo) {
    auto locked = [](std::map<std::string, CommandResult> answers) {
        ScriptedRunner script;
        script.answers = std::move(answers);
        return ScreenLocker(nullptr, script.runner()).isLocked();
    };
    EXPECT_TRUE(locked({{"dbus-send", {Kind::exited, 0, "   boolean true\n"}}}));
    EXPECT_FALSE(locked({{"dbus-send", {Kind::exited, 0, "   boolean false\n"}}}));
    EXPECT_FALSE(locked({{"dbus-send", {Kind::exited, 1, "boolean true"}}}));
    EXPECT_FALSE(locked({{"dbus-send", {Kind::timedOut, -1, ""}}, {"gdbus", {Kind::exited, 0, "(true,)\n"}}}));
    EXPECT_TRUE(locked({{"gdbus", {Kind::exited, 0, "(true,)\n"}}}));
    EXPECT_FALSE(locked({{"gdbus", {Kind::exited, 0, "(false,)\n"}}}));
    EXPECT_FALSE(locked({}));
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

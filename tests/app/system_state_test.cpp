#include "app/system_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "manual_executor.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;

TEST(StateProbes, LidStateFromTheAcpiFile) {
    EXPECT_TRUE(SystemState::parseLidClosed("state:      closed\n"));
    EXPECT_FALSE(SystemState::parseLidClosed("state:      open\n"));
    EXPECT_FALSE(SystemState::parseLidClosed(""));
    EXPECT_FALSE(SystemState::parseLidClosed("state:\n"));

    const fs::path root = fs::temp_directory_path() / ("lid-test-" + std::to_string(::getpid()));
    fs::create_directories(root / "LID0");
    std::ofstream(root / "LID0" / "state") << "state:      closed\n";
    EXPECT_TRUE(SystemState::lidClosed(root));
    std::ofstream(root / "LID0" / "state") << "state:      open\n";
    EXPECT_FALSE(SystemState::lidClosed(root));
    EXPECT_FALSE(SystemState::lidClosed(root / "missing"));  // a machine without a lid reads as open
    fs::remove_all(root);
}

TEST(StateProbes, BatteryIsFoundOnlyWhereItReallyIs) {
    const fs::path root = fs::temp_directory_path() / ("power-test-" + std::to_string(::getpid()));
    fs::create_directories(root / "AC");
    std::ofstream(root / "AC" / "type") << "Mains\n";
    EXPECT_FALSE(SystemState::hasBattery(root));
    fs::create_directories(root / "BAT0");
    std::ofstream(root / "BAT0" / "type") << "Battery\n";
    EXPECT_TRUE(SystemState::hasBattery(root));
    EXPECT_FALSE(SystemState::hasBattery(root / "missing"));

    fs::remove_all(root);
}

TEST(StateProbes, SleepIsDisabledWhenATargetIsMasked) {
    EXPECT_TRUE(SystemState::parseSleepDisabled("LoadState=loaded\n\nLoadState=masked\n"));
    EXPECT_TRUE(SystemState::parseSleepDisabled("  LoadState=masked\r\n"));
    EXPECT_FALSE(SystemState::parseSleepDisabled("LoadState=loaded\n\nLoadState=loaded\n"));
    EXPECT_FALSE(SystemState::parseSleepDisabled("LoadState=masked-ish\n"));
    EXPECT_FALSE(SystemState::parseSleepDisabled(""));
}

TEST(StateProbes, SleepIsDisabledOnlyWhereTheMachineCannotFallAsleep) {
    using Facts = SystemState::SleepFacts;
    const std::string loaded = "LoadState=loaded\n\nLoadState=loaded\n";
    const std::string masked = "LoadState=masked\n\nLoadState=loaded\n";
    const std::string states = "freeze mem disk\n";
    const struct {
        const char* why;
        Facts facts;
        bool disabled;
    } table[] = {
        {"an ordinary machine", {loaded, states, "BlockInhibited=handle-power-key:handle-suspend-key\n"}, false},
        {"a masked suspend target", {masked, states, "BlockInhibited=\n"}, true},
        {"a kernel without sleep states", {loaded, "\n", "BlockInhibited=\n"}, true},
        {"only standby", {loaded, "standby\n", std::nullopt}, false},
        {"a sleep block inhibitor", {loaded, states, "BlockInhibited=shutdown:sleep:idle\n"}, true},
        {"sleep first in the list", {loaded, states, "BlockInhibited=sleep\n"}, true},
        {"a look-alike word", {loaded, states, "BlockInhibited=sleepy:handle-lid-switch\n"}, false},
        {"a delay inhibitor is no block", {loaded, states, "DelayInhibited=sleep\n"}, false},
        {"nothing could be read", {std::nullopt, std::nullopt, std::nullopt}, false},
        {"only the kernel answered", {std::nullopt, "freeze\n", std::nullopt}, false},
        {"a target masked on the bus", {std::nullopt, states, std::nullopt, {{"loaded", "masked"}}, ""}, true},
        {"a sleep block on the bus", {std::nullopt, states, std::nullopt, {{"loaded", "not-found"}}, "shutdown:sleep"},
         true},
        {"the bus's answers stand in for the tools'",
         {masked, states, "BlockInhibited=sleep\n", {{"loaded", "loaded"}}, "handle-lid-switch"},
         false},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.why);
        EXPECT_EQ(SystemState::sleepDisabled(row.facts), row.disabled);
    }
}

TEST(StateProbes, SleepIsAskedOfTheBusAndOfAToolOnlyWhereTheBusDoesNotAnswer) {
    const fs::path power = fs::temp_directory_path() / ("sleep-state-test-" + std::to_string(::getpid()));
    std::ofstream(power) << "freeze mem disk\n";
    std::vector<std::string> started;
    const SystemState::Run run = [&](const std::vector<std::string>& argv, std::int64_t) -> std::optional<std::string> {
        started.push_back(argv[0]);
        if (argv[0] == "/usr/bin/systemctl") return "LoadState=masked\n\nLoadState=loaded\n";
        return "BlockInhibited=\n";
    };
    using States = std::optional<std::vector<std::string>>;
    using What = std::optional<std::string>;
    const auto answers = [](States states, What what) {
        return SystemState::SleepBus{[states] { return states; }, [what] { return what; }};
    };
    const struct {
        const char* why;
        SystemState::SleepBus bus;
        std::vector<std::string> started;
        bool disabled;
    } table[] = {
        {"both answer on the bus", answers({{"loaded", "loaded"}}, "sleep"), {}, true},
        {"systemd is not on the bus", answers(std::nullopt, ""), {"/usr/bin/systemctl"}, true},
        {"logind is not on the bus", answers({{"loaded", "loaded"}}, std::nullopt), {"/usr/bin/loginctl"}, false},
        {"no bus at all", {}, {"/usr/bin/systemctl", "/usr/bin/loginctl"}, true},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.why);
        started.clear();
        EXPECT_EQ(SystemState::readSleepDisabled(row.bus, run, power), row.disabled);
        EXPECT_EQ(started, row.started);
    }
    const SystemState::Run silent = [](const std::vector<std::string>&, std::int64_t) { return std::nullopt; };
    EXPECT_EQ(SystemState::readSleepDisabled(answers(std::nullopt, std::nullopt), silent, power / "missing"),
              std::nullopt)
        << "nothing answered";
    fs::remove(power);
}

// A device connected for five minutes on a desktop whose system bus does not
// answer: the status is read every two seconds, sleep through the tools (the
// lock is heard over the buses and the display, with no program).
TEST(StateProbes, AConnectedDeviceStartsFewProgramsWhereNoneAnswersAndKeepsAskingOneThatDoes) {
    const struct {
        const char* why;
        std::set<std::string> answering;
        long fewest, most;  // programs started in the five minutes
    } table[] = {
        {"no system bus, and neither tool answers", {}, 6, 6},
        {"systemctl answers", {"/usr/bin/systemctl"}, 50, 60},
        {"both of the system's tools answer", {"/usr/bin/systemctl", "/usr/bin/loginctl"}, 100, 110},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.why);
        testing::ManualExecutor queue;
        std::int64_t now = 0;
        const auto clock = [&now] { return now; };
        std::map<std::string, long> started;
        const SystemState::Run tools = [&](const std::vector<std::string>& argv,
                                           std::int64_t) -> std::optional<std::string> {
            ++started[argv[0]];
            if (!row.answering.contains(argv[0])) return std::nullopt;
            return "LoadState=loaded\nBlockInhibited=\n";
        };
        const auto run = SystemState::pacedRun(tools, std::make_shared<ProgramPaces>(clock));
        CachedProbe sleep(queue, [&run] { return SystemState::readSleepDisabled({}, run); }, 4'000, clock);
        for (; now <= 300'000; now += 2'000) {
            sleep.value();
            queue.runAll();
        }
        long all = 0;
        for (const auto& [program, times] : started) {
            all += times;
            if (!row.answering.contains(program)) {
                EXPECT_LE(times, ProgramPace::failuresBeforeRest) << program;
            }
        }
        EXPECT_GE(all, row.fewest);
        EXPECT_LE(all, row.most);
    }
}

TEST(StateProbes, ChildProcessesAreBoundedInTimeAndOutput) {
    EXPECT_EQ(SystemState::runBounded({"/bin/echo", "hello"}, 5'000), "hello\n");
    EXPECT_FALSE(SystemState::runBounded({"/bin/false"}, 5'000));
    EXPECT_FALSE(SystemState::runBounded({"/nonexistent/tool"}, 5'000));
    EXPECT_FALSE(SystemState::runBounded({"echo", "relative paths are refused"}, 5'000));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(SystemState::runBounded({"/bin/sleep", "30"}, 300));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    const auto big = SystemState::runBounded({"/bin/sh", "-c", "head -c 100000 /dev/zero"}, 5'000, 1'000);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->size(), 1'000u);
    // No descriptor of ours reaches the child: only 0, 1 and 2 are open there.
    const auto fds = SystemState::runBounded({"/bin/sh", "-c", "ls /proc/self/fd | wc -l"}, 5'000);
    ASSERT_TRUE(fds);
    EXPECT_LE(std::stoi(*fds), 4);  // 0, 1, 2 and the one ls opens to list them
}

TEST(StateProbes, CachedProbeAnswersAtOnceAndRereadsOnlyWhenStale) {
    testing::ManualExecutor queue;
    int reads = 0;
    bool answer = true;
    bool fail = false;
    std::int64_t now = 0;
    CachedProbe probe(
        queue,
        [&]() -> std::optional<bool> {
            ++reads;
            if (fail) return std::nullopt;
            return answer;
        },
        4'000, [&] { return now; });
    EXPECT_FALSE(probe.value()) << "false until the first read finished";
    EXPECT_FALSE(probe.value());
    queue.runAll();
    EXPECT_EQ(reads, 1) << "asking while a read waits starts no second one";
    EXPECT_TRUE(probe.value());
    now = 4'000;  // not older than the limit
    answer = false;
    EXPECT_TRUE(probe.value());
    queue.runAll();
    EXPECT_EQ(reads, 1);
    now = 4'001;
    EXPECT_TRUE(probe.value()) << "starts a read, answers from the cache";
    queue.runAll();
    EXPECT_EQ(reads, 2);
    EXPECT_FALSE(probe.value());
    fail = true;
    answer = true;
    now = 9'000;
    probe.value();
    queue.runAll();
    EXPECT_EQ(reads, 3);
    EXPECT_FALSE(probe.value()) << "a failed read keeps the last value";
}

}  // namespace
}  // namespace morvane

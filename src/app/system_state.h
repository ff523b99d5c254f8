// What the host can tell about the machine: whether the screen is locked,
// whether a laptop's lid is closed and whether system sleep is switched off.
// The parsers do no I/O; the probes never throw and read every failure as
// false. Child processes run under a time limit, never on a caller that must
// not wait.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/executor.h"
#include "core/program_pace.h"

namespace morvane {

namespace SystemState {

// /proc/acpi/button/lid/*/state holds a line such as "state:      closed".
bool parseLidClosed(std::string_view stateFile);
// The output of `systemctl show --property=LoadState sleep.target
// suspend.target`: sleep counts as disabled when either target is masked.
bool parseSleepDisabled(std::string_view systemctlOutput);
// /sys/power/state: whether the kernel offers any way to sleep ("freeze",
// "mem" or "disk"). A kernel without one cannot fall asleep at all.
bool parseKernelCanSleep(std::string_view powerState);
// The manager's properties as `loginctl show-session` prints them: whether
// somebody holds a block inhibitor on sleep ("BlockInhibited=…sleep…").
bool parseSleepBlocked(std::string_view loginctlOutput);
// logind's BlockInhibited value itself ("shutdown:sleep:idle"): whether
// sleep is among what is blocked.
bool blocksSleep(std::string_view blockInhibited);

// Whether this machine cannot fall asleep now: a sleep target is masked,
// the kernel offers no sleep state, or sleep is blocked by an inhibitor.
// logind's idle and lid actions alone prove nothing: a desktop's power
// manager suspends on its own, so they never count as disabled.
struct SleepFacts {
    std::optional<std::string> targets;       // systemctl's answer, absent when it gave none
    std::optional<std::string> powerState;    // /sys/power/state
    std::optional<std::string> managerState;  // loginctl's answer
    // The same two as the system bus gives them; each stands in for the
    // tool's answer where present.
    std::optional<std::vector<std::string>> targetStates = std::nullopt;  // each target's LoadState
    std::optional<std::string> blockInhibited = std::nullopt;             // logind's BlockInhibited
};
bool sleepDisabled(const SleepFacts& facts);
// Reads the first lid under `root`; false when there is none.
bool lidClosed(const std::filesystem::path& root = "/proc/acpi/button/lid");
// Whether a power supply under `root` is a battery (its "type" file reads
// "Battery"): the machine is a laptop.
bool hasBattery(const std::filesystem::path& root = "/sys/class/power_supply");
// Runs argv[0] (an absolute path) with no inherited descriptors but a pipe
// on standard output, for at most `timeoutMillis`, keeping at most
// `maxOutputBytes` of output. Absent when it can't start, times out (it is
// killed) or exits with a status other than 0.
std::optional<std::string> runBounded(const std::vector<std::string>& argv, std::int64_t timeoutMillis,
                                      std::size_t maxOutputBytes = 65'536);

}  // namespace SystemState

// A probe read in the background and cached, so asking costs nothing: the
// first answers are false until the first read finished, a failed read keeps
// the last value, and a new read starts only when somebody asks and the last
// one is older than `maxAgeMillis`. Reads run on `queue` and hold nothing of
// the probe itself, so a read still queued when the probe goes is harmless.
class CachedProbe {
public:
    using Read = std::function<std::optional<bool>()>;
    using Clock = std::function<std::int64_t()>;
    CachedProbe(Executor& queue, Read read, std::int64_t maxAgeMillis, Clock clock);

    bool value();

private:
    void refreshIfStale();

    struct State {
        std::mutex lock;
        bool cached = false;
        std::optional<std::int64_t> readAt;
        bool refreshing = false;
    };
    Read read_;
    std::int64_t maxAgeMillis_;
    Clock clock_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
    Executor& queue_;
};

namespace SystemState {

// Where the system bus answers, the sleep facts as it gives them, each
// absent while its service does not answer there. Asked on the reader's
// queue: a read may wait for the bus (about a second at most), never for a
// program.
struct SleepBus {
    // The LoadState of sleep.target and of suspend.target.
    std::function<std::optional<std::vector<std::string>>()> targetStates;
    // logind's BlockInhibited.
    std::function<std::optional<std::string>()> blockInhibited;
};
using Run = std::function<std::optional<std::string>(const std::vector<std::string>&, std::int64_t timeoutMillis)>;

// `run` at the pace of each program (ProgramPace): a program resting is not
// started, and reads as no answer.
Run pacedRun(Run run, std::shared_ptr<ProgramPaces> paces);

// One reading of whether sleep is disabled: each fact from the bus where it
// answers, else from its command-line tool, started through `run`; the
// kernel's states from `powerState`. Absent when nothing answered.
std::optional<bool> readSleepDisabled(const SleepBus& bus, const Run& run,
                                      const std::filesystem::path& powerState = "/sys/power/state");

}  // namespace SystemState

// The sleep-disabled probe with its default age, reading on `queue`; the
// tools it falls back on go at their pace.
std::unique_ptr<CachedProbe> makeSleepDisabledReader(Executor& queue, SystemState::SleepBus bus = {},
                                                     std::int64_t maxAgeMillis = 4'000);

}  // namespace morvane

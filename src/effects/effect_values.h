// Small timing and classification values of the display effects. None reads
// a clock: the caller passes the time, in milliseconds for the machine's
// values and in seconds for the driver's, always from one monotonic clock.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>

#include "effects/fx_message.h"

namespace morvane {

// The least spacing of accepted matches, hides and probes, each on a clock of
// its own. Only what is allowed is recorded.
struct FxLimiter {
    std::optional<std::uint64_t> lastMatch;
    std::optional<std::uint64_t> lastHide;
    std::optional<std::uint64_t> lastProbe;

    bool allow(const FxRequest& request, std::uint64_t nowMillis);
    bool operator==(const FxLimiter&) const = default;
};

// Escape held at the Mac for long enough shows a hidden screen, once per press.
struct EscapeHold {
    std::optional<double> downSince;
    bool fired = false;

    void key(bool down, bool isRepeat, double at);
    void reset();
    bool fires(double at);
    bool operator==(const EscapeHold&) const = default;
};

// The input clock of a hidden screen and its one warning before the limit.
struct HideIdle {
    std::uint64_t last = 0;
    bool warned = false;

    void input(std::uint64_t nowMillis);
    // Seconds of warning before a limit of `limit` seconds runs out.
    static int warning(int limit);
    bool expired(std::uint64_t nowMillis, int limit) const;
    bool warnDue(std::uint64_t nowMillis, int limit);
    bool operator==(const HideIdle&) const = default;
};

// What to do with a display that still owes the restore of its mode.
namespace OwedMode {
enum class Decision { keep, restore, forget };
Decision decide(bool online, std::optional<std::int32_t> current, std::int32_t applied);
}  // namespace OwedMode

namespace ReconfigClassifier {
struct Topology {
    std::set<std::uint32_t> online;
    std::uint32_t main = 0;
    std::map<std::uint32_t, std::uint32_t> mirrors;  // mirroring display -> mirrored display
    bool operator==(const Topology&) const = default;
};

namespace verdict {
struct ModeChangedElsewhere {
    std::uint32_t display = 0;
    bool operator==(const ModeChangedElsewhere&) const = default;
};
struct None {
    bool operator==(const None&) const = default;
};
struct Reconfigured {
    bool operator==(const Reconfigured&) const = default;
};
}  // namespace verdict
using Verdict = std::variant<verdict::ModeChangedElsewhere, verdict::None, verdict::Reconfigured>;

struct Matched {
    std::uint32_t display = 0;
    std::int32_t applied = 0;
    std::int32_t original = 0;
};

Verdict classify(const Topology& before, const Topology& after, const std::optional<Matched>& matched,
                 std::optional<std::int32_t> currentMode);
}  // namespace ReconfigClassifier

// The effects watchdog's reckoning: the server must beat and the main thread
// must answer pings within the lease; a stall of the whole process (sleep)
// counts against neither.
struct EffectsLease {
    double serverBeat = 0;
    std::optional<double> pingSentAt;
    std::optional<double> lastFire;

    explicit EffectsLease(double now) : serverBeat(now) {}
    void serverAlive(double now);
    void mainAnswered();
    struct Fire {
        bool ping = false;
        bool expired = false;
        bool operator==(const Fire&) const = default;
    };
    Fire fire(double now);
    bool operator==(const EffectsLease&) const = default;
};

// After a mode change, pointer moves and presses are held back until the
// display shows the expected size or the gate's time runs out.
struct ModeGate {
    std::optional<std::uint32_t> display;
    std::optional<int> width;
    std::optional<int> height;
    std::uint64_t deadline = 0;

    ModeGate() = default;
    explicit ModeGate(std::optional<std::uint32_t> display) : display(display) {}
    void set(std::uint32_t display, std::optional<int> width, std::optional<int> height, std::uint64_t nowMillis);
    void clear();
    bool active(std::uint64_t nowMillis);
    void observe(std::optional<std::uint32_t> current, int width, int height);
    bool operator==(const ModeGate&) const = default;
};

}  // namespace morvane

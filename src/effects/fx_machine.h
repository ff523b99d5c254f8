// Decides everything about matching the resolution and hiding the screen for
// the one controlling device: which requests are accepted, what the platform
// must do, what the device is told, and when an effect ends by itself. A plain
// value: handle() takes one event and returns the actions its owner carries
// out in order. Time arrives inside the events and in gateNow.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/types.h"
#include "effects/effect_values.h"
#include "effects/fx_message.h"

namespace morvane {

enum class HideOutcome { ok, noKeyWatch, failed };

namespace fx_machine_event {
// The controlling session ended or changed hands.
struct SessionEnd {
    bool newController = false;
    std::uint64_t nowMillis = 0;
    bool operator==(const SessionEnd&) const = default;
};
struct Request {
    FxRequest request;
    FxFacts facts;
    bool switching = false;  // a display switch is in progress
    std::uint64_t nowMillis = 0;
    bool operator==(const Request&) const = default;
};
struct ModeSet {
    int request = 0;
    bool ok = false;
    std::int64_t epoch = 0;
    bool operator==(const ModeSet&) const = default;
};
struct HideDone {
    int request = 0;
    HideOutcome outcome = HideOutcome::failed;
    std::int64_t epoch = 0;
    std::uint64_t nowMillis = 0;
    bool operator==(const HideDone&) const = default;
};
struct Input {
    std::uint64_t nowMillis = 0;
    bool operator==(const Input&) const = default;
};
struct Tick {
    std::uint64_t nowMillis = 0;
    bool operator==(const Tick&) const = default;
};
struct Status {
    bool locked = false;
    std::string capture;  // the capture's state word
    bool operator==(const Status&) const = default;
};
struct Seam {
    DisplayEffectsEvent event;
    bool operator==(const Seam&) const = default;
};
// The captured display and its size in whole points.
struct Shown {
    std::optional<std::uint32_t> display;
    int width = 0, height = 0;
    bool operator==(const Shown&) const = default;
};
struct Allowed {
    bool match = false, hide = false, locks = false;
    bool operator==(const Allowed&) const = default;
};
struct RestoreFailed {
    bool operator==(const RestoreFailed&) const = default;
};
struct DisplayChanged {
    bool operator==(const DisplayChanged&) const = default;
};
}  // namespace fx_machine_event

namespace fx_action {
struct Result {
    FxResult result;
    bool operator==(const Result&) const = default;
};
struct State {
    std::optional<FxEnded> ended;
    std::optional<int> soon;  // seconds until a hidden screen is shown for lack of input
    bool operator==(const State&) const = default;
};
struct SetMode {
    int request = 0;
    std::uint32_t display = 0;
    DisplayModeInfo mode;
    std::int64_t epoch = 0;
    bool operator==(const SetMode&) const = default;
};
struct RestoreMode {
    std::uint32_t display = 0;
    bool operator==(const RestoreMode&) const = default;
};
struct ForgetMode {
    std::uint32_t display = 0;
    bool operator==(const ForgetMode&) const = default;
};
struct Hide {
    int request = 0;
    std::uint32_t display = 0;
    std::int64_t epoch = 0;
    bool operator==(const Hide&) const = default;
};
struct RestoreAll {
    std::int64_t epoch = 0;
    bool operator==(const RestoreAll&) const = default;
};
struct Unhide {
    bool operator==(const Unhide&) const = default;
};
}  // namespace fx_action

struct FxMachine {
    using Event = std::variant<fx_machine_event::SessionEnd, fx_machine_event::Request, fx_machine_event::ModeSet,
                               fx_machine_event::HideDone, fx_machine_event::Input, fx_machine_event::Tick,
                               fx_machine_event::Status, fx_machine_event::Seam, fx_machine_event::Shown,
                               fx_machine_event::Allowed, fx_machine_event::RestoreFailed,
                               fx_machine_event::DisplayChanged>;
    using Action = std::variant<fx_action::Result, fx_action::State, fx_action::SetMode, fx_action::RestoreMode,
                                fx_action::ForgetMode, fx_action::Hide, fx_action::RestoreAll, fx_action::Unhide>;

    struct Match {
        std::uint32_t display = 0;
        DisplayModeInfo original;  // the mode before any match
        DisplayModeInfo applied;
        bool operator==(const Match&) const = default;
    };
    struct InFlight {
        std::uint32_t display = 0;
        DisplayModeInfo original;
        bool operator==(const InFlight&) const = default;
    };

    explicit FxMachine(bool hasSeam) : hasSeam(hasSeam) {}

    std::vector<Action> handle(const Event& event);
    FxMessage::State state(const FxFacts& facts) const;
    std::optional<InFlight> matchInFlight() const;
    bool busy() const { return pending.has_value(); }
    bool active() const { return match || hide || pending; }
    static int thousandths(double share);

    bool hasSeam = false;
    int idleLimit = FxLimits::hideIdleSeconds;
    std::optional<Match> match;
    std::optional<std::uint32_t> hide;
    bool fxClient = false;
    bool allowedMatch = false;
    bool allowedHide = false;
    bool locksOnDisconnect = false;
    std::int64_t epoch = 0;
    bool hasController = false;
    bool locked = false;
    int captureErrors = 0;
    FxLimiter limiter;
    HideIdle idle;
    // The owner asks gate.active(now) for every input event while it holds
    // pointer moves and presses back.
    ModeGate gate;
    std::uint64_t gateNow = 0;

private:
    struct PendingMatch {
        int request = 0;
        std::uint32_t display = 0;
        DisplayModeInfo original;
        DisplayModeInfo target;
        bool cancelled = false;
        bool operator==(const PendingMatch&) const = default;
    };
    struct PendingHide {
        int request = 0;
        std::uint32_t display = 0;
        bool cancelled = false;
        bool operator==(const PendingHide&) const = default;
    };
    std::optional<std::variant<PendingMatch, PendingHide>> pending;

    PendingMatch* pendingMatch();
    PendingHide* pendingHide();
    void gateAt(std::uint64_t now, std::uint32_t display, std::optional<int> width, std::optional<int> height);
    std::vector<Action> end(FxWhy why, bool endHide, bool endMatch);

    std::vector<Action> on(const fx_machine_event::SessionEnd& e);
    std::vector<Action> on(const fx_machine_event::Request& e);
    std::vector<Action> on(const fx_machine_event::ModeSet& e);
    std::vector<Action> on(const fx_machine_event::HideDone& e);
    std::vector<Action> on(const fx_machine_event::Input& e);
    std::vector<Action> on(const fx_machine_event::Tick& e);
    std::vector<Action> on(const fx_machine_event::Status& e);
    std::vector<Action> on(const fx_machine_event::Seam& e);
    std::vector<Action> on(const fx_machine_event::Shown& e);
    std::vector<Action> on(const fx_machine_event::Allowed& e);
    std::vector<Action> on(const fx_machine_event::RestoreFailed& e);
    std::vector<Action> on(const fx_machine_event::DisplayChanged& e);

    std::vector<Action> probe(const fx_request::Probe& r, const FxFacts& facts, std::uint64_t now);
    std::vector<Action> startMatch(const fx_request::Match& r, const FxFacts& facts, bool switching, std::uint64_t now);
    std::vector<Action> restore(const fx_request::Restore& r, std::uint64_t now);
    std::vector<Action> hideOn(const fx_request::Hide& r, const FxFacts& facts, std::uint64_t now);
    std::vector<Action> hideOff(const fx_request::Hide& r);
};

}  // namespace morvane

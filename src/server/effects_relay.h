// Display effects for the controlling session: owns the server's one
// FxMachine, turns requests, input, status polls, ticks, display notes and the
// driver's own events into machine events, and carries out what the machine
// decides. The machine and every feed run on the server queue; every driver
// call and every read of the screen source runs on the main queue, reached by
// hops whose answers come back to the server queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "core/display.h"
#include "core/display_effects.h"
#include "core/executor.h"
#include "core/frame_source.h"
#include "effects/fx_machine.h"
#include "server/session_link.h"

namespace morvane {

class EffectsRelay : public std::enable_shared_from_this<EffectsRelay> {
public:
    using Clock = std::function<std::int64_t()>;

    // The text the cover shows at the computer while its screen is hidden.
    static constexpr const char* coverText =
        "This computer is in use remotely. Hold Escape for 3 seconds to show the screen.";

    // `effects` may be null (a host without a driver); `frames` and the
    // queues outlive the relay. The driver's own events reach the machine
    // from here on.
    static std::shared_ptr<EffectsRelay> create(Executor& queue, Executor& main, DisplayEffects* effects,
                                                FrameSource& frames, std::function<bool()> isPaused,
                                                Clock uptimeMillis, int idleSeconds);
    EffectsRelay(Executor& queue, Executor& main, DisplayEffects* effects, FrameSource& frames,
                 std::function<bool()> isPaused, Clock uptimeMillis, int idleSeconds);

    // Server queue. A new controller (or none): the machine's session ends,
    // its actions are dropped and the caller restores everything with the
    // returned epoch instead.
    struct Ended {
        std::int64_t epoch = 0;
        bool hadMatch = false;
    };
    Ended endSession(std::shared_ptr<SessionLink> newController);
    void handle(const FxRequest& request, bool switching);
    void input();
    // True while a mode change is settling: pointer moves and presses wait.
    bool gateActive();
    void status(bool locked, const std::string& capture);
    void tick();
    void feed(const FxMachine::Event& event);
    // The shown display as the clipboard and display relay noted it; a
    // change ends what depended on the display before.
    void displayShown(const DisplayListing& listing, bool changed);
    std::int64_t epoch() const { return fx_.epoch; }

    // Main queue; returns once the machine has heard it.
    void setAllowed(bool match, bool hide, bool locksOnDisconnect);
    // Any thread: (matched, hidden) as of the last event.
    std::pair<bool, bool> active() const;
    // Main queue: what the driver and the screen source say of the shown
    // display; modes only when asked for.
    FxFacts facts(bool modes) const;
    // The shown display and its size in whole points, when the listing has one.
    static std::optional<fx_machine_event::Shown> shownOf(const DisplayListing& listing);

private:
    void perform(const std::vector<FxMachine::Action>& actions);
    void mirror();
    void hide(const fx_action::Hide& action);
    // Server queue: a hop to the main queue whose answer comes back here
    // only while the relay lives.
    void onMain(std::function<void()> work);

    Executor& queue_;
    Executor& main_;
    DisplayEffects* effects_;
    FrameSource& frames_;
    std::function<bool()> isPaused_;
    Clock uptime_;

    // Server queue.
    FxMachine fx_;
    std::shared_ptr<SessionLink> link_;

    // Main queue: counts covers and uncovers, so that a cover that fails
    // after a newer one began leaves the Escape watch alone.
    int hideSerial_ = 0;

    mutable std::mutex mirrorLock_;
    std::pair<bool, bool> mirror_{false, false};
};

}  // namespace morvane

// The owner's say before any change that widens access, the 10-second rule
// that keeps such changes away from a controlled (or just released) machine,
// and the rules of the one modal alert runner.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/executor.h"
#include "core/liveness.h"

namespace morvane {

namespace ShellLimits {
inline constexpr std::int64_t coolDownMillis = 10'000;
}

// Blocked while a controller is connected, or for 10 s after one left.
// `lastControllerEndMillis` is monotonic time; absent until a controller left.
bool coolDownBlocks(bool controllerPresent, std::optional<std::int64_t> lastControllerEndMillis,
                    std::int64_t nowMillis);

// Asks the owner and answers once on the main queue. cancel() ends a prompt
// that is up as failed.
class OwnerPrompt {
public:
    virtual ~OwnerPrompt() = default;
    virtual void ask(const std::string& reason, std::function<void(bool ok)> done) = 0;
    virtual void cancel() = 0;

    // What a prompt tells besides its answer, before it: each wrong
    // password, the last try used up, and the owner's own Cancel (a cancel()
    // is not reported). `tries` counts the wrong passwords so far. Set by
    // the owner authentication; runs on the main queue.
    enum class Event { wrongPassword, triesUsedUp, cancelled };
    std::function<void(Event, int tries)> report;
};

using ShellLog = std::function<void(const std::string& tag, const std::string& text)>;

class OwnerAuthentication {
public:
    OwnerAuthentication(Executor& main, OwnerPrompt& prompt, std::function<bool()> blocked, ShellLog log);

    // Runs `then` on the main queue only after the owner authenticated and
    // while the rule still allows it; `otherwise`, when given, in every other
    // case. Call on the main queue; returns at once.
    void withOwnerAuthentication(const std::string& title, const std::string& reason,
                                 std::function<void()> otherwise, std::function<void()> then);

    // A device connected: the prompt under way ends as failed.
    void invalidate();

    bool authenticating() const { return authenticating_; }

private:
    void outcome(std::uint64_t generation, const std::string& title, bool ok, const std::function<void()>& otherwise,
                 const std::function<void()>& then);

    Executor& main_;
    OwnerPrompt& prompt_;
    // What the prompt under way reported: its answer's line says it.
    std::optional<OwnerPrompt::Event> reported_;
    std::function<bool()> blocked_;
    ShellLog log_;
    bool authenticating_ = false;
    std::uint64_t generation_ = 0;
    Liveness alive_;
};

// What an alert answers: the button pressed (the last also for Escape and
// the window's close), or aborted.
enum class ModalResponse : int { firstButton = 1000, secondButton = 1001, thirdButton = 1002, abort = -1001 };

// The one modal alert runner's bookkeeping: at most one alert, none while a
// device controls the machine, and an open alert is aborted (once) when a
// device connects or its close condition becomes true.
class ModalAlertGate {
public:
    // False: answer abort without showing anything.
    bool tryOpen(bool controllerPresent);
    // Called by the 0.25 s tick and by a controller change. True exactly once
    // per alert: the caller then aborts the modal loop.
    bool shouldAbort(bool controllerPresent, bool closeWhen);
    void closed();

    bool isOpen() const { return open_; }
    bool aborted() const { return aborted_; }

private:
    bool open_ = false;
    bool aborted_ = false;
};

}  // namespace morvane

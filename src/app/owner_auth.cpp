#include "app/owner_auth.h"

#include <memory>

namespace morvane {

bool coolDownBlocks(bool controllerPresent, std::optional<std::int64_t> lastControllerEndMillis,
                    std::int64_t nowMillis) {
    if (controllerPresent) return true;
    if (!lastControllerEndMillis) return false;
    return nowMillis - *lastControllerEndMillis < ShellLimits::coolDownMillis;
}

OwnerAuthentication::OwnerAuthentication(Executor& main, OwnerPrompt& prompt, std::function<bool()> blocked,
                                         ShellLog log)
    : main_(main), prompt_(prompt), blocked_(std::move(blocked)), log_(std::move(log)) {}

void OwnerAuthentication::withOwnerAuthentication(const std::string& title, const std::string& reason,
                                                  std::function<void()> otherwise, std::function<void()> then) {
    if (authenticating_ || blocked_()) {
        if (otherwise) main_.post(std::move(otherwise));
        return;
    }
    authenticating_ = true;
    const std::uint64_t generation = ++generation_;
    const auto alive = alive_.token();
    reported_.reset();
    // Each failure is logged with what it was for, never with what was typed.
    prompt_.report = [this, alive, generation, title](OwnerPrompt::Event event, int tries) {
        if (!alive || generation != generation_ || !authenticating_) return;
        reported_ = event;
        if (event == OwnerPrompt::Event::wrongPassword)
            log_("auth", title + ": owner authentication failed: wrong password (" + std::to_string(tries) + ")");
    };
    prompt_.ask(reason, [this, alive, generation, title, otherwise, then](bool ok) {
        // The prompt answers on the main queue; hop once more so an answer
        // given from inside ask() still arrives on a later turn.
        main_.post([this, alive, generation, title, ok, otherwise, then] {
            if (!alive) return;
            outcome(generation, title, ok, otherwise, then);
        });
    });
}

void OwnerAuthentication::outcome(std::uint64_t generation, const std::string& title, bool ok,
                                  const std::function<void()>& otherwise, const std::function<void()>& then) {
    // A prompt answers once; a second answer of the same prompt is dropped.
    if (generation != generation_ || !authenticating_) return;
    authenticating_ = false;
    std::string how = ok ? "succeeded" : "failed or was cancelled";
    if (!ok && reported_ == OwnerPrompt::Event::triesUsedUp)
        how = "failed: three wrong passwords in a row, not allowed";
    else if (!ok && reported_ == OwnerPrompt::Event::cancelled)
        how = "was cancelled by the owner";
    log_("auth", title + ": owner authentication " + how);
    if (!ok) {
        if (otherwise) otherwise();
        return;
    }
    const auto alive = alive_.token();
    main_.post([this, alive, title, otherwise, then] {
        if (!alive) return;
        if (!blocked_()) {
            then();
            return;
        }
        log_("auth", title + ": not done, a controller is or was just connected");
        if (otherwise) otherwise();
    });
}

void OwnerAuthentication::invalidate() {
    if (authenticating_) prompt_.cancel();
}

bool ModalAlertGate::tryOpen(bool controllerPresent) {
    if (open_ || controllerPresent) return false;
    open_ = true;
    aborted_ = false;
    return true;
}

bool ModalAlertGate::shouldAbort(bool controllerPresent, bool closeWhen) {
    if (!open_ || aborted_) return false;
    if (!controllerPresent && !closeWhen) return false;
    aborted_ = true;
    return true;
}

void ModalAlertGate::closed() { open_ = false; }

}  // namespace morvane

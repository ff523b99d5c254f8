#include "app/lock_scheduler.h"

#include "core/overload.h"

namespace morvane {

std::vector<LockScheduler::Action> LockScheduler::handle(const Event& event, std::int64_t nowMillis) {
    return std::visit(Overload{
                          [&](const ControllerChanged& e) { return controllerChanged(e, nowMillis); },
                          [&](const GraceElapsed& e) { return graceElapsed(e, nowMillis); },
                          [&](const Paused&) {
                              std::vector<Action> out;
                              if (pending_) {
                                  pending_.reset();
                                  out.push_back(Log{"lock",
                                                    "paused before the lock after the last disconnect was due: "
                                                    "not locking"});
                              }
                              return out;
                          },
                          [&](const LockProbed& e) { return lockProbed(e); },
                          [&](const Asked& e) {
                              const bool looking = asking_.has_value();
                              asking_ = Asking{e.ask, LockLimits::askChecks};
                              if (looking) return std::vector<Action>{};
                              return std::vector<Action>{CheckAsk{LockLimits::askCheckMillis}};
                          },
                          [&](const AskChecked& e) { return askChecked(e); },
                          [&](const LockChecked& e) {
                              std::vector<Action> out;
                              if (e.locked)
                                  out.emplace_back(Log{"lock", "the computer is locked"});
                              else
                                  out.emplace_back(Log{"error", "the computer did not lock within 3 s"});
                              return out;
                          },
                      },
                      event);
}

std::vector<LockScheduler::Action> LockScheduler::askChecked(const AskChecked& e) {
    if (!asking_) return {};
    if (!e.locked && --asking_->checksLeft > 0) return {CheckAsk{LockLimits::askCheckMillis}};
    const auto ask = asking_->ask;
    asking_.reset();
    if (e.locked) return {Log{"lock", "the computer is locked, as the controller asked"}, AnswerAsk{ask, true}};
    return {Log{"error", "the controller asked to lock the computer, but it did not lock"}, AnswerAsk{ask, false}};
}

std::vector<LockScheduler::Action> LockScheduler::controllerChanged(const ControllerChanged& e, std::int64_t now) {
    std::vector<Action> out;
    const bool hadController = present_;
    const auto previousDevice = device_;
    present_ = e.present;
    device_ = e.present ? e.device : std::nullopt;

    if (pending_ && e.present) {
        // Somebody connected within the grace period.
        const auto left = pending_->device;
        pending_.reset();
        if (left != device_) {
            out.push_back(Log{"lock", "a different device connected during the grace period"});
            out.push_back(ProbeForLock{});
        } else {
            out.push_back(Log{"lock", "the same device is back within 5 s: not locking"});
        }
        return out;
    }
    if (!hadController || e.present || !e.lockOnDisconnect) return out;
    if (!e.paused) {
        const std::uint64_t ticket = nextTicket_++;
        pending_ = Pending{ticket, now + LockLimits::graceMillis, previousDevice};
        out.push_back(StartGraceTimer{ticket, LockLimits::graceMillis});
    } else {
        out.push_back(Log{"lock", "the session was ended at the computer (paused): not locking"});
    }
    return out;
}

std::vector<LockScheduler::Action> LockScheduler::graceElapsed(const GraceElapsed& e, std::int64_t now) {
    std::vector<Action> out;
    // A cancelled or replaced timer, or one that fired early, does nothing.
    if (!pending_ || pending_->ticket != e.ticket || now < pending_->dueMillis) return out;
    pending_.reset();
    if (!present_) out.push_back(ProbeForLock{});
    return out;
}

std::vector<LockScheduler::Action> LockScheduler::lockProbed(const LockProbed& e) {
    std::vector<Action> out;
    if (!e.lockOnDisconnect || e.paused) return out;
    if (e.alreadyLocked) {
        out.emplace_back(Log{"lock", "controller left; the computer is already locked"});
    } else if (!e.canInject) {
        out.emplace_back(
            Log{"error", "controller left, but the computer cannot be locked: input injection is not available"});
    } else {
        out.emplace_back(Log{"lock", "controller left: locking the computer"});
        out.emplace_back(SendLock{});
        out.emplace_back(StartLockCheck{LockLimits::checkMillis});
    }
    return out;
}

}  // namespace morvane

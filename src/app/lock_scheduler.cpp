#include "app/lock_scheduler.h"

#include <algorithm>

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
                          [&](const Launched&) {
                              std::vector<Action> out;
                              lookNow(nowMillis, out);
                              return out;
                          },
                          [&](const Asked& e) { return asked(e, nowMillis); },
                          [&](const LockTried& e) { return lockTried(e, nowMillis); },
                          [&](const Looked& e) { return looked(e.look, nowMillis); },
                          [&](const Heard& e) {
                              std::vector<Action> out;
                              heard(e.answers, out);
                              return out;
                          },
                          [&](const TimerFired& e) { return timerFired(e, nowMillis); },
                          [&](const LockerMoved&) {
                              std::vector<Action> out;
                              lookSoon(nowMillis, out);
                              return out;
                          },
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

void LockScheduler::lookNow(std::int64_t now, std::vector<Action>& out) {
    // A look under way answers for this one too.
    if (looking_) return;
    looking_ = true;
    lastLookAt_ = now;
    tickets_[static_cast<int>(Timer::movedLook)] = 0;
    out.emplace_back(Look{});
}

void LockScheduler::lookSoon(std::int64_t now, std::vector<Action>& out) {
    if (looking_) {
        lookOwed_ = true;
        return;
    }
    if (tickets_[static_cast<int>(Timer::movedLook)] != 0) return;  // one is set for already
    if (lastLookAt_ && now - *lastLookAt_ < LockLimits::movedLookGapMillis) {
        startTimer(Timer::movedLook, *lastLookAt_ + LockLimits::movedLookGapMillis - now, out);
        return;
    }
    lookNow(now, out);
}

void LockScheduler::startTimer(Timer which, std::int64_t delayMillis, std::vector<Action>& out) {
    const auto ticket = nextTicket_++;
    tickets_[static_cast<int>(which)] = ticket;
    out.emplace_back(StartTimer{which, ticket, delayMillis});
}

void LockScheduler::heard(bool answers, std::vector<Action>& out) {
    const bool changed = answers_ != answers;
    answers_ = answers;
    out.emplace_back(LockerAnswers{answers, changed});
    if (answers) {
        // Found: the next time it goes missing, it is looked for soon.
        relookMillis_ = LockLimits::firstRelookMillis;
        relookSet_ = false;
        tickets_[static_cast<int>(Timer::relook)] = 0;
    } else if (!relookSet_) {
        relookSet_ = true;
        startTimer(Timer::relook, relookMillis_, out);
        relookMillis_ = std::min(relookMillis_ * 2, LockLimits::longestRelookMillis);
    }
}

void LockScheduler::answer(bool locked, std::int64_t now, std::vector<Action>& out) {
    round_->answered = true;
    lastAnswer_ = Answer{locked, now};
    if (locked)
        out.emplace_back(Log{"lock", "the computer is locked, as the controller asked"});
    else
        out.emplace_back(Log{"error", "the controller asked to lock the computer, but it did not lock"});
    out.emplace_back(AnswerAsk{round_->ask, locked});
    // A lock that no locker took cannot come late: nothing to watch for.
    if (locked || (round_->tried && !round_->took)) round_.reset();
}

std::vector<LockScheduler::Action> LockScheduler::asked(const Asked& e, std::int64_t now) {
    std::vector<Action> out;
    if (round_ && !round_->answered) {
        // The lock under way answers for this ask too.
        round_->ask = e.ask;
        return out;
    }
    if (lastAnswer_ && now - lastAnswer_->at < LockLimits::freshAnswerMillis) {
        out.emplace_back(AnswerAsk{e.ask, lastAnswer_->locked});
        return out;
    }
    round_ = Round{e.ask, now};
    // Only what is seen from now on says whether this lock happened.
    lastLocked_ = false;
    // A lock after a disconnect that is still under way counts as this one.
    if (!trying_) {
        trying_ = true;
        out.emplace_back(TryLock{});
    }
    startTimer(Timer::answerDue, LockLimits::answerMillis, out);
    return out;
}

std::vector<LockScheduler::Action> LockScheduler::lockTried(const LockTried& e, std::int64_t now) {
    std::vector<Action> out;
    trying_ = false;
    if (!round_ || round_->tried) return out;
    round_->tried = true;
    round_->took = e.took;
    lookNow(now, out);
    return out;
}

std::vector<LockScheduler::Action> LockScheduler::looked(const LockerLook& look, std::int64_t now) {
    std::vector<Action> out;
    looking_ = false;
    lastLocked_ = look.locked;
    // Unlocked since it was told locked: a tap from now on locks anew.
    if (!look.locked && lastAnswer_ && lastAnswer_->locked) lastAnswer_.reset();
    heard(look.answers, out);
    if (lookOwed_) {
        lookOwed_ = false;
        lookSoon(now, out);
    }
    if (!round_) return out;
    if (!round_->answered) {
        if (look.locked)
            answer(true, now, out);
        else if (round_->tried && !round_->took)
            answer(false, now, out);  // nothing took it: no use waiting
        else if (round_->tried)
            startTimer(Timer::lookAgain, LockLimits::lookAgainMillis, out);
        // else the lock is still under way; its end brings the next look.
        return out;
    }
    if (look.locked) {
        out.emplace_back(Log{"lock", "the computer locked after all, as the controller asked"});
        out.emplace_back(AnswerAsk{round_->ask, true});
        lastAnswer_ = Answer{true, now};
        round_.reset();
    } else if (round_->tried && !round_->took) {
        round_.reset();
    } else if (now - round_->startedAt < LockLimits::lateWatchMillis) {
        if (!trying_) startTimer(Timer::lookAgain, LockLimits::lateLookMillis, out);
    } else {
        round_.reset();
    }
    return out;
}

std::vector<LockScheduler::Action> LockScheduler::timerFired(const TimerFired& e, std::int64_t now) {
    std::vector<Action> out;
    auto& ticket = tickets_[static_cast<int>(e.which)];
    if (e.ticket == 0 || e.ticket != ticket) return out;
    ticket = 0;
    switch (e.which) {
        case Timer::answerDue:
            if (!round_ || round_->answered) break;
            // The locker is silent, or took the lock and never locked:
            // what is known now is told, and the watch goes on.
            answer(lastLocked_, now, out);
            if (round_ && !trying_ && !looking_) startTimer(Timer::lookAgain, LockLimits::lateLookMillis, out);
            break;
        case Timer::lookAgain:
            if (round_) lookNow(now, out);
            break;
        case Timer::relook:
            relookSet_ = false;
            lookNow(now, out);
            break;
        case Timer::movedLook:
            lookNow(now, out);
            break;
    }
    return out;
}

std::vector<LockScheduler::Action> LockScheduler::controllerChanged(const ControllerChanged& e, std::int64_t now) {
    std::vector<Action> out;
    const bool hadController = present_;
    const auto previousDevice = device_;
    present_ = e.present;
    device_ = e.present ? e.device : std::nullopt;
    // A device that connects hears whether this computer can lock: asked
    // afresh, and a locker still missing is looked for soon again.
    if (e.present && !hadController) {
        relookMillis_ = LockLimits::firstRelookMillis;
        relookSet_ = false;
        tickets_[static_cast<int>(Timer::relook)] = 0;
        lookNow(now, out);
    }

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
        if (!trying_) {
            trying_ = true;
            out.emplace_back(TryLock{});
        }
        out.emplace_back(StartLockCheck{LockLimits::checkMillis});
    }
    return out;
}

}  // namespace morvane

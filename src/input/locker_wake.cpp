#include "input/locker_wake.h"

#include <algorithm>
#include <utility>

namespace morvane {

LockerWake::LockerWake(Executor& queue, OneShotTimer::Clock clock, LockScreenView& view,
                       std::function<void(const std::string&)> log, Tuning tuning)
    : queue_(queue),
      clock_(std::move(clock)),
      view_(view),
      log_(std::move(log)),
      tuning_(tuning),
      poll_(queue_, clock_, tuning_.pollMillis) {}

LockerWake::~LockerWake() {
    poll_.stop();
    if (watching_) view_.watchWindows(false);
}

bool LockerWake::ready(std::function<void()> then) {
    // Those called when a wait ends ask again for the keys that waited: they
    // go, whatever the wait found, or a locker that shows no window this
    // time would hold them for ever.
    if (ending_) return true;
    if (watching_) read();
    if (wokeAt_) {
        waiting_.push_back(std::move(then));
        return false;
    }
    const std::int64_t now = clock_();
    if (dialog_ || (quietUntil_ && now < *quietUntil_)) return true;
    waiting_.push_back(std::move(then));
    start();
    return false;
}

void LockerWake::forget() {
    poll_.stop();
    if (watching_) view_.watchWindows(false);
    watching_ = false;
    made_.clear();
    candidate_.reset();
    dialog_.reset();
    // Keys after a new lock wait for its dialog, even those let go with the
    // keys of the lock before.
    ending_ = false;
    // Keys already waiting go as they would have at the end of the wait.
    if (wokeAt_) finish();
}

// Whatever changes among the locker's new windows starts the moment of
// quiet over; the newest shown is the dialog to be.
void LockerWake::read() {
    const std::int64_t now = clock_();
    for (const auto& news : view_.windowNews()) {
        using Kind = LockScreenView::WindowNews::Kind;
        if (news.kind == Kind::made) {
            if (news.cover) continue;
            made_.insert(news.window);
            madeSinceWake_ = true;
            changed(now);
            continue;
        }
        if (!made_.contains(news.window)) continue;
        changed(now);
        if (news.kind == Kind::shown) {
            candidate_ = Candidate{news.window, now};
            continue;
        }
        made_.erase(news.window);
        if (dialog_ == news.window) dialog_.reset();
        if (candidate_ && candidate_->window == news.window) candidate_.reset();
        else if (candidate_) candidate_->since = now;
    }
}

void LockerWake::changed(std::int64_t now) {
    if (changedAt_) longestGap_ = std::max(longestGap_, now - *changedAt_);
    changedAt_ = now;
}

void LockerWake::start() {
    wokeAt_ = clock_();
    if (!watching_) {
        view_.watchWindows(true);
        watching_ = true;
    }
    madeSinceWake_ = false;
    changedAt_.reset();
    longestGap_ = 0;
    view_.nudgePointer();
    nudgedAt_ = *wokeAt_;
    poll_.start([this] { beat(); });
}

void LockerWake::beat() {
    read();
    const std::int64_t now = clock_();
    if (candidate_ && now - candidate_->since >= std::max(tuning_.settleMillis, 2 * longestGap_)) {
        dialog_ = candidate_->window;
        dialogsComeUp_ = true;
    } else if (candidate_ && now - *wokeAt_ >= tuning_.giveUpMillis) {
        dialog_ = candidate_->window;
        if (log_)
            log_("the lock screen's dialog was still changing " + std::to_string(tuning_.giveUpMillis / 1000) +
                 " s after the keys for it came; they go to it as it is");
    } else if (!candidate_ && now - *wokeAt_ >= tuning_.windowMillis) {
        // A locker that never brought up a window is taken for one whose
        // dialog shows all along; one that did is waited for at every key.
        if (!dialogsComeUp_) quietUntil_ = *wokeAt_ + tuning_.quietMillis;
        // Lockers whose dialog shows all along do this at every lock: said once.
        if (log_ && !std::exchange(toldInVain_, true))
            log_("the lock screen brought up no dialog window within " + std::to_string(tuning_.windowMillis / 1000) +
                 " s of a key for it; the keys go to it as it is");
    } else {
        if (!madeSinceWake_ && now - nudgedAt_ >= tuning_.nudgeMillis) {
            view_.nudgePointer();
            nudgedAt_ = now;
        }
        return;
    }
    finish();
}

void LockerWake::finish() {
    poll_.stop();
    wokeAt_.reset();
    auto waiting = std::exchange(waiting_, {});
    ending_ = true;
    for (auto& then : waiting) then();
    ending_ = false;
}

}  // namespace morvane

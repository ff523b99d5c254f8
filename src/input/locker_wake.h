// When keys may go to a locked screen. A locker's unlock dialog comes up at
// the first key or move and reads keys only once it is there: xscreensaver's
// drops the key that woke it, starts a program of its own for the dialog
// (which takes its time on a busy machine) and makes the dialog's window
// more than once before it reads. Keys sent before then are lost, and a
// password is lost with them. So the first key for a locked screen waits:
// the pointer goes a little way and back (again, until a window comes), and
// the keys wait for a dialog window that has come up and stayed as it is for
// a moment, for as long as a person would wait, and not past that. A window
// covering a whole screen is no dialog: xscreensaver starts its animation
// anew at a lock, in such windows, seconds before it heeds a move. A locker
// whose dialog shows all along brings up no window: after a wake in vain its
// keys go straight.
//
// The display only reports and acts (LockScreenView); what to wait for, how
// long, and when to give up is decided here, on the input queue and its
// clock.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/executor.h"
#include "core/one_shot_timer.h"
#include "core/repeating_timer.h"

namespace morvane {

// What the wake needs of the display. Windows are the display's top-level
// windows, by an id of the display's.
class LockScreenView {
public:
    struct WindowNews {
        enum class Kind { made, shown, gone };
        Kind kind;
        std::uint64_t window = 0;
        // Made covering a whole screen, as a locker's blank or animation is.
        bool cover = false;
        bool operator==(const WindowNews&) const = default;
    };

    virtual ~LockScreenView() = default;
    // Moves the pointer a little way and back, which types nothing and
    // leaves it where it was: a sleeping dialog wakes at it.
    virtual void nudgePointer() = 0;
    // While on, top-level windows made, shown and gone (hidden, destroyed or
    // taken into another window) are reported by windowNews, oldest first.
    virtual void watchWindows(bool on) = 0;
    // What came since the last call.
    virtual std::vector<WindowNews> windowNews() = 0;
};

class LockerWake {
public:
    struct Tuning {
        // From the wake to the dialog's window: beyond it the locker is
        // taken for one whose dialog shows all along.
        std::int64_t windowMillis = 5000;
        // Until a window comes, the pointer goes again this often:
        // xscreensaver takes no notice of what comes in the first moments
        // of a lock, about as long as a phone takes to show it locked.
        std::int64_t nudgeMillis = 500;
        // A dialog window that has stayed as it is this long, and twice as
        // long as the locker's windows took between two changes, reads keys:
        // xscreensaver's makes its window anew several times as it starts,
        // 40 to 300 ms apart at load 20, slower on a busier machine. The
        // locker's windows changing meanwhile (a window made anew, hidden or
        // gone) start it over.
        std::int64_t settleMillis = 400;
        // However the locker's windows change, keys go this long after the wake.
        std::int64_t giveUpMillis = 6000;
        // After a wake in vain, from a locker that never brought up a
        // dialog window, keys go straight for this long, across locks.
        std::int64_t quietMillis = 30000;
        // How often the display's news is read while keys wait.
        std::int64_t pollMillis = 20;
    };

    LockerWake(Executor& queue, OneShotTimer::Clock clock, LockScreenView& view,
               std::function<void(const std::string&)> log, Tuning tuning);
    LockerWake(Executor& queue, OneShotTimer::Clock clock, LockScreenView& view,
               std::function<void(const std::string&)> log)
        : LockerWake(queue, std::move(clock), view, std::move(log), Tuning{}) {}
    ~LockerWake();
    LockerWake(const LockerWake&) = delete;
    LockerWake& operator=(const LockerWake&) = delete;

    // The screen is locked and a key is coming for it. True: the key may go
    // now. False: keys wait, and `then` is called once, on the queue, when
    // they may go (a dialog reads, or the wait gave up), and asking again
    // from there says true; a call while keys wait adds to those called, in
    // turn. A key that comes after the wait ended waits anew.
    bool ready(std::function<void()> then);
    // The screen was locked anew or was found open: a dialog found before
    // went with its lock.
    void forget();

private:
    struct Candidate {
        std::uint64_t window = 0;
        std::int64_t since = 0;
    };
    void read();
    void changed(std::int64_t now);
    void start();
    void beat();
    void finish();

    Executor& queue_;
    OneShotTimer::Clock clock_;
    LockScreenView& view_;
    std::function<void(const std::string&)> log_;
    Tuning tuning_;
    RepeatingTimer poll_;

    bool watching_ = false;
    // Windows made since this lock's first wake, but for covers: the
    // locker's cover, made before or after, is never taken for its dialog.
    std::set<std::uint64_t> made_;
    // The newest of them shown, and since when nothing changed among them.
    std::optional<Candidate> candidate_;
    // A window found to read keys, while it stays shown.
    std::optional<std::uint64_t> dialog_;
    std::optional<std::int64_t> wokeAt_, quietUntil_;
    std::int64_t nudgedAt_ = 0;
    bool madeSinceWake_ = false;
    // When the locker's new windows last changed, and the longest it took
    // them between two changes.
    std::optional<std::int64_t> changedAt_;
    std::int64_t longestGap_ = 0;
    bool toldInVain_ = false, dialogsComeUp_ = false, ending_ = false;
    std::vector<std::function<void()>> waiting_;
};

}  // namespace morvane

// The display-effects driver: changes a display's mode for the controller and
// puts it back, covers a display, watches Escape held at the machine, and
// guards both effects with a watchdog. Unlike a mode change that the system
// undoes when its process ends, an X mode change stays after the host is
// gone, so every change is written to an undo record first ("boot" is this
// boot's id) and put back at quit, by the watchdog before it ends the
// process, and at the next launch of the same boot.
//
// All calls come on the main queue except keepAlive() (server queue). The
// platform parts come in through small interfaces so the driver's logic runs
// on a ManualExecutor with fakes: the mode backend (RandR), the cover window
// (Qt), the key watch (XInput 2) and the watchdog's timer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/display.h"
#include "core/display_effects.h"
#include "core/executor.h"
#include "core/frame_source.h"
#include "effects/effect_values.h"

namespace morvane {

// What the driver needs of the display server's modes. Display ids are the
// screen source's; mode ids are the server's own.
class DisplayModeBackend {
public:
    virtual ~DisplayModeBackend() = default;
    virtual ReconfigClassifier::Topology topology() = 0;
    // The display's modes in the server's order; nothing when it is offline
    // or the list can't be read.
    virtual std::optional<std::vector<DisplayModeInfo>> allModes(std::uint32_t display) = 0;
    virtual std::optional<DisplayModeInfo> currentMode(std::uint32_t display) = 0;
    // The display as a person knows it in the log: its output's name (such
    // as "HDMI-1"), or its number where it has none.
    virtual std::string name(std::uint32_t display) { return std::to_string(display); }
    virtual bool apply(std::uint32_t display, const DisplayModeInfo& mode) = 0;
    // Where the display sits on the root window, in pixels.
    virtual std::optional<Rect> bounds(std::uint32_t display) = 0;
    // False while the screens are blanked by power saving.
    virtual bool screensAwake() { return true; }
    // True when the window is the topmost one shown.
    virtual bool onTop(unsigned long /*window*/) { return true; }
    // Called on any thread when the displays were rearranged.
    virtual void setOnReconfigured(std::function<void()> /*handler*/) {}
};

// One cover window; destroying it takes it down.
class CoverWindow {
public:
    virtual ~CoverWindow() = default;
    virtual unsigned long windowNumber() const = 0;
    virtual void makeOpaque() = 0;
    virtual Rect frame() const = 0;
    virtual void setFrame(const Rect& frame) = 0;
    virtual void raise() = 0;
};
// Makes a transparent, borderless, always-on-top window over `frame` that
// shows `text`; nothing when it can't.
using CoverMaker = std::function<std::unique_ptr<CoverWindow>(const Rect& frame, const std::string& text)>;

// Watches the Escape key typed at the machine on a thread of its own; the
// host's own injected keys never reach `key`.
class EscapeKeyWatch {
public:
    virtual ~EscapeKeyWatch() = default;
    virtual EscapeArm start(std::function<void(bool down, bool isRepeat)> key) = 0;
    virtual void stop() = 0;
    // False once the watch stopped by itself.
    virtual bool alive() const = 0;
};

// The watchdog's clock: `fire` runs every second on a thread of its own,
// apart from the main and server queues, until stop().
class LeaseTimer {
public:
    virtual ~LeaseTimer() = default;
    virtual void start(std::function<void()> fire) = 0;
    virtual void stop() = 0;
};

// A mode the watchdog must put back before it ends the process.
struct ModeToRestore {
    std::uint32_t display = 0;
    DisplayModeInfo mode;
    bool operator==(const ModeToRestore&) const = default;
};

struct DisplayEffectsSetup {
    std::filesystem::path markerPath;  // display-change.json
    std::function<void(const std::string&)> log;
    Executor* main = nullptr;
    std::unique_ptr<DisplayModeBackend> backend;
    CoverMaker makeCover;
    std::unique_ptr<EscapeKeyWatch> keys;
    std::unique_ptr<LeaseTimer> leaseTimer;
    // Monotonic seconds that stand still while the machine sleeps.
    std::function<double()> uptime;
    // This boot's id; empty when it can't be read.
    std::function<std::string()> bootId;
    // Runs on the watchdog's thread after its log line: puts the modes back
    // without the main thread and ends the process with status 75.
    std::function<void(const std::vector<ModeToRestore>&)> leaseExpired;
};

class SystemDisplayEffects final : public DisplayEffects, public std::enable_shared_from_this<SystemDisplayEffects> {
public:
    static std::shared_ptr<SystemDisplayEffects> create(DisplayEffectsSetup setup);
    ~SystemDisplayEffects() override;

    EventHandler onEvent() const override { return onEvent_; }
    void setOnEvent(EventHandler handler) override { onEvent_ = std::move(handler); }
    std::optional<Modes> modes(std::uint32_t display) override;
    int otherActiveDisplays(std::uint32_t than) override;
    // X has no system-wide secure entry: a grab by a password field does
    // not stop the key watch from seeing Escape.
    bool secureInputOn() const override { return false; }
    bool restoreOwed() const override;
    bool setMode(std::int32_t mode, std::uint32_t display, std::int64_t epoch) override;
    bool restoreMode(std::uint32_t display) override;
    void forgetMode(std::uint32_t display) override;
    void cover(std::uint32_t display, const std::string& text, std::int64_t epoch,
               std::function<void(bool)> done) override;
    void uncover() override;
    EscapeArm armEscape(std::int64_t epoch) override;
    void disarmEscape() override;
    void restoreAll(std::int64_t epoch) override;
    void keepAlive() override;
    void recoverAtLaunch() override;

    // Set by the shell: leaves the window out of the capture (nothing: none)
    // and answers true once that is in force.
    std::function<void(std::optional<int>, std::function<void(bool)>)> excludeWindow;
    // The capture could no longer leave the cover out.
    void coverLost(const std::string& why = "it could not be left out of the picture");
    // The machine goes to sleep, its session is switched away or locked.
    void systemAway();
    // The displays were rearranged (from any thread).
    void scheduleReconfigurationCheck();

    bool covered() const { return cover_ != nullptr; }
    bool watching() const { return watching_; }
    bool leaseRunning() const { return leaseRunning_; }
    std::int64_t minEpoch() const { return minEpoch_; }

private:
    explicit SystemDisplayEffects(DisplayEffectsSetup setup);

    struct Changed {
        std::optional<DisplayModeInfo> original;
        std::int32_t originalID = 0;
        std::int32_t appliedID = 0;
        bool owed = false;
    };

    void log(const std::string& line) const {
        if (s_.log) s_.log(line);
    }
    void report(DisplayEffectsEvent event);
    bool online(std::uint32_t display);
    std::optional<std::int32_t> currentID(std::uint32_t display);
    OwedMode::Decision decide(std::uint32_t display, std::int32_t applied);
    bool writeMarker();
    void drop(std::uint32_t display, const std::string& reason);
    void settleOwed();
    void updateLease();
    void updateRetry();
    void retry(std::uint64_t generation);
    void updateWatchdog();
    void leaseFired();
    void closeCover();
    void poll(std::uint64_t generation);
    void systemWatch(std::uint64_t generation);
    void reconfigurationCheck();
    void followScreen();

    DisplayEffectsSetup s_;
    EventHandler onEvent_;
    std::map<std::uint32_t, Changed> changed_;
    std::int64_t minEpoch_ = 0;
    std::uint64_t retryGeneration_ = 0;
    bool retryRunning_ = false;
    ReconfigClassifier::Topology topology_;
    bool reconfigurationScheduled_ = false;

    std::unique_ptr<CoverWindow> cover_;
    std::uint32_t coverDisplay_ = 0;
    std::uint64_t coverGeneration_ = 0;

    bool watching_ = false;
    std::uint64_t pollGeneration_ = 0;
    std::mutex holdLock_;
    EscapeHold hold_;

    std::uint64_t watchGeneration_ = 0;
    bool screensAwake_ = true;

    // The watchdog's shared fields: the lease and what it puts back.
    mutable std::mutex leaseLock_;
    EffectsLease lease_{0};
    std::vector<ModeToRestore> inForce_;
    bool leaseRunning_ = false;
};

// The driver over the X display named (empty: $DISPLAY) with the real parts:
// RandR, the XInput 2 Escape watch, the monotonic watchdog that puts the
// modes back over its own connection before it ends the process with 75,
// this boot's id. Nothing when the display can't be reached. `flushLog`
// runs before the watchdog ends the process, so its line is not lost.
std::shared_ptr<SystemDisplayEffects> makeX11DisplayEffects(const std::filesystem::path& markerPath,
                                                            std::function<void(const std::string&)> log,
                                                            Executor& main, CoverMaker makeCover,
                                                            std::function<void()> flushLog = nullptr,
                                                            const std::string& displayName = "");
// Lets the driver leave its cover out of the source's pictures, and closes
// the cover when the source can no longer do so. The source outlives both.
void connectCover(const std::shared_ptr<SystemDisplayEffects>& effects, FrameSource& source);

// The real platform parts over $DISPLAY (or the display named).
std::unique_ptr<DisplayModeBackend> makeRandrBackend(const std::string& displayName = "");
std::unique_ptr<EscapeKeyWatch> makeX11EscapeWatch(const std::string& displayName = "");
std::unique_ptr<LeaseTimer> makeMonotonicLeaseTimer();
// /proc/sys/kernel/random/boot_id, trimmed; empty when unreadable.
std::string readBootId();
// The watchdog's last act: a new connection puts the modes back, then the
// process ends with status 75 without running any clean-up.
void restoreAndExit(const std::vector<ModeToRestore>& modes, const std::string& displayName = "");

}  // namespace morvane

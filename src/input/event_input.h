// The input sink: carries out the controller's pointer, wheel, key, text and
// lock events on the queue it is given (one for input alone: typing is
// slow), remembers what it holds down, and lets go of all of it when asked.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/clock.h"
#include "core/display.h"
#include "core/input_sink.h"
#include "core/executor.h"
#include "core/liveness.h"
#include "core/one_shot_timer.h"
#include "input/input_backend.h"
#include "input/locker_wake.h"
#include "input/scroll_accumulator.h"

namespace morvane {

namespace InputTuning {
// Wheel steps are coarse here: this many pixels of the device's scrolling
// make one step.
inline constexpr double pixelsPerWheelStep = 50;
// Each typed character at most this often, so applications keep up.
inline constexpr int typingPauseMillis = 3;
// How far behind its pace a text may fall and still make it up: a pause
// overrun (a busy processor) lets up to this many characters go at once.
inline constexpr int typingCatchUpCharacters = 8;
// What may wait on the queue. Typing is slow, and a device sending faster
// than it can be typed must not grow the queue without end: past these,
// new events are dropped.
inline constexpr int maxQueuedEvents = 1024;
inline constexpr std::size_t maxQueuedTextBytes = 256 * 1024;
// Releases of keys and buttons have room of their own beyond that, so that a
// flood never leaves something held that the device let go of.
inline constexpr int extraQueuedReleases = 256;
}  // namespace InputTuning

class EventInput final : public InputSink {
public:
    // `displayBounds` yields the global bounds of the display being shown to
    // the device, or nothing (then the main display counts). `screenLocked`
    // says, on the queue, whether the screen is locked: a text, and a key
    // pressed, then wait for the locker's dialog to read them (LockerWake),
    // and so do the events after them, in order. `log` takes the wake's
    // lines; `clock` is the queue's.
    EventInput(Executor& queue, std::unique_ptr<InputBackend> backend,
               std::function<std::optional<Rect>()> displayBounds,
               double pixelsPerWheelStep = InputTuning::pixelsPerWheelStep,
               std::function<bool()> screenLocked = nullptr, std::function<void(const std::string&)> log = nullptr,
               OneShotTimer::Clock clock = nowMillis);
    // Lets go of everything held, on the queue, and waits for it.
    ~EventInput() override;
    EventInput(const EventInput&) = delete;
    EventInput& operator=(const EventInput&) = delete;

    void handle(const InputEvent& event) override;
    // Must not be called from the injector's own queue.
    void releaseEverything() override;

private:
    struct Queued {
        InputEvent event;
        std::uint64_t epoch = 0;
        std::size_t textBytes = 0;
    };

    // Everything below runs on the queue.
    void arrive(Queued queued);
    void release();
    // False: the event waits for a locked screen's dialog, and release()
    // comes again once it may go.
    bool run(const InputEvent& event, std::uint64_t epoch);
    void move(const input::Move& e);
    void press(const input::Button& e);
    void scroll(const input::Scroll& e);
    bool key(const input::Key& e);
    bool text(const input::Text& e, std::uint64_t epoch);
    void lock();
    bool lockerReady(bool locked);
    void releaseAll();
    void giveBackKeys(std::uint64_t generation);
    GlobalPoint locate(double x, double y);

    std::unique_ptr<InputBackend> backend_;
    std::function<std::optional<Rect>()> displayBounds_;
    std::function<bool()> screenLocked_;
    std::atomic<std::uint64_t> epoch_{0};
    std::atomic<int> queued_{0};
    std::atomic<std::size_t> queuedTextBytes_{0};

    OneShotTimer::Clock clock_;
    // Touched only on the queue.
    std::unique_ptr<LockerWake> wake_;
    // Events that came and are not carried out yet: the first waits for a
    // locked screen's dialog, the others for it.
    std::deque<Queued> waiting_;
    bool releasing_ = false;
    std::map<std::string, bool> heldKeys_;  // browser code -> is a modifier
    std::map<int, int> heldButtons_;        // button -> click count
    std::optional<GlobalPoint> position_;
    ScrollAccumulator scroll_;
    // Counts texts and releases: keys are given back after a release only
    // while no text has come since.
    std::uint64_t typingGeneration_ = 0;

    Executor& queue_;
    // Let go of on the queue when the injector goes: a give-back still
    // waiting on the queue then finds nothing to give back.
    Liveness alive_;
};

}  // namespace morvane

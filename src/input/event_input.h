// The input sink: carries out the controller's pointer, wheel, key, text and
// lock events on the queue it is given (one for input alone: typing is
// slow), remembers what it holds down, and lets go of all of it when asked.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/display.h"
#include "core/input_sink.h"
#include "core/executor.h"
#include "core/liveness.h"
#include "input/input_backend.h"
#include "input/scroll_accumulator.h"

namespace morvane {

namespace InputTuning {
// Wheel steps are coarse here: this many pixels of the device's scrolling
// make one step.
inline constexpr double pixelsPerWheelStep = 50;
// Pause after each typed character, so applications keep up.
inline constexpr int typingPauseMillis = 3;
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
    // says, on the queue, whether the screen is locked: the first key of a
    // text, and a key pressed, then wake the locker's dialog first, so that
    // the key is not spent on waking it.
    EventInput(Executor& queue, std::unique_ptr<InputBackend> backend,
               std::function<std::optional<Rect>()> displayBounds,
               double pixelsPerWheelStep = InputTuning::pixelsPerWheelStep,
               std::function<bool()> screenLocked = nullptr);
    // Lets go of everything held, on the queue, and waits for it.
    ~EventInput() override;
    EventInput(const EventInput&) = delete;
    EventInput& operator=(const EventInput&) = delete;

    void handle(const InputEvent& event) override;
    // Must not be called from the injector's own queue.
    void releaseEverything() override;

private:
    // Everything below runs on the queue.
    void run(const InputEvent& event, std::uint64_t epoch);
    void move(const input::Move& e);
    void press(const input::Button& e);
    void scroll(const input::Scroll& e);
    void key(const input::Key& e);
    void text(const input::Text& e, std::uint64_t epoch);
    void lock();
    void wakeLockerIfLocked();
    void releaseAll();
    void giveBackKeys(std::uint64_t generation);
    GlobalPoint locate(double x, double y);

    std::unique_ptr<InputBackend> backend_;
    std::function<std::optional<Rect>()> displayBounds_;
    std::function<bool()> screenLocked_;
    std::atomic<std::uint64_t> epoch_{0};
    std::atomic<int> queued_{0};
    std::atomic<std::size_t> queuedTextBytes_{0};

    // Touched only on the queue.
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

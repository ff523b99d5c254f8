// What a change of the controlling session does to the computer itself, on
// the main queue: held keys and buttons are let go, the display effects are
// put back, the screen source is started, moved back to the automatic display
// or stopped, and the shell hears who controls now and what the session
// history records. The server decides on its own queue and hands the facts
// over; nothing here decides.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/display_effects.h"
#include "core/frame_source.h"
#include "core/input_sink.h"
#include "core/types.h"

namespace morvane {

class SessionStage {
public:
    using ControllerHandler = std::function<void(std::optional<std::string>)>;
    using SessionHandler = std::function<void(const SessionEvent&)>;

    // `effects` may be missing. The handlers are read at each call, so the
    // shell may set them after the stage is made; their owner outlives it.
    SessionStage(InputSink& input, FrameSource& frames, DisplayEffects* effects, std::function<bool()> isPaused,
                 const ControllerHandler& onControllerChange, const SessionHandler& onSession);

    struct Started {
        std::string deviceID, name, route;
        // The session this one took over, if any, and what it had going.
        bool tookOver = false;
        std::optional<std::string> previousID;
        bool hadMatch = false;
        bool videoWasActive = false;
        std::int64_t epoch = 0;
        std::shared_ptr<FrameObserver> observer;
    };
    struct Ended {
        std::optional<std::string> deviceID;
        bool videoWasActive = false;
        std::int64_t epoch = 0;
    };

    // Main queue.
    void started(const Started& s);
    void ended(const Ended& e);
    // Input reaches the computer only while the host is not paused.
    void input(const InputEvent& event);
    // The effects of sessions up to `epoch` are put back.
    void restore(std::int64_t epoch);
    // The server stopped: everything is put back.
    void stopped(bool hadController);
    void keepAlive();

private:
    InputSink& input_;
    FrameSource& frames_;
    DisplayEffects* effects_;
    std::function<bool()> isPaused_;
    const ControllerHandler& onControllerChange_;
    const SessionHandler& onSession_;
};

}  // namespace morvane

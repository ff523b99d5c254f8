#include "server/session_stage.h"

#include <limits>

namespace morvane {

SessionStage::SessionStage(InputSink& input, FrameSource& frames, DisplayEffects* effects,
                           std::function<bool()> isPaused, const ControllerHandler& onControllerChange,
                           const SessionHandler& onSession)
    : input_(input),
      frames_(frames),
      effects_(effects),
      isPaused_(std::move(isPaused)),
      onControllerChange_(onControllerChange),
      onSession_(onSession) {}

void SessionStage::started(const Started& s) {
    if (s.tookOver) input_.releaseEverything();
    restore(s.epoch);
    if (s.hadMatch && s.tookOver) frames_.displayModeChanged();
    if (s.videoWasActive) frames_.stopVideo();
    if (s.tookOver) {
        // The capture already runs; the new session starts on the automatic
        // display with a fresh picture.
        frames_.selectDisplay(std::nullopt);
        frames_.requestFrame();
    } else if (!isPaused_()) {
        frames_.start(s.observer);
    }
    if (onControllerChange_) onControllerChange_(s.name);
    if (s.previousID && onSession_) onSession_(session_event::Ended{*s.previousID, true});
    if (onSession_) onSession_(session_event::Started{s.deviceID, s.name, s.route});
}

void SessionStage::ended(const Ended& e) {
    input_.releaseEverything();
    restore(e.epoch);
    if (e.videoWasActive) frames_.stopVideo();
    frames_.stop();
    if (onControllerChange_) onControllerChange_(std::nullopt);
    if (e.deviceID && onSession_) onSession_(session_event::Ended{*e.deviceID, false});
}

void SessionStage::input(const InputEvent& event) {
    if (!isPaused_()) input_.handle(event);
}

void SessionStage::restore(std::int64_t epoch) {
    if (effects_) effects_->restoreAll(epoch);
}

void SessionStage::stopped(bool hadController) {
    if (hadController) input_.releaseEverything();
    restore(std::numeric_limits<std::int64_t>::max());
}

void SessionStage::keepAlive() {
    if (effects_) effects_->keepAlive();
}

}  // namespace morvane

#include "server/send_pump.h"

namespace morvane {

SendPump::SendPump() : audio_(AudioFormat::standard(), AudioLimits::maxQueuedMillis) {}

bool SendPump::enqueueControl(Bytes message) {
    if (controlFull()) return false;
    control_.push_back(std::move(message));
    return true;
}

void SendPump::appendClose(Bytes frame) { control_.push_back(std::move(frame)); }

bool SendPump::dropPendingFile() {
    bool had = pendingFile_.has_value();
    pendingFile_.reset();
    return had;
}

void SendPump::dropMedia() {
    pendingFrame_.reset();
    pendingVideo_.reset();
    pendingFile_.reset();
    audio_.removeAll();
}

void SendPump::clear() {
    control_.clear();
    dropMedia();
}

SendPump::Decision SendPump::next(ConnectionPhase phase) {
    if (sendInFlight_ || phase == ConnectionPhase::closed) return Idle{};
    std::optional<Item> chosen;
    if (!control_.empty()) {
        chosen = Item{std::move(control_.front())};
        control_.pop_front();
    } else if (phase == ConnectionPhase::controller) {
        std::optional<Bytes> batch;
        if (audioTurn_ && (batch = audio_.takeBatch())) {
            chosen = Item{std::move(*batch)};
            audioTurn_ = false;
        } else if (fileTurn_ && pendingFile_) {
            chosen = Item{std::move(*pendingFile_), false, true};
            pendingFile_.reset();
        } else if (pendingVideo_) {
            chosen = Item{std::move(*pendingVideo_), true, false};
            pendingVideo_.reset();
            videoInFlight_ = true;
            audioTurn_ = true;
        } else if (pendingFrame_) {
            chosen = Item{std::move(*pendingFrame_)};
            pendingFrame_.reset();
            audioTurn_ = true;
        } else if ((batch = audio_.takeBatch())) {
            chosen = Item{std::move(*batch)};
            audioTurn_ = false;
        }
    }
    if (!chosen) {
        if (phase == ConnectionPhase::closing) return FinishClose{};
        // A chunk waits only while other media is due.
        if (phase != ConnectionPhase::controller || !pendingFile_) return Idle{};
        chosen = Item{std::move(*pendingFile_), false, true};
        pendingFile_.reset();
    }
    fileTurn_ = !chosen->file;
    sendInFlight_ = true;
    return Write{std::move(*chosen)};
}

void SendPump::completed(bool video) {
    sendInFlight_ = false;
    if (video) videoInFlight_ = false;
}

}  // namespace morvane

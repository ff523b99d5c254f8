#include "server/send_pump.h"

namespace morvane {

SendPump::SendPump() : audio_(AudioFormat::standard(), AudioLimits::maxQueuedMillis) {}

bool SendPump::enqueueControl(Bytes message) {
    if (controlFull()) return false;
    control_.push_back(std::move(message));
    return true;
}

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
    close_.reset();
    dropMedia();
}

std::optional<SendPump::Media> SendPump::takeMedia() {
    std::optional<Bytes> batch;
    if (audioTurn_ && (batch = audio_.takeBatch())) {
        audioTurn_ = false;
        return Media{std::move(*batch)};
    }
    std::optional<Media> chosen;
    if (fileTurn_ && pendingFile_) {
        chosen = Media{std::move(*pendingFile_), false, true};
        pendingFile_.reset();
    } else if (pendingVideo_) {
        chosen = Media{std::move(*pendingVideo_), true, false};
        pendingVideo_.reset();
        videoInFlight_ = true;
        audioTurn_ = true;
    } else if (pendingFrame_) {
        chosen = Media{std::move(*pendingFrame_)};
        pendingFrame_.reset();
        audioTurn_ = true;
    } else if ((batch = audio_.takeBatch())) {
        chosen = Media{std::move(*batch)};
        audioTurn_ = false;
    } else if (pendingFile_) {
        // A chunk waits only while other media is due.
        chosen = Media{std::move(*pendingFile_), false, true};
        pendingFile_.reset();
    }
    return chosen;
}

SendPump::Decision SendPump::next(ConnectionPhase phase) {
    if (sendInFlight_ || phase == ConnectionPhase::closed) return Idle{};
    Write write;
    write.parts.reserve(control_.size() + 1);
    for (auto& message : control_) write.parts.push_back(std::move(message));
    control_.clear();
    if (phase == ConnectionPhase::controller) {
        if (auto media = takeMedia()) {
            write.parts.push_back(std::move(media->bytes));
            write.video = media->video;
            write.file = media->file;
        }
    }
    if (write.parts.empty()) {
        if (!close_) return phase == ConnectionPhase::closing ? Decision{FinishClose{}} : Decision{Idle{}};
        write.parts.push_back(std::move(*close_));
        close_.reset();
    }
    fileTurn_ = !write.file;
    sendInFlight_ = true;
    return write;
}

void SendPump::completed(bool video) {
    sendInFlight_ = false;
    if (video) videoInFlight_ = false;
}

}  // namespace morvane

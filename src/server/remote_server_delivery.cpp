// Pictures and video from the screen source to the controlling connection.
// Capture and encoder threads touch only the hand-over under frameLock_;
// everything else runs on the server queue, and the source is driven on the
// main queue.
#include <nlohmann/json.hpp>

#include "capture/h264.h"
#include "server/frame_message.h"
#include "server/remote_connection.h"
#include "server/remote_server.h"
#include "server/video_limits.h"

namespace morvane {

namespace {
nlohmann::json jpegAnnouncement() { return {{"t", "video"}, {"mode", "jpeg"}}; }
}  // namespace

// ---- Pictures ----

void RemoteServer::ingestFrame(const Bytes& jpeg, int width, int height) {
    bool scheduled;
    {
        std::lock_guard lock(frameLock_);
        // An older picture not yet taken is simply replaced: pictures never queue.
        latestFrame_ = Picture{jpeg, width, height};
        scheduled = frameDrainScheduled_;
        frameDrainScheduled_ = true;
    }
    if (scheduled) return;
    std::weak_ptr<RemoteServer> weak = weak_from_this();
    queue_->post([weak] {
        if (auto self = weak.lock()) self->drainFrame();
    });
}

void RemoteServer::drainFrame() {
    std::optional<Picture> picture;
    {
        std::lock_guard lock(frameLock_);
        picture.swap(latestFrame_);
        frameDrainScheduled_ = false;
    }
    if (!picture || !capturing_ || !controller_) return;
    // Pictures keep flowing while a video start is pending and stop with the
    // first announced access unit.
    if (videoMode_ != VideoMode::jpeg && videoAnnounced_) return;
    auto message = FrameMessage::encode(picture->jpeg, picture->width, picture->height);
    if (!message || controller_->phase() != ConnectionPhase::controller) return;
    controller_->offerFrame(*message);
}

// ---- Access units ----

void RemoteServer::ingestVideo(const EncodedVideoFrame& frame) {
    {
        std::lock_guard lock(frameLock_);
        if (videoQueued_ >= VideoLimits::maxQueuedToServer) {
            videoOverflowed_ = true;
            return;
        }
        ++videoQueued_;
    }
    std::weak_ptr<RemoteServer> weak = weak_from_this();
    auto unit = std::make_shared<const EncodedVideoFrame>(frame);
    queue_->post([weak, unit] {
        if (auto self = weak.lock()) self->deliverVideo(*unit);
    });
}

void RemoteServer::deliverVideo(const EncodedVideoFrame& frame) {
    bool overflowed;
    {
        std::lock_guard lock(frameLock_);
        --videoQueued_;
        overflowed = videoOverflowed_;
        videoOverflowed_ = false;
    }
    if (videoMode_ == VideoMode::jpeg || !capturing_ || !controller_) return;
    auto controller = controller_;
    videoMode_ = VideoMode::h264;  // a unit arriving while starting completes the start

    bool sizeOK = frame.width >= 1 && frame.width <= 65'535 && frame.height >= 1 && frame.height <= 65'535;
    std::optional<Bytes> message;
    if (H264::isCodecString(frame.codec) && sizeOK)
        message = FrameMessage::encodeVideo(frame.data, frame.keyframe, frame.timestampMicros);
    if (!message) {
        switchToJPEG(*controller);
        return;
    }
    if (overflowed) videoGate_.markBroken();
    VideoFormat format{frame.codec, frame.width, frame.height};
    bool needAnnounce = videoAnnounced_ != format;
    // A new format can only begin with a keyframe, or the device would decode
    // units against parameters it never saw.
    if (needAnnounce && !frame.keyframe) videoGate_.markBroken();

    auto action = videoGate_.offer(frame.keyframe, controller->videoBusy());
    if (action.kind == VideoGate::Action::Kind::drop) {
        if (action.askKeyframe) askSourceForKeyframe();
        return;
    }
    if (needAnnounce) {
        videoAnnounced_ = format;
        controller->clearPendingFrame();
        controller->sendJSON({{"t", "video"},
                              {"mode", "h264"},
                              {"codec", frame.codec},
                              {"w", frame.width},
                              {"h", frame.height}});
        if (controller_ != controller) return;  // a full control queue closed it
    }
    videoSilentSeconds_ = 0;
    controller->offerVideo(*message);
}

// ---- Starting and ending video ----

void RemoteServer::requestVideo(int maxWidth, int maxHeight) {
    if (!controller_) return;
    std::int64_t wait = videoStartLimiter_.waitMillis(now());
    if (wait > 0) {
        bool wasPending = pendingVideoStart_.has_value();
        pendingVideoStart_ = std::make_pair(maxWidth, maxHeight);
        if (wasPending) return;
        std::weak_ptr<RemoteServer> weak = weak_from_this();
        queue_->postAfter(wait, [weak] {
            auto self = weak.lock();
            if (!self || !self->pendingVideoStart_) return;
            auto [w, h] = *self->pendingVideoStart_;
            self->pendingVideoStart_.reset();
            self->requestVideo(w, h);
        });
        return;
    }
    pendingVideoStart_.reset();
    startVideo(controller_, maxWidth, maxHeight);
}

void RemoteServer::startVideo(const std::shared_ptr<RemoteConnection>& connection, int maxWidth, int maxHeight) {
    std::uint64_t epoch = ++videoEpoch_;
    connection->clearPendingVideo();
    videoMode_ = VideoMode::starting;
    videoAnnounced_.reset();
    videoGate_ = VideoGate{};
    videoSilentSeconds_ = 0;

    std::weak_ptr<RemoteServer> weak = weak_from_this();
    std::weak_ptr<RemoteConnection> target = connection;
    onMain([weak, target, epoch, maxWidth, maxHeight] {
        auto self = weak.lock();
        if (!self) return;
        bool ok = self->frames_->startVideo(maxWidth, maxHeight);
        if (!ok) {
            self->frames_->stopVideo();
            self->frames_->requestFrame();
        }
        self->queue_->post([weak, target, epoch, ok] {
            auto s = weak.lock();
            auto c = target.lock();
            // A start overtaken by another start or a reset is void.
            if (!s || !c || s->videoEpoch_ != epoch || s->controller_ != c) return;
            if (ok) {
                if (s->videoMode_ == VideoMode::starting) s->videoMode_ = VideoMode::h264;
                return;
            }
            s->resetVideoState();
            c->clearPendingVideo();
            c->sendJSON(jpegAnnouncement());
        });
    });
}

void RemoteServer::switchToJPEG(RemoteConnection& connection) {
    resetVideoState();
    connection.clearPendingVideo();
    connection.sendJSON(jpegAnnouncement());
    auto* frames = frames_;
    onMain([frames] {
        frames->stopVideo();
        frames->requestFrame();
    });
}

bool RemoteServer::resetVideoState() {
    bool wasActive = videoMode_ != VideoMode::jpeg;
    ++videoEpoch_;
    videoMode_ = VideoMode::jpeg;
    videoAnnounced_.reset();
    videoGate_ = VideoGate{};
    keyframeLimiter_ = KeyframeLimiter(KeyframeLimiter::clientIntervalMillis);
    lastKeyframeAsk_.reset();
    videoSilentSeconds_ = 0;
    pendingVideoStart_.reset();
    // keyframeAskPending_ is left alone: a scheduled ask still clears it when
    // it fires, and then finds the mode no longer h264.
    return wasActive;
}

// ---- Keyframes ----

void RemoteServer::askSourceForKeyframe() {
    if (keyframeAskPending_) return;
    keyframeAskPending_ = true;
    std::int64_t t = now();
    std::int64_t delay = 0;
    if (lastKeyframeAsk_ && t >= *lastKeyframeAsk_ && t - *lastKeyframeAsk_ < VideoLimits::keyframeAskSpacingMillis)
        delay = VideoLimits::keyframeAskSpacingMillis - (t - *lastKeyframeAsk_);
    std::weak_ptr<RemoteServer> weak = weak_from_this();
    auto ask = [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->keyframeAskPending_ = false;
        if (self->videoMode_ != VideoMode::h264 || !self->videoGate_.needKeyframe || !self->controller_) return;
        self->lastKeyframeAsk_ = self->now();
        auto* frames = self->frames_;
        self->onMain([frames] { frames->requestKeyframe(); });
    };
    if (delay > 0)
        queue_->postAfter(delay, std::move(ask));
    else
        queue_->post(std::move(ask));
}

void RemoteServer::videoWriteCompleted() {
    if (videoMode_ == VideoMode::h264 && videoGate_.needKeyframe) askSourceForKeyframe();
}

void RemoteServer::handleRefresh(bool keyframe) {
    auto* frames = frames_;
    if (videoMode_ != VideoMode::h264) {
        // A picture may be asked for as often as the device likes; a
        // keyframe only means something while video flows.
        if (!keyframe) onMain([frames] { frames->requestFrame(); });
        return;
    }
    if (!keyframeLimiter_.allow(now())) return;
    if (keyframe)
        onMain([frames] { frames->requestKeyframe(); });
    else
        onMain([frames] { frames->requestFrame(); });
}

void RemoteServer::tickVideo() {
    if (videoMode_ != VideoMode::h264 || !controller_) return;
    if (videoAnnounced_) {
        if (videoGate_.needKeyframe && !controller_->videoBusy()) askSourceForKeyframe();
        return;
    }
    if (lastStatus_ && lastStatus_->second == "ok")
        ++videoSilentSeconds_;
    else
        videoSilentSeconds_ = 0;
    if (videoSilentSeconds_ >= VideoLimits::firstFrameSeconds) {
        auto c = controller_;
        switchToJPEG(*c);
    }
}

}  // namespace morvane

#include "server/video_relay.h"

#include <nlohmann/json.hpp>

#include "capture/h264.h"
#include "server/frame_message.h"
#include "server/video_limits.h"

namespace morvane {

namespace {
nlohmann::json jpegAnnouncement() { return {{"t", "video"}, {"mode", "jpeg"}}; }
}  // namespace

std::shared_ptr<VideoRelay> VideoRelay::create(Executor& queue, Executor& main, FrameSource& frames,
                                               Clock uptimeMillis) {
    return std::make_shared<VideoRelay>(queue, main, frames, std::move(uptimeMillis));
}

VideoRelay::VideoRelay(Executor& queue, Executor& main, FrameSource& frames, Clock uptimeMillis)
    : queue_(queue), main_(main), frames_(frames), uptime_(std::move(uptimeMillis)) {}

// ---- Pictures ----

void VideoRelay::ingestFrame(const Bytes& jpeg, int width, int height) {
    bool scheduled;
    {
        std::lock_guard lock(handOver_);
        // An older picture not yet taken is simply replaced: pictures never queue.
        latest_ = Picture{jpeg, width, height};
        scheduled = drainScheduled_;
        drainScheduled_ = true;
    }
    if (scheduled) return;
    std::weak_ptr<VideoRelay> weak = weak_from_this();
    queue_.post([weak] {
        if (auto self = weak.lock()) self->drainFrame();
    });
}

void VideoRelay::drainFrame() {
    std::optional<Picture> picture;
    {
        std::lock_guard lock(handOver_);
        picture.swap(latest_);
        drainScheduled_ = false;
    }
    if (!picture || !link_) return;
    // Pictures keep flowing while a video start is pending and stop with the
    // first announced access unit.
    if (mode_ != VideoMode::jpeg && announced_) return;
    auto message = FrameMessage::encode(picture->jpeg, picture->width, picture->height);
    if (message) link_->offerFrame(*message);
}

// ---- Access units ----

void VideoRelay::ingestVideo(const EncodedVideoFrame& frame) {
    {
        std::lock_guard lock(handOver_);
        if (queued_ >= VideoLimits::maxQueuedToServer) {
            overflowed_ = true;
            return;
        }
        ++queued_;
    }
    std::weak_ptr<VideoRelay> weak = weak_from_this();
    auto unit = std::make_shared<const EncodedVideoFrame>(frame);
    queue_.post([weak, unit] {
        if (auto self = weak.lock()) self->deliver(*unit);
    });
}

void VideoRelay::deliver(const EncodedVideoFrame& frame) {
    bool overflowed;
    {
        std::lock_guard lock(handOver_);
        --queued_;
        overflowed = overflowed_;
        overflowed_ = false;
    }
    if (mode_ == VideoMode::jpeg || !link_) return;
    auto link = link_;
    mode_ = VideoMode::h264;  // a unit arriving while starting completes the start

    bool sizeOK = frame.width >= 1 && frame.width <= 65'535 && frame.height >= 1 && frame.height <= 65'535;
    std::optional<Bytes> message;
    if (H264::isCodecString(frame.codec) && sizeOK)
        message = FrameMessage::encodeVideo(frame.data, frame.keyframe, frame.timestampMicros);
    if (!message) {
        switchToJPEG();
        return;
    }
    if (overflowed) gate_.markBroken();
    Format format{frame.codec, frame.width, frame.height};
    bool needAnnounce = announced_ != format;
    // A new format can only begin with a keyframe, or the device would decode
    // units against parameters it never saw.
    if (needAnnounce && !frame.keyframe) gate_.markBroken();

    auto action = gate_.offer(frame.keyframe, link->videoBusy());
    if (action.kind == VideoGate::Action::Kind::drop) {
        if (action.askKeyframe) askForKeyframe();
        return;
    }
    if (needAnnounce) {
        announced_ = format;
        link->clearPendingFrame();
        link->sendJSON(
            {{"t", "video"}, {"mode", "h264"}, {"codec", frame.codec}, {"w", frame.width}, {"h", frame.height}});
        if (link_ != link) return;  // a full control queue closed it
    }
    silentSeconds_ = 0;
    link->offerVideo(*message);
}

// ---- Sessions, starts and ends ----

bool VideoRelay::attach(std::shared_ptr<SessionLink> link) {
    expectOn(queue_, __func__);
    link_ = std::move(link);
    return reset();
}

void VideoRelay::requestH264(int maxWidth, int maxHeight) {
    expectOn(queue_, __func__);
    if (!link_) return;
    std::int64_t wait = startLimiter_.waitMillis(uptime_());
    if (wait > 0) {
        bool wasPending = pendingStart_.has_value();
        pendingStart_ = std::make_pair(maxWidth, maxHeight);
        if (wasPending) return;
        std::weak_ptr<VideoRelay> weak = weak_from_this();
        queue_.postAfter(wait, [weak] {
            auto self = weak.lock();
            if (!self || !self->pendingStart_) return;
            auto [w, h] = *self->pendingStart_;
            self->pendingStart_.reset();
            self->requestH264(w, h);
        });
        return;
    }
    pendingStart_.reset();
    start(maxWidth, maxHeight);
}

void VideoRelay::start(int maxWidth, int maxHeight) {
    std::uint64_t epoch = ++epoch_;
    link_->clearPendingVideo();
    mode_ = VideoMode::starting;
    announced_.reset();
    gate_ = VideoGate{};
    silentSeconds_ = 0;

    std::weak_ptr<VideoRelay> weak = weak_from_this();
    std::weak_ptr<SessionLink> target = link_;
    auto* frames = &frames_;
    auto* queue = &queue_;
    main_.post([weak, target, epoch, maxWidth, maxHeight, frames, queue] {
        if (weak.expired()) return;
        bool ok = frames->startVideo(maxWidth, maxHeight);
        if (!ok) {
            frames->stopVideo();
            frames->requestFrame();
        }
        queue->post([weak, target, epoch, ok] {
            auto self = weak.lock();
            auto link = target.lock();
            // A start overtaken by another start or a reset is void.
            if (!self || !link || self->epoch_ != epoch || self->link_ != link) return;
            if (ok) {
                if (self->mode_ == VideoMode::starting) self->mode_ = VideoMode::h264;
                return;
            }
            self->reset();
            link->clearPendingVideo();
            link->sendJSON(jpegAnnouncement());
        });
    });
}

void VideoRelay::requestJPEG() {
    expectOn(queue_, __func__);
    if (link_) switchToJPEG();
}

void VideoRelay::sourceFailed() {
    expectOn(queue_, __func__);
    if (mode_ != VideoMode::jpeg && link_) switchToJPEG();
}

void VideoRelay::switchToJPEG() {
    auto link = link_;
    reset();
    link->clearPendingVideo();
    link->sendJSON(jpegAnnouncement());
    auto* frames = &frames_;
    main_.post([frames] {
        frames->stopVideo();
        frames->requestFrame();
    });
}

bool VideoRelay::reset() {
    bool wasActive = mode_ != VideoMode::jpeg;
    ++epoch_;
    mode_ = VideoMode::jpeg;
    announced_.reset();
    gate_ = VideoGate{};
    keyframeLimiter_ = KeyframeLimiter(KeyframeLimiter::clientIntervalMillis);
    lastKeyframeAsk_.reset();
    silentSeconds_ = 0;
    pendingStart_.reset();
    // keyframeAskPending_ is left alone: a scheduled ask still clears it when
    // it fires, and then finds the mode no longer h264.
    return wasActive;
}

// ---- Keyframes ----

void VideoRelay::askForKeyframe() {
    if (keyframeAskPending_) return;
    keyframeAskPending_ = true;
    std::int64_t t = uptime_();
    std::int64_t delay = 0;
    if (lastKeyframeAsk_ && t >= *lastKeyframeAsk_ && t - *lastKeyframeAsk_ < VideoLimits::keyframeAskSpacingMillis)
        delay = VideoLimits::keyframeAskSpacingMillis - (t - *lastKeyframeAsk_);
    std::weak_ptr<VideoRelay> weak = weak_from_this();
    auto ask = [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->keyframeAskPending_ = false;
        if (self->mode_ != VideoMode::h264 || !self->gate_.needKeyframe || !self->link_) return;
        self->lastKeyframeAsk_ = self->uptime_();
        auto* frames = &self->frames_;
        self->main_.post([frames] { frames->requestKeyframe(); });
    };
    if (delay > 0)
        queue_.postAfter(delay, std::move(ask));
    else
        queue_.post(std::move(ask));
}

void VideoRelay::writeCompleted() {
    expectOn(queue_, __func__);
    // A stream still waiting for a keyframe gets one asked for as soon as
    // the connection can take it.
    if (mode_ == VideoMode::h264 && gate_.needKeyframe) askForKeyframe();
}

void VideoRelay::refresh(bool keyframe) {
    expectOn(queue_, __func__);
    auto* frames = &frames_;
    if (mode_ != VideoMode::h264) {
        // A picture may be asked for as often as the device likes; a
        // keyframe only means something while video flows.
        if (!keyframe) main_.post([frames] { frames->requestFrame(); });
        return;
    }
    if (!keyframeLimiter_.allow(uptime_())) return;
    if (keyframe)
        main_.post([frames] { frames->requestKeyframe(); });
    else
        main_.post([frames] { frames->requestFrame(); });
}

void VideoRelay::tick(bool captureWorking) {
    expectOn(queue_, __func__);
    if (mode_ != VideoMode::h264 || !link_) return;
    if (announced_) {
        if (gate_.needKeyframe && !link_->videoBusy()) askForKeyframe();
        return;
    }
    if (captureWorking)
        ++silentSeconds_;
    else
        silentSeconds_ = 0;
    if (silentSeconds_ >= VideoLimits::firstFrameSeconds) switchToJPEG();
}

// ---- The screen source's reports ----

ScreenSourceObserver::ScreenSourceObserver(std::weak_ptr<const void> owner, Executor& queue, VideoRelay& video,
                                           Hooks hooks)
    : owner_(std::move(owner)), queue_(queue), video_(video), hooks_(std::move(hooks)) {}

void ScreenSourceObserver::detach() {
    std::lock_guard lock(m_);
    owner_.reset();
}

std::shared_ptr<const void> ScreenSourceObserver::owner() {
    std::lock_guard lock(m_);
    return owner_.lock();
}

void ScreenSourceObserver::onFrame(const Bytes& jpeg, int width, int height) {
    if (auto alive = owner()) video_.ingestFrame(jpeg, width, height);
}

void ScreenSourceObserver::onVideoFrame(const EncodedVideoFrame& frame) {
    if (auto alive = owner()) video_.ingestVideo(frame);
}

void ScreenSourceObserver::onVideoFailure() {
    onQueue([](ScreenSourceObserver& o) { o.video_.sourceFailed(); });
}

void ScreenSourceObserver::onDisplaysChanged(const DisplayListing& listing) {
    onQueue([listing](ScreenSourceObserver& o) {
        if (o.hooks_.displaysChanged) o.hooks_.displaysChanged(listing);
    });
}

void ScreenSourceObserver::onStoppedByOwner() {
    onQueue([](ScreenSourceObserver& o) {
        if (o.hooks_.stoppedByOwner) o.hooks_.stoppedByOwner();
    });
}

void ScreenSourceObserver::onQueue(std::function<void(ScreenSourceObserver&)> work) {
    auto alive = owner();
    if (!alive) return;
    // The work runs only if the owner still lives when the queue gets to it.
    queue_.post([weak = std::weak_ptr<const void>(alive), self = shared_from_this(), work = std::move(work)] {
        if (auto still = weak.lock()) work(*self);
    });
}

}  // namespace morvane

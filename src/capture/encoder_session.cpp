#include "capture/encoder_session.h"

#include <algorithm>
#include <chrono>
#include <tuple>

#include "capture/post_weak.h"

namespace morvane {

namespace {

std::uint64_t steadyMicros() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

}  // namespace

EncoderSession::EncoderSession(Executor& encode, std::shared_ptr<SourceOutlets> outlets,
                               std::function<std::uint64_t()> nowMicros, std::function<void()> videoEnded)
    : encode_(encode),
      outlets_(std::move(outlets)),
      nowMicros_(std::move(nowMicros)),
      videoEnded_(std::move(videoEnded)) {}

template <typename F>
void EncoderSession::onEncode(F f, std::int64_t delayMillis) {
    postWeak(encode_, weak_from_this(), std::move(f), delayMillis);
}

std::uint64_t EncoderSession::nextTimestampLocked() {
    const std::uint64_t now = nowMicros_ ? nowMicros_() : steadyMicros();
    lastTimestamp_ = std::max(now, lastTimestamp_ + 1);
    return lastTimestamp_;
}

std::shared_ptr<VideoEncoding> EncoderSession::makeEncoder(PixelSize size, FrameQuality quality,
                                                           std::uint64_t timestamp) {
    EncoderFactory factory;
    {
        std::lock_guard l(m_);
        factory = makeEncoder_;
    }
    if (!factory) return nullptr;
    const auto& settings = CaptureSettings::of(quality);
    return factory(size.width, size.height, settings.videoFramesPerSecond, settings.videoBitsPerSecond, timestamp,
                   outlets_->reporter());
}

// ---- the stream's thread and the controller ----

void EncoderSession::sample(std::uint64_t serial, PicturePtr picture) {
    bool post = false;
    {
        std::lock_guard l(m_);
        ++counts_.callbacks;
        if (!picture || liveStream_ != serial) return;
        waiting_ = std::move(picture);
        waitingTakenIn_ = settling_ > 0 ? 0 : configuration_;
        if (!encoding_) {
            encoding_ = true;
            post = true;
        }
    }
    if (post) onEncode([](EncoderSession& self) { self.encodeWaitingFrames(); });
}

void EncoderSession::admit(std::uint64_t serial) {
    std::lock_guard l(m_);
    liveStream_ = serial;
}

void EncoderSession::drop(std::uint64_t serial) {
    std::lock_guard l(m_);
    if (liveStream_ == serial) liveStream_.reset();
}

void EncoderSession::forgetPictures() {
    std::lock_guard l(m_);
    liveStream_.reset();
    waiting_ = nullptr;
    lastFrame_.reset();
    lastPixels_ = nullptr;
}

void EncoderSession::endCapture() {
    std::shared_ptr<VideoEncoding> old;
    {
        std::lock_guard l(m_);
        liveStream_.reset();
        waiting_ = nullptr;
        lastFrame_.reset();
        old = leaveVideoLocked().first;
    }
    if (old) onEncode([old](EncoderSession&) { old->invalidate(); });
}

void EncoderSession::displayChanged() {
    std::lock_guard l(m_);
    if (videoOn_) wantKeyframe_ = true;
}

void EncoderSession::setQuality(FrameQuality quality) {
    std::shared_ptr<VideoEncoding> current;
    {
        std::lock_guard l(m_);
        quality_ = quality;
        current = encoder_;
    }
    if (!current) return;
    const auto& settings = CaptureSettings::of(quality);
    onEncode([current, settings](EncoderSession&) {
        current->update(settings.videoFramesPerSecond, settings.videoBitsPerSecond);
    });
    outlets_->report("h264 quality " + std::string(toString(quality)) + ": " +
                     std::to_string(settings.videoBitsPerSecond / 1000) + " kbit/s, up to " +
                     std::to_string(settings.videoFramesPerSecond) + " fps");
}

void EncoderSession::beginSettling() {
    std::lock_guard l(m_);
    ++settling_;
    ++configuration_;
}

void EncoderSession::endSettling() {
    std::lock_guard l(m_);
    settling_ = std::max(settling_ - 1, 0);
}

// ---- the user's thread ----

FrameQuality EncoderSession::quality() const {
    std::lock_guard l(m_);
    return quality_;
}

bool EncoderSession::startVideo(PixelSize size) {
    std::uint64_t timestamp;
    FrameQuality q;
    {
        std::lock_guard l(m_);
        timestamp = nextTimestampLocked();
        q = quality_;
    }
    std::shared_ptr<VideoEncoding> made = makeEncoder(size, q, timestamp);
    if (!made) return false;
    std::shared_ptr<VideoEncoding> old;
    std::uint64_t epoch;
    {
        std::lock_guard l(m_);
        old = std::move(encoder_);
        encoder_ = made;
        videoOn_ = true;
        epoch = ++videoEpoch_;
        wantKeyframe_ = true;
        // Until the controller has asked the stream for the new size (it
        // ends this settling then), pictures of the old size must not
        // rebuild the encoder that was just made for the new one.
        ++settling_;
        ++configuration_;
    }
    if (old) onEncode([old](EncoderSession&) { old->invalidate(); });
    onEncode([epoch](EncoderSession& self) { self.videoKick(epoch, false); }, 350);
    onEncode([epoch](EncoderSession& self) { self.videoKick(epoch, true); }, 1000);
    onEncode([epoch](EncoderSession& self) { self.videoKick(epoch, true); }, 2000);
    return true;
}

void EncoderSession::stopVideo() {
    std::shared_ptr<VideoEncoding> old;
    PicturePtr picture;
    {
        std::lock_guard l(m_);
        if (!videoOn_) return;
        std::tie(old, picture) = leaveVideoLocked();
    }
    outlets_->report("h264 off, back to JPEG");
    onEncode([old, picture](EncoderSession& self) {
        if (old) old->invalidate();
        self.deliverStill(picture);
    });
    if (videoEnded_) videoEnded_();
}

void EncoderSession::requestKeyframe() {
    std::uint64_t epoch;
    {
        std::lock_guard l(m_);
        if (!videoOn_) return;
        wantKeyframe_ = true;
        epoch = videoEpoch_;
    }
    onEncode([epoch](EncoderSession& self) { self.videoKick(epoch, false); });
    onEncode([epoch](EncoderSession& self) { self.videoKick(epoch, true); }, 500);
}

void EncoderSession::requestFrame() {
    bool video;
    {
        std::lock_guard l(m_);
        video = videoOn_;
    }
    if (video) {
        requestKeyframe();
        return;
    }
    onEncode([](EncoderSession& self) { self.resendLastFrame(); });
}

void EncoderSession::resendLastFrame() {
    std::optional<LastFrame> last;
    {
        std::lock_guard l(m_);
        last = lastFrame_;
    }
    if (!last) return;
    if (auto handler = outlets_->observer()) handler->onFrame(last->jpeg, last->width, last->height);
}

SourceStats EncoderSession::takeCounts() {
    std::lock_guard l(m_);
    SourceStats out = counts_;
    out.width = lastSize_ ? lastSize_->width : 0;
    out.height = lastSize_ ? lastSize_->height : 0;
    out.video = videoOn_;
    counts_ = SourceStats{};
    return out;
}

void EncoderSession::setMakeEncoder(EncoderFactory factory) {
    std::lock_guard l(m_);
    makeEncoder_ = std::move(factory);
}

// ---- the encode queue ----

void EncoderSession::encodeWaitingFrames() {
    expectOn(encode_, "EncoderSession::encodeWaitingFrames");
    std::unique_lock l(m_);
    while (waiting_) {
        PicturePtr picture = std::move(waiting_);
        waiting_ = nullptr;
        const auto takenIn = waitingTakenIn_;
        const double q = CaptureSettings::of(quality_).jpegQuality;
        const bool video = videoOn_;
        l.unlock();
        if (video) {
            encodeVideo(picture, false, false, takenIn);
        } else if (auto jpeg = encodeJPEG(*picture, q)) {
            deliverJpeg(std::move(*jpeg), true);
        }
        l.lock();
    }
    encoding_ = false;
}

void EncoderSession::deliverJpeg(JpegPicture jpeg, bool fromStream) {
    bool first = false;
    std::shared_ptr<FrameObserver> handler;
    {
        std::lock_guard l(m_);
        if (!liveStream_ || (!fromStream && videoOn_)) return;
        first = fromStream && !lastFrame_.has_value();
        lastFrame_ = LastFrame{jpeg.jpeg, jpeg.width, jpeg.height};
        ++counts_.frames;
        counts_.bytes += static_cast<std::int64_t>(jpeg.jpeg.size());
        lastSize_ = PixelSize{jpeg.width, jpeg.height};
    }
    handler = outlets_->observer();
    if (first)
        outlets_->report("first frame " + std::to_string(jpeg.width) + "x" + std::to_string(jpeg.height) + " px, " +
                         std::to_string(jpeg.jpeg.size() / 1024) + " KiB");
    if (handler) handler->onFrame(jpeg.jpeg, jpeg.width, jpeg.height);
}

// A picture in place of the video that ended, else the last one again.
void EncoderSession::deliverStill(PicturePtr picture) {
    expectOn(encode_, "EncoderSession::deliverStill");
    if (picture) {
        if (auto jpeg = encodeJPEG(*picture, CaptureSettings::of(quality()).jpegQuality)) {
            deliverJpeg(std::move(*jpeg), false);
            return;
        }
    }
    resendLastFrame();
}

void EncoderSession::videoKick(std::uint64_t epoch, bool evenIfSettling) {
    expectOn(encode_, "EncoderSession::videoKick");
    PicturePtr picture;
    std::optional<LastFrame> last;
    std::shared_ptr<VideoEncoding> current;
    bool settling;
    std::uint64_t takenIn;
    {
        std::lock_guard l(m_);
        if (!videoOn_ || videoEpoch_ != epoch || !liveStream_ || !wantKeyframe_ || waiting_) return;
        picture = lastPixels_;
        last = lastFrame_;
        current = encoder_;
        takenIn = lastPixelsTakenIn_;
        settling = settling_ > 0 || takenIn != configuration_;
    }
    bool still = false;
    if (!picture) {
        // A still screen has sent no video picture yet: its last JPEG
        // picture makes the first keyframe.
        if (!last) return;
        auto decoded = decodeJPEG(last->jpeg);
        if (!decoded) return;
        picture = std::make_shared<Picture>(std::move(*decoded));
        still = true;
    }
    // The JPEG picture has the pictures' size, and while the stream settles
    // the last video picture has the old one: encoded as they are, either
    // would rebuild the encoder just made for the device's limit, and the
    // first keyframe would break that limit. Fitted, they keep it.
    if (current && (still || settling) &&
        (picture->width != current->width() || picture->height != current->height())) {
        const Picture bgra = picture->format == Picture::Format::bgra ? Picture{} : toBGRA(*picture);
        const Picture& from = picture->format == Picture::Format::bgra ? *picture : bgra;
        picture = std::make_shared<Picture>(
            toI420(scaleBGRA(from.bgra(), from.stride(), from.width, from.height, current->width(), current->height())));
    }
    encodeVideo(picture, evenIfSettling, false, still ? 0 : takenIn);
}

void EncoderSession::encodeVideo(PicturePtr picture, bool evenIfSettling, bool refresh, std::uint64_t takenIn) {
    expectOn(encode_, "EncoderSession::encodeVideo");
    if (picture->format != Picture::Format::i420) picture = std::make_shared<Picture>(toI420(*picture));
    const int width = picture->width, height = picture->height;
    std::uint64_t epoch;
    int settlingNow;
    FrameQuality q;
    std::shared_ptr<VideoEncoding> current;
    {
        std::lock_guard l(m_);
        if (!videoOn_ || !liveStream_) return;
        lastPixels_ = picture;
        lastPixelsTakenIn_ = takenIn;
        epoch = videoEpoch_;
        settlingNow = settling_ + (takenIn != configuration_ ? 1 : 0);
        q = quality_;
        current = encoder_;
    }
    if (!current || current->width() != width || current->height() != height) {
        if (current && settlingNow > 0 && !evenIfSettling) return;
        std::uint64_t timestamp;
        {
            std::lock_guard l(m_);
            timestamp = nextTimestampLocked();
        }
        std::shared_ptr<VideoEncoding> made = makeEncoder(PixelSize{width, height}, q, timestamp);
        std::shared_ptr<VideoEncoding> old;
        bool stillOurs;
        {
            std::lock_guard l(m_);
            stillOurs = videoOn_ && videoEpoch_ == epoch;
            if (stillOurs) {
                old = std::move(encoder_);
                encoder_ = made;
                wantKeyframe_ = true;
            }
        }
        if (!stillOurs) {
            if (made) made->invalidate();
            return;
        }
        if (old) old->invalidate();
        if (!made) {
            failVideo("no encoder for " + std::to_string(width) + "x" + std::to_string(height), epoch);
            return;
        }
        current = made;
    }
    bool keyframeRequest;
    std::uint64_t timestamp;
    {
        std::lock_guard l(m_);
        keyframeRequest = wantKeyframe_;
        wantKeyframe_ = false;
        timestamp = nextTimestampLocked();
    }
    const std::uint64_t serial = ++encodeSerial_;
    if (!refresh) {
        refreshesLeft_ = refreshesPerPause;
        skipRepairsLeft_ = skipRepairsPerPause;
    }
    auto result = current->encode(*picture, timestamp, keyframeRequest);
    if (auto* frame = std::get_if<video_result::Frame>(&result)) {
        emptyEncodes_ = 0;
        bool deliver = false;
        {
            std::lock_guard l(m_);
            if (videoOn_ && videoEpoch_ == epoch && liveStream_) {
                if (keyframeRequest && !frame->keyframe) wantKeyframe_ = true;
                ++counts_.frames;
                counts_.bytes += static_cast<std::int64_t>(frame->data.size());
                if (frame->keyframe) ++counts_.keyframes;
                lastSize_ = PixelSize{width, height};
                deliver = true;
            } else if (keyframeRequest) {
                wantKeyframe_ = true;
            }
        }
        if (deliver) {
            if (auto handler = outlets_->observer())
                handler->onVideoFrame(
                    EncodedVideoFrame{std::move(frame->data), frame->keyframe, timestamp, width, height, frame->codec});
            planRefresh(epoch, serial);
        }
    } else if (auto* failed = std::get_if<video_result::Failed>(&result)) {
        failVideo("encode error " + std::to_string(failed->status), epoch);
    } else {
        ++emptyEncodes_;
        if (emptyEncodes_ >= maxEmptyEncodes) {
            failVideo("no output for " + std::to_string(emptyEncodes_) + " frames", epoch);
            return;
        }
        if (keyframeRequest) {
            {
                std::lock_guard l(m_);
                wantKeyframe_ = true;
            }
            onEncode([epoch](EncoderSession& self) { self.videoKick(epoch, true); }, 100);
        }
        if (refreshesLeft_ == 0 && skipRepairsLeft_ > 0) {
            --skipRepairsLeft_;
            refreshesLeft_ = 1;
        }
        planRefresh(epoch, serial);
    }
}

void EncoderSession::planRefresh(std::uint64_t epoch, std::uint64_t serial) {
    if (refreshesLeft_ < 1) return;
    onEncode([epoch, serial](EncoderSession& self) { self.refresh(epoch, serial); }, refreshDelayMillis);
}

// Encodes the last picture again when nothing newer came: a still screen
// still gets its quality refined.
void EncoderSession::refresh(std::uint64_t epoch, std::uint64_t serial) {
    expectOn(encode_, "EncoderSession::refresh");
    if (encodeSerial_ != serial || refreshesLeft_ < 1) return;
    PicturePtr picture;
    std::uint64_t takenIn;
    {
        std::lock_guard l(m_);
        if (!videoOn_ || videoEpoch_ != epoch || !liveStream_) return;
        if (waiting_ || settling_ != 0 || !lastPixels_ || !encoder_) return;
        if (encoder_->width() != lastPixels_->width || encoder_->height() != lastPixels_->height) return;
        picture = lastPixels_;
        takenIn = lastPixelsTakenIn_;
    }
    --refreshesLeft_;
    encodeVideo(picture, false, true, takenIn);
}

std::pair<std::shared_ptr<VideoEncoding>, PicturePtr> EncoderSession::leaveVideoLocked() {
    videoOn_ = false;
    ++videoEpoch_;
    wantKeyframe_ = false;
    return {std::exchange(encoder_, nullptr), std::exchange(lastPixels_, nullptr)};
}

void EncoderSession::failVideo(const std::string& reason, std::uint64_t epoch) {
    expectOn(encode_, "EncoderSession::failVideo");
    std::shared_ptr<VideoEncoding> old;
    PicturePtr picture;
    {
        std::lock_guard l(m_);
        if (!videoOn_ || videoEpoch_ != epoch) return;
        std::tie(old, picture) = leaveVideoLocked();
    }
    if (old) old->invalidate();
    outlets_->report("h264 failed (" + reason + "), back to JPEG");
    if (videoEnded_) videoEnded_();
    if (auto handler = outlets_->observer()) handler->onVideoFailure();
    deliverStill(picture);
}

}  // namespace morvane

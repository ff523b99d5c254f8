// Pictures and video from the screen source to the controlling session:
// the hand-over from capture and encoder threads (the newest picture, at
// most a few access units in transit), the choice between pictures and
// video, the stream's keyframe gate and the spacing of starts and asks.
// Everything but the hand-over runs on the server queue; the screen source
// is driven on the main queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/clock.h"
#include "core/executor.h"
#include "core/frame_source.h"
#include "server/session_link.h"
#include "server/video_delivery.h"

namespace morvane {

class VideoRelay : public std::enable_shared_from_this<VideoRelay> {
public:
    using Clock = std::function<std::int64_t()>;

    // `queue` is the server queue, `main` the main queue; both and the
    // source outlive the relay.
    static std::shared_ptr<VideoRelay> create(Executor& queue, Executor& main, FrameSource& frames,
                                              Clock uptimeMillis = nowMillis);
    VideoRelay(Executor& queue, Executor& main, FrameSource& frames, Clock uptimeMillis);

    // Any thread: the source's picture and access-unit hand-over.
    void ingestFrame(const Bytes& jpeg, int width, int height);
    void ingestVideo(const EncodedVideoFrame& frame);

    // Server queue from here on. A new controlling session, or none; both
    // end any video and say whether it was on (the source is then told to
    // stop it by the caller, in the order it keeps with other steps).
    bool attach(std::shared_ptr<SessionLink> link);
    bool detach() { return attach(nullptr); }

    // The device's asks.
    void requestH264(int maxWidth, int maxHeight);
    void requestJPEG();
    void refresh(bool keyframe);
    // The encoder gave up, or the session's video write went out.
    void sourceFailed();
    void writeCompleted();
    // Once a second; `captureWorking` says the last status the device heard
    // was a working capture.
    void tick(bool captureWorking);

    VideoMode mode() const { return mode_; }

private:
    struct Picture {
        Bytes jpeg;
        int width = 0;
        int height = 0;
    };
    struct Format {
        std::string codec;
        int width = 0;
        int height = 0;
        bool operator==(const Format&) const = default;
    };

    void drainFrame();
    void deliver(const EncodedVideoFrame& frame);
    void start(int maxWidth, int maxHeight);
    void switchToJPEG();
    bool reset();
    void askForKeyframe();

    Executor& queue_;
    Executor& main_;
    FrameSource& frames_;
    Clock uptime_;
    std::shared_ptr<SessionLink> link_;

    // The hand-over, under handOver_.
    std::mutex handOver_;
    std::optional<Picture> latest_;
    bool drainScheduled_ = false;
    int queued_ = 0;
    bool overflowed_ = false;

    VideoMode mode_ = VideoMode::jpeg;
    std::uint64_t epoch_ = 0;
    std::optional<Format> announced_;
    VideoGate gate_;
    KeyframeLimiter keyframeLimiter_{KeyframeLimiter::clientIntervalMillis};
    bool keyframeAskPending_ = false;
    std::optional<std::int64_t> lastKeyframeAsk_;
    int silentSeconds_ = 0;
    VideoStartLimiter startLimiter_{VideoStartLimiter::intervalMillis};
    std::optional<std::pair<int, int>> pendingStart_;
};

// Hands what the screen source delivers to the video relay (and the rest of
// its reports to the session's other parts) until detached. `owner` keeps
// the queue and the relay alive while it can be locked; the screen source
// may hold the observer longer than the owner lives.
class ScreenSourceObserver final : public FrameObserver,
                                   public std::enable_shared_from_this<ScreenSourceObserver> {
public:
    struct Hooks {
        // Both run on the server queue.
        std::function<void(const DisplayListing&)> displaysChanged;
        std::function<void()> stoppedByOwner;
    };
    // Made with std::make_shared.
    ScreenSourceObserver(std::weak_ptr<const void> owner, Executor& queue, VideoRelay& video, Hooks hooks);
    // Any thread: nothing reaches the owner after it returns.
    void detach();

    void onFrame(const Bytes& jpeg, int width, int height) override;
    void onVideoFrame(const EncodedVideoFrame& frame) override;
    void onVideoFailure() override;
    void onDisplaysChanged(const DisplayListing& listing) override;
    void onStoppedByOwner() override;

private:
    std::shared_ptr<const void> owner();
    void onQueue(std::function<void(ScreenSourceObserver&)> work);

    std::mutex m_;
    std::weak_ptr<const void> owner_;
    Executor& queue_;
    VideoRelay& video_;
    Hooks hooks_;
};

}  // namespace morvane

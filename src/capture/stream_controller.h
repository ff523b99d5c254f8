// The control half of the screen source: builds the capture stream of the
// chosen display, applies quality, video size and the excluded window to it,
// and rebuilds it when the layout changes or it stops. It runs on the control
// queue only; the stream's own thread reaches it by posting there. Its
// lifecycle is one value, each alternative carrying only what holds in it;
// what the user's thread reads is published under a small lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "capture/capture_backend.h"
#include "capture/encoder_session.h"
#include "capture/source_outlets.h"
#include "core/executor.h"

namespace morvane {

class StreamController : public std::enable_shared_from_this<StreamController> {
public:
    // Not capturing.
    struct Idle {
    };
    // A stream is being made; requests that arrive meanwhile are kept for
    // when it is done.
    struct Building {
        std::uint64_t build = 0;
        bool rebuildWanted = false;
        bool reconfigureWanted = false;
    };
    // Capturing is wanted but there is no stream (it failed or stopped);
    // the watchdog tries again.
    struct Waiting {
    };
    struct Running {
        std::shared_ptr<CaptureStream> stream;
        std::uint64_t serial = 0;
        std::uint32_t display = 0;
        DisplaySignature signature;
    };
    // The owner pressed Stop Sharing: nothing starts again until stop().
    struct HaltedByOwner {
        int code = 0;
    };
    using State = std::variant<Idle, Building, Waiting, Running, HaltedByOwner>;

    // What the user's thread reads, published on every change.
    struct Published {
        std::string state = "starting";
        bool permissionRefused = false;
        bool capturing = false;
        std::optional<Rect> bounds;
        DisplayListing listing;
    };

    static constexpr std::int64_t watchdogMillis = 2000;

    StreamController(std::shared_ptr<CaptureBackend> backend, Executor& control,
                     std::shared_ptr<EncoderSession> encoder, std::shared_ptr<SourceOutlets> outlets);

    // Control queue only.
    void start();
    void stop();
    void setQuality(FrameQuality quality);
    void setVideoLimit(std::optional<VideoLimit> limit);
    void select(std::optional<std::uint32_t> id);
    // Leaves the window out of the pictures from now on, or none. The
    // answer comes once pictures follow it.
    void exclude(std::optional<int> window, std::function<void(bool)> answer);
    // Rebuilds when the layout the stream was made for has changed.
    void check();
    // Ends capture for good and gives the stream to the caller to stop.
    std::shared_ptr<CaptureStream> shutDown();
    const State& state() const;

    // Any thread.
    Published published() const;
    // The published list, or the backend's when no stream has published one.
    DisplayListing displayListing() const;

private:
    struct Built {
        Running running;
        PixelSize native;
        std::vector<DisplayInfo> displays;
        std::optional<std::uint32_t> wanted;
        bool lost = false;
    };
    struct Failed {
        std::string text;
    };
    struct StoppedByOwner {
        int code = 0;
    };
    using Outcome = std::variant<Built, Failed, StoppedByOwner>;

    template <typename F>
    void onControl(F f, std::int64_t delayMillis = 0);

    bool started() const;
    void armWatchdog();
    void cancelWatchdog();
    void build();
    Outcome makeStream();
    StreamHandlers handlersFor(std::uint64_t serial);
    void finishBuild(std::uint64_t build, Outcome outcome);
    void adopt(Built built, bool reconfigurePending);
    void ownerStopped(int code, const std::string& note);
    void streamStopped(const CaptureError& error, std::uint64_t serial);
    void configurationFailed(std::uint64_t serial, const CaptureError& error);
    void reconfigure(std::function<void()> applied = {});
    void afterStream(std::function<void()> answers);
    void answerHeld();
    void updateStream(Running& running, bool countSettling, std::function<void()> applied = {});
    StreamConfig configFor(PixelSize native, const std::optional<VideoLimit>& video) const;

    void setState(const std::string& word, const std::string& detail);
    void publishDisplays(std::vector<DisplayInfo> displays, std::optional<std::uint32_t> current, bool lost);
    void publishBounds(std::optional<Rect> bounds);

    const std::shared_ptr<CaptureBackend> backend_;
    Executor& control_;
    const std::shared_ptr<EncoderSession> encoder_;
    const std::shared_ptr<SourceOutlets> outlets_;

    // Control queue only.
    State state_ = Idle{};
    FrameQuality quality_ = FrameQuality::medium;
    std::optional<std::uint32_t> wantedDisplay_;
    std::optional<VideoLimit> videoLimit_;
    std::optional<std::int64_t> excludedWindow_;
    // Answers to exclusions asked while a stream was being made: that stream
    // was made before them and may still show the window. They are given
    // once the stream that follows them runs, or once no stream does.
    std::vector<std::function<void()>> heldAnswers_;
    // The display of the last stream: a stream of another one needs a
    // keyframe even when the stream in between failed.
    std::uint32_t lastDisplay_ = 0;
    std::uint64_t nextStreamSerial_ = 0;
    std::uint64_t nextBuild_ = 0;
    std::uint64_t watchdogGeneration_ = 0;

    // Written on the control queue, read by the user's thread.
    mutable std::mutex m_;
    Published published_;
};

}  // namespace morvane

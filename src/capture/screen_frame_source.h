// The host's one screen source: captures the chosen display through a
// CaptureBackend and hands the server JPEG pictures or H.264 access units.
// A thin face over two halves, one per thread: the StreamController manages
// the stream on the control queue, the EncoderSession encodes and delivers on
// the encode queue. Each keeps its own lock over what it shares, and
// callbacks are called after it is released.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "capture/capture_backend.h"
#include "capture/encoder_session.h"
#include "capture/source_outlets.h"
#include "capture/stream_controller.h"
#include "core/executor.h"
#include "core/frame_source.h"

namespace morvane {

class ScreenFrameSource final : public FrameSource {
public:
    using Stats = SourceStats;
    using EncoderFactory = EncoderSession::EncoderFactory;
    using Report = SourceOutlets::Report;

    // The queues are kept alive by the source and must run work in order;
    // nowMicros is monotonic time for video time stamps.
    ScreenFrameSource(std::shared_ptr<CaptureBackend> backend, std::shared_ptr<Executor> control,
                      std::shared_ptr<Executor> encode, std::function<std::uint64_t()> nowMicros = {});
    ~ScreenFrameSource() override;
    ScreenFrameSource(const ScreenFrameSource&) = delete;
    ScreenFrameSource& operator=(const ScreenFrameSource&) = delete;

    std::string state() const override;
    void start(const std::shared_ptr<FrameObserver>& observer) override;
    void stop() override;
    void setQuality(FrameQuality quality) override;
    void requestFrame() override;

    bool startVideo(int maxWidth, int maxHeight) override;
    void requestKeyframe() override;
    void stopVideo() override;

    DisplayListing displayListing() const override;
    bool selectDisplay(std::optional<std::uint32_t> id) override;
    void displayModeChanged() override;
    // Answers on the main queue set with setMainQueue (else on the control
    // queue) once pictures leave the window out, or false where the platform
    // cannot.
    void setExcludedWindow(std::optional<int> window, std::function<void(bool)> done) override;
    Signal onExclusionLost() const override;
    void setOnExclusionLost(Signal handler) override;

    Report onReport() const;
    void setOnReport(Report report);
    bool permissionRefused() const;
    std::optional<Rect> displayBounds() const;
    Stats takeStats();
    // Replaces the encoder factory (the default makes an H264Encoder).
    void setMakeEncoder(EncoderFactory factory);

private:
    template <typename F>
    void onControl(F f);

    const std::shared_ptr<Executor> control_;
    const std::shared_ptr<Executor> encode_;
    const std::shared_ptr<CaptureBackend> backend_;
    const std::shared_ptr<SourceOutlets> outlets_ = std::make_shared<SourceOutlets>();
    std::shared_ptr<EncoderSession> encoder_;
    std::shared_ptr<StreamController> controller_;
};

}  // namespace morvane

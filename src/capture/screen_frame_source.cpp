#include "capture/screen_frame_source.h"

#include <utility>

#include "capture/post_weak.h"

namespace morvane {

ScreenFrameSource::ScreenFrameSource(std::shared_ptr<CaptureBackend> backend, std::shared_ptr<Executor> control,
                                     std::shared_ptr<Executor> encode, std::function<std::uint64_t()> nowMicros)
    : control_(std::move(control)), encode_(std::move(encode)), backend_(std::move(backend)) {
    // The encoder session is made first, so it learns of the controller it
    // hands ended video back to through this cell.
    auto controllerCell = std::make_shared<std::weak_ptr<StreamController>>();
    Executor* controlQueue = control_.get();
    auto videoEnded = [controllerCell, controlQueue] {
        controlQueue->post([controller = *controllerCell] {
            if (auto c = controller.lock()) c->setVideoLimit(std::nullopt);
        });
    };
    encoder_ = std::make_shared<EncoderSession>(*encode_, outlets_, std::move(nowMicros), std::move(videoEnded));
    controller_ = std::make_shared<StreamController>(backend_, *control_, encoder_, outlets_);
    *controllerCell = controller_;
    encoder_->setMakeEncoder([](int width, int height, int fps, int bps, std::uint64_t timestamp,
                                const std::function<void(const std::string&)>& report) -> std::unique_ptr<VideoEncoding> {
        return H264Encoder::make(width, height, fps, bps, timestamp, report);
    });
}

ScreenFrameSource::~ScreenFrameSource() {
    // Stop the stream so no picture arrives after this, then let queued work
    // find the halves gone.
    std::shared_ptr<CaptureStream> stream;
    if (control_->isCurrent()) {
        stream = controller_->shutDown();
    } else {
        try {
            runSync(*control_, [&] { stream = controller_->shutDown(); });
        } catch (...) {
        }
    }
    encoder_->forgetPictures();
    if (stream) stream->stop();
}

template <typename F>
void ScreenFrameSource::onControl(F f) {
    postWeak(*control_, std::weak_ptr<StreamController>(controller_), std::move(f));
}

std::string ScreenFrameSource::state() const { return controller_->published().state; }

void ScreenFrameSource::start(const std::shared_ptr<FrameObserver>& observer) {
    outlets_->setObserver(observer);
    onControl([](StreamController& c) { c.start(); });
}

void ScreenFrameSource::stop() {
    onControl([](StreamController& c) { c.stop(); });
}

void ScreenFrameSource::setQuality(FrameQuality quality) {
    onControl([quality](StreamController& c) { c.setQuality(quality); });
}

void ScreenFrameSource::requestFrame() { encoder_->requestFrame(); }

bool ScreenFrameSource::startVideo(int maxWidth, int maxHeight) {
    const auto& settings = CaptureSettings::of(encoder_->quality());
    std::optional<std::uint32_t> current = controller_->published().listing.current;
    PixelSize native{2, 2};
    auto snapshot = backend_->displays();
    if (auto* s = std::get_if<DisplaySnapshot>(&snapshot)) {
        if (!current) current = s->mainDisplay;
        if (current) native = s->nativePixels(*current);
    }
    if (!encoder_->startVideo(
            VideoGeometry::fit(native.width, native.height, settings.longSide, maxWidth, maxHeight)))
        return false;
    onControl([limit = VideoLimit{maxWidth, maxHeight}, w = std::weak_ptr<EncoderSession>(encoder_)](
                  StreamController& c) {
        c.setVideoLimit(limit);  // counts its own settling while the stream changes
        if (auto e = w.lock()) e->endSettling();
    });
    return true;
}

void ScreenFrameSource::requestKeyframe() { encoder_->requestKeyframe(); }
void ScreenFrameSource::stopVideo() { encoder_->stopVideo(); }

DisplayListing ScreenFrameSource::displayListing() const { return controller_->displayListing(); }

bool ScreenFrameSource::selectDisplay(std::optional<std::uint32_t> id) {
    if (id) {
        bool known = false;
        for (const auto& d : displayListing().displays) known = known || d.id == *id;
        if (!known) return false;
    }
    onControl([id](StreamController& c) { c.select(id); });
    return true;
}

void ScreenFrameSource::displayModeChanged() {
    onControl([](StreamController& c) { c.check(); });
}

void ScreenFrameSource::setExcludedWindow(std::optional<int> window, std::function<void(bool)> done) {
    Executor* main = mainQueue_;
    auto answer = [main, done = std::move(done)](bool ok) {
        if (!done) return;
        if (main)
            main->post([done, ok] { done(ok); });
        else
            done(ok);
    };
    onControl([window, answer = std::move(answer)](StreamController& c) mutable { c.exclude(window, std::move(answer)); });
}

FrameSource::Signal ScreenFrameSource::onExclusionLost() const { return outlets_->exclusionLost(); }
void ScreenFrameSource::setOnExclusionLost(Signal handler) { outlets_->setExclusionLost(std::move(handler)); }

ScreenFrameSource::Report ScreenFrameSource::onReport() const { return outlets_->reporter(); }
void ScreenFrameSource::setOnReport(Report report) { outlets_->setReporter(std::move(report)); }
bool ScreenFrameSource::permissionRefused() const { return controller_->published().permissionRefused; }
std::optional<Rect> ScreenFrameSource::displayBounds() const { return controller_->published().bounds; }

ScreenFrameSource::Stats ScreenFrameSource::takeStats() {
    Stats s = encoder_->takeCounts();
    const auto published = controller_->published();
    s.state = published.capturing ? published.state : "stopped";
    return s;
}

void ScreenFrameSource::setMakeEncoder(EncoderFactory factory) { encoder_->setMakeEncoder(std::move(factory)); }

}  // namespace morvane

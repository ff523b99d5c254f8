#include "capture/stream_controller.h"

#include <utility>

#include "capture/post_weak.h"

namespace morvane {

namespace {

// Helper for std::visit over the outcome of a build.
template <typename... F>
struct Overload : F... {
    using F::operator()...;
};
template <typename... F>
Overload(F...) -> Overload<F...>;

bool ownersStop(const CaptureError& error) {
    return CaptureStop::action(error.domain, error.code) == CaptureStop::Action::honourOwner;
}

}  // namespace

StreamController::StreamController(std::shared_ptr<CaptureBackend> backend, Executor& control,
                                   std::shared_ptr<EncoderSession> encoder, std::shared_ptr<SourceOutlets> outlets)
    : backend_(std::move(backend)), control_(control), encoder_(std::move(encoder)), outlets_(std::move(outlets)) {}

template <typename F>
void StreamController::onControl(F f, std::int64_t delayMillis) {
    postWeak(control_, weak_from_this(), std::move(f), delayMillis);
}

const StreamController::State& StreamController::state() const {
    expectOn(control_, "StreamController::state");
    return state_;
}

bool StreamController::started() const {
    return !std::holds_alternative<Idle>(state_) && !std::holds_alternative<HaltedByOwner>(state_);
}

// ---- published ----

StreamController::Published StreamController::published() const {
    std::lock_guard l(m_);
    return published_;
}

DisplayListing StreamController::displayListing() const {
    {
        std::lock_guard l(m_);
        if (!published_.listing.displays.empty()) return published_.listing;
    }
    DisplayListing out;
    auto snapshot = backend_->displays();
    if (auto* s = std::get_if<DisplaySnapshot>(&snapshot)) {
        out.displays = DisplayCatalog::describe(s->displays, s->mainDisplay);
        if (auto resolved = DisplayChoice::resolve(std::nullopt, out.displays)) out.current = resolved->display.id;
    }
    return out;
}

void StreamController::setState(const std::string& word, const std::string& detail) {
    bool same;
    {
        std::lock_guard l(m_);
        same = published_.state == word;
        published_.state = word;
        if (word == "no-permission") published_.permissionRefused = true;
        if (word == "ok") published_.permissionRefused = false;
    }
    if (same && detail.empty()) return;
    outlets_->report("state " + word + (detail.empty() ? "" : ", " + detail));
}

void StreamController::publishDisplays(std::vector<DisplayInfo> displays, std::optional<std::uint32_t> current,
                                       bool lost) {
    DisplayListing stored{std::move(displays), current, false};
    bool same;
    {
        std::lock_guard l(m_);
        same = stored == published_.listing;
        published_.listing = stored;
    }
    if (same && !lost) return;
    stored.selectionLost = lost;
    if (auto handler = outlets_->observer()) handler->onDisplaysChanged(stored);
}

void StreamController::publishBounds(std::optional<Rect> bounds) {
    std::lock_guard l(m_);
    published_.bounds = bounds;
}

// ---- lifecycle ----

void StreamController::start() {
    expectOn(control_, "StreamController::start");
    if (std::holds_alternative<HaltedByOwner>(state_)) {
        outlets_->report("not started: Stop Sharing was pressed on the computer");
        return;
    }
    if (started()) {
        encoder_->resendLastFrame();
        return;
    }
    state_ = Waiting{};
    {
        std::lock_guard l(m_);
        published_.capturing = true;
    }
    setState(backend_->permitted() ? "starting" : "no-permission", "capture requested");
    encoder_->takeCounts();
    armWatchdog();
    build();
}

void StreamController::stop() {
    expectOn(control_, "StreamController::stop");
    std::shared_ptr<CaptureStream> old;
    if (auto* running = std::get_if<Running>(&state_)) old = std::move(running->stream);
    state_ = Idle{};
    cancelWatchdog();
    wantedDisplay_.reset();
    videoLimit_.reset();
    {
        std::lock_guard l(m_);
        published_.listing = DisplayListing{};
        published_.capturing = false;
        published_.bounds.reset();
        published_.state = "starting";
    }
    encoder_->endCapture();
    outlets_->report("stopped");
    if (old) old->stop();
    answerHeld();
}

std::shared_ptr<CaptureStream> StreamController::shutDown() {
    expectOn(control_, "StreamController::shutDown");
    std::shared_ptr<CaptureStream> old;
    if (auto* running = std::get_if<Running>(&state_)) old = std::move(running->stream);
    state_ = Idle{};
    cancelWatchdog();
    answerHeld();
    return old;
}

void StreamController::armWatchdog() {
    const std::uint64_t generation = ++watchdogGeneration_;
    onControl(
        [generation](StreamController& self) {
            if (self.watchdogGeneration_ != generation) return;
            self.check();
            self.armWatchdog();
        },
        watchdogMillis);
}

void StreamController::cancelWatchdog() { ++watchdogGeneration_; }

void StreamController::check() {
    expectOn(control_, "StreamController::check");
    if (std::holds_alternative<Waiting>(state_)) {
        build();
        return;
    }
    auto* running = std::get_if<Running>(&state_);
    if (!running) return;
    auto snapshot = backend_->displays();
    auto* s = std::get_if<DisplaySnapshot>(&snapshot);
    if (s && s->signature(running->display) == running->signature) return;
    build();
}

// ---- building ----

void StreamController::build() {
    if (!started()) return;
    if (auto* building = std::get_if<Building>(&state_)) {
        building->rebuildWanted = true;
        return;
    }
    std::shared_ptr<CaptureStream> old;
    if (auto* running = std::get_if<Running>(&state_)) old = std::move(running->stream);
    const std::uint64_t id = ++nextBuild_;
    state_ = Building{id};
    encoder_->forgetPictures();
    if (old) old->stop();
    Outcome outcome = makeStream();
    onControl([id, outcome = std::move(outcome)](StreamController& self) mutable {
        self.finishBuild(id, std::move(outcome));
    });
}

StreamConfig StreamController::configFor(PixelSize native, const std::optional<VideoLimit>& video) const {
    const PixelSize size = streamSize(native.width, native.height, quality_, video);
    const auto& settings = CaptureSettings::of(quality_);
    return StreamConfig{size.width, size.height, video ? settings.videoFramesPerSecond : settings.framesPerSecond,
                        video.has_value(), true, excludedWindow_};
}

StreamController::Outcome StreamController::makeStream() {
    auto failure = [](const CaptureError& error) -> Outcome {
        if (ownersStop(error)) return StoppedByOwner{error.code};
        return Failed{describe(error)};
    };
    if (!backend_->permitted()) return Failed{"no-permission"};
    auto content = backend_->displays();
    if (auto* error = std::get_if<CaptureError>(&content)) return failure(*error);
    const auto& snapshot = std::get<DisplaySnapshot>(content);
    auto displays = DisplayCatalog::describe(snapshot.displays, snapshot.mainDisplay);
    auto resolved = DisplayChoice::resolve(wantedDisplay_, displays);
    if (!resolved || !snapshot.find(resolved->display.id)) return Failed{"no-display"};
    const std::uint32_t id = resolved->display.id;
    const PixelSize native = snapshot.nativePixels(id);
    const StreamConfig config = configFor(native, videoLimit_);
    const std::uint64_t serial = ++nextStreamSerial_;
    // Pictures count from the first one; the stream may deliver before
    // startStream returns.
    encoder_->admit(serial);
    auto started = backend_->startStream(id, config, handlersFor(serial));
    if (auto* error = std::get_if<CaptureError>(&started)) {
        encoder_->drop(serial);
        return failure(*error);
    }
    Running running{std::get<std::shared_ptr<CaptureStream>>(started), serial, id, snapshot.signature(id)};
    return Built{std::move(running), native, std::move(displays), wantedDisplay_, resolved->lost};
}

StreamHandlers StreamController::handlersFor(std::uint64_t serial) {
    StreamHandlers handlers;
    std::weak_ptr<EncoderSession> encoder = encoder_;
    std::weak_ptr<StreamController> self = weak_from_this();
    handlers.onSample = [encoder, serial](PicturePtr picture) {
        if (auto e = encoder.lock()) e->sample(serial, std::move(picture));
    };
    handlers.onStopped = [self, serial](CaptureError error) {
        if (auto s = self.lock())
            s->onControl([serial, error](StreamController& c) { c.streamStopped(error, serial); });
    };
    handlers.onLayoutChanged = [self] {
        if (auto s = self.lock()) s->onControl([](StreamController& c) { c.check(); });
    };
    handlers.onExclusionLost = [outlets = outlets_] {
        outlets->report("the excluded window can no longer be left out");
        if (auto lost = outlets->exclusionLost()) lost();
    };
    return handlers;
}

void StreamController::finishBuild(std::uint64_t build, Outcome outcome) {
    expectOn(control_, "StreamController::finishBuild");
    auto* building = std::get_if<Building>(&state_);
    if (!building || building->build != build) {
        // Capture stopped, or started again, while this one was made.
        if (auto* built = std::get_if<Built>(&outcome)) {
            encoder_->drop(built->running.serial);
            built->running.stream->stop();
        }
        return;
    }
    const Building was = *building;
    std::function<void()> answers;
    if (!heldAnswers_.empty())
        answers = [held = std::exchange(heldAnswers_, {})] {
            for (const auto& answer : held) answer();
        };
    std::visit(Overload{[&](Failed& failed) {
                            state_ = Waiting{};
                            publishBounds(std::nullopt);
                            if (failed.text == "no-display") publishDisplays({}, std::nullopt, false);
                            setState(failed.text, "");
                        },
                        [&](StoppedByOwner& owner) {
                            publishBounds(std::nullopt);
                            ownerStopped(owner.code, ", reported when the stream was started");
                        },
                        [&](Built& built) { adopt(std::move(built), was.reconfigureWanted); }},
               outcome);
    if (was.rebuildWanted) {
        this->build();
        afterStream(std::move(answers));
    } else if (was.reconfigureWanted) {
        reconfigure(std::move(answers));
    } else {
        afterStream(std::move(answers));
    }
}

// Runs the answers once the stream in place shows what was asked: now, or,
// while another is being made, once that one is done.
void StreamController::afterStream(std::function<void()> answers) {
    if (!answers) return;
    if (std::holds_alternative<Building>(state_))
        heldAnswers_.push_back(std::move(answers));
    else
        answers();
}

// No stream is left to show the window: the held answers are given.
void StreamController::answerHeld() {
    for (const auto& answer : std::exchange(heldAnswers_, {})) answer();
}

void StreamController::adopt(Built built, bool reconfigurePending) {
    const std::uint32_t previous = lastDisplay_;
    lastDisplay_ = built.running.display;
    publishBounds(built.running.signature.bounds);
    if (previous != lastDisplay_) encoder_->displayChanged();
    if (built.lost && wantedDisplay_ == built.wanted) wantedDisplay_.reset();
    const DisplaySignature sig = built.running.signature;
    state_ = std::move(built.running);
    publishDisplays(built.displays, lastDisplay_, built.lost);

    const bool videoShown = videoLimit_ && !reconfigurePending;
    const PixelSize size =
        streamSize(built.native.width, built.native.height, quality_, videoShown ? videoLimit_ : std::nullopt);
    const auto& settings = CaptureSettings::of(quality_);
    const int fps = videoShown ? (quality_ == FrameQuality::low ? 20 : 30) : settings.framesPerSecond;
    auto integer = [](double v) { return std::to_string(static_cast<long long>(v)); };
    std::string detail = "display " + integer(sig.bounds.width) + "x" + integer(sig.bounds.height) + " pt at (" +
                         integer(sig.bounds.x) + "," + integer(sig.bounds.y) + "), native " +
                         std::to_string(sig.pixelWidth) + "x" + std::to_string(sig.pixelHeight) + " px, stream " +
                         std::to_string(size.width) + "x" + std::to_string(size.height) + " px, up to " +
                         std::to_string(fps) + " fps, quality " + std::string(toString(quality_)) +
                         ", displays online " + std::to_string(sig.displayCount) + ", capturable " +
                         std::to_string(built.displays.size()) + ", " +
                         (wantedDisplay_ ? "chosen by the controller" : "following the main display") +
                         (built.lost ? ", the chosen display is gone" : "");
    setState("ok", detail);
}

// ---- stops ----

void StreamController::ownerStopped(int code, const std::string& note) {
    if (!started()) return;
    std::shared_ptr<CaptureStream> old;
    if (auto* running = std::get_if<Running>(&state_)) old = std::move(running->stream);
    state_ = HaltedByOwner{code};
    cancelWatchdog();
    encoder_->forgetPictures();
    {
        std::lock_guard l(m_);
        published_.capturing = false;
        published_.bounds.reset();
    }
    setState("stopped-on-mac", "Stop Sharing was pressed on the computer (capture " + std::to_string(code) + note +
                                   "); not starting again");
    if (old) old->stop();
    answerHeld();
    if (auto handler = outlets_->observer()) handler->onStoppedByOwner();
}

void StreamController::streamStopped(const CaptureError& error, std::uint64_t serial) {
    expectOn(control_, "StreamController::streamStopped");
    auto* running = std::get_if<Running>(&state_);
    const bool current = running && running->serial == serial;
    if (ownersStop(error)) {
        ownerStopped(error.code, current                                     ? ""
                                 : std::holds_alternative<Building>(state_) ? ", while the stream was being rebuilt"
                                                                             : ", for a stream that was being replaced");
        return;
    }
    if (!current) return;
    auto old = std::move(running->stream);
    state_ = Waiting{};
    encoder_->drop(serial);
    publishBounds(std::nullopt);
    old->stop();
    setState(describe(error), "stream stopped by the system");
}

void StreamController::configurationFailed(std::uint64_t serial, const CaptureError& error) {
    expectOn(control_, "StreamController::configurationFailed");
    if (ownersStop(error)) {
        ownerStopped(error.code, ", reported when the stream's settings were changed");
        return;
    }
    auto* running = std::get_if<Running>(&state_);
    if (running && running->serial == serial) build();
}

// ---- settings ----

void StreamController::setQuality(FrameQuality quality) {
    expectOn(control_, "StreamController::setQuality");
    if (quality == quality_) return;
    quality_ = quality;
    encoder_->setQuality(quality);
    if (auto* building = std::get_if<Building>(&state_))
        building->rebuildWanted = true;
    else if (auto* running = std::get_if<Running>(&state_))
        updateStream(*running, videoLimit_.has_value());
}

void StreamController::setVideoLimit(std::optional<VideoLimit> limit) {
    expectOn(control_, "StreamController::setVideoLimit");
    videoLimit_ = limit;
    reconfigure();
}

void StreamController::reconfigure(std::function<void()> applied) {
    if (auto* building = std::get_if<Building>(&state_)) {
        building->reconfigureWanted = true;
        afterStream(std::move(applied));
    } else if (auto* running = std::get_if<Running>(&state_)) {
        updateStream(*running, true, std::move(applied));
    } else {
        afterStream(std::move(applied));
    }
}

void StreamController::exclude(std::optional<int> window, std::function<void(bool)> answer) {
    expectOn(control_, "StreamController::exclude");
    const bool possible = !window || backend_->canExcludeWindows();
    const std::optional<std::int64_t> wanted =
        possible && window ? std::optional<std::int64_t>(*window) : std::nullopt;
    const bool changed = wanted != excludedWindow_;
    excludedWindow_ = wanted;
    auto answered = [answer = std::move(answer), possible] { answer(possible); };
    if (auto* building = std::get_if<Building>(&state_)) {
        // The stream being made took the excluded window as it was before
        // this request: the answer waits for the stream that follows it.
        if (changed) building->reconfigureWanted = true;
        heldAnswers_.push_back(std::move(answered));
        return;
    }
    if (auto* running = std::get_if<Running>(&state_); running && changed) {
        updateStream(*running, false, std::move(answered));
        return;
    }
    answered();
}

void StreamController::select(std::optional<std::uint32_t> id) {
    expectOn(control_, "StreamController::select");
    if (wantedDisplay_ == id) return;
    wantedDisplay_ = id;
    if (auto* running = std::get_if<Running>(&state_)) {
        std::optional<std::uint32_t> target = id;
        if (!target) {
            auto snapshot = backend_->displays();
            if (auto* s = std::get_if<DisplaySnapshot>(&snapshot)) target = s->mainDisplay;
        }
        if (target && *target == running->display) return;
    }
    build();
}

// Applies the current quality, video limit and excluded window to the
// running stream; a change the stream cannot apply rebuilds it.
void StreamController::updateStream(Running& running, bool countSettling, std::function<void()> applied) {
    auto snapshot = backend_->displays();
    PixelSize native{2, 2};
    if (auto* s = std::get_if<DisplaySnapshot>(&snapshot)) native = s->nativePixels(running.display);
    if (countSettling) encoder_->beginSettling();
    std::weak_ptr<EncoderSession> encoder = encoder_;
    // The completion may run inside update() and change the state; the
    // stream must outlive the call all the same.
    const std::shared_ptr<CaptureStream> stream = running.stream;
    stream->update(configFor(native, videoLimit_),
                   [self = weak_from_this(), encoder, countSettling, serial = running.serial,
                    applied = std::move(applied)](std::optional<CaptureError> error) {
                       if (applied) applied();
                       if (countSettling)
                           if (auto e = encoder.lock()) e->endSettling();
                       if (auto s = self.lock(); s && error)
                           s->onControl([serial, error = *error](StreamController& c) {
                               c.configurationFailed(serial, error);
                           });
                   });
}

}  // namespace morvane

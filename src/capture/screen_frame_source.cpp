#include "capture/screen_frame_source.h"

#include <chrono>
#include <mutex>
#include <tuple>
#include <utility>

#include "capture/jpeg_codec.h"
#include "core/types.h"

namespace morvane {

namespace {

struct Picked {
    std::vector<DisplayInfo> displays;
    std::optional<std::uint32_t> wanted;
    bool lost = false;
};

struct Running {
    std::shared_ptr<CaptureStream> stream;
    std::uint64_t serial = 0;
    std::uint32_t display = 0;
    DisplaySignature signature;
    PixelSize native;
    Picked picked;
};
struct Failed {
    std::string text;
};
struct StoppedByOwner {
    int code = 0;
};
struct Abandoned {};
using Outcome = std::variant<Running, Failed, StoppedByOwner, Abandoned>;

struct LastFrame {
    Bytes jpeg;
    int width = 0;
    int height = 0;
};

std::uint64_t steadyMicros() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

}  // namespace

struct ScreenFrameSource::Impl : std::enable_shared_from_this<ScreenFrameSource::Impl> {
    std::shared_ptr<CaptureBackend> backend;
    Executor* control = nullptr;
    Executor* encodeQueue = nullptr;
    std::function<std::uint64_t()> nowMicros;

    // control
    bool started = false;
    bool building = false;
    bool rebuildWanted = false;
    FrameQuality quality = FrameQuality::medium;
    std::shared_ptr<CaptureStream> stream;
    std::uint64_t streamSerial = 0;
    std::uint32_t capturedDisplay = 0;
    std::optional<std::uint32_t> wantedDisplay;
    std::optional<DisplaySignature> signature;
    std::uint64_t watchdogGeneration = 0;
    std::optional<VideoLimit> videoLimit;
    bool reconfigureWanted = false;
    bool haltedByOwner = false;
    std::uint64_t nextStreamSerial = 0;
    std::optional<std::int64_t> excludedWindow;

    // lock
    mutable std::mutex m;
    std::weak_ptr<FrameObserver> observerRef;
    std::string stateText = "starting";
    std::optional<Rect> bounds;
    std::optional<std::uint64_t> liveStream;
    double jpegQuality = 0.6;
    PicturePtr waitingFrame;
    bool encoding = false;
    std::optional<LastFrame> lastFrame;
    bool permissionFailure = false;
    bool captureWanted = false;
    Report reporter;
    Signal exclusionLostHandler;
    int callbacks = 0;
    int delivered = 0;
    std::int64_t deliveredBytes = 0;
    std::optional<PixelSize> lastSize;
    int deliveredKeyframes = 0;
    DisplayListing listing;
    bool videoOn = false;
    std::uint64_t videoEpoch = 0;
    std::shared_ptr<VideoEncoding> encoder;
    bool wantKeyframe = false;
    PicturePtr lastPixels;
    int settling = 0;
    FrameQuality qualityMirror = FrameQuality::medium;
    std::uint64_t lastVideoTimestamp = 0;
    EncoderFactory makeEncoder;
    bool shutDown = false;

    // encode queue
    int emptyEncodes = 0;
    std::uint64_t encodeSerial = 0;
    int refreshesLeft = 0;
    int skipRepairsLeft = 0;

    std::weak_ptr<Impl> weak() { return weak_from_this(); }

    template <typename F>
    void onControl(F f) {
        control->post([w = weak(), f = std::move(f)]() mutable {
            if (auto self = w.lock()) f(*self);
        });
    }
    template <typename F>
    void onEncode(F f, std::int64_t delayMillis = 0) {
        auto work = [w = weak(), f = std::move(f)]() mutable {
            if (auto self = w.lock()) f(*self);
        };
        if (delayMillis > 0)
            encodeQueue->postAfter(delayMillis, std::move(work));
        else
            encodeQueue->post(std::move(work));
    }

    // A field shared with other threads, read or replaced under the lock.
    template <typename T>
    T locked(T Impl::*field) const {
        std::lock_guard l(m);
        return this->*field;
    }
    template <typename T>
    void setLocked(T Impl::*field, T value) {
        std::lock_guard l(m);
        this->*field = std::move(value);
    }

    std::shared_ptr<FrameObserver> observerLocked() const { return observerRef.lock(); }
    std::shared_ptr<FrameObserver> observer() const {
        std::lock_guard l(m);
        return observerLocked();
    }

    void report(const std::string& text) {
        if (auto r = locked(&Impl::reporter)) r(text);
    }

    // Hands the last JPEG picture to the frame handler again, when both exist.
    void resendLastFrame() {
        std::optional<LastFrame> last;
        std::shared_ptr<FrameObserver> handler;
        {
            std::lock_guard l(m);
            last = lastFrame;
            handler = observerLocked();
        }
        if (last && handler) handler->onFrame(last->jpeg, last->width, last->height);
    }

    // Counts a JPEG picture as delivered and keeps it for repeats.
    void noteJpegLocked(const JpegPicture& jpeg) {
        lastFrame = LastFrame{jpeg.jpeg, jpeg.width, jpeg.height};
        ++delivered;
        deliveredBytes += static_cast<std::int64_t>(jpeg.jpeg.size());
        lastSize = PixelSize{jpeg.width, jpeg.height};
    }

    std::uint64_t nextTimestampLocked() {
        const std::uint64_t now = nowMicros ? nowMicros() : steadyMicros();
        lastVideoTimestamp = std::max(now, lastVideoTimestamp + 1);
        return lastVideoTimestamp;
    }

    // ---- state and stream management (control) ----

    void setState(const std::string& word, const std::string& detail) {
        bool same;
        Report r;
        {
            std::lock_guard l(m);
            same = stateText == word;
            stateText = word;
            if (word == "no-permission") permissionFailure = true;
            if (word == "ok") permissionFailure = false;
            r = reporter;
        }
        if (same && detail.empty()) return;
        if (r) r("state " + word + (detail.empty() ? "" : ", " + detail));
    }

    void startOnControl() {
        if (haltedByOwner) {
            report("not started: Stop Sharing was pressed on the computer");
            return;
        }
        if (started) {
            resendLastFrame();
            return;
        }
        started = true;
        {
            std::lock_guard l(m);
            captureWanted = true;
        }
        setState(backend->permitted() ? "starting" : "no-permission", "capture requested");
        takeStats();
        armWatchdog();
        build();
    }

    void armWatchdog() {
        const std::uint64_t generation = ++watchdogGeneration;
        control->postAfter(2000, [w = weak(), generation] {
            auto self = w.lock();
            if (!self || self->watchdogGeneration != generation) return;
            self->check();
            self->armWatchdog();
        });
    }
    void cancelWatchdog() { ++watchdogGeneration; }

    void check() {
        if (!started || building) return;
        if (!stream) {
            build();
            return;
        }
        if (!signature) return;
        auto snapshot = backend->displays();
        auto* s = std::get_if<DisplaySnapshot>(&snapshot);
        if (s && s->signature(capturedDisplay) == *signature) return;
        build();
    }

    void build() {
        if (!started) return;
        if (building) {
            rebuildWanted = true;
            return;
        }
        building = true;
        auto old = std::move(stream);
        stream = nullptr;
        {
            std::lock_guard l(m);
            liveStream.reset();
            waitingFrame = nullptr;
            lastFrame.reset();
            lastPixels = nullptr;
        }
        const FrameQuality q = quality;
        const auto video = videoLimit;
        const auto wanted = wantedDisplay;
        reconfigureWanted = false;
        if (old) old->stop();
        Outcome outcome = makeStream(q, video, wanted);
        onControl([outcome = std::move(outcome)](Impl& self) mutable { self.finishBuild(std::move(outcome)); });
    }

    static Outcome failure(const CaptureError& error) {
        if (CaptureStop::action(error.domain, error.code) == CaptureStop::Action::honourOwner)
            return StoppedByOwner{error.code};
        return Failed{describe(error)};
    }

    Outcome makeStream(FrameQuality q, const std::optional<VideoLimit>& video, std::optional<std::uint32_t> wanted) {
        if (!backend->permitted()) return Failed{"no-permission"};
        auto content = backend->displays();
        if (auto* error = std::get_if<CaptureError>(&content)) return failure(*error);
        const auto& snapshot = std::get<DisplaySnapshot>(content);
        auto displays = DisplayCatalog::describe(snapshot.displays, snapshot.mainDisplay);
        auto resolved = DisplayChoice::resolve(wanted, displays);
        if (!resolved || !snapshot.find(resolved->display.id)) return Failed{"no-display"};
        const std::uint32_t id = resolved->display.id;
        const PixelSize native = snapshot.nativePixels(id);
        const PixelSize size = streamSize(native.width, native.height, q, video);
        const auto& settings = CaptureSettings::of(q);
        StreamConfig config{size.width, size.height,
                            video ? settings.videoFramesPerSecond : settings.framesPerSecond, video.has_value(),
                            true, excludedWindow};
        {
            std::lock_guard l(m);
            if (!captureWanted) return Abandoned{};
        }
        const std::uint64_t serial = ++nextStreamSerial;
        StreamHandlers handlers;
        handlers.onSample = [w = weak(), serial](PicturePtr picture) {
            if (auto self = w.lock()) self->sample(serial, std::move(picture));
        };
        handlers.onStopped = [w = weak(), serial](CaptureError error) {
            if (auto self = w.lock())
                self->onControl([serial, error](Impl& s) { s.streamStopped(error, serial); });
        };
        handlers.onLayoutChanged = [w = weak()] {
            if (auto self = w.lock()) self->onControl([](Impl& s) { s.check(); });
        };
        handlers.onExclusionLost = [w = weak()] {
            if (auto self = w.lock()) {
                self->report("the excluded window can no longer be left out");
                if (auto lost = self->locked(&Impl::exclusionLostHandler)) lost();
            }
        };
        {
            std::lock_guard l(m);
            liveStream = serial;
        }
        auto started = backend->startStream(id, config, std::move(handlers));
        if (auto* error = std::get_if<CaptureError>(&started)) {
            std::lock_guard l(m);
            if (liveStream == serial) liveStream.reset();
            return failure(*error);
        }
        Running running;
        running.stream = std::get<std::shared_ptr<CaptureStream>>(started);
        running.serial = serial;
        running.display = id;
        running.signature = snapshot.signature(id);
        running.native = native;
        running.picked = {displays, wanted, resolved->lost};
        return running;
    }

    void finishBuild(Outcome outcome) {
        building = false;
        if (auto* failed = std::get_if<Failed>(&outcome)) {
            {
                std::lock_guard l(m);
                liveStream.reset();
                bounds.reset();
            }
            if (started) {
                if (failed->text == "no-display") publishDisplays({}, std::nullopt, false);
                if (started) setState(failed->text, "");
            }
        } else if (auto* owner = std::get_if<StoppedByOwner>(&outcome)) {
            {
                std::lock_guard l(m);
                liveStream.reset();
                bounds.reset();
            }
            ownerStopped(owner->code, ", reported when the stream was started");
        } else if (auto* running = std::get_if<Running>(&outcome)) {
            if (!started) {
                {
                    std::lock_guard l(m);
                    if (liveStream == running->serial) liveStream.reset();
                }
                running->stream->stop();
            } else {
                stream = running->stream;
                streamSerial = running->serial;
                const std::uint32_t previous = capturedDisplay;
                capturedDisplay = running->display;
                signature = running->signature;
                {
                    std::lock_guard l(m);
                    bounds = running->signature.bounds;
                    if (previous != capturedDisplay && videoOn) wantKeyframe = true;
                }
                if (running->picked.lost && wantedDisplay == running->picked.wanted) wantedDisplay.reset();
                publishDisplays(running->picked.displays, running->display, running->picked.lost);

                const auto& sig = running->signature;
                const bool videoShown = videoLimit && !reconfigureWanted;
                const PixelSize size = streamSize(running->native.width, running->native.height, quality,
                                                  videoShown ? videoLimit : std::nullopt);
                const auto& settings = CaptureSettings::of(quality);
                const int fps = videoShown ? (quality == FrameQuality::low ? 20 : 30) : settings.framesPerSecond;
                auto integer = [](double v) { return std::to_string(static_cast<long long>(v)); };
                std::string detail = "display " + integer(sig.bounds.width) + "x" + integer(sig.bounds.height) +
                                     " pt at (" + integer(sig.bounds.x) + "," + integer(sig.bounds.y) + "), native " +
                                     std::to_string(sig.pixelWidth) + "x" + std::to_string(sig.pixelHeight) +
                                     " px, stream " + std::to_string(size.width) + "x" + std::to_string(size.height) +
                                     " px, up to " + std::to_string(fps) + " fps, quality " +
                                     std::string(toString(quality)) + ", displays online " +
                                     std::to_string(sig.displayCount) + ", capturable " +
                                     std::to_string(running->picked.displays.size()) + ", " +
                                     (wantedDisplay ? "chosen by the controller" : "following the main display") +
                                     (running->picked.lost ? ", the chosen display is gone" : "");
                setState("ok", detail);
            }
        }
        if (rebuildWanted) {
            rebuildWanted = false;
            build();
        } else if (reconfigureWanted) {
            reconfigureWanted = false;
            reconfigure();
        }
    }

    void publishDisplays(std::vector<DisplayInfo> displays, std::optional<std::uint32_t> current, bool lost) {
        DisplayListing stored{std::move(displays), current, false};
        bool same;
        std::shared_ptr<FrameObserver> handler;
        {
            std::lock_guard l(m);
            same = stored == listing;
            listing = stored;
            handler = observerLocked();
        }
        if (same && !lost) return;
        stored.selectionLost = lost;
        if (handler) handler->onDisplaysChanged(stored);
    }

    void stopOnControl() {
        started = false;
        haltedByOwner = false;
        cancelWatchdog();
        auto old = std::move(stream);
        stream = nullptr;
        signature.reset();
        wantedDisplay.reset();
        std::shared_ptr<VideoEncoding> oldEncoder;
        {
            std::lock_guard l(m);
            listing = DisplayListing{};
            captureWanted = false;
            liveStream.reset();
            bounds.reset();
            waitingFrame = nullptr;
            lastFrame.reset();
            stateText = "starting";
            oldEncoder = leaveVideoLocked().first;
        }
        videoLimit.reset();
        reconfigureWanted = false;
        if (oldEncoder) onEncode([oldEncoder](Impl&) { oldEncoder->invalidate(); });
        report("stopped");
        if (old) old->stop();
    }

    void ownerStopped(int code, const std::string& note) {
        if (!started) return;
        haltedByOwner = true;
        started = false;
        cancelWatchdog();
        rebuildWanted = false;
        reconfigureWanted = false;
        auto old = std::move(stream);
        stream = nullptr;
        signature.reset();
        std::shared_ptr<FrameObserver> handler;
        {
            std::lock_guard l(m);
            captureWanted = false;
            liveStream.reset();
            bounds.reset();
            waitingFrame = nullptr;
            lastFrame.reset();
            lastPixels = nullptr;
            handler = observerLocked();
        }
        setState("stopped-on-mac", "Stop Sharing was pressed on the computer (capture " + std::to_string(code) + note +
                                       "); not starting again");
        if (old) old->stop();
        if (handler) handler->onStoppedByOwner();
    }

    void streamStopped(const CaptureError& error, std::uint64_t serial) {
        const bool current = stream && streamSerial == serial;
        if (CaptureStop::action(error.domain, error.code) == CaptureStop::Action::honourOwner) {
            ownerStopped(error.code, current    ? ""
                                     : building ? ", while the stream was being rebuilt"
                                                : ", for a stream that was being replaced");
            return;
        }
        if (!current) return;
        auto old = std::move(stream);
        stream = nullptr;
        {
            std::lock_guard l(m);
            liveStream.reset();
            bounds.reset();
        }
        old->stop();
        setState(describe(error), "stream stopped by the system");
    }

    void setQualityOnControl(FrameQuality q) {
        if (q == quality) return;
        quality = q;
        const auto& settings = CaptureSettings::of(q);
        std::shared_ptr<VideoEncoding> current;
        Report r;
        {
            std::lock_guard l(m);
            jpegQuality = settings.jpegQuality;
            qualityMirror = q;
            current = encoder;
            r = reporter;
        }
        if (current) {
            onEncode([current, settings](Impl&) {
                current->update(settings.videoFramesPerSecond, settings.videoBitsPerSecond);
            });
            if (r)
                r("h264 quality " + std::string(toString(q)) + ": " +
                  std::to_string(settings.videoBitsPerSecond / 1000) + " kbit/s, up to " +
                  std::to_string(settings.videoFramesPerSecond) + " fps");
        }
        if (!started) return;
        if (building) {
            rebuildWanted = true;
            return;
        }
        if (stream) updateStream(videoLimit.has_value());
    }

    void reconfigure() {
        if (!started) return;
        if (building) {
            reconfigureWanted = true;
            return;
        }
        if (stream) updateStream(true);
    }

    // Leaves the window out of the pictures from now on, or none. The
    // answer comes once pictures follow it.
    void excludeOnControl(std::optional<int> window, std::function<void(bool)> answer) {
        const bool possible = !window || backend->canExcludeWindows();
        const std::optional<std::int64_t> wanted = possible && window ? std::optional<std::int64_t>(*window)
                                                                      : std::nullopt;
        const bool changed = wanted != excludedWindow;
        excludedWindow = wanted;
        if (changed && started && building) reconfigureWanted = true;
        if (changed && started && !building && stream) {
            updateStream(false, [answer = std::move(answer), possible] { answer(possible); });
            return;
        }
        answer(possible);
    }

    // Applies the current quality, video limit and excluded window to the
    // running stream.
    void updateStream(bool countSettling, std::function<void()> applied = {}) {
        auto snapshot = backend->displays();
        PixelSize native{2, 2};
        if (auto* s = std::get_if<DisplaySnapshot>(&snapshot)) native = s->nativePixels(capturedDisplay);
        const PixelSize size = streamSize(native.width, native.height, quality, videoLimit);
        const auto& settings = CaptureSettings::of(quality);
        StreamConfig config{size.width, size.height,
                            videoLimit ? settings.videoFramesPerSecond : settings.framesPerSecond,
                            videoLimit.has_value(), true, excludedWindow};
        if (countSettling) {
            std::lock_guard l(m);
            ++settling;
        }
        const std::uint64_t serial = streamSerial;
        stream->update(config, [w = weak(), countSettling, serial,
                                applied = std::move(applied)](std::optional<CaptureError> error) {
            // A failed change rebuilds the stream with the same settings.
            if (applied) applied();
            auto self = w.lock();
            if (!self) return;
            if (countSettling) {
                std::lock_guard l(self->m);
                self->settling = std::max(self->settling - 1, 0);
            }
            if (error)
                self->onControl([serial, error = *error](Impl& s) { s.configurationFailed(serial, error); });
        });
    }

    void configurationFailed(std::uint64_t serial, const CaptureError& error) {
        if (CaptureStop::action(error.domain, error.code) == CaptureStop::Action::honourOwner) {
            ownerStopped(error.code, ", reported when the stream's settings were changed");
            return;
        }
        if (stream && streamSerial == serial) build();
    }

    void selectOnControl(std::optional<std::uint32_t> id) {
        if (wantedDisplay == id) return;
        wantedDisplay = id;
        if (!started) return;
        if (!building && stream) {
            std::optional<std::uint32_t> target = id;
            if (!target) {
                auto snapshot = backend->displays();
                if (auto* s = std::get_if<DisplaySnapshot>(&snapshot)) target = s->mainDisplay;
            }
            if (target && *target == capturedDisplay) return;
        }
        build();
    }

    // ---- pictures (stream thread, encode queue) ----

    void sample(std::uint64_t serial, PicturePtr picture) {
        bool post = false;
        {
            std::lock_guard l(m);
            ++callbacks;
            if (!picture || liveStream != serial) return;
            waitingFrame = std::move(picture);
            if (!encoding) {
                encoding = true;
                post = true;
            }
        }
        if (post) onEncode([](Impl& self) { self.encodeWaitingFrames(); });
    }

    void encodeWaitingFrames() {
        std::unique_lock l(m);
        while (waitingFrame) {
            PicturePtr picture = std::move(waitingFrame);
            waitingFrame = nullptr;
            const double q = jpegQuality;
            const bool video = videoOn;
            l.unlock();
            if (video) {
                encodeVideo(picture, false, false);
                l.lock();
                continue;
            }
            auto jpeg = encodeJPEG(*picture, q);
            if (!jpeg) {
                l.lock();
                continue;
            }
            l.lock();
            bool deliver = false, first = false;
            std::shared_ptr<FrameObserver> handler;
            Report r;
            if (liveStream) {
                first = !lastFrame.has_value();
                noteJpegLocked(*jpeg);
                deliver = true;
                handler = observerLocked();
                if (first) r = reporter;
            }
            l.unlock();
            if (first && r)
                r("first frame " + std::to_string(jpeg->width) + "x" + std::to_string(jpeg->height) + " px, " +
                  std::to_string(jpeg->jpeg.size() / 1024) + " KiB");
            if (deliver && handler) handler->onFrame(jpeg->jpeg, jpeg->width, jpeg->height);
            l.lock();
        }
        encoding = false;
    }

    void requestFrameAnyThread() {
        if (locked(&Impl::videoOn)) {
            requestKeyframeAnyThread();
            return;
        }
        onEncode([](Impl& self) { self.resendLastFrame(); });
    }

    void deliverStill(PicturePtr picture) {
        const double q = locked(&Impl::jpegQuality);
        if (picture) {
            if (auto jpeg = encodeJPEG(*picture, q)) {
                bool deliver = false;
                std::shared_ptr<FrameObserver> handler;
                {
                    std::lock_guard l(m);
                    if (liveStream && !videoOn) {
                        noteJpegLocked(*jpeg);
                        deliver = true;
                        handler = observerLocked();
                    }
                }
                if (deliver && handler) handler->onFrame(jpeg->jpeg, jpeg->width, jpeg->height);
                return;
            }
        }
        resendLastFrame();
    }

    bool startVideoOnCaller(int maxWidth, int maxHeight) {
        FrameQuality q;
        Report r;
        std::optional<std::uint32_t> current;
        EncoderFactory factory;
        {
            std::lock_guard l(m);
            q = qualityMirror;
            r = reporter;
            current = listing.current;
            factory = makeEncoder;
        }
        const auto& settings = CaptureSettings::of(q);
        PixelSize native{2, 2};
        auto snapshot = backend->displays();
        if (auto* s = std::get_if<DisplaySnapshot>(&snapshot)) {
            if (!current) current = s->mainDisplay;
            if (current) native = s->nativePixels(*current);
        }
        const PixelSize size =
            VideoGeometry::fit(native.width, native.height, settings.longSide, maxWidth, maxHeight);
        std::uint64_t timestamp;
        {
            std::lock_guard l(m);
            timestamp = nextTimestampLocked();
        }
        std::shared_ptr<VideoEncoding> made = factory ? factory(size.width, size.height, settings.videoFramesPerSecond,
                                                               settings.videoBitsPerSecond, timestamp, r)
                                                      : nullptr;
        if (!made) return false;
        std::shared_ptr<VideoEncoding> old;
        std::uint64_t epoch;
        {
            std::lock_guard l(m);
            old = std::move(encoder);
            encoder = made;
            videoOn = true;
            epoch = ++videoEpoch;
            wantKeyframe = true;
            // Until the control queue has asked the stream for the new size,
            // pictures of the old size are still on their way; they must not
            // rebuild the encoder that was just made for the new one.
            ++settling;
        }
        if (old) onEncode([old](Impl&) { old->invalidate(); });
        onControl([limit = VideoLimit{maxWidth, maxHeight}](Impl& self) {
            self.videoLimit = limit;
            self.reconfigure();  // counts its own settling while the stream changes
            std::lock_guard l(self.m);
            self.settling = std::max(self.settling - 1, 0);
        });
        onEncode([epoch](Impl& self) { self.videoKick(epoch, false); }, 350);
        onEncode([epoch](Impl& self) { self.videoKick(epoch, true); }, 1000);
        onEncode([epoch](Impl& self) { self.videoKick(epoch, true); }, 2000);
        return true;
    }

    void requestKeyframeAnyThread() {
        std::uint64_t epoch;
        {
            std::lock_guard l(m);
            if (!videoOn) return;
            wantKeyframe = true;
            epoch = videoEpoch;
        }
        onEncode([epoch](Impl& self) { self.videoKick(epoch, false); });
        onEncode([epoch](Impl& self) { self.videoKick(epoch, true); }, 500);
    }

    void videoKick(std::uint64_t epoch, bool evenIfSettling) {
        PicturePtr picture;
        std::optional<LastFrame> last;
        {
            std::lock_guard l(m);
            if (!videoOn || videoEpoch != epoch || !liveStream || !wantKeyframe || waitingFrame) return;
            picture = lastPixels;
            last = lastFrame;
        }
        if (!picture) {
            if (!last) return;
            auto decoded = decodeJPEG(last->jpeg);
            if (!decoded) return;
            picture = std::make_shared<Picture>(toI420(*decoded));
        }
        encodeVideo(picture, evenIfSettling, false);
    }

    void encodeVideo(PicturePtr picture, bool evenIfSettling, bool refresh) {
        if (picture->format != Picture::Format::i420) picture = std::make_shared<Picture>(toI420(*picture));
        const int width = picture->width, height = picture->height;
        std::uint64_t epoch;
        int settlingNow;
        FrameQuality q;
        std::shared_ptr<VideoEncoding> current;
        Report r;
        EncoderFactory factory;
        {
            std::lock_guard l(m);
            if (!videoOn || !liveStream) return;
            lastPixels = picture;
            epoch = videoEpoch;
            settlingNow = settling;
            q = qualityMirror;
            current = encoder;
            r = reporter;
            factory = makeEncoder;
        }
        const auto& settings = CaptureSettings::of(q);
        if (!current || current->width() != width || current->height() != height) {
            if (current && settlingNow > 0 && !evenIfSettling) return;
            std::uint64_t timestamp;
            {
                std::lock_guard l(m);
                timestamp = nextTimestampLocked();
            }
            std::shared_ptr<VideoEncoding> made = factory ? factory(width, height, settings.videoFramesPerSecond,
                                                                   settings.videoBitsPerSecond, timestamp, r)
                                                          : nullptr;
            std::shared_ptr<VideoEncoding> old;
            bool stillOurs;
            {
                std::lock_guard l(m);
                stillOurs = videoOn && videoEpoch == epoch;
                if (stillOurs) {
                    old = std::move(encoder);
                    encoder = made;
                    wantKeyframe = true;
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
        std::uint64_t serial;
        {
            std::lock_guard l(m);
            keyframeRequest = wantKeyframe;
            wantKeyframe = false;
            timestamp = nextTimestampLocked();
        }
        serial = ++encodeSerial;
        if (!refresh) {
            refreshesLeft = refreshesPerPause;
            skipRepairsLeft = skipRepairsPerPause;
        }
        auto result = current->encode(*picture, timestamp, keyframeRequest);
        if (auto* frame = std::get_if<video_result::Frame>(&result)) {
            emptyEncodes = 0;
            bool deliver = false;
            std::shared_ptr<FrameObserver> handler;
            {
                std::lock_guard l(m);
                if (videoOn && videoEpoch == epoch && liveStream) {
                    if (keyframeRequest && !frame->keyframe) wantKeyframe = true;
                    ++delivered;
                    deliveredBytes += static_cast<std::int64_t>(frame->data.size());
                    if (frame->keyframe) ++deliveredKeyframes;
                    lastSize = PixelSize{width, height};
                    deliver = true;
                } else if (keyframeRequest) {
                    wantKeyframe = true;
                }
                handler = observerLocked();
            }
            if (deliver) {
                if (handler)
                    handler->onVideoFrame(EncodedVideoFrame{std::move(frame->data), frame->keyframe, timestamp, width, height,
                                              frame->codec});
                planRefresh(epoch, serial);
            }
        } else if (auto* failed = std::get_if<video_result::Failed>(&result)) {
            failVideo("encode error " + std::to_string(failed->status), epoch);
        } else {
            ++emptyEncodes;
            if (emptyEncodes >= maxEmptyEncodes) {
                failVideo("no output for " + std::to_string(emptyEncodes) + " frames", epoch);
                return;
            }
            if (keyframeRequest) {
                {
                    std::lock_guard l(m);
                    wantKeyframe = true;
                }
                onEncode([epoch](Impl& self) { self.videoKick(epoch, true); }, 100);
            }
            if (refreshesLeft == 0 && skipRepairsLeft > 0) {
                --skipRepairsLeft;
                refreshesLeft = 1;
            }
            planRefresh(epoch, serial);
        }
    }

    void planRefresh(std::uint64_t epoch, std::uint64_t serial) {
        if (refreshesLeft < 1) return;
        onEncode(
            [epoch, serial](Impl& self) {
                if (self.encodeSerial != serial || self.refreshesLeft < 1) return;
                PicturePtr picture;
                {
                    std::lock_guard l(self.m);
                    if (!self.videoOn || self.videoEpoch != epoch || !self.liveStream) return;
                    if (self.waitingFrame || self.settling != 0 || !self.lastPixels || !self.encoder) return;
                    if (self.encoder->width() != self.lastPixels->width ||
                        self.encoder->height() != self.lastPixels->height)
                        return;
                    picture = self.lastPixels;
                }
                --self.refreshesLeft;
                self.encodeVideo(picture, false, true);
            },
            refreshDelayMillis);
    }

    // Back to JPEG pictures: the new epoch turns pending video work into
    // nothing. Gives the encoder and the last video picture to the caller.
    std::pair<std::shared_ptr<VideoEncoding>, PicturePtr> leaveVideoLocked() {
        videoOn = false;
        ++videoEpoch;
        wantKeyframe = false;
        return {std::exchange(encoder, nullptr), std::exchange(lastPixels, nullptr)};
    }

    void failVideo(const std::string& reason, std::uint64_t epoch) {
        std::shared_ptr<VideoEncoding> old;
        PicturePtr picture;
        std::shared_ptr<FrameObserver> handler;
        Report r;
        {
            std::lock_guard l(m);
            if (!videoOn || videoEpoch != epoch) return;
            std::tie(old, picture) = leaveVideoLocked();
            handler = observerLocked();
            r = reporter;
        }
        if (old) old->invalidate();
        if (r) r("h264 failed (" + reason + "), back to JPEG");
        onControl([](Impl& self) {
            self.videoLimit.reset();
            self.reconfigure();
        });
        if (handler) handler->onVideoFailure();
        deliverStill(picture);
    }

    void stopVideoOnCaller() {
        std::shared_ptr<VideoEncoding> old;
        PicturePtr picture;
        Report r;
        {
            std::lock_guard l(m);
            if (!videoOn) return;
            std::tie(old, picture) = leaveVideoLocked();
            r = reporter;
        }
        if (r) r("h264 off, back to JPEG");
        onEncode([old, picture](Impl& self) {
            if (old) old->invalidate();
            self.deliverStill(picture);
        });
        onControl([](Impl& self) {
            self.videoLimit.reset();
            self.reconfigure();
        });
    }

    Stats takeStats() {
        std::lock_guard l(m);
        Stats s;
        s.state = captureWanted ? stateText : "stopped";
        s.callbacks = callbacks;
        s.frames = delivered;
        s.bytes = deliveredBytes;
        s.width = lastSize ? lastSize->width : 0;
        s.height = lastSize ? lastSize->height : 0;
        s.video = videoOn;
        s.keyframes = deliveredKeyframes;
        callbacks = 0;
        delivered = 0;
        deliveredBytes = 0;
        deliveredKeyframes = 0;
        return s;
    }

    DisplayListing composeListing() const {
        {
            std::lock_guard l(m);
            if (!listing.displays.empty()) return listing;
        }
        DisplayListing out;
        auto snapshot = backend->displays();
        if (auto* s = std::get_if<DisplaySnapshot>(&snapshot)) {
            out.displays = DisplayCatalog::describe(s->displays, s->mainDisplay);
            if (auto resolved = DisplayChoice::resolve(std::nullopt, out.displays)) out.current = resolved->display.id;
        }
        return out;
    }
};

ScreenFrameSource::ScreenFrameSource(std::shared_ptr<CaptureBackend> backend, std::shared_ptr<Executor> control,
                                     std::shared_ptr<Executor> encode, std::function<std::uint64_t()> nowMicros)
    : control_(std::move(control)), encode_(std::move(encode)), impl_(std::make_shared<Impl>()) {
    impl_->backend = std::move(backend);
    impl_->control = control_.get();
    impl_->encodeQueue = encode_.get();
    impl_->nowMicros = std::move(nowMicros);
    impl_->makeEncoder = [](int width, int height, int fps, int bps, std::uint64_t timestamp,
                            const std::function<void(const std::string&)>& report) -> std::unique_ptr<VideoEncoding> {
        return H264Encoder::make(width, height, fps, bps, timestamp, report);
    };
}

ScreenFrameSource::~ScreenFrameSource() {
    // Stop the stream so no picture arrives after this, then let queued work
    // find the source gone.
    std::shared_ptr<CaptureStream> stream;
    if (control_->isCurrent()) {
        stream = std::move(impl_->stream);
    } else {
        try {
            runSync(*control_, [&] {
                impl_->started = false;
                impl_->cancelWatchdog();
                stream = std::move(impl_->stream);
            });
        } catch (...) {
        }
    }
    {
        std::lock_guard l(impl_->m);
        impl_->liveStream.reset();
        impl_->captureWanted = false;
    }
    if (stream) stream->stop();
    impl_.reset();
}

std::string ScreenFrameSource::state() const { return impl_->locked(&Impl::stateText); }
void ScreenFrameSource::start(const std::shared_ptr<FrameObserver>& observer) {
    impl_->setLocked(&Impl::observerRef, std::weak_ptr<FrameObserver>(observer));
    impl_->onControl([](Impl& self) { self.startOnControl(); });
}
void ScreenFrameSource::stop() {
    impl_->onControl([](Impl& self) { self.stopOnControl(); });
}
void ScreenFrameSource::setQuality(FrameQuality quality) {
    impl_->onControl([quality](Impl& self) { self.setQualityOnControl(quality); });
}
void ScreenFrameSource::requestFrame() { impl_->requestFrameAnyThread(); }

bool ScreenFrameSource::startVideo(int maxWidth, int maxHeight) {
    return impl_->startVideoOnCaller(maxWidth, maxHeight);
}
void ScreenFrameSource::requestKeyframe() { impl_->requestKeyframeAnyThread(); }
void ScreenFrameSource::stopVideo() { impl_->stopVideoOnCaller(); }

DisplayListing ScreenFrameSource::displayListing() const { return impl_->composeListing(); }

bool ScreenFrameSource::selectDisplay(std::optional<std::uint32_t> id) {
    if (id) {
        bool known = false;
        for (const auto& d : displayListing().displays) known = known || d.id == *id;
        if (!known) return false;
    }
    impl_->onControl([id](Impl& self) { self.selectOnControl(id); });
    return true;
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
    impl_->onControl([window, answer = std::move(answer)](Impl& self) mutable {
        self.excludeOnControl(window, std::move(answer));
    });
}
FrameSource::Signal ScreenFrameSource::onExclusionLost() const { return impl_->locked(&Impl::exclusionLostHandler); }
void ScreenFrameSource::setOnExclusionLost(Signal handler) {
    impl_->setLocked(&Impl::exclusionLostHandler, std::move(handler));
}
void ScreenFrameSource::displayModeChanged() {
    impl_->onControl([](Impl& self) { self.check(); });
}

ScreenFrameSource::Report ScreenFrameSource::onReport() const { return impl_->locked(&Impl::reporter); }
void ScreenFrameSource::setOnReport(Report report) { impl_->setLocked(&Impl::reporter, std::move(report)); }
bool ScreenFrameSource::permissionRefused() const { return impl_->locked(&Impl::permissionFailure); }
std::optional<Rect> ScreenFrameSource::displayBounds() const { return impl_->locked(&Impl::bounds); }
ScreenFrameSource::Stats ScreenFrameSource::takeStats() { return impl_->takeStats(); }
void ScreenFrameSource::setMakeEncoder(EncoderFactory factory) {
    impl_->setLocked(&Impl::makeEncoder, std::move(factory));
}

}  // namespace morvane

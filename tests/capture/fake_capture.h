// Test doubles for the screen source: queues run by hand on virtual time, a
// scripted capture backend and a scripted video encoder.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "capture/capture_backend.h"
#include "capture/h264_encoder.h"
#include "core/executor.h"

namespace morvane::testing {

// One timeline shared by every queue made from it; work runs only when the
// test asks, in time order and then in posting order.
class ManualClock {
public:
    class Queue final : public Executor {
    public:
        explicit Queue(ManualClock& clock) : clock_(clock) {}
        void post(std::function<void()> work) override { clock_.add(0, std::move(work)); }
        void postAfter(std::int64_t delayMillis, std::function<void()> work) override {
            clock_.add(delayMillis, std::move(work));
        }
        bool isCurrent() const override { return true; }

    private:
        ManualClock& clock_;
    };

    std::shared_ptr<Executor> makeQueue() { return std::make_shared<Queue>(*this); }
    std::int64_t now() const { return now_; }

    // Runs everything due now, including work that it posts.
    void run() { advance(0); }
    void advance(std::int64_t millis) {
        const std::int64_t until = now_ + millis;
        while (true) {
            std::function<void()> work;
            {
                std::lock_guard l(m_);
                auto it = tasks_.begin();
                if (it == tasks_.end() || it->first.first > until) break;
                now_ = std::max(now_, it->first.first);
                work = std::move(it->second);
                tasks_.erase(it);
            }
            work();
        }
        now_ = until;
    }

private:
    void add(std::int64_t delay, std::function<void()> work) {
        std::lock_guard l(m_);
        tasks_.emplace(std::pair{now_ + std::max<std::int64_t>(delay, 0), seq_++}, std::move(work));
    }
    std::mutex m_;
    std::int64_t now_ = 0;
    std::uint64_t seq_ = 0;
    std::map<std::pair<std::int64_t, std::uint64_t>, std::function<void()>> tasks_;
};

class FakeStream final : public CaptureStream {
public:
    std::vector<StreamConfig> configs;
    std::vector<std::function<void(std::optional<CaptureError>)>> pendingUpdates;
    bool holdUpdates = false;
    bool stopped = false;
    StreamHandlers handlers;
    std::uint32_t display = 0;

    void update(const StreamConfig& config, std::function<void(std::optional<CaptureError>)> done) override {
        configs.push_back(config);
        if (holdUpdates)
            pendingUpdates.push_back(std::move(done));
        else
            done(std::nullopt);
    }
    void stop() override { stopped = true; }
    StreamConfig config() const { return configs.back(); }
    // Delivers a picture of the stream's current size, filled with one value.
    void deliver(std::uint8_t fill) {
        const auto c = config();
        Picture p = c.video ? Picture::makeI420(c.width, c.height) : Picture::makeBGRA(c.width, c.height);
        std::fill(p.pixels.begin(), p.pixels.end(), fill);
        handlers.onSample(std::make_shared<Picture>(std::move(p)));
    }
    void deliverSized(int width, int height, bool video) {
        Picture p = video ? Picture::makeI420(width, height) : Picture::makeBGRA(width, height);
        std::fill(p.pixels.begin(), p.pixels.end(), 90);
        handlers.onSample(std::make_shared<Picture>(std::move(p)));
    }
    void idle() { handlers.onSample(nullptr); }
};

class FakeBackend final : public CaptureBackend {
public:
    DisplaySnapshot snapshot;
    std::optional<CaptureError> displaysError;
    std::optional<CaptureError> startError;
    bool allowed = true;
    std::vector<std::shared_ptr<FakeStream>> streams;
    // Runs once inside the next startStream: what happens while a stream is
    // being made.
    std::function<void()> whileStarting;

    FakeBackend() {
        snapshot.displays = {{1, std::string("Screen"), false, 1920, 1080, {0, 0, 1920, 1080}}};
        snapshot.mainDisplay = 1;
    }
    bool permitted() override { return allowed; }
    bool canExclude = true;
    bool canExcludeWindows() override { return canExclude; }
    std::variant<DisplaySnapshot, CaptureError> displays() override {
        if (displaysError) return *displaysError;
        return snapshot;
    }
    std::variant<std::shared_ptr<CaptureStream>, CaptureError> startStream(std::uint32_t display,
                                                                           const StreamConfig& config,
                                                                           StreamHandlers handlers) override {
        if (whileStarting) std::exchange(whileStarting, nullptr)();
        if (startError) return *startError;
        auto s = std::make_shared<FakeStream>();
        s->configs.push_back(config);
        s->handlers = std::move(handlers);
        s->display = display;
        streams.push_back(s);
        return std::shared_ptr<CaptureStream>(s);
    }
    // Asking for a stream when none was started is a mistake in the test;
    // it fails there instead of reading past an empty list.
    FakeStream& latest() {
        if (streams.empty()) throw std::logic_error("no stream was started");
        return *streams.back();
    }
};

// An encoder that gives what the test scripts and records every call.
struct EncoderJournal {
    struct Call {
        int width, height;
        bool forceKeyframe;
        std::uint64_t timestamp;
    };
    std::vector<Call> calls;
    std::vector<std::pair<int, int>> made;
    int invalidated = 0;
    std::vector<std::pair<int, int>> updates;
    // What the next encodes give; empty means a frame (keyframe when forced).
    std::vector<VideoEncodeResult> script;
    bool refuseToMake = false;
};

class FakeEncoder final : public VideoEncoding {
public:
    FakeEncoder(int w, int h, std::shared_ptr<EncoderJournal> j) : w_(w), h_(h), j_(std::move(j)) {}
    int width() const override { return w_; }
    int height() const override { return h_; }
    VideoEncodeResult encode(const Picture& p, std::uint64_t ts, bool force) override {
        j_->calls.push_back({p.width, p.height, force, ts});
        if (!j_->script.empty()) {
            auto r = j_->script.front();
            j_->script.erase(j_->script.begin());
            return r;
        }
        video_result::Frame f;
        f.keyframe = force;
        f.data = {0, 0, 0, 1, static_cast<std::uint8_t>(force ? 0x65 : 0x41), 1};
        f.codec = "avc1.640028";
        return f;
    }
    void update(int fps, int bps) override { j_->updates.push_back({fps, bps}); }
    void invalidate() override { ++j_->invalidated; }

private:
    int w_, h_;
    std::shared_ptr<EncoderJournal> j_;
};

}  // namespace morvane::testing

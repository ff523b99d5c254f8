#include "platform/linux/audio_pulse.h"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "capture/audio_capture_pipeline.h"

namespace morvane {

namespace {

double monotonicSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string describeCode(int code) { return "pulseaudio " + std::to_string(code); }

}  // namespace

struct SystemAudioSource::Run {
    SystemAudioSource* owner = nullptr;
    std::uint64_t generation = 0;
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    bool stopping = false;  // under the loop's lock
    // Touched only on the loop's thread once the stream is connected.
    AudioCapturePipeline pipeline{AudioFormat::standard()};
    bool describedFormat = false;
    std::vector<float> interleaved;
};

struct RunCallbacks {
    static void contextState(pa_context* context, void* userdata) {
        auto* run = static_cast<SystemAudioSource::Run*>(userdata);
        auto state = pa_context_get_state(context);
        if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
            if (!run->stopping) run->owner->systemStopped(run, pa_context_errno(context));
        }
        pa_threaded_mainloop_signal(run->loop, 0);
    }
    static void streamState(pa_stream* stream, void* userdata) {
        auto* run = static_cast<SystemAudioSource::Run*>(userdata);
        auto state = pa_stream_get_state(stream);
        if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
            if (!run->stopping) run->owner->systemStopped(run, pa_context_errno(run->context));
        }
        pa_threaded_mainloop_signal(run->loop, 0);
    }
    static void streamRead(pa_stream* stream, std::size_t, void* userdata) {
        auto* run = static_cast<SystemAudioSource::Run*>(userdata);
        while (!run->stopping && pa_stream_readable_size(stream) > 0) {
            const void* data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
            // A hole (no data) is left to the time line to notice.
            if (data) run->owner->samplesArrived(*run, data, bytes);
            pa_stream_drop(stream);
        }
    }
};

SystemAudioSource::SystemAudioSource(std::shared_ptr<Executor> control, std::shared_ptr<Executor> builder)
    : control_(std::move(control)), builder_(std::move(builder)) {
    if (!control_ || !builder_) throw std::invalid_argument("the sound source needs its queues");
}

SystemAudioSource::~SystemAudioSource() {
    {
        std::lock_guard lock(lock_);
        liveStream_.reset();
    }
    // A build in flight finishes first; its result is then retired with
    // everything else, and nothing of ours is left on either queue.
    builder_->drain();
    control_->post([this] {
        ++generation_;
        retire();
    });
    control_->drain();
}

std::shared_ptr<AudioObserver> SystemAudioSource::observer() const {
    std::lock_guard lock(handlersLock_);
    return observer_.lock();
}
void SystemAudioSource::setOnReport(ReportHandler handler) {
    std::lock_guard lock(handlersLock_);
    onReport_ = std::move(handler);
}

void SystemAudioSource::report(const std::string& line) {
    ReportHandler handler;
    {
        std::lock_guard lock(handlersLock_);
        handler = onReport_;
    }
    if (handler) handler(line);
}

void SystemAudioSource::start(const AudioFormat& format, const std::shared_ptr<AudioObserver>& observer,
                              std::function<void(std::optional<AudioOffReason>)> completion) {
    {
        std::lock_guard lock(handlersLock_);
        observer_ = observer;
    }
    control_->post([this, format, completion = std::move(completion)] {
        std::uint64_t g = ++generation_;
        retire();
        if (format.channels != 1) {
            if (completion) completion(AudioOffReason::failed);
            return;
        }
        builder_->post([this, g, format, completion] {
            auto outcome = std::make_shared<Outcome>(build(g, format));
            control_->post([this, g, outcome, completion] {
                if (!outcome->run) {
                    if (generation_ == g) report("sound capture not started: " + outcome->message);
                    if (completion) completion(outcome->reason);
                    return;
                }
                if (generation_ != g) {
                    {
                        std::lock_guard lock(lock_);
                        if (liveStream_ == outcome->run) liveStream_.reset();
                    }
                    teardown(outcome->run);
                    if (completion) completion(AudioOffReason::failed);
                    return;
                }
                stream_ = outcome->run;
                report("sound capture started");
                if (completion) completion(std::nullopt);
            });
        });
    });
}

void SystemAudioSource::stop() {
    {
        std::lock_guard lock(lock_);
        liveStream_.reset();
    }
    control_->post([this] {
        ++generation_;
        const bool running = stream_ != nullptr;
        retire();
        // Said once the server's thread is gone, so no sound follows it.
        if (running) report("sound capture stopped");
    });
}

void SystemAudioSource::retire() {
    expectOn(*control_, "SystemAudioSource::retire");
    {
        std::lock_guard lock(lock_);
        liveStream_.reset();
    }
    if (stream_) {
        auto old = std::move(stream_);
        stream_.reset();
        teardown(old);
    }
}

void SystemAudioSource::teardown(const std::shared_ptr<Run>& run) {
    if (!run || !run->loop) return;
    pa_threaded_mainloop_lock(run->loop);
    run->stopping = true;
    if (run->stream) {
        pa_stream_set_read_callback(run->stream, nullptr, nullptr);
        pa_stream_set_state_callback(run->stream, nullptr, nullptr);
        pa_stream_disconnect(run->stream);
        pa_stream_unref(run->stream);
        run->stream = nullptr;
    }
    if (run->context) {
        pa_context_set_state_callback(run->context, nullptr, nullptr);
        pa_context_disconnect(run->context);
        pa_context_unref(run->context);
        run->context = nullptr;
    }
    pa_threaded_mainloop_unlock(run->loop);
    pa_threaded_mainloop_stop(run->loop);
    pa_threaded_mainloop_free(run->loop);
    run->loop = nullptr;
}

namespace {

// Waits, with the loop locked, until `done` holds or the time is up. The
// lock is let go between looks so the loop's thread can make progress.
template <typename Done>
bool waitLocked(pa_threaded_mainloop* loop, std::chrono::steady_clock::time_point deadline, Done done) {
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        pa_threaded_mainloop_unlock(loop);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        pa_threaded_mainloop_lock(loop);
    }
    return true;
}

struct Lookup {
    bool done = false;
    bool found = false;
    std::string name;
};

}  // namespace

SystemAudioSource::Outcome SystemAudioSource::build(std::uint64_t generation, const AudioFormat& format) {
    expectOn(*builder_, "SystemAudioSource::build");
    auto run = std::make_shared<Run>();
    run->owner = this;
    run->generation = generation;
    run->pipeline = AudioCapturePipeline(format);
    auto fail = [&](AudioOffReason reason, std::string message) {
        pa_threaded_mainloop_unlock(run->loop);
        teardown(run);
        return Outcome{nullptr, reason, std::move(message)};
    };
    auto connectionFailure = [&](int code) {
        switch (code) {
            case PA_ERR_CONNECTIONREFUSED:
            case PA_ERR_INVALIDSERVER:
            case PA_ERR_NOENTITY:
            case PA_ERR_CONNECTIONTERMINATED: return fail(AudioOffReason::unavailable, "no sound server");
            case PA_ERR_ACCESS:
            case PA_ERR_AUTHKEY: return fail(AudioOffReason::noPermission, "the sound server refused access");
            default: return fail(AudioOffReason::failed, describeCode(code));
        }
    };

    run->loop = pa_threaded_mainloop_new();
    if (!run->loop) return Outcome{nullptr, AudioOffReason::failed, "no sound server connection"};
    if (pa_threaded_mainloop_start(run->loop) < 0) {
        pa_threaded_mainloop_free(run->loop);
        run->loop = nullptr;
        return Outcome{nullptr, AudioOffReason::failed, "no sound server connection"};
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(connectTimeoutMillis);

    pa_threaded_mainloop_lock(run->loop);
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Morvane");
    run->context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(run->loop), "Morvane", props);
    pa_proplist_free(props);
    if (!run->context) return fail(AudioOffReason::failed, "no sound server connection");
    pa_context_set_state_callback(run->context, &RunCallbacks::contextState, run.get());
    // Never start a sound server of our own: a missing one is an answer.
    if (pa_context_connect(run->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return connectionFailure(pa_context_errno(run->context));
    bool settled = waitLocked(run->loop, deadline, [&] {
        auto s = pa_context_get_state(run->context);
        return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
    });
    if (!settled) return fail(AudioOffReason::unavailable, "no sound server");
    if (pa_context_get_state(run->context) != PA_CONTEXT_READY)
        return connectionFailure(pa_context_errno(run->context));

    // The default sink's monitor is what the machine is playing.
    Lookup sink;
    pa_operation* op = pa_context_get_server_info(
        run->context,
        [](pa_context*, const pa_server_info* info, void* userdata) {
            auto* l = static_cast<Lookup*>(userdata);
            if (info && info->default_sink_name && *info->default_sink_name) {
                l->found = true;
                l->name = info->default_sink_name;
            }
            l->done = true;
        },
        &sink);
    bool answered = op && waitLocked(run->loop, deadline, [&] { return sink.done; });
    if (op) {
        if (!answered) pa_operation_cancel(op);
        pa_operation_unref(op);
    }
    if (!answered) return fail(AudioOffReason::failed, describeCode(PA_ERR_TIMEOUT));
    if (!sink.found) return fail(AudioOffReason::unavailable, "no sound device to capture");

    Lookup monitor;
    op = pa_context_get_sink_info_by_name(
        run->context, sink.name.c_str(),
        [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
            auto* l = static_cast<Lookup*>(userdata);
            if (eol == 0 && info && info->monitor_source_name && *info->monitor_source_name) {
                l->found = true;
                l->name = info->monitor_source_name;
            }
            if (eol != 0) l->done = true;
        },
        &monitor);
    answered = op && waitLocked(run->loop, deadline, [&] { return monitor.done; });
    if (op) {
        if (!answered) pa_operation_cancel(op);
        pa_operation_unref(op);
    }
    if (!answered) return fail(AudioOffReason::failed, describeCode(PA_ERR_TIMEOUT));
    if (!monitor.found) return fail(AudioOffReason::unavailable, "no sound device to capture");

    pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, static_cast<std::uint32_t>(captureRate),
                        static_cast<std::uint8_t>(captureChannels)};
    run->stream = pa_stream_new(run->context, "system sound", &spec, nullptr);
    if (!run->stream) return fail(AudioOffReason::failed, describeCode(pa_context_errno(run->context)));
    pa_stream_set_state_callback(run->stream, &RunCallbacks::streamState, run.get());
    pa_stream_set_read_callback(run->stream, &RunCallbacks::streamRead, run.get());

    {
        std::lock_guard lock(lock_);
        liveStream_ = run;
    }
    pa_buffer_attr attr;
    std::memset(&attr, 0xff, sizeof attr);
    // Buffers of 10 ms keep the delay short.
    attr.fragsize = static_cast<std::uint32_t>(captureRate / 100 * captureChannels * sizeof(float));
    int flags = PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_INTERPOLATE_TIMING;
    auto clearLive = [&] {
        std::lock_guard lock(lock_);
        if (liveStream_ == run) liveStream_.reset();
    };
    if (pa_stream_connect_record(run->stream, monitor.name.c_str(), &attr, static_cast<pa_stream_flags_t>(flags)) <
        0) {
        clearLive();
        return connectionFailure(pa_context_errno(run->context));
    }
    settled = waitLocked(run->loop, deadline, [&] {
        auto s = pa_stream_get_state(run->stream);
        return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
    });
    if (!settled || pa_stream_get_state(run->stream) != PA_STREAM_READY) {
        clearLive();
        if (!settled) return fail(AudioOffReason::failed, describeCode(PA_ERR_TIMEOUT));
        int code = pa_context_errno(run->context);
        if (code == PA_ERR_NOENTITY) return fail(AudioOffReason::unavailable, "no sound device to capture");
        return connectionFailure(code);
    }
    pa_threaded_mainloop_unlock(run->loop);
    return Outcome{run, AudioOffReason::failed, {}};
}

void SystemAudioSource::systemStopped(Run* run, int code) {
    // Runs on the loop's thread; the decision belongs to the control queue.
    control_->post([this, run, code] {
        if (!stream_ || stream_.get() != run) return;
        auto old = std::move(stream_);
        stream_.reset();
        {
            std::lock_guard lock(lock_);
            liveStream_.reset();
        }
        ++generation_;
        report("sound capture stopped by the system: " + describeCode(code));
        teardown(old);
        // No owner's stop exists here: anything that ends the stream failed.
        if (auto o = observer()) o->onStopped(AudioOffReason::failed);
    });
}

void SystemAudioSource::samplesArrived(Run& run, const void* data, std::size_t bytes) {
    {
        std::lock_guard lock(lock_);
        if (liveStream_.get() != &run) return;
    }
    const std::size_t frameBytes = captureChannels * sizeof(float);
    const std::size_t frames = bytes / frameBytes;
    run.interleaved.resize(frames * captureChannels);
    std::memcpy(run.interleaved.data(), data, frames * frameBytes);
    auto mono = monoSamples(run.interleaved, captureChannels, captureRate);
    if (!mono) return;
    if (!run.describedFormat) {
        run.describedFormat = true;
        report("sound arrives as " + std::to_string(mono->sampleRate) + " Hz, " + std::to_string(mono->channels) +
               " channel(s), " + std::to_string(frames) + " frames a buffer");
    }
    // The buffer began its duration (and whatever still waits in the
    // server) before now.
    double duration = static_cast<double>(frames) / static_cast<double>(captureRate);
    pa_usec_t latency = 0;
    int negative = 0;
    double waited = 0;
    if (run.stream && pa_stream_get_latency(run.stream, &latency, &negative) == 0 && !negative)
        waited = static_cast<double>(latency) / 1e6;
    double time = monotonicSeconds() - waited - duration;
    auto chunks = run.pipeline.process(mono->samples, mono->sampleRate, time);
    if (chunks.empty()) return;
    auto o = observer();
    if (!o) return;
    for (auto& chunk : chunks) o->onChunk(chunk);
}

std::optional<SystemAudioSource::MonoBuffer> SystemAudioSource::monoSamples(std::span<const float> interleaved,
                                                                            int channels, std::int64_t sampleRate) {
    if (channels < 1 || sampleRate < 8000 || sampleRate > 192000) return std::nullopt;
    const std::size_t frames = interleaved.size() / static_cast<std::size_t>(channels);
    if (frames < 1 || frames > 192000) return std::nullopt;
    MonoBuffer out;
    out.samples.assign(frames, 0.0f);
    out.sampleRate = sampleRate;
    out.channels = channels;
    for (std::size_t i = 0; i < frames; ++i) {
        float sum = 0;
        for (int c = 0; c < channels; ++c) sum += interleaved[i * static_cast<std::size_t>(channels) + c];
        out.samples[i] = sum;
    }
    if (channels > 1) {
        float scale = 1.0f / static_cast<float>(channels);
        for (auto& s : out.samples) s *= scale;
    }
    return out;
}

}  // namespace morvane

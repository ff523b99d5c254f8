// The system sound source on Linux: records the monitor of PulseAudio's
// default sink (what the machine plays; the host itself plays nothing),
// mixes it to mono and hands out 20 ms chunks of 24 kHz 16-bit PCM through
// the conversion chain.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/audio_source.h"
#include "core/executor.h"

namespace morvane {

class SystemAudioSource final : public AudioSource {
public:
    using ReportHandler = std::function<void(const std::string&)>;

    struct MonoBuffer {
        std::vector<float> samples;
        std::int64_t sampleRate = 0;
        int channels = 0;  // how many channels were summed
    };

    // What is asked of the sound server: 48 kHz stereo float.
    static constexpr std::int64_t captureRate = 48000;
    static constexpr int captureChannels = 2;
    // How long connecting and finding the device may take.
    static constexpr std::int64_t connectTimeoutMillis = 5000;

    // `control` decides, `builder` connects to the sound server (which may
    // take up to connectTimeoutMillis); two queues, so a slow connection
    // never holds up a stop.
    SystemAudioSource(std::shared_ptr<Executor> control, std::shared_ptr<Executor> builder);
    // Waits for a connection in flight, then lets go of the stream.
    ~SystemAudioSource() override;
    SystemAudioSource(const SystemAudioSource&) = delete;
    SystemAudioSource& operator=(const SystemAudioSource&) = delete;

    void setOnReport(ReportHandler handler);

    // The completion and onStopped run on the source's control queue,
    // onChunk on the sound server connection's thread.
    void start(const AudioFormat& format, const std::shared_ptr<AudioObserver>& observer,
               std::function<void(std::optional<AudioOffReason>)> completion) override;
    void stop() override;

    // Averages interleaved float frames over their channels; nothing for a
    // rate outside 8000...192000 Hz, no channels, or 0 or more than 192000
    // frames.
    static std::optional<MonoBuffer> monoSamples(std::span<const float> interleaved, int channels,
                                                 std::int64_t sampleRate);

    struct Run;

private:
    struct Outcome {
        std::shared_ptr<Run> run;  // set when running
        AudioOffReason reason = AudioOffReason::failed;
        std::string message;
    };
    // On the builder queue.
    Outcome build(std::uint64_t generation, const AudioFormat& format);
    // On the control queue.
    void retire();
    void teardown(const std::shared_ptr<Run>& run);
    void systemStopped(Run* run, int code);
    void samplesArrived(Run& run, const void* data, std::size_t bytes);
    void report(const std::string& line);

    friend struct RunCallbacks;

    std::shared_ptr<AudioObserver> observer() const;

    mutable std::mutex handlersLock_;
    std::weak_ptr<AudioObserver> observer_;
    ReportHandler onReport_;

    // Control queue only.
    std::uint64_t generation_ = 0;
    std::shared_ptr<Run> stream_;

    std::mutex lock_;
    std::shared_ptr<Run> liveStream_;

    std::shared_ptr<Executor> control_;
    std::shared_ptr<Executor> builder_;
};

}  // namespace morvane

// Turns captured float sound into the 20 ms packets the controller hears:
// mono samples are low-pass filtered and resampled to 24 kHz, made 16-bit,
// cut into packets and stamped with their first frame on a time line that
// counts skipped gaps. Also the silence gate that keeps a quiet machine from
// sending. None of these is shared between threads.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/audio_source.h"
#include "core/types.h"

namespace morvane {

namespace AudioPCM {
// Scales by 32767 with halves rounded away from zero; NaN and infinities
// become 0.
Bytes int16(std::span<const float> samples);
// True when every whole sample lies within -threshold...threshold.
bool isSilent(std::span<const std::uint8_t> pcm, std::int16_t threshold = 2);
}  // namespace AudioPCM

class AudioDownsampler {
public:
    AudioDownsampler(std::int64_t inputRate, std::int64_t outputRate);

    // Windowed-sinc taps (cutoff in cycles per input sample), normalised
    // to pass 0 Hz with gain 1.
    static std::vector<float> lowPass(double cutoff, int count);

    std::vector<float> process(std::span<const float> input);
    void reset();

    std::int64_t inputRate() const { return inputRate_; }
    std::int64_t outputRate() const { return outputRate_; }
    const std::vector<float>& taps() const { return taps_; }
    // Read point in input samples, relative to the next block's first sample.
    double position() const { return position_; }

private:
    std::int64_t inputRate_;
    std::int64_t outputRate_;
    std::vector<float> taps_;
    std::vector<float> history_;
    float previous_ = 0;
    double position_ = 0;
};

class AudioChunker {
public:
    explicit AudioChunker(AudioFormat format) : format_(format) {}
    const AudioFormat& format() const { return format_; }

    std::vector<std::pair<std::uint64_t, Bytes>> append(std::span<const std::uint8_t> pcm);
    // Throws away the unfinished packet; its frames and the skipped ones
    // still count on the time line.
    void skip(std::uint64_t frames);

private:
    AudioFormat format_;
    Bytes pending_;
    std::uint64_t position_ = 0;
};

struct AudioTimeline {
    std::optional<double> expected;
    // The gap in seconds before a buffer at `time`, 0 when none.
    double advance(double time, double duration);
};

class AudioCapturePipeline {
public:
    explicit AudioCapturePipeline(AudioFormat format) : format_(format), chunker_(format) {}
    std::vector<AudioChunk> process(std::span<const float> mono, std::int64_t sampleRate, double time);

private:
    AudioFormat format_;
    std::optional<AudioDownsampler> downsampler_;
    AudioTimeline timeline_;
    AudioChunker chunker_;
};

class AudioSilenceGate {
public:
    AudioSilenceGate(AudioFormat format, std::int64_t hangMillis);
    // True means send the packet.
    bool offer(bool silent, std::int64_t frames);

private:
    std::int64_t hangFrames_;
    std::int64_t quietFrames_;
};

}  // namespace morvane

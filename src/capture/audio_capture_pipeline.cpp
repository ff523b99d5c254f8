#include "capture/audio_capture_pipeline.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "capture/audio_message.h"

namespace morvane {

namespace AudioPCM {

Bytes int16(std::span<const float> samples) {
    Bytes out;
    out.reserve(samples.size() * 2);
    for (float x : samples) {
        long v = 0;
        // Clamped before rounding so that a huge value cannot overflow.
        if (std::isfinite(x)) v = std::lround(std::clamp(static_cast<double>(x) * 32767.0, -32768.0, 32767.0));
        auto u = static_cast<std::uint16_t>(static_cast<std::int16_t>(v));
        out.push_back(static_cast<std::uint8_t>(u & 0xff));
        out.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    return out;
}

bool isSilent(std::span<const std::uint8_t> pcm, std::int16_t threshold) {
    for (std::size_t i = 0; i + 1 < pcm.size(); i += 2) {
        auto s = static_cast<std::int16_t>(static_cast<std::uint16_t>(pcm[i] | (pcm[i + 1] << 8)));
        if (s < -threshold || s > threshold) return false;
    }
    return true;
}

}  // namespace AudioPCM

AudioDownsampler::AudioDownsampler(std::int64_t inputRate, std::int64_t outputRate)
    : inputRate_(std::max<std::int64_t>(1, inputRate)), outputRate_(std::max<std::int64_t>(1, outputRate)) {
    if (outputRate_ >= inputRate_)
        taps_ = {1.0f};
    else
        taps_ = lowPass(static_cast<double>(outputRate_) * 0.45 / static_cast<double>(inputRate_), 47);
    history_.assign(taps_.empty() ? 0 : taps_.size() - 1, 0.0f);
}

std::vector<float> AudioDownsampler::lowPass(double cutoff, int count) {
    if (count <= 0) return {};
    std::vector<double> h(static_cast<std::size_t>(count));
    double M = count - 1;
    double sum = 0;
    for (int i = 0; i < count; ++i) {
        double m = i - M / 2;
        double ideal = m == 0 ? 2 * cutoff : std::sin(2 * std::numbers::pi * cutoff * m) / (std::numbers::pi * m);
        // A single tap has no window to speak of.
        double window = M == 0 ? 1.0
                               : 0.42 - 0.5 * std::cos(2 * std::numbers::pi * i / M) +
                                     0.08 * std::cos(4 * std::numbers::pi * i / M);
        h[static_cast<std::size_t>(i)] = ideal * window;
        sum += ideal * window;
    }
    std::vector<float> taps;
    taps.reserve(h.size());
    for (double v : h) taps.push_back(static_cast<float>(sum != 0 ? v / sum : v));
    return taps;
}

std::vector<float> AudioDownsampler::process(std::span<const float> input) {
    std::vector<float> out;
    const std::size_t n = input.size();
    if (n == 0) return out;

    std::vector<float> filtered;
    if (taps_.size() <= 1) {
        filtered.assign(input.begin(), input.end());
    } else {
        const std::size_t T = taps_.size();
        std::vector<float> x;
        x.reserve(history_.size() + n);
        x.insert(x.end(), history_.begin(), history_.end());
        x.insert(x.end(), input.begin(), input.end());
        filtered.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            float acc = 0;
            for (std::size_t k = 0; k < T; ++k) acc += x[i + k] * taps_[k];
            filtered[i] = acc;
        }
        history_.assign(x.end() - static_cast<std::ptrdiff_t>(T - 1), x.end());
    }

    const double step = static_cast<double>(inputRate_) / static_cast<double>(outputRate_);
    const double last = static_cast<double>(n) - 1;
    if (position_ <= last) {
        out.reserve(static_cast<std::size_t>(static_cast<double>(n) / step) + 2);
        while (position_ <= last) {
            double fl = std::floor(position_);
            auto i = static_cast<std::ptrdiff_t>(fl);
            auto frac = static_cast<float>(position_ - fl);
            float a = i >= 0 ? filtered[static_cast<std::size_t>(i)] : previous_;
            float b = i + 1 < static_cast<std::ptrdiff_t>(n) ? filtered[static_cast<std::size_t>(i + 1)] : a;
            out.push_back(frac == 0 ? a : a + (b - a) * frac);
            position_ += step;
        }
    }
    position_ -= static_cast<double>(n);
    previous_ = filtered[n - 1];
    return out;
}

void AudioDownsampler::reset() {
    history_.assign(history_.size(), 0.0f);
    previous_ = 0;
    position_ = 0;
}

std::vector<std::pair<std::uint64_t, Bytes>> AudioChunker::append(std::span<const std::uint8_t> pcm) {
    std::vector<std::pair<std::uint64_t, Bytes>> out;
    pending_.insert(pending_.end(), pcm.begin(), pcm.end());
    const auto frames = format_.framesPerPacket();
    const auto packetBytes = static_cast<std::size_t>(frames * format_.bytesPerFrame());
    // A format whose packet holds no whole frame would never make progress.
    if (packetBytes == 0) {
        pending_.clear();
        return out;
    }
    std::size_t offset = 0;
    while (pending_.size() - offset >= packetBytes) {
        out.emplace_back(position_, Bytes(pending_.begin() + static_cast<std::ptrdiff_t>(offset),
                                          pending_.begin() + static_cast<std::ptrdiff_t>(offset + packetBytes)));
        offset += packetBytes;
        position_ += static_cast<std::uint64_t>(frames);
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(offset));
    return out;
}

void AudioChunker::skip(std::uint64_t frames) {
    auto perFrame = static_cast<std::size_t>(std::max<std::int64_t>(1, format_.bytesPerFrame()));
    position_ += pending_.size() / perFrame + frames;
    pending_.clear();
}

double AudioTimeline::advance(double time, double duration) {
    double gap = 0;
    if (expected && std::isfinite(time) && std::isfinite(duration) &&
        time - *expected > static_cast<double>(AudioLimits::gapMillis) / 1000.0)
        gap = time - *expected;
    expected = time + duration;
    return gap;
}

std::vector<AudioChunk> AudioCapturePipeline::process(std::span<const float> mono, std::int64_t sampleRate,
                                                      double time) {
    std::vector<AudioChunk> chunks;
    if (format_.channels != 1) return chunks;
    if (mono.empty() || sampleRate < 8000) return chunks;
    if (!downsampler_ || downsampler_->inputRate() != sampleRate)
        downsampler_.emplace(sampleRate, format_.sampleRate);
    double duration = static_cast<double>(mono.size()) / static_cast<double>(sampleRate);
    double gap = timeline_.advance(time, duration);
    if (gap > 0) {
        downsampler_->reset();
        // A clock that leapt absurdly far must not overflow the frame count.
        double frames = std::min(std::trunc(gap * static_cast<double>(format_.sampleRate)), 9.0e15);
        chunker_.skip(static_cast<std::uint64_t>(frames));
    }
    auto resampled = downsampler_->process(mono);
    auto pcm = AudioPCM::int16(resampled);
    for (auto& [first, bytes] : chunker_.append(pcm)) chunks.push_back(AudioChunk{std::move(bytes), first});
    return chunks;
}

AudioSilenceGate::AudioSilenceGate(AudioFormat format, std::int64_t hangMillis)
    : hangFrames_(format.sampleRate * hangMillis / 1000), quietFrames_(hangFrames_) {}

bool AudioSilenceGate::offer(bool silent, std::int64_t frames) {
    if (!silent) {
        quietFrames_ = 0;
        return true;
    }
    if (quietFrames_ >= hangFrames_) return false;
    quietFrames_ += frames;
    return true;
}

}  // namespace morvane

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "audio_signal.h"
#include "capture/audio_capture_pipeline.h"
#include "capture/audio_message.h"

namespace morvane {
namespace {

using testing::frequency;
using testing::rms;
using testing::samplesOf;
using testing::sine;

std::vector<std::int16_t> int16Values(const Bytes& pcm) {
    std::vector<std::int16_t> out;
    for (std::size_t i = 0; i + 1 < pcm.size(); i += 2)
        out.push_back(static_cast<std::int16_t>(static_cast<std::uint16_t>(pcm[i] | (pcm[i + 1] << 8))));
    return out;
}

TEST(AudioPCM, ConversionRoundsHalvesAwayAndNeverOverflows) {
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> in = {1.0f, -1.0f, 0.5f, 1.5f, -1.5f, std::nanf(""), inf, -inf, 1e30f, -1e30f, 0.0f};
    auto pcm = AudioPCM::int16(in);
    ASSERT_EQ(pcm.size(), in.size() * 2);
    EXPECT_EQ(int16Values(pcm),
              (std::vector<std::int16_t>{32767, -32767, 16384, 32767, -32768, 0, 0, 0, 32767, -32768, 0}));
    EXPECT_EQ(AudioPCM::int16(std::vector<float>{0.5f}), (Bytes{0x00, 0x40}));  // little-endian
}

TEST(AudioPCM, SilenceIsEverySampleWithinTheThreshold) {
    EXPECT_TRUE(AudioPCM::isSilent(AudioPCM::int16(std::vector<float>{2 / 32767.f, -2 / 32767.f, 0})));
    EXPECT_TRUE(AudioPCM::isSilent({}));
    EXPECT_TRUE(AudioPCM::isSilent(Bytes{0x01, 0x00, 0x7f}));  // a trailing odd byte is no sample
    EXPECT_FALSE(AudioPCM::isSilent(AudioPCM::int16(std::vector<float>{0, 0, 3 / 32767.f})));
    EXPECT_FALSE(AudioPCM::isSilent(AudioPCM::int16(std::vector<float>{-3 / 32767.f})));
    EXPECT_FALSE(AudioPCM::isSilent(AudioPCM::int16(std::vector<float>{-1.5f})));
}

TEST(AudioDownsampler, FilterTapsAreSymmetricAndPassSteadyLevel) {
    auto taps = AudioDownsampler::lowPass(0.225, 47);
    ASSERT_EQ(taps.size(), 47u);
    double sum = 0;
    for (std::size_t i = 0; i < taps.size(); ++i) {
        EXPECT_FLOAT_EQ(taps[i], taps[46 - i]);
        sum += taps[i];
    }
    EXPECT_NEAR(sum, 1.0, 1e-5);
    EXPECT_EQ(AudioDownsampler(24000, 48000).taps(), std::vector<float>{1.0f});
}

TEST(AudioDownsampler, ReadPointCarriesAcrossBlocksOfAnyLength) {
    AudioDownsampler down(48000, 24000);
    EXPECT_TRUE(down.process({}).empty());
    EXPECT_EQ(down.process(std::vector<float>(481, 0.1f)).size(), 241u);
    EXPECT_DOUBLE_EQ(down.position(), 1.0);
    EXPECT_EQ(down.process(std::vector<float>(479, 0.1f)).size(), 239u);
    EXPECT_DOUBLE_EQ(down.position(), 0.0);

    AudioDownsampler up(24000, 48000);
    std::vector<float> ramp(480);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<float>(i) / 1000.0f;
    auto first = up.process(ramp);
    EXPECT_EQ(first.size(), 959u);
    EXPECT_DOUBLE_EQ(up.position(), -0.5);
    auto second = up.process(std::vector<float>(10, 1.0f));
    ASSERT_FALSE(second.empty());
    EXPECT_FLOAT_EQ(second[0], (0.479f + 1.0f) / 2);
}

// Feeds 48 kHz sound in uneven blocks, as a capture service may, and joins
// the packets that come out.
struct Capture {
    std::vector<AudioChunk> chunks;
    Bytes joined;
};
Capture run(AudioCapturePipeline& pipeline, const std::vector<float>& input, std::int64_t rate,
            std::vector<std::size_t> blocks) {
    Capture out;
    std::size_t at = 0, b = 0;
    while (at < input.size()) {
        std::size_t n = std::min(blocks[b++ % blocks.size()], input.size() - at);
        std::span<const float> block(input.data() + at, n);
        for (auto& c : pipeline.process(block, rate, static_cast<double>(at) / static_cast<double>(rate))) {
            out.joined.insert(out.joined.end(), c.pcm.begin(), c.pcm.end());
            out.chunks.push_back(std::move(c));
        }
        at += n;
    }
    return out;
}

TEST(AudioCapturePipeline, SineKeepsFrequencyAndLevelIn20MillisecondPackets) {
    const std::pair<std::int64_t, double> cases[] = {{48000, 440}, {48000, 1000}, {48000, 5000}, {44100, 1000}};
    for (auto [rate, hz] : cases) {
        AudioCapturePipeline pipeline(AudioFormat::standard());
        auto out = run(pipeline, sine(hz, 0.5, rate, static_cast<std::size_t>(rate)), rate, {441, 480, 1000, 7, 963});
        ASSERT_EQ(out.chunks.size(), 50u) << hz;  // 1 s at 24 kHz
        for (std::size_t i = 0; i < out.chunks.size(); ++i) {
            EXPECT_EQ(out.chunks[i].pcm.size(), 960u);
            EXPECT_EQ(out.chunks[i].timestampFrames, i * 480);
        }
        auto x = samplesOf(out.joined);
        std::vector<double> steady(x.begin() + 100, x.end());  // past the filter's start-up
        EXPECT_NEAR(frequency(steady, 24000), hz, hz * 0.005) << hz;
        EXPECT_NEAR(rms(steady), 0.5 / std::sqrt(2.0), 0.01) << hz;
    }

    // 16 kHz would fold back to 8 kHz at 24 kHz without the low-pass filter.
    AudioCapturePipeline pipeline(AudioFormat::standard());
    auto x = samplesOf(run(pipeline, sine(16000, 0.5, 48000, 48000), 48000, {480}).joined);
    EXPECT_LT(rms(std::vector<double>(x.begin() + 100, x.end())), 0.005);
}

TEST(AudioCapturePipeline, GapInCaptureTimeSkipsFramesAndLateBuffersDoNot) {
    AudioCapturePipeline pipeline(AudioFormat::standard());
    auto block = sine(500, 0.3, 48000, 1000);  // 1000 input frames: 500 output, 1000 bytes
    auto first = pipeline.process(block, 48000, 10.0);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].timestampFrames, 0u);
    // Expected next at 10 + 1000/48000; starting a little late is no gap.
    double expected = 10.0 + 1000.0 / 48000.0;
    auto onTime = pipeline.process(block, 48000, expected + 0.039);
    ASSERT_EQ(onTime.size(), 1u);
    EXPECT_EQ(onTime[0].timestampFrames, 480u);
    // Pending now 80 bytes (40 frames). Half a second late: 12000 frames
    // skipped plus the 40 of the thrown-away partial packet.
    expected = expected + 0.039 + 1000.0 / 48000.0;
    auto late = pipeline.process(sine(500, 0.3, 48000, 960), 48000, expected + 0.5000001);
    ASSERT_EQ(late.size(), 1u);
    EXPECT_EQ(late[0].timestampFrames, 960u + 40u + 12000u);

    // A clock that leaps absurdly far or is not a number breaks nothing.
    auto leap = pipeline.process(sine(500, 0.3, 48000, 960), 48000, 1e300);
    auto nan = pipeline.process(sine(500, 0.3, 48000, 960), 48000, std::nan(""));
    ASSERT_EQ(nan.size(), 1u);
    ASSERT_EQ(leap.size(), 1u);
    EXPECT_GT(nan[0].timestampFrames, leap[0].timestampFrames);
}

TEST(AudioCapturePipeline, RefusesInputItCannotTurnIntoStandardPackets) {
    AudioCapturePipeline pipeline(AudioFormat::standard());
    EXPECT_TRUE(pipeline.process(sine(440, 0.5, 7999, 8000), 7999, 0).empty());
    EXPECT_TRUE(pipeline.process({}, 48000, 0).empty());
    AudioCapturePipeline stereo({24000, 2});
    EXPECT_TRUE(stereo.process(sine(440, 0.5, 48000, 4800), 48000, 0).empty());
    // A format too slow to hold a whole frame per packet yields nothing
    // rather than spinning.
    AudioCapturePipeline slow({40, 1});
    EXPECT_TRUE(slow.process(sine(440, 0.5, 48000, 4800), 48000, 0).empty());
}

TEST(AudioTimeline, OnlyALateStartBeyond40MillisecondsIsAGap) {
    AudioTimeline line;
    EXPECT_EQ(line.advance(0.0, 0.0), 0.0);  // nothing expected yet
    EXPECT_EQ(line.advance(0.04, 0.01), 0.0);
    EXPECT_DOUBLE_EQ(line.advance(0.5, 0.01), 0.45);
    EXPECT_EQ(line.advance(0.2, 0.01), 0.0);  // early or overlapping: no gap
    EXPECT_EQ(line.advance(std::nan(""), 0.01), 0.0);
}

TEST(AudioSilenceGate, QuietStartIsHeldAndSilenceHangsOnFor300Milliseconds) {
    AudioSilenceGate gate(AudioFormat::standard(), AudioLimits::silenceHangMillis);
    EXPECT_FALSE(gate.offer(true, 480));
    EXPECT_TRUE(gate.offer(false, 480));
    for (int i = 0; i < 15; ++i) EXPECT_TRUE(gate.offer(true, 480)) << i;
    EXPECT_FALSE(gate.offer(true, 480));
    EXPECT_FALSE(gate.offer(true, 480));
    EXPECT_TRUE(gate.offer(false, 480));
    EXPECT_TRUE(gate.offer(true, 480));
}

}  // namespace
}  // namespace morvane

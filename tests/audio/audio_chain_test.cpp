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
    // Little-endian on the wire.
    auto one = AudioPCM::int16(std::vector<float>{0.5f});
    EXPECT_EQ(one, (Bytes{0x00, 0x40}));
}

TEST(AudioPCM, SilenceIsEverySampleWithinTheThreshold) {
    auto pcmOf = [](std::vector<std::int16_t> v) {
        Bytes b;
        for (auto s : v) {
            b.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(s) & 0xff));
            b.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(s) >> 8));
        }
        return b;
    };
    EXPECT_TRUE(AudioPCM::isSilent(pcmOf({2, -2, 0})));
    EXPECT_TRUE(AudioPCM::isSilent({}));
    EXPECT_TRUE(AudioPCM::isSilent(Bytes{0x7f}));  // no whole sample
    EXPECT_FALSE(AudioPCM::isSilent(pcmOf({0, 0, 3})));
    EXPECT_FALSE(AudioPCM::isSilent(pcmOf({-3, 0})));
    EXPECT_FALSE(AudioPCM::isSilent(pcmOf({-32768})));
    auto odd = pcmOf({1});
    odd.push_back(0x7f);  // a trailing odd byte is not a sample
    EXPECT_TRUE(AudioPCM::isSilent(odd));
    EXPECT_TRUE(AudioPCM::isSilent(pcmOf({5, -5}), 5));
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
    EXPECT_TRUE(AudioDownsampler::lowPass(0.2, 0).empty());
    EXPECT_EQ(AudioDownsampler(48000, 24000).taps().size(), 47u);
    EXPECT_EQ(AudioDownsampler(24000, 48000).taps(), std::vector<float>{1.0f});
    EXPECT_EQ(AudioDownsampler(24000, 24000).taps(), std::vector<float>{1.0f});
    EXPECT_EQ(AudioDownsampler(0, -5).inputRate(), 1);
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

    up.reset();
    EXPECT_DOUBLE_EQ(up.position(), 0.0);
    auto afterReset = up.process(std::vector<float>(2, 1.0f));
    EXPECT_EQ(afterReset.size(), 3u);
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

TEST(AudioCapturePipeline, SineKeepsItsFrequencyAndLevel) {
    for (double hz : {440.0, 1000.0, 5000.0}) {
        AudioCapturePipeline pipeline(AudioFormat::standard());
        auto in = sine(hz, 0.5, 48000, 48000);
        auto out = run(pipeline, in, 48000, {441, 480, 1000, 7, 963});
        auto x = samplesOf(out.joined);
        ASSERT_GT(x.size(), 23000u);
        // Leave out the filter's start-up.
        std::vector<double> steady(x.begin() + 100, x.end());
        EXPECT_NEAR(frequency(steady, 24000), hz, hz * 0.005) << hz;
        EXPECT_NEAR(rms(steady), 0.5 / std::sqrt(2.0), 0.01) << hz;
    }
}

TEST(AudioCapturePipeline, SoundAboveTheNewNyquistDoesNotFoldBack) {
    AudioCapturePipeline pipeline(AudioFormat::standard());
    // 16 kHz would alias to 8 kHz at 24 kHz without the low-pass filter.
    auto out = run(pipeline, sine(16000, 0.5, 48000, 48000), 48000, {480});
    auto x = samplesOf(out.joined);
    std::vector<double> steady(x.begin() + 100, x.end());
    EXPECT_LT(rms(steady), 0.005);
}

TEST(AudioCapturePipeline, PacketsAre20MillisecondsOnAContinuousTimeLine) {
    AudioCapturePipeline pipeline(AudioFormat::standard());
    auto out = run(pipeline, sine(1000, 0.3, 48000, 48000 * 2), 48000, {512, 333, 4800, 1});
    ASSERT_EQ(out.chunks.size(), 100u);  // 2 s at 24 kHz is 48000 frames
    for (std::size_t i = 0; i < out.chunks.size(); ++i) {
        EXPECT_EQ(out.chunks[i].pcm.size(), 960u);
        EXPECT_EQ(out.chunks[i].timestampFrames, i * 480);
    }

    // Other capture rates land on the same 24 kHz packets.
    AudioCapturePipeline at44(AudioFormat::standard());
    auto from44 = run(at44, sine(1000, 0.3, 44100, 44100), 44100, {441});
    EXPECT_EQ(from44.chunks.size(), 50u);
    auto x = samplesOf(from44.joined);
    EXPECT_NEAR(frequency(std::vector<double>(x.begin() + 100, x.end()), 24000), 1000, 5);
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

TEST(AudioChunker, KeepsTheRemainderAndCountsThrownAwayFrames) {
    AudioChunker chunker(AudioFormat::standard());
    auto out = chunker.append(Bytes(1000, 1));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].first, 0u);
    EXPECT_EQ(out[0].second.size(), 960u);
    chunker.skip(100);
    auto next = chunker.append(Bytes(960, 2));
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].first, 600u);
    EXPECT_EQ(next[0].second, Bytes(960, 2));
    auto many = chunker.append(Bytes(960 * 3 + 10, 3));
    ASSERT_EQ(many.size(), 3u);
    EXPECT_EQ(many[2].first, 600u + 480 * 3);
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

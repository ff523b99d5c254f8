#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <future>
#include <mutex>

#include "audio_signal.h"
#include "capture/audio_capture_pipeline.h"
#include "core/loop_executor.h"
#include "platform/linux/audio_pulse.h"
#include "private_pulse.h"

namespace morvane {
namespace {

using namespace std::chrono_literals;
using testing::PrivatePulse;

// Everything the source says, gathered from its threads. Made before the
// source, so the source and its threads are gone before it is.
struct Listener : AudioObserver {
    // Held by the test's stack frame; the source only needs a weak handle.
    std::shared_ptr<AudioObserver> handle{this, [](AudioObserver*) {}};
    std::mutex m;
    std::condition_variable cv;
    std::vector<AudioChunk> chunks;
    std::vector<std::string> reports;
    std::vector<AudioOffReason> stops;

    void onChunk(const AudioChunk& c) override {
        std::lock_guard lock(m);
        chunks.push_back(c);
        cv.notify_all();
    }
    void onStopped(AudioOffReason r) override {
        std::lock_guard lock(m);
        stops.push_back(r);
        cv.notify_all();
    }
    void listen(SystemAudioSource& source) {
        source.setOnReport([this](const std::string& line) {
            std::lock_guard lock(m);
            reports.push_back(line);
            cv.notify_all();
        });
    }
    template <typename Pred>
    bool waitFor(std::chrono::milliseconds limit, Pred pred) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, limit, pred);
    }
    bool reported(const std::string& prefix) {
        for (auto& r : reports)
            if (r.rfind(prefix, 0) == 0) return true;
        return false;
    }
};

std::shared_ptr<Executor> queue(const char* name) { return std::make_shared<LoopExecutor>(name); }

std::optional<AudioOffReason> startAndWait(SystemAudioSource& source, Listener& listener,
                                          AudioFormat format = AudioFormat::standard()) {
    auto done = std::make_shared<std::promise<std::optional<AudioOffReason>>>();
    auto answer = done->get_future();
    source.start(format, listener.handle, [done](std::optional<AudioOffReason> r) { done->set_value(r); });
    if (answer.wait_for(20s) != std::future_status::ready) {
        ADD_FAILURE() << "start never answered";
        return AudioOffReason::failed;
    }
    return answer.get();
}

TEST(SystemAudioSource, MixesChannelsIntoOneAndRefusesImplausibleBuffers) {
    auto mixed = SystemAudioSource::monoSamples(std::vector<float>{0.5f, -0.5f, 0.2f, 0.6f}, 2, 48000);
    ASSERT_TRUE(mixed);
    EXPECT_EQ(mixed->samples, (std::vector<float>{0.0f, 0.4f}));
    EXPECT_EQ(mixed->channels, 2);
    EXPECT_FALSE(SystemAudioSource::monoSamples(std::vector<float>(4), 2, 7999));
    EXPECT_FALSE(SystemAudioSource::monoSamples(std::vector<float>(4), 2, 192001));
    EXPECT_FALSE(SystemAudioSource::monoSamples(std::vector<float>(4), 0, 48000));
    EXPECT_FALSE(SystemAudioSource::monoSamples(std::vector<float>(1), 2, 48000));  // no whole frame
    EXPECT_FALSE(SystemAudioSource::monoSamples(std::vector<float>(192001), 1, 48000));
}

TEST(SystemAudioSource, MissingSoundServerOrDeviceMeansUnavailable) {
    {
        const char* old = std::getenv("PULSE_SERVER");
        std::optional<std::string> previous = old ? std::optional<std::string>(old) : std::nullopt;
        setenv("PULSE_SERVER", "unix:/nonexistent/morvane/native", 1);
        Listener listener;
        SystemAudioSource source(queue("control"), queue("build"));
        listener.listen(source);
        EXPECT_EQ(startAndWait(source, listener), AudioOffReason::unavailable);
        EXPECT_TRUE(listener.waitFor(5s, [&] { return listener.reported("sound capture not started: "); }));
        EXPECT_EQ(listener.reports, (std::vector<std::string>{"sound capture not started: no sound server"}));
        if (previous)
            setenv("PULSE_SERVER", previous->c_str(), 1);
        else
            unsetenv("PULSE_SERVER");
    }
    PrivatePulse pulse(/*withSink=*/false);
    ASSERT_TRUE(pulse.up()) << "a private PulseAudio server could not start (scripts/setup installs pulseaudio)";
    Listener listener;
    SystemAudioSource source(queue("control"), queue("build"));
    listener.listen(source);
    EXPECT_EQ(startAndWait(source, listener), AudioOffReason::unavailable);
    EXPECT_TRUE(listener.waitFor(5s, [&] { return listener.reported("sound capture not started: "); }));
    EXPECT_EQ(listener.reports, (std::vector<std::string>{"sound capture not started: no sound device to capture"}));
    // Only mono is ever produced.
    EXPECT_EQ(startAndWait(source, listener, {24000, 2}), AudioOffReason::failed);
}

TEST(SystemAudioSource, DeliversWhatTheDefaultDevicePlaysAsStandardPackets) {
    PrivatePulse pulse;
    ASSERT_TRUE(pulse.up()) << "a private PulseAudio server could not start (scripts/setup installs pulseaudio)";
    std::string raw = pulse.dir() + "/tone.raw";
    {
        auto tone = testing::sine(1000, 0.5, 48000, 48000 * 3 / 2);
        std::ofstream out(raw, std::ios::binary);
        out.write(reinterpret_cast<const char*>(tone.data()), static_cast<std::streamsize>(tone.size() * 4));
    }

    Listener listener;
    SystemAudioSource source(queue("control"), queue("build"));
    listener.listen(source);
    ASSERT_EQ(startAndWait(source, listener), std::nullopt);
    pid_t player = pulse.play(raw);
    ASSERT_GT(player, 0);
    // Wait for 0.6 s of sound.
    auto loudChunks = [&] {
        int n = 0;
        for (auto& c : listener.chunks) n += AudioPCM::isSilent(c.pcm) ? 0 : 1;
        return n;
    };
    bool heard = listener.waitFor(30s, [&] { return loudChunks() >= 30; });
    int status = 0;
    waitpid(player, &status, 0);
    ASSERT_TRUE(heard) << "no sound arrived from the monitor";

    std::lock_guard lock(listener.m);
    Bytes joined;
    std::uint64_t next = 0;
    for (auto& c : listener.chunks) {
        EXPECT_EQ(c.pcm.size(), 960u);
        EXPECT_GE(c.timestampFrames, next);
        next = c.timestampFrames + 480;
        if (!AudioPCM::isSilent(c.pcm)) joined.insert(joined.end(), c.pcm.begin(), c.pcm.end());
    }
    EXPECT_EQ(listener.chunks.front().timestampFrames, 0u);
    auto x = testing::samplesOf(joined);
    // The middle of the tone, away from its edges.
    std::vector<double> middle(x.begin() + static_cast<std::ptrdiff_t>(x.size() / 4),
                               x.begin() + static_cast<std::ptrdiff_t>(x.size() * 3 / 4));
    EXPECT_NEAR(testing::frequency(middle, 24000), 1000, 30);
    EXPECT_NEAR(testing::rms(middle), 0.5 / std::sqrt(2.0), 0.1);
    EXPECT_TRUE(listener.reported("sound capture started"));
    EXPECT_TRUE(listener.reported("sound arrives as 48000 Hz, 2 channel(s), "));
}

TEST(SystemAudioSource, EachRunStartsItsTimeLineAfreshAndStopsAreHonoured) {
    PrivatePulse pulse;
    ASSERT_TRUE(pulse.up()) << "a private PulseAudio server could not start (scripts/setup installs pulseaudio)";
    Listener listener;
    SystemAudioSource source(queue("control"), queue("build"));
    listener.listen(source);

    // A stop that overtakes the start: the start is answered as failed.
    auto done = std::make_shared<std::promise<std::optional<AudioOffReason>>>();
    auto answer = done->get_future();
    source.start(AudioFormat::standard(), listener.handle, [done](std::optional<AudioOffReason> r) { done->set_value(r); });
    source.stop();
    ASSERT_EQ(answer.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(answer.get(), AudioOffReason::failed);

    // The null sink's monitor sends silence steadily, which is enough here.
    ASSERT_EQ(startAndWait(source, listener), std::nullopt);
    ASSERT_TRUE(listener.waitFor(10s, [&] { return listener.chunks.size() >= 5; }));
    source.stop();
    ASSERT_TRUE(listener.waitFor(5s, [&] {
        if (!listener.reported("sound capture stopped")) return false;
        listener.chunks.clear();
        return true;
    }));
    std::this_thread::sleep_for(100ms);
    {
        std::lock_guard lock(listener.m);
        EXPECT_TRUE(listener.chunks.empty()) << "chunks after the stop";
    }
    ASSERT_EQ(startAndWait(source, listener), std::nullopt);
    ASSERT_TRUE(listener.waitFor(10s, [&] { return !listener.chunks.empty(); }));
    {
        std::lock_guard lock(listener.m);
        EXPECT_EQ(listener.chunks.front().timestampFrames, 0u);
        int described = 0;
        for (auto& r : listener.reports) described += r.rfind("sound arrives as ", 0) == 0 ? 1 : 0;
        EXPECT_EQ(described, 2);
    }

    // The server going away ends the run as a failure, told once.
    pulse.kill();
    ASSERT_TRUE(listener.waitFor(10s, [&] { return !listener.stops.empty(); }));
    std::this_thread::sleep_for(100ms);
    std::lock_guard lock(listener.m);
    EXPECT_EQ(listener.stops, (std::vector<AudioOffReason>{AudioOffReason::failed}));
    EXPECT_TRUE(listener.reported("sound capture stopped by the system: pulseaudio "));
}

}  // namespace
}  // namespace morvane

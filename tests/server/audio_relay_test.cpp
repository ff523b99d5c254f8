#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "../app/manual_executor.h"
#include "server/audio_relay.h"

namespace morvane {
namespace {

using testing::ManualExecutor;

struct FakeLink : AudioLink {
    void sendAudioState(const nlohmann::json& message) override { states.push_back(message); }
    int offerAudio(const Bytes& packet, std::int64_t frames) override {
        packets.push_back(packet);
        EXPECT_EQ(frames, AudioMessage::decode(packet)->frames);
        return dropsPerOffer;
    }
    void dropPendingAudio() override { ++drops; }
    std::vector<std::string> words() const {
        std::vector<std::string> out;
        for (auto& s : states)
            out.push_back(s["state"] == "on" ? "on" : "off " + s["reason"].get<std::string>());
        return out;
    }
    std::vector<nlohmann::json> states;
    std::vector<Bytes> packets;
    int dropsPerOffer = 0;
    int drops = 0;
};

struct FakeSource : AudioSource {
    void start(const AudioFormat& format, const std::shared_ptr<AudioObserver>& o,
               std::function<void(std::optional<AudioOffReason>)> done) override {
        observer = o;
        formats.push_back(format);
        completions.push_back(std::move(done));
    }
    void stop() override { ++stops; }
    void answer(std::optional<AudioOffReason> failure = std::nullopt) {
        ASSERT_FALSE(completions.empty());
        auto done = std::move(completions.back());
        completions.pop_back();
        done(failure);
    }
    // What the source tells whoever started it last.
    void chunk(const AudioChunk& c) {
        if (auto o = observer.lock()) o->onChunk(c);
    }
    void stopped(AudioOffReason reason) {
        if (auto o = observer.lock()) o->onStopped(reason);
    }
    std::weak_ptr<AudioObserver> observer;
    std::vector<AudioFormat> formats;
    std::vector<std::function<void(std::optional<AudioOffReason>)>> completions;
    int stops = 0;
};

AudioChunk loud(std::uint64_t first, std::size_t frames = 480) { return AudioChunk{Bytes(frames * 2, 0x10), first}; }
AudioChunk quiet(std::uint64_t first) { return AudioChunk{Bytes(960, 0), first}; }

struct RelayFixture : ::testing::Test {
    ManualExecutor queue;
    ManualExecutor main;
    bool paused = false;
    std::shared_ptr<AudioRelay> relay =
        AudioRelay::create(queue, main, [this] { return paused; }, [this] { return queue.now(); });
    std::shared_ptr<FakeSource> source = std::make_shared<FakeSource>();
    std::shared_ptr<FakeLink> link = std::make_shared<FakeLink>();

    void settle() {
        for (int i = 0; i < 4; ++i) {
            queue.runAll();
            main.runAll();
        }
    }
    void startOn() {
        relay->handle(AudioRequest::start, link);
        settle();
        source->answer();
        settle();
        ASSERT_EQ(relay->state(), AudioRelay::State::on);
    }
};

TEST_F(RelayFixture, AnswersEachRequestAccordingToItsState) {
    relay->handle(AudioRequest::start, link);
    EXPECT_EQ(link->words(), (std::vector<std::string>{"off unavailable"}));

    relay->attach(source);
    relay->handle(AudioRequest::stop, link);
    EXPECT_EQ(link->words(), (std::vector<std::string>{"off unavailable", "off stopped"}));
    link->states.clear();
    relay->handle(AudioRequest::start, link);
    EXPECT_EQ(relay->state(), AudioRelay::State::starting);
    relay->handle(AudioRequest::start, link);  // no answer of its own while starting
    settle();
    ASSERT_EQ(source->formats, (std::vector<AudioFormat>{AudioFormat::standard()}));
    EXPECT_TRUE(link->states.empty());
    source->answer();
    settle();
    EXPECT_EQ(link->states, (std::vector<nlohmann::json>{AudioMessage::on(AudioFormat::standard())}));

    relay->handle(AudioRequest::start, link);  // on again
    EXPECT_EQ(link->words(), (std::vector<std::string>{"on", "on"}));
    EXPECT_EQ(source->formats.size(), 1u);

    relay->handle(AudioRequest::stop, link);
    settle();
    EXPECT_EQ(link->words().back(), "off stopped");
    EXPECT_EQ(link->drops, 1);
    EXPECT_EQ(source->stops, 1);
}

TEST_F(RelayFixture, SourceStartsAtLeastOneSecondApart) {
    relay->attach(source);
    startOn();
    relay->handle(AudioRequest::stop, link);
    settle();

    queue.advance(200);
    auto second = std::make_shared<FakeLink>();
    relay->handle(AudioRequest::start, link);
    settle();
    EXPECT_EQ(source->completions.size(), 0u);
    EXPECT_EQ(queue.pendingTimers(), 1u);
    queue.advance(300);
    relay->handle(AudioRequest::start, second);  // replaces the first, no second timer
    EXPECT_EQ(queue.pendingTimers(), 1u);
    queue.advance(499);
    settle();
    EXPECT_EQ(source->completions.size(), 0u);
    queue.advance(1);
    settle();
    ASSERT_EQ(source->completions.size(), 1u);
    source->answer();
    settle();
    EXPECT_EQ(second->words(), (std::vector<std::string>{"on"}));
    EXPECT_EQ(link->words(), (std::vector<std::string>{"on", "off stopped"}));

    // A stop during the wait forgets the waiting start and answers at once.
    relay->handle(AudioRequest::stop, second);
    settle();
    queue.advance(100);
    relay->handle(AudioRequest::start, second);
    relay->handle(AudioRequest::stop, second);
    queue.advance(2000);
    settle();
    EXPECT_EQ(source->completions.size(), 0u);
    EXPECT_EQ(second->words(), (std::vector<std::string>{"on", "off stopped", "off stopped"}));
    EXPECT_EQ(relay->state(), AudioRelay::State::off);
}

TEST_F(RelayFixture, StaleStartAnswersAreIgnored) {
    relay->attach(source);
    relay->handle(AudioRequest::start, link);
    settle();
    relay->handle(AudioRequest::stop, link);
    settle();
    EXPECT_EQ(link->words(), (std::vector<std::string>{"off stopped"}));
    EXPECT_EQ(source->stops, 1);
    source->answer();
    settle();
    EXPECT_EQ(relay->state(), AudioRelay::State::off);
    EXPECT_EQ(link->words(), (std::vector<std::string>{"off stopped"}));

    // Paused at the moment of starting: the source is left alone and the
    // relay waits in starting for the session's end.
    paused = true;
    queue.advance(1000);
    relay->handle(AudioRequest::start, link);
    settle();
    EXPECT_TRUE(source->completions.empty());
    EXPECT_EQ(relay->state(), AudioRelay::State::starting);
    relay->reset();
    EXPECT_EQ(relay->state(), AudioRelay::State::off);
}

TEST_F(RelayFixture, FailuresReachTheDeviceAsTheirReasonWords) {
    relay->attach(source);
    int ownerStops = 0;

    relay->handle(AudioRequest::start, link);
    settle();
    source->answer(AudioOffReason::noPermission);
    settle();
    EXPECT_EQ(link->words(), (std::vector<std::string>{"off no-permission"}));
    EXPECT_EQ(source->stops, 1);

    // The owner's stop without a handler is a plain failure.
    queue.advance(1000);
    relay->handle(AudioRequest::start, link);
    settle();
    source->answer(AudioOffReason::stoppedOnMac);
    settle();
    EXPECT_EQ(link->words().back(), "off failed");

    // With a handler, the owner's stop is handed over and nothing is said.
    relay->setOnOwnerStopped([&] { ++ownerStops; });
    queue.advance(1000);
    link->states.clear();
    relay->handle(AudioRequest::start, link);
    settle();
    source->answer(AudioOffReason::stoppedOnMac);
    settle();
    EXPECT_EQ(ownerStops, 1);
    EXPECT_TRUE(link->states.empty());
    relay->reset();

    // A running source that ends by itself.
    queue.advance(1000);
    startOn();
    source->stopped(AudioOffReason::stopped);
    settle();
    EXPECT_EQ(link->words().back(), "off failed");
    queue.advance(1000);
    startOn();
    auto before = link->states.size();
    source->stopped(AudioOffReason::stoppedOnMac);
    settle();
    EXPECT_EQ(ownerStops, 2);
    EXPECT_EQ(link->states.size(), before);
    // Once off, a late stop from the source changes nothing.
    relay->reset();
    source->stopped(AudioOffReason::failed);
    settle();
    EXPECT_EQ(link->states.size(), before);
}

TEST_F(RelayFixture, ChunksBecomePacketsOnlyWhileOnInOrderAndWithinBounds) {
    relay->attach(source);
    relay->ingest(loud(0));  // not on yet: no source was started
    settle();
    startOn();
    source->chunk(quiet(0));  // a quiet start sends nothing
    source->chunk(loud(480));
    settle();
    ASSERT_EQ(link->packets.size(), 1u);
    EXPECT_EQ(AudioMessage::decode(link->packets[0]), (AudioMessage::Decoded{AudioFormat::standard(), 480, 480, loud(480).pcm}));

    source->chunk(loud(0));  // behind the time line
    source->chunk(loud(960, 4801));
    auto odd = loud(960);
    odd.pcm.push_back(1);
    source->chunk(odd);
    source->chunk(AudioChunk{{}, 960});
    settle();
    EXPECT_EQ(link->packets.size(), 1u);
    source->chunk(loud(960, 4800));
    source->chunk(loud(20000));  // skipped ahead is fine
    settle();
    EXPECT_EQ(link->packets.size(), 3u);

    // Silence: 15 more packets after the sound, then nothing.
    for (int i = 0; i < 20; ++i) source->chunk(quiet(30000 + 480 * i));
    settle();
    EXPECT_EQ(link->packets.size(), 3u + 15u);
}

TEST_F(RelayFixture, AtMostSixteenChunksWaitForTheServerQueue) {
    relay->attach(source);
    startOn();
    for (int i = 0; i < 17; ++i) source->chunk(loud(480 * i));
    queue.runAll();
    EXPECT_EQ(link->packets.size(), 16u);
    for (int i = 17; i < 20; ++i) source->chunk(loud(480 * i));
    queue.runAll();
    EXPECT_EQ(link->packets.size(), 19u);
}

TEST_F(RelayFixture, EndOfSessionIsSilentStopsTheSourceAndReportsIt) {
    relay->attach(source);
    std::vector<std::tuple<double, int, int>> sessions;
    relay->setOnSession([&](double s, int p, int d) { sessions.emplace_back(s, p, d); });

    // Ended while starting: no report.
    relay->handle(AudioRequest::start, link);
    settle();
    relay->reset();
    settle();
    EXPECT_TRUE(sessions.empty());
    EXPECT_EQ(source->stops, 1);

    queue.advance(1000);
    startOn();
    link->dropsPerOffer = 1;
    queue.advance(2500);
    source->chunk(loud(0));
    source->chunk(loud(480));
    settle();
    auto sent = link->states.size();
    relay->reset();
    settle();
    EXPECT_EQ(link->states.size(), sent);
    EXPECT_EQ(link->drops, 2);
    EXPECT_EQ(source->stops, 2);
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0], std::make_tuple(2.5, 2, 2));

    // A new source while on: the session ends without a word and the old
    // source no longer reaches the relay.
    queue.advance(1000);
    startOn();
    auto replacement = std::make_shared<FakeSource>();
    sent = link->states.size();
    relay->attach(replacement);
    settle();
    EXPECT_EQ(relay->state(), AudioRelay::State::off);
    EXPECT_EQ(link->states.size(), sent);
    EXPECT_TRUE(source->observer.expired());
    EXPECT_EQ(relay->attached(), replacement);
    // The source that was running is the one stopped.
    EXPECT_EQ(source->stops, 3);
    EXPECT_EQ(replacement->stops, 0);
}

TEST_F(RelayFixture, WorkLeftBehindByAGoneRelayDoesNothing) {
    relay->attach(source);
    relay->handle(AudioRequest::start, link);
    settle();
    auto observer = source->observer.lock();
    ASSERT_TRUE(observer);
    relay.reset();
    source->answer();
    observer->onChunk(loud(0));
    observer->onStopped(AudioOffReason::failed);
    settle();
    EXPECT_TRUE(link->states.empty());
    EXPECT_TRUE(link->packets.empty());
}

}  // namespace
}  // namespace morvane

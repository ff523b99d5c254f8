// Sound through the server: the controller's requests reach the relay,
// packets leave through the connection's sound queue, and every change of
// controller ends sound without a word to the device that leaves.
#include <gtest/gtest.h>

#include <mutex>

#include "capture/audio_message.h"
#include "server/frame_message.h"
#include "media_fixture.h"

namespace morvane {
namespace {

using testing::eventually;
using testing::MediaSession;

// Starts at once and hands out chunks when the test says so.
class ScriptedSource : public AudioSource {
public:
    void start(const AudioFormat&, const std::shared_ptr<AudioObserver>& o,
               std::function<void(std::optional<AudioOffReason>)> done) override {
        {
            std::lock_guard lock(m_);
            observer_ = o;
        }
        ++starts;
        done(std::nullopt);
    }
    void stop() override { ++stops; }

    // A loud 20 ms chunk beginning at the given frame.
    void play(std::uint64_t first) {
        if (auto o = observer()) o->onChunk(AudioChunk{Bytes(960, 0x40), first});
    }
    void ownerStops() {
        if (auto o = observer()) o->onStopped(AudioOffReason::stoppedOnMac);
    }
    std::shared_ptr<AudioObserver> observer() const {
        std::lock_guard lock(m_);
        return observer_.lock();
    }

    std::atomic<int> starts{0};
    std::atomic<int> stops{0};

private:
    mutable std::mutex m_;
    std::weak_ptr<AudioObserver> observer_;
};

const nlohmann::json soundOn = {{"t", "audio"}, {"state", "on"}, {"codec", "pcm16"}, {"rate", 24000}, {"ch", 1}};
nlohmann::json soundOff(const std::string& reason) { return {{"t", "audio"}, {"state", "off"}, {"reason", reason}}; }

// Splits what the fake wire wrote back into sound packets: each write holds
// one or more framed messages, the first one's kind byte already taken off.
std::vector<Bytes> packetsIn(const std::vector<Bytes>& writes) {
    constexpr std::size_t packetBytes = 976;
    std::vector<Bytes> out;
    for (const auto& w : writes) {
        std::size_t at = 0;
        bool first = true;
        while (at < w.size()) {
            if (!first) {
                EXPECT_EQ(w[at], static_cast<std::uint8_t>(WSOpcode::binary));
                ++at;
            }
            first = false;
            if (w.size() - at < packetBytes) {
                ADD_FAILURE() << "a write ends inside a packet";
                break;
            }
            out.emplace_back(w.begin() + static_cast<std::ptrdiff_t>(at),
                             w.begin() + static_cast<std::ptrdiff_t>(at + packetBytes));
            at += packetBytes;
        }
    }
    return out;
}

class SoundWiring : public MediaSession {
protected:
    void SetUp() override {
        MediaSession::SetUp();
        server->setOnAudioSession([this](double, int packets, int dropped) {
            shell.add("sound " + std::to_string(packets) + " sent " + std::to_string(dropped) + " dropped");
        });
    }
    void attachSource() { server->setAudioSource(source); }
    long shellCount(const std::string& prefix) {
        auto lines = shell.lines();
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }

    std::shared_ptr<ScriptedSource> source = std::make_shared<ScriptedSource>();
};

TEST_F(SoundWiring, RequestsAreAnsweredWithTheSoundState) {
    admit();
    // Without a source the device hears at once that there is no sound.
    send(R"({"t":"audio-start"})");
    ASSERT_TRUE(eventuallySent(soundOff("unavailable")));
    EXPECT_EQ(server->audioSource(), nullptr);

    attachSource();
    EXPECT_EQ(server->audioSource(), source);
    clock += 1000;
    send(R"({"t":"audio-start"})");
    ASSERT_TRUE(eventuallySent(soundOn));
    EXPECT_EQ(source->starts, 1);
    source->play(0);
    ASSERT_TRUE(eventually([&] { return !wire->binaries().empty(); }));
    auto packet = AudioMessage::decode(wire->binaries().front());
    ASSERT_TRUE(packet);
    EXPECT_EQ(wire->binaries().front().at(0), 0x20);
    EXPECT_EQ(packet->frames, 480);

    send(R"({"t":"audio-stop"})");
    ASSERT_TRUE(eventuallySent(soundOff("stopped")));
    ASSERT_TRUE(eventually([&] { return source->stops == 1 && shellCount("sound ") == 1; }));
    EXPECT_TRUE(shell.contains("sound 1 sent 0 dropped"));
    // Chunks after the stop go nowhere; a second stop is answered off again.
    source->play(480);
    send(R"({"t":"audio-stop"})");
    settle();
    EXPECT_EQ(wire->binaries().size(), 1u);
    ASSERT_TRUE(eventually([&] { return sentCount(json(soundOff("stopped"))) == 2; }));
}

TEST_F(SoundWiring, StartsAreSpacedASecondApart) {
    attachSource();
    admit();
    send(R"({"t":"audio-start"})");
    ASSERT_TRUE(eventuallySent(soundOn));
    send(R"({"t":"audio-stop"})");
    ASSERT_TRUE(eventuallySent(soundOff("stopped")));
    // Asked again at once: held back until a second has passed on the clock.
    send(R"({"t":"audio-start"})");
    settle();
    EXPECT_EQ(source->starts, 1);
    EXPECT_EQ(sentCount(R"("state":"on")"), 1);
    clock += 1000;
    ASSERT_TRUE(eventually([&] { return sentCount(R"("state":"on")") == 2; }, 5000));
    EXPECT_EQ(source->starts, 2);
}

TEST_F(SoundWiring, PacketsLeaveWholeInOrderAndTakeTheirTurnAfterAPicture) {
    attachSource();
    admit();
    send(R"({"t":"audio-start"})");
    ASSERT_TRUE(eventuallySent(soundOn));
    settle();
    auto before = wire->binaries().size();
    constexpr int count = 10;
    // All handed over before the first write completes: the first packet
    // goes alone, a picture that arrives meanwhile goes next, and the rest
    // of the sound follows it as one write.
    runSync(server->sessionQueue(), [&] {
        for (int i = 0; i < count; ++i) source->play(static_cast<std::uint64_t>(i) * 480);
        frames.picture(Bytes(50, 0xAB), 10, 10);
    });
    ASSERT_TRUE(eventually([&] { return wire->binaries().size() >= before + 3; }));
    settle();
    auto all = wire->binaries();
    ASSERT_EQ(all.size(), before + 3);
    EXPECT_EQ(all[before][0], AudioMessage::tag);
    EXPECT_EQ(all[before + 1][0], FrameMessage::jpegTag);
    EXPECT_EQ(all[before + 2][0], AudioMessage::tag);
    auto packets = packetsIn({all[before], all[before + 2]});
    ASSERT_EQ(packets.size(), static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < packets.size(); ++i) {
        auto decoded = AudioMessage::decode(packets[i]);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->timestampFrames, i * 480);
    }
}

TEST_F(SoundWiring, ATakeoverEndsSoundWithoutAWordToTheDeviceThatLeaves) {
    attachSource();
    admit();
    send(R"({"t":"audio-start"})");
    ASSERT_TRUE(eventuallySent(soundOn));
    source->play(0);
    ASSERT_TRUE(eventually([&] { return !wire->binaries().empty(); }));

    Bytes key(65, 9);
    key[0] = 0x04;
    auto tablet = *store->enrolRelayDevice(key, "Tablet");
    auto second = std::make_shared<testing::FakeWire>(server->sessionQueue());
    std::optional<RelayedConnection> secondEntries;
    runSync(server->sessionQueue(), [&] { secondEntries = server->acceptRelayed(second, tablet.id); });
    ASSERT_TRUE(secondEntries);
    std::string helloText = R"({"t":"hello","v":1})";
    Bytes hello(helloText.begin(), helloText.end());
    runSync(server->sessionQueue(), [&] { secondEntries->receive(WSOpcode::text, hello); });
    ASSERT_TRUE(eventuallySent({{"t", "bye"}, {"reason", "taken-over"}}));
    ASSERT_TRUE(eventually([&] { return source->stops == 1 && shellCount("sound ") == 1; }));
    EXPECT_EQ(sentCount(R"("state":"off")"), 0);

    // Sound still arriving belongs to nobody until the new device asks.
    auto before = wire->binaries().size();
    source->play(480);
    settle();
    EXPECT_EQ(wire->binaries().size(), before);
    EXPECT_TRUE(second->binaries().empty());
    clock += 1000;
    runSync(server->sessionQueue(), [&] {
        Bytes start{'{', '"', 't', '"', ':', '"', 'a', 'u', 'd', 'i', 'o', '-', 's', 't', 'a', 'r', 't', '"', '}'};
        secondEntries->receive(WSOpcode::text, start);
    });
    ASSERT_TRUE(eventually([&] { return second->sent.contains(json(soundOn)); }));
}

TEST_F(SoundWiring, TheOwnerStoppingSoundPausesTheHost) {
    bool stoppedOnMac = false;
    server->onStoppedOnMac = [&] { stoppedOnMac = true; };
    attachSource();
    admit();
    send(R"({"t":"audio-start"})");
    ASSERT_TRUE(eventuallySent(soundOn));
    source->ownerStops();
    ASSERT_TRUE(eventuallySent({{"t", "bye"}, {"reason", "stopped-on-mac"}}));
    EXPECT_TRUE(server->isPaused());
    ASSERT_TRUE(eventually([&] {
        main.drain();
        return stoppedOnMac && source->stops == 1;
    }));
    // The server hands its source back untouched when it goes, which is when
    // its queue's last task that holds it has run.
    server->stop();
    server.reset();
    EXPECT_TRUE(eventually([&] { return !source->observer(); }));
}

}  // namespace
}  // namespace morvane

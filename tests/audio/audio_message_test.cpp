#include <gtest/gtest.h>

#include "capture/audio_message.h"

namespace morvane {
namespace {

TEST(AudioMessage, PacketCarriesFormatAndFirstFrameBigEndianAheadOfTheSamples) {
    Bytes pcm(960, 0x11);
    pcm[0] = 0xAB;
    auto packet = AudioMessage::encode(AudioFormat::standard(), (1ull << 32) + 5, pcm);
    ASSERT_TRUE(packet);
    ASSERT_EQ(packet->size(), 976u);
    EXPECT_EQ(Bytes(packet->begin(), packet->begin() + 17),
              (Bytes{0x20, 0x01, 0x01, 0x00, 0x00, 0x00, 0x5D, 0xC0, 0, 0, 0, 1, 0, 0, 0, 5, 0xAB}));

    auto back = AudioMessage::decode(*packet);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->format, AudioFormat::standard());
    EXPECT_EQ(back->timestampFrames, (1ull << 32) + 5);
    EXPECT_EQ(back->frames, 480);
    EXPECT_EQ(back->pcm, pcm);
    auto stereo = AudioMessage::decode(*AudioMessage::encode({48000, 2}, 7, Bytes(8)));
    ASSERT_TRUE(stereo);
    EXPECT_EQ(stereo->format, (AudioFormat{48000, 2}));
    EXPECT_EQ(stereo->frames, 2);
}

TEST(AudioMessage, CodecRefusesMalformedInputWithoutReadingPastIt) {
    EXPECT_FALSE(AudioMessage::encode({24000, 3}, 0, Bytes(12)));
    EXPECT_FALSE(AudioMessage::encode({7999, 1}, 0, Bytes(2)));
    EXPECT_FALSE(AudioMessage::encode({48001, 1}, 0, Bytes(2)));
    EXPECT_FALSE(AudioMessage::encode(AudioFormat::standard(), 0, {}));
    EXPECT_FALSE(AudioMessage::encode(AudioFormat::standard(), 0, Bytes(3)));
    EXPECT_FALSE(AudioMessage::encode({24000, 2}, 0, Bytes(6)));

    auto packet = [](std::uint8_t ch, std::size_t sampleBytes, std::size_t at = 0, std::uint8_t value = 0x20) {
        Bytes p{0x20, 1, ch, 0, 0, 0, 0x5D, 0xC0, 0, 0, 0, 0, 0, 0, 0, 9};
        p.resize(16 + sampleBytes, 1);
        p[at] = value;
        return p;
    };
    EXPECT_FALSE(AudioMessage::decode({}));
    EXPECT_FALSE(AudioMessage::decode(packet(1, 0)));
    EXPECT_FALSE(AudioMessage::decode(packet(1, 1)));
    EXPECT_EQ(AudioMessage::decode(packet(1, 2))->frames, 1);
    EXPECT_FALSE(AudioMessage::decode(packet(2, 6)));
    EXPECT_FALSE(AudioMessage::decode(packet(3, 6)));
    EXPECT_FALSE(AudioMessage::decode(packet(1, 2, 0, 0x21)));
    EXPECT_FALSE(AudioMessage::decode(packet(1, 2, 1, 2)));
    EXPECT_FALSE(AudioMessage::decode(packet(1, 2, 3, 1)));
    // The rate is passed on as it stands; the page judges it.
    EXPECT_EQ(AudioMessage::decode(packet(1, 2, 4, 0xFF))->format.sampleRate, 0xFF005DC0);
}

TEST(AudioMessage, StateMessagesUseTheWireWords) {
    EXPECT_EQ(AudioMessage::on(AudioFormat::standard()).dump(),
              R"({"ch":1,"codec":"pcm16","rate":24000,"state":"on","t":"audio"})");
    EXPECT_EQ(AudioMessage::off(AudioOffReason::stoppedOnMac).dump(),
              R"({"reason":"stopped-on-mac","state":"off","t":"audio"})");
    for (auto word : {"stopped", "unavailable", "no-permission", "no-display", "failed", "stopped-on-mac"}) {
        auto reason = audioOffReasonFromString(word);
        ASSERT_TRUE(reason) << word;
        EXPECT_EQ(AudioMessage::off(*reason)["reason"], word);
    }
    EXPECT_FALSE(audioOffReasonFromString("Stopped"));
    EXPECT_FALSE(audioOffReasonFromString(""));
}

TEST(AudioMessage, FormatDerivesPacketSizeAndBitRate) {
    EXPECT_EQ(AudioFormat::standard().framesPerPacket(), 480);
    EXPECT_EQ(AudioFormat::standard().bitsPerSecond(), 384000);
    EXPECT_EQ((AudioFormat{44100, 1}).framesPerPacket(), 882);
    EXPECT_EQ((AudioFormat{8000, 1}).framesPerPacket(), 160);
    EXPECT_EQ((AudioFormat{48000, 2}).bytesPerFrame(), 4);
}

}  // namespace
}  // namespace morvane

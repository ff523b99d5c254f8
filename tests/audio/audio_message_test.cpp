#include <gtest/gtest.h>

#include "capture/audio_message.h"

namespace morvane {
namespace {

Bytes samples(std::size_t bytes, std::uint8_t fill = 0x11) { return Bytes(bytes, fill); }

TEST(AudioMessage, PacketCarriesFormatAndFirstFrameBigEndianAheadOfTheSamples) {
    auto pcm = samples(960);
    pcm[0] = 0xAB;
    pcm[959] = 0xCD;
    auto packet = AudioMessage::encode(AudioFormat::standard(), 0, pcm);
    ASSERT_TRUE(packet);
    ASSERT_EQ(packet->size(), 976u);
    Bytes header(packet->begin(), packet->begin() + 16);
    EXPECT_EQ(header, (Bytes{0x20, 0x01, 0x01, 0x00, 0x00, 0x00, 0x5D, 0xC0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ((*packet)[16], 0xAB);
    EXPECT_EQ((*packet)[975], 0xCD);

    auto far = AudioMessage::encode(AudioFormat::standard(), (1ull << 32) + 5, pcm);
    ASSERT_TRUE(far);
    EXPECT_EQ(Bytes(far->begin() + 8, far->begin() + 16), (Bytes{0, 0, 0, 1, 0, 0, 0, 5}));

    auto back = AudioMessage::decode(*far);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->format, AudioFormat::standard());
    EXPECT_EQ(back->timestampFrames, (1ull << 32) + 5);
    EXPECT_EQ(back->frames, 480);
    EXPECT_EQ(back->pcm, pcm);

    auto stereo = AudioMessage::encode({48000, 2}, 7, samples(8));
    ASSERT_TRUE(stereo);
    auto stereoBack = AudioMessage::decode(*stereo);
    ASSERT_TRUE(stereoBack);
    EXPECT_EQ(stereoBack->format, (AudioFormat{48000, 2}));
    EXPECT_EQ(stereoBack->frames, 2);
}

TEST(AudioMessage, EncoderRefusesWhatTheDeviceCannotPlay) {
    EXPECT_FALSE(AudioMessage::encode({24000, 3}, 0, samples(12)));
    EXPECT_FALSE(AudioMessage::encode({24000, 0}, 0, samples(12)));
    EXPECT_FALSE(AudioMessage::encode({7999, 1}, 0, samples(2)));
    EXPECT_FALSE(AudioMessage::encode({48001, 1}, 0, samples(2)));
    EXPECT_FALSE(AudioMessage::encode(AudioFormat::standard(), 0, {}));
    EXPECT_FALSE(AudioMessage::encode(AudioFormat::standard(), 0, samples(3)));
    EXPECT_FALSE(AudioMessage::encode({24000, 2}, 0, samples(6)));
    EXPECT_TRUE(AudioMessage::encode({8000, 1}, 0, samples(2)));
    EXPECT_TRUE(AudioMessage::encode({48000, 2}, 0, samples(4)));
}

TEST(AudioMessage, DecoderRejectsMalformedPacketsWithoutReadingPastThem) {
    auto header = [](std::uint8_t tag, std::uint8_t codec, std::uint8_t ch, std::uint8_t reserved) {
        return Bytes{tag, codec, ch, reserved, 0, 0, 0x5D, 0xC0, 0, 0, 0, 0, 0, 0, 0, 9};
    };
    auto with = [](Bytes h, std::size_t sampleBytes) {
        h.resize(h.size() + sampleBytes, 0x01);
        return h;
    };
    EXPECT_FALSE(AudioMessage::decode({}));
    EXPECT_FALSE(AudioMessage::decode(header(0x20, 1, 1, 0)));  // no sample at all
    EXPECT_FALSE(AudioMessage::decode(with(header(0x20, 1, 1, 0), 1)));
    auto one = AudioMessage::decode(with(header(0x20, 1, 1, 0), 2));
    ASSERT_TRUE(one);
    EXPECT_EQ(one->frames, 1);
    EXPECT_EQ(one->timestampFrames, 9u);
    EXPECT_FALSE(AudioMessage::decode(with(header(0x20, 1, 2, 0), 6)));
    EXPECT_TRUE(AudioMessage::decode(with(header(0x20, 1, 2, 0), 8)));
    EXPECT_FALSE(AudioMessage::decode(with(header(0x21, 1, 1, 0), 2)));
    EXPECT_FALSE(AudioMessage::decode(with(header(0x20, 2, 1, 0), 2)));
    EXPECT_FALSE(AudioMessage::decode(with(header(0x20, 1, 3, 0), 6)));
    EXPECT_FALSE(AudioMessage::decode(with(header(0x20, 1, 0, 0), 2)));
    EXPECT_FALSE(AudioMessage::decode(with(header(0x20, 1, 1, 1), 2)));

    // The rate is passed on as it stands; the page judges it.
    Bytes odd = with(header(0x20, 1, 1, 0), 2);
    odd[4] = 0xFF;
    auto decoded = AudioMessage::decode(odd);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->format.sampleRate, 0xFF005DC0);
}

TEST(AudioMessage, StateMessagesUseTheWireWords) {
    EXPECT_EQ(AudioMessage::on(AudioFormat::standard()).dump(),
              R"({"ch":1,"codec":"pcm16","rate":24000,"state":"on","t":"audio"})");
    EXPECT_EQ(AudioMessage::off(AudioOffReason::stoppedOnMac).dump(),
              R"({"reason":"stopped-on-mac","state":"off","t":"audio"})");

    const std::pair<AudioOffReason, const char*> words[] = {
        {AudioOffReason::stopped, "stopped"},           {AudioOffReason::unavailable, "unavailable"},
        {AudioOffReason::noPermission, "no-permission"}, {AudioOffReason::noDisplay, "no-display"},
        {AudioOffReason::failed, "failed"},             {AudioOffReason::stoppedOnMac, "stopped-on-mac"},
    };
    for (auto [reason, word] : words) {
        EXPECT_EQ(toString(reason), word);
        EXPECT_EQ(audioOffReasonFromString(word), reason);
        EXPECT_EQ(AudioMessage::off(reason)["reason"], word);
    }
    EXPECT_FALSE(audioOffReasonFromString("Stopped"));
    EXPECT_FALSE(audioOffReasonFromString(""));
    EXPECT_FALSE(audioOffReasonFromString("stopped "));
}

TEST(AudioMessage, FormatDerivesPacketSizeAndBitRate) {
    auto standard = AudioFormat::standard();
    EXPECT_EQ(standard.bytesPerFrame(), 2);
    EXPECT_EQ(standard.framesPerPacket(), 480);
    EXPECT_EQ(standard.bitsPerSecond(), 384000);
    EXPECT_EQ((AudioFormat{44100, 1}).framesPerPacket(), 882);
    EXPECT_EQ((AudioFormat{8000, 1}).framesPerPacket(), 160);
    EXPECT_EQ((AudioFormat{48000, 2}).bytesPerFrame(), 4);
}

}  // namespace
}  // namespace morvane

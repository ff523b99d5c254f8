#include "server/send_pump.h"

#include <gtest/gtest.h>

#include "server/frame_message.h"

namespace morvane {
namespace {

using Phase = ConnectionPhase;

Bytes tagged(std::uint8_t tag) { return Bytes{tag}; }

// Writes whatever the pump hands out, completing each write at once, and
// records the first byte of each item.
std::vector<std::uint8_t> drain(SendPump& pump, Phase phase, bool* finished = nullptr) {
    std::vector<std::uint8_t> order;
    for (;;) {
        auto decision = pump.next(phase);
        if (std::holds_alternative<SendPump::FinishClose>(decision)) {
            if (finished) *finished = true;
            return order;
        }
        auto write = std::get_if<SendPump::Write>(&decision);
        if (!write) return order;
        for (const auto& part : write->parts) order.push_back(part.empty() ? 0 : part[0]);
        pump.completed(write->video);
    }
}

TEST(SendPump, ControlGoesFirstThenSoundAfterEachPictureAndFilesEveryOtherTurn) {
    SendPump pump;
    pump.setPendingFrame(tagged('P'));
    pump.setPendingFile(tagged('F'));
    pump.offerAudio(tagged('A'), 240);
    // With both turns off: the picture, the sound it earned, then the chunk
    // that waited.
    EXPECT_EQ(drain(pump, Phase::controller), (std::vector<std::uint8_t>{'P', 'A', 'F'}));

    SendPump control;
    control.setPendingFrame(tagged('P'));
    control.offerAudio(tagged('A'), 240);
    control.enqueueControl(tagged('C'));
    EXPECT_EQ(drain(control, Phase::controller), (std::vector<std::uint8_t>{'C', 'P', 'A'}));

    SendPump second;
    second.enqueueControl(tagged('C'));
    ASSERT_EQ(drain(second, Phase::controller).size(), 1u);  // the control write turns fileTurn on
    second.setPendingFile(tagged('F'));
    second.setPendingVideo(tagged('V'));
    EXPECT_EQ(drain(second, Phase::controller), (std::vector<std::uint8_t>{'F', 'V'}));

    SendPump alone;
    alone.setPendingFile(tagged('F'));
    EXPECT_EQ(drain(alone, Phase::controller), (std::vector<std::uint8_t>{'F'}));
}

TEST(SendPump, OneWriteAtATimeAndVideoStaysBusyUntilItsWriteEnds) {
    SendPump pump;
    pump.enqueueControl(tagged('C'));
    auto first = pump.next(Phase::controller);
    ASSERT_TRUE(std::holds_alternative<SendPump::Write>(first));
    pump.setPendingVideo(tagged('V'));
    pump.enqueueControl(tagged('D'));
    EXPECT_TRUE(std::holds_alternative<SendPump::Idle>(pump.next(Phase::controller)));
    pump.completed(false);
    // The control message queued meanwhile goes first, in the video's write.
    auto video = pump.next(Phase::controller);
    ASSERT_TRUE(std::holds_alternative<SendPump::Write>(video));
    EXPECT_EQ(std::get<SendPump::Write>(video).parts, (std::vector<Bytes>{tagged('D'), tagged('V')}));
    EXPECT_TRUE(std::get<SendPump::Write>(video).video);
    EXPECT_TRUE(pump.videoInFlight());
    EXPECT_TRUE(pump.videoBusy());
    pump.completed(true);
    EXPECT_FALSE(pump.videoInFlight());
}

TEST(SendPump, MediaWaitsOutsideTheControllerPhaseAndClosingFinishesAfterControl) {
    SendPump pump;
    pump.setPendingFrame(tagged('P'));
    pump.enqueueControl(tagged('U'));  // e.g. the 101 answer
    EXPECT_EQ(drain(pump, Phase::awaitingAuth), (std::vector<std::uint8_t>{'U'}));
    EXPECT_TRUE(pump.hasPendingFrame());

    pump.enqueueControl(tagged('B'));  // bye
    pump.dropMedia();
    pump.appendClose(tagged('X'));
    bool finished = false;
    EXPECT_EQ(drain(pump, Phase::closing, &finished), (std::vector<std::uint8_t>{'B', 'X'}));
    EXPECT_TRUE(finished);
    EXPECT_TRUE(std::holds_alternative<SendPump::Idle>(pump.next(Phase::closed)));
}

TEST(SendPump, ControlQueueRefusesThe257thMessageButNotTheCloseFrame) {
    SendPump pump;
    for (int i = 0; i < 256; ++i) ASSERT_TRUE(pump.enqueueControl(tagged('C')));
    EXPECT_FALSE(pump.enqueueControl(tagged('C')));
    EXPECT_EQ(pump.controlCount(), 256u);
    pump.appendClose(tagged('X'));
    EXPECT_EQ(pump.controlCount(), 257u);
    pump.clear();
    EXPECT_EQ(pump.controlCount(), 0u);
}

TEST(AudioSendQueue, KeepsAtMostItsCapacityAndSendsEverythingAsOneBatch) {
    AudioSendQueue queue(AudioFormat{24000, 1}, 250);
    EXPECT_EQ(queue.maxFrames(), 6000);
    EXPECT_EQ(queue.offer(Bytes{1}, 0), 1);
    EXPECT_EQ(queue.offer(Bytes{2}, 6001), 1);
    EXPECT_EQ(queue.offer(Bytes{3}, 2400), 0);
    EXPECT_EQ(queue.offer(Bytes{4}, 2400), 0);
    EXPECT_EQ(queue.offer(Bytes{5}, 2400), 1);  // 7200 frames: the oldest goes
    EXPECT_EQ(queue.droppedPackets(), 3);
    EXPECT_EQ(queue.takeBatch(), (Bytes{4, 5}));
    EXPECT_EQ(queue.sentPackets(), 2);
    EXPECT_FALSE(queue.takeBatch().has_value());
    queue.offer(Bytes{6}, 10);
    queue.removeAll();
    EXPECT_EQ(queue.droppedPackets(), 4);
    EXPECT_EQ(queue.queuedFrames(), 0);
}

TEST(FrameMessage, HeadersCarrySizeKindAndTimeAndVideoRoundTrips) {
    Bytes jpeg{0xFF, 0xD8, 0xFF};
    EXPECT_FALSE(FrameMessage::encode(jpeg, 0, 10));
    EXPECT_FALSE(FrameMessage::encode(jpeg, 65'536, 10));
    EXPECT_EQ(*FrameMessage::encode(jpeg, 65'535, 258), (Bytes{0x01, 0xFF, 0xFF, 0x01, 0x02, 0xFF, 0xD8, 0xFF}));

    EXPECT_FALSE(FrameMessage::encodeVideo(Bytes{}, true, 1));
    auto one = FrameMessage::encodeVideo(Bytes{0x65}, true, 0x0102030405060708ull);
    ASSERT_TRUE(one);
    EXPECT_EQ(*one, (Bytes{0x02, 0x01, 1, 2, 3, 4, 5, 6, 7, 8, 0x65}));
    auto back = FrameMessage::decodeVideo(*one);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, (FrameMessage::DecodedVideo{true, 0x0102030405060708ull, Bytes{0x65}}));
    EXPECT_FALSE(FrameMessage::decodeVideo(Bytes(10, 0x02)));
    Bytes wrongKind = *one;
    wrongKind[0] = 0x01;
    EXPECT_FALSE(FrameMessage::decodeVideo(wrongKind));
    auto delta = FrameMessage::decodeVideo(*FrameMessage::encodeVideo(Bytes{1, 2}, false, 9));
    EXPECT_FALSE(delta->keyframe);
}

}  // namespace
}  // namespace morvane

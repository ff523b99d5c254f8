#include <gtest/gtest.h>

#include "../app/manual_executor.h"
#include "server/frame_message.h"
#include "server/video_limits.h"
#include "server/video_relay.h"
#include "server_fakes.h"
#include "video_units.h"

namespace morvane {
namespace {

using testing::Journal;
using testing::ManualExecutor;
using testing::RecordingLink;

struct VideoFixture : ::testing::Test {
    ManualExecutor queue;
    ManualExecutor main;
    Journal journal;
    testing::FakeFrameSource frames{journal};
    std::shared_ptr<VideoRelay> relay = VideoRelay::create(queue, main, frames, [this] { return queue.now(); });
    std::shared_ptr<RecordingLink> link = std::make_shared<RecordingLink>();

    void SetUp() override { queue.advance(10'000); }
    void settle() {
        for (int i = 0; i < 4; ++i) {
            queue.runAll();
            main.runAll();
        }
    }
    long count(const std::string& line) {
        auto lines = journal.lines();
        return std::count(lines.begin(), lines.end(), line);
    }
    void video(const EncodedVideoFrame& frame) {
        relay->ingestVideo(frame);
        settle();
    }
    // Asks for video a second after the last start and lets the source accept.
    void startVideo(int w = 1280, int h = 720) {
        queue.advance(1000);
        relay->requestH264(w, h);
        settle();
        ASSERT_TRUE(journal.contains("video start " + std::to_string(w) + "x" + std::to_string(h)));
    }
    std::vector<FrameMessage::DecodedVideo> units() const {
        std::vector<FrameMessage::DecodedVideo> out;
        for (auto& b : link->units)
            if (auto v = FrameMessage::decodeVideo(b)) out.push_back(*v);
        return out;
    }
};

TEST_F(VideoFixture, PicturesGoOnlyToASessionAndOnlyTheNewestWaiting) {
    relay->ingestFrame(Bytes(10, 1), 10, 10);
    settle();
    relay->attach(link);
    settle();
    EXPECT_TRUE(link->frames.empty()) << "a picture from before the session is not sent";

    for (int i = 0; i < 10; ++i) relay->ingestFrame(Bytes(50, 0xAB), 100 + i, 10);
    settle();
    ASSERT_EQ(link->frames.size(), 1u);
    EXPECT_EQ(link->frames[0], *FrameMessage::encode(Bytes(50, 0xAB), 109, 10));

    relay->ingestFrame(Bytes(10, 1), 70'000, 10);
    settle();
    EXPECT_EQ(link->frames.size(), 1u) << "a picture that cannot be framed is dropped, not sent broken";

    relay->detach();
    relay->ingestFrame(Bytes(10, 1), 10, 10);
    settle();
    EXPECT_EQ(link->frames.size(), 1u);
}

TEST_F(VideoFixture, StreamStartsWithAnAnnouncedKeyframeAndReannouncesANewSize) {
    relay->attach(link);
    startVideo(800, 600);
    relay->ingestFrame(Bytes(5, 1), 20, 10);
    settle();
    EXPECT_EQ(link->frames.size(), 1u) << "pictures go on while no unit was announced";

    video(unit(false));
    EXPECT_TRUE(units().empty());
    EXPECT_EQ(count("keyframe"), 1) << "a stream that cannot begin asks for a keyframe";

    video(unit(true));
    ASSERT_EQ(units().size(), 1u);
    EXPECT_TRUE(units()[0].keyframe);
    ASSERT_TRUE(link->said(announcement(1280, 720)));
    EXPECT_EQ(link->sent.back(), announcement(1280, 720).dump()) << "announced just before the unit";

    relay->ingestFrame(Bytes(5, 1), 21, 10);
    video(unit(false));
    EXPECT_EQ(link->frames.size(), 1u) << "no pictures once video flows";
    EXPECT_EQ(units().size(), 2u);

    video(unit(false, 1024, 576));
    EXPECT_EQ(units().size(), 2u) << "a new size may only begin at a keyframe";
    EXPECT_FALSE(link->said(announcement(1024, 576)));
    video(unit(true, 1024, 576));
    ASSERT_EQ(units().size(), 3u);
    EXPECT_TRUE(units()[2].keyframe);
    EXPECT_TRUE(link->said(announcement(1024, 576)));
}

TEST_F(VideoFixture, UnitsBeyondFourInTransitAreLostAndTheStreamHealsAtAKeyframe) {
    relay->attach(link);
    startVideo();
    video(unit(true));
    ASSERT_EQ(units().size(), 1u);

    for (int i = 0; i < VideoLimits::maxQueuedToServer + 1; ++i) relay->ingestVideo(unit(false));
    settle();
    EXPECT_EQ(units().size(), 1u) << "after a loss nothing is sent until a keyframe";
    video(unit(false));
    EXPECT_EQ(units().size(), 1u);
    EXPECT_GE(count("keyframe"), 1);
    video(unit(true));
    ASSERT_EQ(units().size(), 2u);
    EXPECT_TRUE(units()[1].keyframe);
    video(unit(false));
    EXPECT_EQ(units().size(), 3u);
}

TEST_F(VideoFixture, KeyframeAsksReachTheSourceAQuarterSecondApart) {
    relay->attach(link);
    startVideo();
    video(unit(false));
    ASSERT_EQ(count("keyframe"), 1);

    queue.advance(100);
    video(unit(false));
    EXPECT_EQ(count("keyframe"), 1) << "the second ask waits out the spacing";
    queue.advance(VideoLimits::keyframeAskSpacingMillis - 101);
    main.runAll();
    EXPECT_EQ(count("keyframe"), 1);
    queue.advance(1);
    main.runAll();
    EXPECT_EQ(count("keyframe"), 2);

    queue.advance(300);
    video(unit(false));
    EXPECT_EQ(count("keyframe"), 3) << "a spaced ask goes at once";
    video(unit(true));
    queue.advance(300);
    video(unit(false));
    EXPECT_EQ(count("keyframe"), 3) << "a healed stream asks for nothing";

    // A unit that found the connection busy breaks the stream; the ask
    // waits for the write to finish.
    link->busy = true;
    video(unit(false));
    EXPECT_EQ(count("keyframe"), 3);
    link->busy = false;
    queue.advance(300);
    relay->writeCompleted();
    settle();
    EXPECT_EQ(count("keyframe"), 4);
}

TEST_F(VideoFixture, VideoStartsAreSpacedAndTheLastDeferredAskWins) {
    relay->attach(link);
    relay->requestH264(800, 600);
    queue.advance(300);
    relay->requestH264(1024, 768);
    queue.advance(300);
    relay->requestH264(1280, 720);
    settle();
    EXPECT_EQ(count("video start 800x600"), 1);
    EXPECT_FALSE(journal.contains("video start 1280x720"));
    queue.advance(399);
    settle();
    EXPECT_FALSE(journal.contains("video start 1280x720"));
    queue.advance(1);
    settle();
    EXPECT_EQ(count("video start 1280x720"), 1);
    EXPECT_EQ(count("video start 1024x768"), 0);

    // A deferred start of a session that ended is dropped.
    relay->requestH264(640, 480);
    relay->detach();
    queue.advance(1000);
    settle();
    EXPECT_EQ(count("video start 640x480"), 0);
}

TEST_F(VideoFixture, RefusedStartsUnusableUnitsAndFailuresFallBackToPictures) {
    relay->attach(link);
    frames.videoAccepted = false;
    startVideo();
    EXPECT_EQ(link->count(jpegMode), 1);
    EXPECT_TRUE(journal.contains("video stop"));
    EXPECT_EQ(relay->mode(), VideoMode::jpeg);
    frames.videoAccepted = true;

    struct Case {
        const char* why;
        EncodedVideoFrame frame;
    };
    std::vector<Case> cases = {
        {"an upper-case codec string", unit(true, 1280, 720, "avc1.64001F")},
        {"a codec that is not H.264", unit(true, 1280, 720, "vp09.00.10.08")},
        {"a unit without a width", unit(true, 0, 720)},
        {"a unit without a height", unit(true, 1280, 0)},
        {"a unit too wide to announce", unit(true, 65'536, 720)},
    };
    long fallbacks = 1;
    for (auto& c : cases) {
        startVideo();
        video(c.frame);
        EXPECT_EQ(link->count(jpegMode), ++fallbacks) << c.why;
        EXPECT_TRUE(units().empty()) << c.why;
        EXPECT_EQ(relay->mode(), VideoMode::jpeg) << c.why;
    }
    relay->ingestFrame(Bytes(5, 1), 30, 10);
    settle();
    EXPECT_EQ(link->frames.size(), 1u) << "pictures resume";

    startVideo();
    video(unit(true));
    EXPECT_EQ(units().size(), 1u);
    relay->sourceFailed();
    settle();
    EXPECT_EQ(link->count(jpegMode), ++fallbacks);
    video(unit(true));
    EXPECT_EQ(units().size(), 1u) << "units after the fall-back are dropped";
    relay->sourceFailed();
    EXPECT_EQ(link->count(jpegMode), fallbacks) << "a failure with no video says nothing";

    relay->requestJPEG();
    EXPECT_EQ(link->count(jpegMode), ++fallbacks) << "an explicit ask is always answered";
}

TEST_F(VideoFixture, AStartAnsweredAfterTheSessionChangedIsVoid) {
    relay->attach(link);
    queue.advance(1000);
    frames.videoAccepted = false;
    relay->requestH264(800, 600);
    queue.runAll();
    auto next = std::make_shared<RecordingLink>();
    relay->attach(next);
    settle();
    EXPECT_TRUE(journal.contains("video start 800x600"));
    EXPECT_FALSE(link->said(jpegMode));
    EXPECT_FALSE(next->said(jpegMode)) << "the refusal belonged to the session that left";
}

TEST_F(VideoFixture, SilentEncoderFallsBackOnlyAfterFourSecondsOfWorkingCapture) {
    relay->attach(link);
    startVideo();
    for (int i = 0; i < 10; ++i) relay->tick(false);
    EXPECT_FALSE(link->said(jpegMode)) << "seconds without working capture do not count";
    for (int i = 1; i < VideoLimits::firstFrameSeconds; ++i) relay->tick(true);
    relay->tick(false);
    for (int i = 1; i < VideoLimits::firstFrameSeconds; ++i) relay->tick(true);
    EXPECT_FALSE(link->said(jpegMode)) << "the count starts again after a bad second";
    relay->tick(true);
    EXPECT_TRUE(link->said(jpegMode));

    // Once a unit was announced the tick only heals the stream.
    startVideo();
    video(unit(true));
    for (int i = 0; i < 10; ++i) relay->tick(true);
    EXPECT_EQ(link->count(jpegMode), 1);
}

TEST_F(VideoFixture, RefreshAndKeyframeAsksShareOneLimiterInVideo) {
    relay->attach(link);
    relay->refresh(true);
    for (int i = 0; i < 3; ++i) relay->refresh(false);
    settle();
    EXPECT_EQ(count("keyframe"), 0) << "no keyframes without video";
    EXPECT_EQ(count("request frame"), 3) << "pictures may be asked for at will";

    startVideo();
    relay->refresh(true);
    queue.advance(200);
    relay->refresh(true);
    settle();
    EXPECT_EQ(count("keyframe"), 1);
    queue.advance(400);
    relay->refresh(false);
    queue.advance(100);
    relay->refresh(true);
    settle();
    EXPECT_EQ(count("request frame"), 4);
    EXPECT_EQ(count("keyframe"), 1);
    queue.advance(400);
    relay->refresh(true);
    settle();
    EXPECT_EQ(count("keyframe"), 2);
}

}  // namespace
}  // namespace morvane

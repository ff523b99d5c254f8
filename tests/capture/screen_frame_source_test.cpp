#include "capture/screen_frame_source.h"

#include <gtest/gtest.h>

#include "capture/jpeg_codec.h"
#include "fake_capture.h"
#include "source_inbox.h"

namespace morvane {

namespace {

using testing::EncoderJournal;
using testing::FakeBackend;
using testing::FakeEncoder;
using testing::ManualClock;

struct SourceTest : ::testing::Test {
    ManualClock clock;
    std::shared_ptr<FakeBackend> backend = std::make_shared<FakeBackend>();
    std::shared_ptr<EncoderJournal> journal = std::make_shared<EncoderJournal>();
    std::unique_ptr<ScreenFrameSource> source;

    testing::SourceInbox inbox;
    // Filled by the source's callbacks, which run on the test's own thread.
    std::vector<testing::SourceInbox::Jpeg>& pictures = inbox.pictures;
    std::vector<EncodedVideoFrame>& video = inbox.video;
    int& failures = inbox.failures;
    std::vector<std::string>& lines = inbox.lines;
    std::vector<DisplayListing>& pushed = inbox.pushed;

    void SetUp() override {
        source = std::make_unique<ScreenFrameSource>(backend, clock.makeQueue(), clock.makeQueue(),
                                                     [this] { return static_cast<std::uint64_t>(clock.now()) * 1000; });
        inbox.attach(*source);
        auto j = journal;
        source->setMakeEncoder([j](int w, int h, int, int, std::uint64_t,
                                   const std::function<void(const std::string&)>&) -> std::unique_ptr<VideoEncoding> {
            if (j->refuseToMake) return nullptr;
            j->made.push_back({w, h});
            return std::make_unique<FakeEncoder>(w, h, j);
        });
    }
    void TearDown() override { source.reset(); }

    testing::FakeStream& started() {
        source->start(inbox.handle);
        clock.run();
        return backend->latest();
    }
    bool saw(const std::string& line) { return inbox.saw(line); }
    // Starts video on a running capture and lets the stream switch over.
    testing::FakeStream& videoRunning() {
        auto& stream = started();
        EXPECT_TRUE(source->startVideo(1920, 1080));
        clock.run();
        return stream;
    }
};

}  // namespace

TEST_F(SourceTest, StartBuildsAStreamReportsOkAndSendsTheNewestPictureOnly) {
    EXPECT_EQ(source->state(), "starting");
    auto& stream = started();
    EXPECT_EQ(stream.config(), (StreamConfig{1664, 936, 12, false, true, std::nullopt}));
    EXPECT_EQ(source->state(), "ok");
    EXPECT_TRUE(saw("state starting, capture requested"));
    EXPECT_TRUE(saw("state ok, display 1920x1080 pt at (0,0), native 1920x1080 px, stream 1664x936 px, up to 12 fps, "
                    "quality medium, displays online 1, capturable 1, following the main display"));
    EXPECT_EQ(source->displayBounds(), (Rect{0, 0, 1920, 1080}));
    ASSERT_EQ(pushed.size(), 1u);
    EXPECT_EQ(pushed[0].current, 1u);

    source->requestFrame();  // nothing delivered yet: nothing to repeat
    clock.run();
    EXPECT_TRUE(pictures.empty());

    stream.deliver(10);
    stream.deliver(20);
    stream.idle();
    stream.deliver(200);
    clock.run();
    ASSERT_EQ(pictures.size(), 1u);  // only the newest waited
    EXPECT_EQ(pictures[0].width, 1664);
    auto decoded = decodeJPEG(pictures[0].data);
    ASSERT_TRUE(decoded);
    EXPECT_NEAR(decoded->pixels[0], 200, 3);
    EXPECT_TRUE(saw("first frame 1664x936 px, " + std::to_string(pictures[0].data.size() / 1024) + " KiB"));

    source->requestFrame();
    clock.run();
    ASSERT_EQ(pictures.size(), 2u);
    EXPECT_EQ(pictures[1].data, pictures[0].data);
    source->start(inbox.handle);  // a second start only repeats the last picture
    clock.run();
    EXPECT_EQ(pictures.size(), 3u);
    EXPECT_EQ(backend->streams.size(), 1u);

    auto stats = source->takeStats();
    EXPECT_EQ(stats.state, "ok");
    EXPECT_EQ(stats.callbacks, 4);
    EXPECT_EQ(stats.frames, 1);
    EXPECT_EQ(stats.width, 1664);
    auto again = source->takeStats();
    EXPECT_EQ(again.frames, 0);
    EXPECT_EQ(again.callbacks, 0);
    EXPECT_EQ(again.width, 1664);

    source->stop();
    clock.run();
    EXPECT_TRUE(stream.stopped);
    EXPECT_EQ(source->state(), "starting");
    EXPECT_EQ(source->takeStats().state, "stopped");
    stream.deliver(50);  // late pictures of a stopped stream are dropped
    clock.run();
    EXPECT_EQ(pictures.size(), 3u);
}

TEST_F(SourceTest, QualityChangesTheRunningStreamAndOneRebuildFollowsABuild) {
    auto& stream = started();
    source->setQuality(FrameQuality::low);
    clock.run();
    EXPECT_EQ(stream.config(), (StreamConfig{1280, 720, 8, false, true, std::nullopt}));
    EXPECT_EQ(backend->streams.size(), 1u);

    source->stop();
    source->start(inbox.handle);
    source->setQuality(FrameQuality::high);  // lands while the new build is under way
    source->setQuality(FrameQuality::medium);
    clock.run();
    // A rebuild with the last quality followed the build.
    EXPECT_EQ(backend->latest().config(), (StreamConfig{1664, 936, 12, false, true, std::nullopt}));
    EXPECT_EQ(backend->streams.size(), 3u);
    EXPECT_TRUE(backend->streams[1]->stopped);
}

TEST_F(SourceTest, StopDuringABuildStopsTheNewStreamWithoutReportingOk) {
    source->start(inbox.handle);
    source->stop();
    clock.run();
    ASSERT_EQ(backend->streams.size(), 1u);
    EXPECT_TRUE(backend->latest().stopped);
    EXPECT_FALSE(saw("state ok, display 1920x1080 pt at (0,0), native 1920x1080 px, stream 1664x936 px, up to 12 fps, "
                     "quality medium, displays online 1, capturable 1, following the main display"));
    EXPECT_TRUE(pushed.empty());
}

TEST_F(SourceTest, FailuresBecomeStateWordsAndTheWatchdogRetries) {
    backend->snapshot.displays.clear();
    source->start(inbox.handle);  // no display, so no stream is built
    clock.run();
    EXPECT_EQ(source->state(), "no-display");
    ASSERT_EQ(pushed.size(), 0u);  // the empty listing equals the stored one
    EXPECT_TRUE(source->displayListing().displays.empty());

    backend->snapshot.displays = {{1, std::nullopt, false, 1920, 1080, {0, 0, 1920, 1080}}};
    clock.advance(2000);
    EXPECT_EQ(source->state(), "ok");
    ASSERT_EQ(pushed.size(), 1u);
    EXPECT_EQ(pushed[0].displays[0].name, "Display 1");

    backend->latest().handlers.onStopped(CaptureError{"X11", 3});
    clock.run();
    EXPECT_EQ(source->state(), "error: X11 3");
    EXPECT_TRUE(saw("state error: X11 3, stream stopped by the system"));
    clock.advance(2000);
    EXPECT_EQ(source->state(), "ok");
    EXPECT_EQ(backend->streams.size(), 2u);

    backend->allowed = false;
    source->stop();
    source->start(inbox.handle);
    clock.run();
    EXPECT_TRUE(source->permissionRefused());
    EXPECT_TRUE(saw("state no-permission, capture requested"));
}

TEST_F(SourceTest, LayoutChangesRebuildAndAGoneDisplayFallsBackToMainOnce) {
    backend->snapshot.displays.push_back({2, std::string("Side"), false, 1280, 1024, {1920, 0, 1280, 1024}});
    started();
    EXPECT_FALSE(source->selectDisplay(99u));
    EXPECT_TRUE(source->selectDisplay(2u));
    clock.run();
    EXPECT_EQ(backend->latest().display, 2u);
    EXPECT_EQ(source->displayBounds(), (Rect{1920, 0, 1280, 1024}));
    EXPECT_EQ(source->displayListing().current, 2u);

    source->displayModeChanged();  // nothing changed: no rebuild
    clock.run();
    EXPECT_EQ(backend->streams.size(), 2u);

    backend->snapshot.displays[0].bounds.x = -10;  // another display moved
    source->displayModeChanged();
    clock.run();
    EXPECT_EQ(backend->streams.size(), 3u);

    backend->snapshot.displays.pop_back();  // the chosen display is unplugged
    pushed.clear();
    clock.advance(2000);
    EXPECT_EQ(backend->latest().display, 1u);
    ASSERT_EQ(pushed.size(), 1u);
    EXPECT_TRUE(pushed[0].selectionLost);
    EXPECT_FALSE(source->displayListing().selectionLost);
    EXPECT_NE(lines.back().find("following the main display, the chosen display is gone"), std::string::npos);

    source->selectDisplay(std::nullopt);  // already following the main display
    clock.run();
    EXPECT_EQ(backend->streams.size(), 4u);
}

TEST_F(SourceTest, VideoStartsWithAKeyframeAndRefreshesAStillScreenTwice) {
    auto& stream = videoRunning();
    ASSERT_EQ(journal->made.size(), 1u);
    EXPECT_EQ(journal->made[0], (std::pair{1664, 936}));
    EXPECT_EQ(stream.config(), (StreamConfig{1664, 936, 30, true, true, std::nullopt}));

    stream.deliver(40);
    clock.run();
    ASSERT_EQ(video.size(), 1u);
    EXPECT_TRUE(video[0].keyframe);
    EXPECT_EQ(video[0].codec, "avc1.640028");
    EXPECT_EQ(video[0].width, 1664);

    clock.advance(5000);  // still screen: two refreshes, then nothing
    ASSERT_EQ(video.size(), 3u);
    EXPECT_FALSE(video[1].keyframe);
    EXPECT_LT(video[0].timestampMicros, video[1].timestampMicros);
    EXPECT_LT(video[1].timestampMicros, video[2].timestampMicros);

    source->requestKeyframe();  // on a still screen the last picture is encoded again as a keyframe
    clock.run();
    ASSERT_EQ(video.size(), 4u);
    EXPECT_TRUE(video[3].keyframe);
    clock.advance(600);
    EXPECT_EQ(video.size(), 6u);  // and its two refreshes; the 0.5 s re-check found nothing to do
    EXPECT_FALSE(video[5].keyframe);

    auto stats = source->takeStats();
    EXPECT_TRUE(stats.video);
    EXPECT_EQ(stats.keyframes, 2);
    EXPECT_TRUE(pictures.empty());
}

TEST_F(SourceTest, AStillScreenGetsItsFirstKeyframeFromTheLastJpegPicture) {
    auto& stream = started();
    stream.deliver(70);
    clock.run();
    ASSERT_EQ(pictures.size(), 1u);
    ASSERT_TRUE(source->startVideo(1920, 1080));
    clock.advance(400);  // the 0.35 s kick
    ASSERT_EQ(video.size(), 1u);
    EXPECT_TRUE(video[0].keyframe);
    EXPECT_EQ(journal->calls[0].width, 1664);
}

// However slowly the stream changes over, video keeps the size the device
// asked for: a kick's keyframe made from the still screen's JPEG picture, or
// from a picture taken before the change, is fitted to the encoder made for
// that size instead of rebuilding it at the old one.
TEST_F(SourceTest, KeyframesBeforeTheStreamChangesOverHaveTheAskedSize) {
    auto& stream = started();
    stream.deliver(70);
    clock.run();
    ASSERT_EQ(pictures.size(), 1u);
    stream.holdUpdates = true;
    ASSERT_TRUE(source->startVideo(960, 540));
    clock.advance(2500);  // every kick of the start, the last even while settling
    ASSERT_EQ(video.size(), 1u);
    stream.deliverSized(1664, 936, false);  // still the JPEG configuration
    source->requestKeyframe();
    clock.advance(1000);
    ASSERT_EQ(video.size(), 2u);
    EXPECT_TRUE(video[1].keyframe);
    EXPECT_EQ(journal->made, (std::vector<std::pair<int, int>>{{960, 540}}));
    for (const auto& call : journal->calls) EXPECT_EQ(std::pair(call.width, call.height), std::pair(960, 540));
}

TEST_F(SourceTest, PicturesOfTheOldSizeAreSkippedWhileSettlingThenANewEncoderStarts) {
    auto& stream = started();
    stream.holdUpdates = true;
    ASSERT_TRUE(source->startVideo(960, 540));
    clock.run();
    EXPECT_EQ(stream.config(), (StreamConfig{960, 540, 30, true, true, std::nullopt}));
    stream.deliverSized(1664, 936, false);  // still the JPEG configuration
    clock.run();
    EXPECT_TRUE(journal->calls.empty());
    // One more, not yet encoded when the stream has changed over.
    stream.deliverSized(1664, 936, false);
    stream.pendingUpdates.back()(std::nullopt);
    clock.run();
    EXPECT_TRUE(journal->calls.empty());
    stream.deliverSized(960, 540, true);
    clock.run();
    ASSERT_EQ(video.size(), 1u);
    EXPECT_TRUE(video[0].keyframe);
    EXPECT_EQ(journal->made.size(), 1u);

    stream.deliverSized(800, 450, true);  // a new size after settling: new encoder, keyframe
    clock.run();
    ASSERT_EQ(journal->made.size(), 2u);
    EXPECT_EQ(journal->made[1], (std::pair{800, 450}));
    EXPECT_TRUE(video.back().keyframe);
    EXPECT_EQ(journal->invalidated, 1);
}

TEST_F(SourceTest, AFailingEncoderFallsBackToJpegWithTheLastPicture) {
    auto& stream = videoRunning();
    stream.deliver(40);
    clock.run();
    journal->script = {video_result::Failed{-5}};
    stream.deliver(41);
    clock.run();
    EXPECT_EQ(failures, 1);
    EXPECT_TRUE(saw("h264 failed (encode error -5), back to JPEG"));
    ASSERT_EQ(pictures.size(), 1u);  // the last video picture, as JPEG
    EXPECT_EQ(pictures[0].width, 1664);
    EXPECT_EQ(stream.config().video, false);
    EXPECT_EQ(journal->invalidated, 1);
    EXPECT_FALSE(source->takeStats().video);

    stream.deliver(42);
    clock.run();
    EXPECT_EQ(pictures.size(), 2u);
    source->requestKeyframe();  // JPEG mode: nothing
    clock.advance(1000);
    EXPECT_EQ(video.size(), 1u);
}

TEST_F(SourceTest, NinetyEmptyEncodesInARowEndVideo) {
    auto& stream = videoRunning();
    auto emptyRun = [&](int count) {
        journal->script.assign(static_cast<std::size_t>(count), video_result::Nothing{});
        for (int i = 0; i < count; ++i) {
            stream.deliver(static_cast<std::uint8_t>(i));
            clock.run();
        }
    };
    emptyRun(89);
    stream.deliver(1);  // a delivered frame resets the count
    clock.run();
    emptyRun(89);
    EXPECT_EQ(failures, 0);
    emptyRun(1);
    EXPECT_EQ(failures, 1);
    EXPECT_TRUE(saw("h264 failed (no output for 90 frames), back to JPEG"));
}

TEST_F(SourceTest, StoppingVideoSendsOneJpegAndNoFailure) {
    source->stopVideo();  // video off: nothing
    EXPECT_TRUE(lines.empty());
    auto& stream = videoRunning();
    stream.deliver(40);
    clock.run();
    source->stopVideo();
    clock.run();
    EXPECT_TRUE(saw("h264 off, back to JPEG"));
    EXPECT_EQ(failures, 0);
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_FALSE(stream.config().video);
    const auto before = video.size();
    clock.advance(3000);  // kicks and refreshes of the old session do nothing
    EXPECT_EQ(video.size(), before);
}

TEST_F(SourceTest, VideoCannotStartWithoutAnEncoderAndQualityUpdatesTheEncoder) {
    started();
    journal->refuseToMake = true;
    EXPECT_FALSE(source->startVideo(1920, 1080));
    EXPECT_FALSE(source->takeStats().video);
    journal->refuseToMake = false;
    ASSERT_TRUE(source->startVideo(1920, 1080));
    clock.run();
    source->setQuality(FrameQuality::high);
    clock.run();
    ASSERT_EQ(journal->updates.size(), 1u);
    EXPECT_EQ(journal->updates[0], (std::pair{30, 6'000'000}));
    EXPECT_TRUE(saw("h264 quality high: 6000 kbit/s, up to 30 fps"));
    EXPECT_EQ(backend->latest().config(), (StreamConfig{1920, 1080, 30, true, true, std::nullopt}));
}

TEST_F(SourceTest, AnOwnersStopHaltsCaptureUntilStopped) {
    int& ownerStops = inbox.ownerStops;
    auto& stream = started();
    stream.handlers.onStopped(CaptureError{std::string(CaptureStop::streamErrorDomain), CaptureStop::userStoppedCode});
    clock.run();
    EXPECT_EQ(ownerStops, 1);
    EXPECT_EQ(source->state(), "stopped-on-mac");
    EXPECT_TRUE(saw("state stopped-on-mac, Stop Sharing was pressed on the computer (capture -3817); not starting again"));
    EXPECT_TRUE(stream.stopped);
    clock.advance(4000);  // the watchdog is gone: no restart
    EXPECT_EQ(backend->streams.size(), 1u);
    source->start(inbox.handle);
    clock.run();
    EXPECT_TRUE(saw("not started: Stop Sharing was pressed on the computer"));
    EXPECT_EQ(backend->streams.size(), 1u);
    source->stop();
    source->start(inbox.handle);
    clock.run();
    EXPECT_EQ(backend->streams.size(), 2u);
    EXPECT_EQ(source->state(), "ok");

    // Reported when a stream is started, the stop carries its own note.
    backend->startError = CaptureError{std::string(CaptureStop::streamErrorDomain), CaptureStop::userStoppedCode};
    backend->snapshot.displays[0].bounds.width = 1280;
    source->displayModeChanged();
    clock.run();
    EXPECT_EQ(ownerStops, 2);
    EXPECT_NE(lines.back().find("(capture -3817, reported when the stream was started)"), std::string::npos);
}

TEST_F(SourceTest, AnExcludedWindowIsAnsweredOnceTheStreamLeavesItOutAndFalseWhereItCannotBe) {
    std::vector<bool> answers;
    // What the newest stream left out when each answer came.
    std::vector<std::optional<std::int64_t>> leftOut;
    auto exclude = [&](std::optional<int> window) {
        const auto before = answers.size();
        source->setExcludedWindow(window, [&](bool ok) {
            answers.push_back(ok);
            leftOut.push_back(backend->streams.empty() ? std::nullopt : backend->latest().config().excludedWindow);
        });
        EXPECT_EQ(answers.size(), before) << "never answered before it returns";
    };

    // Before capture runs: kept for the stream that is built next.
    exclude(0x400001);
    EXPECT_TRUE(answers.empty());
    clock.run();
    ASSERT_EQ(answers, std::vector<bool>{true});
    auto& stream = started();
    EXPECT_EQ(stream.config().excludedWindow, 0x400001);

    // While it runs: the answer waits until pictures follow the change.
    stream.holdUpdates = true;
    exclude(std::nullopt);
    clock.run();
    EXPECT_EQ(answers.size(), 1u);
    EXPECT_EQ(stream.config().excludedWindow, std::nullopt);
    stream.pendingUpdates.back()(std::nullopt);
    EXPECT_EQ(answers, (std::vector<bool>{true, true}));
    stream.holdUpdates = false;

    // A platform that cannot leave windows out says so and changes nothing.
    backend->canExclude = false;
    const auto configs = stream.configs.size();
    exclude(0x400002);
    clock.run();
    EXPECT_EQ(answers.back(), false);
    EXPECT_EQ(stream.configs.size(), configs);
    exclude(std::nullopt);  // taking nothing back is always possible
    clock.run();
    EXPECT_EQ(answers.back(), true);

    // A window given while a stream is being made reaches it, and is
    // answered only once that stream leaves it out, not while the stream
    // made before the request may still show it.
    backend->canExclude = true;
    backend->snapshot.displays[0].bounds.width = 1280;
    source->displayModeChanged();
    exclude(0x400003);
    clock.run();
    EXPECT_EQ(backend->latest().config().excludedWindow, 0x400003);
    EXPECT_EQ(answers.back(), true);
    EXPECT_EQ(leftOut.back(), 0x400003);
    // Given and taken back while the next one is made: both answers wait
    // for the stream that follows the last, none is lost.
    backend->snapshot.displays[0].bounds.width = 1920;
    source->displayModeChanged();
    exclude(0x400004);
    exclude(std::nullopt);
    clock.run();
    EXPECT_EQ(answers, (std::vector<bool>{true, true, false, true, true, true, true}));
    EXPECT_EQ(leftOut[5], std::nullopt);
    EXPECT_EQ(leftOut[6], std::nullopt);

    // The stream losing the exclusion is passed on to whoever asked.
    int lost = 0;
    source->setOnExclusionLost([&] { ++lost; });
    backend->latest().handlers.onExclusionLost();
    EXPECT_EQ(lost, 1);
    EXPECT_TRUE(saw("the excluded window can no longer be left out"));
}

}  // namespace morvane

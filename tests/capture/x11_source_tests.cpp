// The screen source on a private Xvfb, painted by a test client.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

#include "capture/h264.h"
#include "capture/jpeg_codec.h"
#include "core/loop_executor.h"
#include "platform/linux/capture_x11_backend.h"
#include "platform/linux/capture_x11_source.h"
#include "../support/xvfb.h"
#include "source_inbox.h"
#include "x11_test_client.h"

namespace morvane {

namespace {

using namespace std::chrono_literals;

// Mean absolute difference against the bars, away from their edges and the
// square, so scaling's soft edges do not count.
double barError(const Picture& picture, int screenWidth, int squareX, int squareY, int squareSide, int screenHeight) {
    double sum = 0;
    std::size_t count = 0;
    const double sx = static_cast<double>(screenWidth) / picture.width;
    const double sy = static_cast<double>(screenHeight) / picture.height;
    for (int y = 0; y < picture.height; y += 3) {
        for (int x = 0; x < picture.width; x += 3) {
            const int gx = static_cast<int>(x * sx), gy = static_cast<int>(y * sy);
            const int bar = gx * 8 / screenWidth;
            const int inBar = gx - bar * screenWidth / 8;
            if (inBar < 16 || inBar > screenWidth / 8 - 16) continue;
            if (gx >= squareX - 16 && gx < squareX + squareSide + 16 && gy >= squareY - 16 &&
                gy < squareY + squareSide + 16)
                continue;
            if (gx > screenWidth / 2 - 40 && gx < screenWidth / 2 + 40 && gy > screenHeight / 2 - 40 &&
                gy < screenHeight / 2 + 40)
                continue;  // where the pointer sits
            const std::uint32_t want = testing::PaintClient::barColour(gx, screenWidth);
            const std::uint8_t* px = picture.pixels.data() + static_cast<std::size_t>(y) * picture.stride() + x * 4;
            sum += std::abs(int(px[2]) - int((want >> 16) & 0xFF)) + std::abs(int(px[1]) - int((want >> 8) & 0xFF)) +
                   std::abs(int(px[0]) - int(want & 0xFF));
            count += 3;
        }
    }
    return count ? sum / static_cast<double>(count) : 255;
}

struct X11Capture : ::testing::Test {
    std::unique_ptr<::morvane::testing::Xvfb> xvfb;
    std::unique_ptr<::morvane::testing::PaintClient> client;
    std::unique_ptr<ScreenFrameSource> source;
    testing::SourceInbox inbox;

    void SetUp() override {
        xvfb = std::make_unique<::morvane::testing::Xvfb>("1920x1080x24");
        client = std::make_unique<::morvane::testing::PaintClient>(xvfb->display());
        client->paint(0);
        source = makeX11ScreenSource(std::make_shared<LoopExecutor>("control"), std::make_shared<LoopExecutor>("encode"),
                                     xvfb->display());
        inbox.attach(*source);
    }
    void TearDown() override {
        source.reset();
        client.reset();
        xvfb.reset();
    }
};

}  // namespace

TEST_F(X11Capture, PicturesShowThePaintedScreenAtEachQualitySize) {
    auto listing = source->displayListing();
    ASSERT_EQ(listing.displays.size(), 1u);
    EXPECT_EQ(listing.displays[0].pixelWidth, 1920);
    EXPECT_EQ(listing.displays[0].bounds, (Rect{0, 0, 1920, 1080}));
    EXPECT_TRUE(listing.displays[0].isMain);

    source->start(inbox.handle);
    struct Case {
        FrameQuality quality;
        int width, height;
    };
    int step = 0;
    for (Case c : {Case{FrameQuality::medium, 1664, 936}, Case{FrameQuality::low, 1280, 720},
                   Case{FrameQuality::high, 1920, 1080}}) {
        source->setQuality(c.quality);
        client->paint(++step);  // something new to send at the new size
        ASSERT_TRUE(inbox.waitFor([&] { return !inbox.pictures.empty() && inbox.pictures.back().width == c.width; }))
            << toString(c.quality);
        testing::SourceInbox::Jpeg last;
        {
            std::lock_guard l(inbox.m);
            last = inbox.pictures.back();
        }
        EXPECT_EQ(last.height, c.height);
        auto decoded = decodeJPEG(last.data);
        ASSERT_TRUE(decoded);
        int sx, sy;
        client->squareAt(step, &sx, &sy);
        EXPECT_LT(barError(*decoded, 1920, sx, sy, ::morvane::testing::PaintClient::squareSide, 1080), 6.0)
            << toString(c.quality);
    }
    EXPECT_EQ(source->state(), "ok");
    EXPECT_EQ(source->displayBounds(), (Rect{0, 0, 1920, 1080}));
}

TEST_F(X11Capture, VideoDecodesWithFfmpegAndAStillScreenAnswersKeyframeRequests) {
    source->start(inbox.handle);
    ASSERT_TRUE(inbox.waitFor([&] { return !inbox.pictures.empty(); }));
    ASSERT_TRUE(source->startVideo(1280, 720));
    std::atomic<bool> moving = true;
    std::thread painter([&] {
        for (int step = 1; moving; ++step) {
            client->paint(step);
            std::this_thread::sleep_for(40ms);
        }
    });
    const bool enough = inbox.waitFor([&] { return inbox.video.size() >= 20; });
    moving = false;
    painter.join();
    ASSERT_TRUE(enough);

    std::vector<EncodedVideoFrame> units;
    {
        std::lock_guard l(inbox.m);
        units = inbox.video;
    }
    ASSERT_TRUE(units[0].keyframe);
    auto first = H264::splitAnnexB(units[0].data);
    ASSERT_GE(first.size(), 3u);
    EXPECT_EQ(H264::nalType(first[0]), H264::NALType::sps);
    EXPECT_EQ(H264::nalType(first[1]), H264::NALType::pps);
    EXPECT_TRUE(H264::isCodecString(units[0].codec));
    EXPECT_EQ(units[0].width, 1280);
    EXPECT_EQ(units[0].height, 720);
    for (std::size_t i = 1; i < units.size(); ++i) EXPECT_GT(units[i].timestampMicros, units[i - 1].timestampMicros);

    char path[] = "/tmp/morvane-capture-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        std::ofstream out(path, std::ios::binary);
        for (const auto& u : units) out.write(reinterpret_cast<const char*>(u.data.data()), static_cast<std::streamsize>(u.data.size()));
    }
    const std::string command = std::string("ffmpeg -nostdin -v error -xerror -f h264 -i ") + path +
                                " -f framecrc - 2>&1 | grep -c -v '^#' ";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_TRUE(pipe);
    char buffer[64] = {};
    const bool read = fgets(buffer, sizeof buffer, pipe) != nullptr;
    const int status = pclose(pipe);
    std::remove(path);
    ASSERT_TRUE(read);
    EXPECT_EQ(status, 0);
    // One line per decoded frame, and no error lines.
    EXPECT_EQ(std::atoi(buffer), static_cast<int>(units.size()));

    std::this_thread::sleep_for(1500ms);  // refreshes are over: the screen is still
    std::size_t before;
    {
        std::lock_guard l(inbox.m);
        before = inbox.video.size();
    }
    source->requestKeyframe();
    ASSERT_TRUE(inbox.waitFor([&] { return inbox.video.size() > before && inbox.video[before].keyframe; }, 10s));
}

TEST_F(X11Capture, AStillScreenIsNeitherEncodedNorSent) {
    source->start(inbox.handle);
    ASSERT_TRUE(inbox.waitFor([&] { return !inbox.pictures.empty(); }));
    std::this_thread::sleep_for(500ms);
    source->takeStats();
    std::this_thread::sleep_for(3s);
    auto stats = source->takeStats();
    EXPECT_EQ(stats.frames, 0);  // nothing new, nothing encoded or sent
    EXPECT_GT(stats.callbacks, 3);  // while the screen is still looked at
    // What it costs is measured by the capture benchmark.
}

TEST_F(X11Capture, ThePointerIsDrawnAndItsMovesAreSent) {
    source->setQuality(FrameQuality::high);  // full size: one picture pixel per screen pixel
    source->start(inbox.handle);
    client->movePointer(100, 500);
    ASSERT_TRUE(inbox.waitFor([&] { return !inbox.pictures.empty() && inbox.pictures.back().width == 1920; }));
    std::this_thread::sleep_for(500ms);
    std::size_t before;
    {
        std::lock_guard l(inbox.m);
        before = inbox.pictures.size();
    }
    client->movePointer(600, 500);  // the screen itself stays as it is
    ASSERT_TRUE(inbox.waitFor([&] { return inbox.pictures.size() > before; }));
    testing::SourceInbox::Jpeg last;
    {
        std::lock_guard l(inbox.m);
        last = inbox.pictures.back();
    }
    auto decoded = decodeJPEG(last.data);
    ASSERT_TRUE(decoded);
    // Around the new pointer position the picture is no longer the bar
    // alone; where it was, nothing of it is left.
    auto differingNear = [&](int px0, int py0) {
        const std::uint32_t bar = ::morvane::testing::PaintClient::barColour(px0, 1920);
        int differing = 0;
        for (int y = py0 - 10; y < py0 + 30; ++y)
            for (int x = px0 - 10; x < px0 + 30; ++x) {
                const std::uint8_t* px = decoded->pixels.data() + static_cast<std::size_t>(y) * decoded->stride() + x * 4;
                const int diff = std::abs(int(px[2]) - int((bar >> 16) & 0xFF)) +
                                 std::abs(int(px[1]) - int((bar >> 8) & 0xFF)) + std::abs(int(px[0]) - int(bar & 0xFF));
                if (diff > 60) ++differing;
            }
        return differing;
    };
    EXPECT_GT(differingNear(600, 500), 20);
    EXPECT_EQ(differingNear(100, 500), 0);
}

TEST_F(X11Capture, AFailingEncoderFallsBackToJpeg) {
    // A real encoder that breaks down after a few pictures.
    struct Breaking final : VideoEncoding {
        std::unique_ptr<VideoEncoding> inner;
        int left = 3;
        int width() const override { return inner->width(); }
        int height() const override { return inner->height(); }
        VideoEncodeResult encode(const Picture& p, std::uint64_t ts, bool key) override {
            if (--left < 0) return video_result::Failed{-12911};
            return inner->encode(p, ts, key);
        }
        void update(int f, int b) override { inner->update(f, b); }
        void invalidate() override { inner->invalidate(); }
    };
    source->setMakeEncoder([](int w, int h, int fps, int bps, std::uint64_t ts,
                              const std::function<void(const std::string&)>& report) -> std::unique_ptr<VideoEncoding> {
        auto real = H264Encoder::make(w, h, fps, bps, ts, report);
        if (!real) return nullptr;
        auto wrapper = std::make_unique<Breaking>();
        wrapper->inner = std::move(real);
        return wrapper;
    });
    source->start(inbox.handle);
    ASSERT_TRUE(inbox.waitFor([&] { return !inbox.pictures.empty(); }));
    ASSERT_TRUE(source->startVideo(960, 540));
    std::atomic<bool> moving = true;
    std::thread painter([&] {
        for (int step = 1; moving; ++step) {
            client->paint(step);
            std::this_thread::sleep_for(40ms);
        }
    });
    std::size_t jpegsAtFailure = 0;
    const bool failed = inbox.waitFor([&] {
        jpegsAtFailure = inbox.pictures.size();
        return inbox.failures == 1;
    });
    const bool jpegAgain = inbox.waitFor([&] { return inbox.pictures.size() >= jpegsAtFailure + 3; });
    moving = false;
    painter.join();
    ASSERT_TRUE(failed);
    EXPECT_TRUE(jpegAgain);
    std::lock_guard l(inbox.m);
    EXPECT_NE(std::find(inbox.lines.begin(), inbox.lines.end(), "h264 failed (encode error -12911), back to JPEG"),
              inbox.lines.end());
    EXPECT_EQ(inbox.pictures.back().width, 1664);  // back on the JPEG configuration
}

TEST_F(X11Capture, ALostServerEndsInAnErrorStateWithoutEndingTheProcess) {
    source->start(inbox.handle);
    ASSERT_TRUE(inbox.waitFor([&] { return !inbox.pictures.empty(); }));
    client.reset();
    xvfb.reset();
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (source->state() == "ok" && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    EXPECT_EQ(source->state().rfind("error: X11 ", 0), 0u) << source->state();
    // Another server may take the display's number meanwhile, so what the
    // retries find is not checked; stopping must still work.
    source->stop();
    source.reset();
}

namespace {

// How far a picture's pixel is from a colour, summed over the channels.
int distance(const Picture& picture, int x, int y, std::uint32_t rgb) {
    const std::uint8_t* px = picture.pixels.data() + static_cast<std::size_t>(y) * picture.stride() + x * 4;
    return std::abs(int(px[2]) - int((rgb >> 16) & 0xFF)) + std::abs(int(px[1]) - int((rgb >> 8) & 0xFF)) +
           std::abs(int(px[0]) - int(rgb & 0xFF));
}

// Waits for a picture taken after the call in which the probe holds.
template <typename P>
bool laterPicture(testing::SourceInbox& inbox, P probe) {
    std::size_t seen;
    {
        std::lock_guard l(inbox.m);
        seen = inbox.pictures.size();
    }
    return inbox.waitFor(
        [&] {
            if (inbox.pictures.size() <= seen) return false;
            seen = inbox.pictures.size();
            auto decoded = decodeJPEG(inbox.pictures.back().data);
            return decoded && decoded->width == 1920 && probe(*decoded);
        },
        20s);
}

bool answerOf(ScreenFrameSource& source, std::optional<int> window) {
    auto promise = std::make_shared<std::promise<bool>>();
    auto answer = promise->get_future();
    source.setExcludedWindow(window, [promise](bool ok) { promise->set_value(ok); });
    if (answer.wait_for(20s) != std::future_status::ready) {
        ADD_FAILURE() << "the exclusion was never answered";
        return false;
    }
    return answer.get();
}

}  // namespace

// As with the cover: the window is left out before it is shown, while what
// it will cover is still on the screen.
TEST_F(X11Capture, AnExcludedWindowIsLeftOutAndWhatItCoversIsShown) {
    source->setQuality(FrameQuality::high);  // full size
    client->movePointer(1900, 1060);  // out of the way
    source->start(inbox.handle);
    ASSERT_TRUE(inbox.waitFor([&] { return !inbox.pictures.empty(); }));
    constexpr std::uint32_t panelColour = 0x804020;  // in none of the bars
    const auto panel = client->addPanel(400, 300, 500, 400, panelColour);
    // Points inside the panel, each on a different bar behind it.
    const int probes[][2] = {{430, 350}, {600, 500}, {860, 650}};
    auto showsPanel = [&](const Picture& p) {
        for (auto& at : probes)
            if (distance(p, at[0], at[1], panelColour) > 30) return false;
        return true;
    };
    auto showsBars = [&](const Picture& p) {
        for (auto& at : probes)
            if (distance(p, at[0], at[1], ::morvane::testing::PaintClient::barColour(at[0], 1920)) > 30) return false;
        // and the screen around the panel as it was
        return distance(p, 200, 200, ::morvane::testing::PaintClient::barColour(200, 1920)) <= 30;
    };

    ASSERT_TRUE(answerOf(*source, static_cast<int>(panel)));
    client->show(panel);
    client->paint(1);  // something new for the stream to send
    EXPECT_TRUE(laterPicture(inbox, showsBars));
    client->paint(2);
    EXPECT_TRUE(laterPicture(inbox, showsBars)) << "pictures taken while it stays mapped keep it out";

    ASSERT_TRUE(answerOf(*source, std::nullopt));
    client->paint(3);  // the answer may come with the first such picture
    EXPECT_TRUE(laterPicture(inbox, showsPanel)) << "taken back, the window is seen again";
}

namespace {
class XvfbWithoutComposite : public ::morvane::testing::XServerProcess {
public:
    XvfbWithoutComposite()
        : XServerProcess("Xvfb",
                         {"-screen", "0", "640x480x24", "-nolisten", "tcp", "-noreset", "-extension", "Composite"},
                         "Xvfb did not start") {}
};
}  // namespace

// The server reports changes and the source takes them at most at the picture
// rate: changes made faster than that must not be lost, the last one is sent
// even when nothing follows it.
TEST_F(X11Capture, TheLastOfQuickChangesIsSentThoughNothingFollowsIt) {
    source->setQuality(FrameQuality::high);  // full size
    client->movePointer(1900, 1060);  // out of the way
    source->start(inbox.handle);
    ASSERT_TRUE(inbox.waitFor([&] { return !inbox.pictures.empty() && inbox.pictures.back().width == 1920; }));
    constexpr int side = ::morvane::testing::PaintClient::squareSide;
    for (int round = 1; round <= 3; ++round) {
        const int last = 10 * round;
        for (int step = last - 9; step <= last; ++step) client->paint(step);
        // Near the far corner of the last square, which the squares before it
        // never covered.
        int x, y;
        client->squareAt(last, &x, &y);
        EXPECT_TRUE(laterPicture(inbox, [&](const Picture& p) {
            return distance(p, x + side - 6, y + side - 6, 0x808080) <= 30;
        })) << "round " << round;
    }
}

namespace {

// Splits the private server's screen into two monitors side by side.
void splitIntoMonitors(const std::string& display, int width, int height) {
    for (const char* name : {"Left", "Right"}) {
        const int x = name[0] == 'L' ? 0 : width;
        const std::string command = "DISPLAY=" + display + " xrandr --setmonitor " + name + " " +
                                    std::to_string(width) + "/508x" + std::to_string(height) + "/286+" +
                                    std::to_string(x) + "+0 none";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
}

}  // namespace

// Only what the streamed monitor shows makes a picture: drawing and pointer
// moves on another monitor send nothing, however long they go on, while the
// pointer entering the streamed monitor, leaving it and drawing on it each
// send one. The capture's looks (one a picture interval) are the clock: each
// step waits for two of them, so the X server's reports of it were read.
TEST(X11CaptureOfOneMonitor, ChangesOnAnotherMonitorSendNothing) {
    constexpr int side = 960, tall = 540;
    ::morvane::testing::Xvfb xvfb(std::to_string(2 * side) + "x" + std::to_string(tall) + "x24");
    splitIntoMonitors(xvfb.display(), side, tall);
    ::morvane::testing::PaintClient client(xvfb.display());
    client.fill(0, 0, 2 * side, tall, 0x204060);
    client.movePointer(side + 100, 100);  // on the other monitor from the start
    auto source = makeX11ScreenSource(std::make_shared<LoopExecutor>("control"),
                                      std::make_shared<LoopExecutor>("encode"), xvfb.display());
    testing::SourceInbox inbox;
    inbox.attach(*source);
    std::optional<std::uint32_t> left;
    for (const auto& d : source->displayListing().displays)
        if (d.name == "Left") left = d.id;
    ASSERT_TRUE(left);
    ASSERT_TRUE(source->selectDisplay(left));
    source->setQuality(FrameQuality::high);
    source->start(inbox.handle);
    ASSERT_TRUE(inbox.waitFor([&] { return !inbox.pictures.empty(); }));

    int looks = 0;
    auto waitForLooks = [&](int count) {
        const int until = looks + count;
        for (int polls = 0; looks < until && polls < 3000; ++polls) {
            looks += source->takeStats().callbacks;
            if (looks < until) std::this_thread::sleep_for(10ms);  // a poll, not a measure of time
        }
        ASSERT_GE(looks, until) << "the capture stopped looking";
    };
    auto sent = [&] {
        std::lock_guard l(inbox.m);
        return static_cast<int>(inbox.pictures.size());
    };
    waitForLooks(2);
    struct Step {
        const char* what;
        std::function<void(int)> act;  // given the round, 0 to rounds - 1
        int rounds;
        int pictures;  // expected once all rounds are done
    };
    const Step steps[] = {
        {"drawing on the other monitor",
         [&](int i) { client.fill(side + 40 + i * 5, 60, 200, 200, 0x010101u * static_cast<unsigned>(i * 7)); }, 15, 0},
        {"the pointer moving on the other monitor", [&](int i) { client.movePointer(side + 300 + i * 11, 200 + i * 3); },
         15, 0},
        {"both at once",
         [&](int i) {
             client.fill(side + 400, 300, 100, 100, 0x112233u * static_cast<unsigned>(i % 5));
             client.movePointer(side + 700 - i * 7, 400);
         },
         15, 0},
        {"the pointer entering the streamed monitor", [&](int) { client.movePointer(300, 300); }, 1, 1},
        {"the pointer leaving it", [&](int) { client.movePointer(side + 300, 300); }, 1, 1},
        {"drawing on the streamed monitor", [&](int) { client.fill(100, 100, 50, 50, 0xFF8000); }, 1, 1},
        {"drawing across both", [&](int) { client.fill(side - 20, 200, 40, 40, 0x00FF80); }, 1, 1},
    };
    for (const Step& step : steps) {
        const int before = sent();
        for (int i = 0; i < step.rounds; ++i) {
            step.act(i);
            waitForLooks(2);
        }
        if (step.pictures > 0) inbox.waitFor([&] { return static_cast<int>(inbox.pictures.size()) >= before + step.pictures; });
        waitForLooks(2);  // room for one picture too many
        EXPECT_EQ(sent() - before, step.pictures) << step.what;
    }
    EXPECT_EQ(source->state(), "ok");
}

TEST(X11CaptureWithoutComposite, ExclusionAnswersFalseAndTakingItBackTrue) {
    XvfbWithoutComposite server;
    auto screen = makeX11ScreenSource(std::make_shared<LoopExecutor>("control"), std::make_shared<LoopExecutor>("encode"),
                                      server.display());
    EXPECT_FALSE(answerOf(*screen, 0x200001));
    EXPECT_TRUE(answerOf(*screen, std::nullopt));
}

}  // namespace morvane

// The screen source on a private Xvfb, painted by a test client.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
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
#include <sstream>
#include <variant>
#include <thread>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>

#include "capture/h264.h"
#include "capture/jpeg_codec.h"
#include "capture/screen_picture.h"
#include "core/loop_executor.h"
#include "platform/linux/capture_x11_backend.h"
#include "platform/linux/capture_x11_source.h"
#include "../support/eventually.h"
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
    // A refresh of the still picture, made late on a busy machine, may come
    // before the keyframe that answers.
    ASSERT_TRUE(inbox.waitFor(
        [&] {
            return std::any_of(inbox.video.begin() + static_cast<std::ptrdiff_t>(before), inbox.video.end(),
                               [](const EncodedVideoFrame& frame) { return frame.keyframe; });
        },
        10s));
}

TEST_F(X11Capture, AStillScreenIsNeitherEncodedNorSent) {
    source->start(inbox.handle);
    ASSERT_TRUE(inbox.waitFor([&] { return !inbox.pictures.empty(); }));
    // The first pictures may take a while to settle on a busy machine: after
    // a quiet half second the screen must stay quiet.
    ASSERT_TRUE(::morvane::testing::eventually([&] {
        source->takeStats();
        std::this_thread::sleep_for(500ms);
        return source->takeStats().frames == 0;
    })) << "the still screen never stopped being sent";
    std::this_thread::sleep_for(3s);
    auto stats = source->takeStats();
    EXPECT_EQ(stats.frames, 0);  // nothing new, nothing encoded or sent
    EXPECT_GT(stats.callbacks, 3);  // while the screen is still looked at
    // What it costs is measured by the capture benchmark.
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
    // The last video picture comes first as JPEG, and pictures the stream
    // made at the video's size before it is back on the JPEG configuration
    // may follow it: three of them on a busy machine.
    const bool jpegAgain = inbox.waitFor([&] {
        return inbox.pictures.size() >= jpegsAtFailure + 3 && inbox.pictures.back().width == 1664;
    });
    moving = false;
    painter.join();
    ASSERT_TRUE(failed);
    EXPECT_TRUE(jpegAgain) << "no picture at the JPEG configuration's width after the failure";
    std::lock_guard l(inbox.m);
    EXPECT_NE(std::find(inbox.lines.begin(), inbox.lines.end(), "h264 failed (encode error -12911), back to JPEG"),
              inbox.lines.end());
    for (std::size_t i = jpegsAtFailure; i < inbox.pictures.size(); ++i)
        EXPECT_TRUE(inbox.pictures[i].width == 960 || inbox.pictures[i].width == 1664) << inbox.pictures[i].width;
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

// How many pictures came so far. Taken before the change a wait is for: the
// picture of a change may arrive before the call that changed the screen
// returns to the test.
std::size_t pictureCount(testing::SourceInbox& inbox) {
    std::lock_guard l(inbox.m);
    return inbox.pictures.size();
}

// Waits for a picture after the first `from` in which the probe holds.
template <typename P>
bool pictureAfter(testing::SourceInbox& inbox, std::size_t from, P probe) {
    std::size_t seen = from;
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

TEST_F(X11Capture, ThePointerIsDrawnAndItsMovesAreSent) {
    source->setQuality(FrameQuality::high);  // full size: one picture pixel per screen pixel
    source->start(inbox.handle);
    // How many pixels around a point differ from the bar there: where the
    // pointer is drawn.
    auto differingNear = [](const Picture& picture, int px0, int py0) {
        const std::uint32_t bar = ::morvane::testing::PaintClient::barColour(px0, 1920);
        int differing = 0;
        for (int y = py0 - 10; y < py0 + 30; ++y)
            for (int x = px0 - 10; x < px0 + 30; ++x)
                if (distance(picture, x, y, bar) > 60) ++differing;
        return differing;
    };
    client->movePointer(100, 500);
    ASSERT_TRUE(pictureAfter(inbox, 0, [&](const Picture& p) { return differingNear(p, 100, 500) > 20; }));
    const std::size_t before = pictureCount(inbox);
    client->movePointer(600, 500);  // the screen itself stays as it is
    // Around the new pointer position the picture is no longer the bar
    // alone; where it was, nothing of it is left.
    EXPECT_TRUE(pictureAfter(inbox, before, [&](const Picture& p) {
        return differingNear(p, 600, 500) > 20 && differingNear(p, 100, 500) == 0;
    })) << "no picture showed the pointer at its new place alone";
}

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
    auto showsAnyOfPanel = [&](const Picture& p) {
        for (auto& at : probes)
            if (distance(p, at[0], at[1], panelColour) <= 30) return true;
        return false;
    };

    ASSERT_TRUE(answerOf(*source, static_cast<int>(panel)));
    const std::size_t answered = pictureCount(inbox);
    client->show(panel);
    client->paint(1);  // something new for the stream to send
    EXPECT_TRUE(pictureAfter(inbox, answered, showsBars));
    std::size_t from = pictureCount(inbox);
    client->paint(2);
    EXPECT_TRUE(pictureAfter(inbox, from, showsBars)) << "pictures taken while it stays mapped keep it out";

    // Every picture taken from the answer on, not only the last of each
    // wait, leaves the window out.
    const std::size_t takenBack = pictureCount(inbox);
    {
        std::lock_guard l(inbox.m);
        for (std::size_t i = answered; i < takenBack; ++i) {
            auto decoded = decodeJPEG(inbox.pictures[i].data);
            ASSERT_TRUE(decoded);
            EXPECT_FALSE(showsAnyOfPanel(*decoded)) << "picture " << i - answered << " after the answer";
        }
    }

    ASSERT_TRUE(answerOf(*source, std::nullopt));
    from = pictureCount(inbox);
    client->paint(3);  // the answer may come with the first such picture
    EXPECT_TRUE(pictureAfter(inbox, from, showsPanel)) << "taken back, the window is seen again";
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
        const std::size_t from = pictureCount(inbox);
        for (int step = last - 9; step <= last; ++step) client->paint(step);
        // Near the far corner of the last square, which the squares before it
        // never covered.
        int x, y;
        client->squareAt(last, &x, &y);
        EXPECT_TRUE(pictureAfter(inbox, from, [&](const Picture& p) {
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

namespace {

// A private Xvfb with or without MIT-SHM, so both ways of grabbing are
// taken; RandR for monitors of any size and place.
class BandXvfb : public ::morvane::testing::XServerProcess {
public:
    explicit BandXvfb(bool sharedMemory)
        : XServerProcess("Xvfb", arguments(sharedMemory), "Xvfb did not start") {}

private:
    static std::vector<std::string> arguments(bool sharedMemory) {
        std::vector<std::string> args{"-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset", "+extension",
                                      "RANDR"};
        if (!sharedMemory) args.insert(args.end(), {"-extension", "MIT-SHM"});
        return args;
    }
};

// Every pixel its own colour, so any row or column taken from the wrong
// place, or colour averaged over the wrong pair of rows, shows.
Picture busyPicture(int width, int height) {
    Picture p = Picture::makeBGRA(width, height);
    for (std::size_t i = 0; i < p.pixels.size(); ++i)
        p.pixels[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
    return p;
}

struct Area {
    int x = 0, y = 0, width = 0, height = 0;
};

CursorImage pointerOf(Display* d) {
    CursorImage cursor;
    XFixesCursorImage* image = XFixesGetCursorImage(d);
    if (!image) return cursor;
    cursor.x = image->x;
    cursor.y = image->y;
    cursor.xhot = image->xhot;
    cursor.yhot = image->yhot;
    cursor.width = image->width;
    cursor.height = image->height;
    cursor.serial = image->cursor_serial;
    cursor.argb.resize(static_cast<std::size_t>(image->width) * image->height);
    for (std::size_t i = 0; i < cursor.argb.size(); ++i) cursor.argb[i] = static_cast<std::uint32_t>(image->pixels[i]);
    XFree(image);
    return cursor;
}

PicturePtr madeAfresh(Picture::Format format, int width, int height) {
    return std::make_shared<Picture>(format == Picture::Format::bgra ? Picture::makeBGRA(width, height)
                                                                     : Picture::makeI420(width, height));
}

// What the whole-screen way makes of the monitor: all of it grabbed at once,
// the pointer as XFixes shows it drawn in, converted for video.
PicturePtr wholeScreenPicture(Display* d, const Area& m, bool* pointerShows) {
    XImage* image = XGetImage(d, DefaultRootWindow(d), m.x, m.y, static_cast<unsigned>(m.width),
                              static_cast<unsigned>(m.height), AllPlanes, ZPixmap);
    if (!image) return nullptr;
    const ScreenPixels screen{reinterpret_cast<const std::uint8_t*>(image->data), image->bytes_per_line, m.width,
                              m.height, m.x, m.y};
    const CursorImage cursor = pointerOf(d);
    auto picture = shapePicture(screen, &cursor, m.width, m.height, true, madeAfresh);
    *pointerShows = shapePicture(screen, nullptr, m.width, m.height, true, madeAfresh)->pixels != picture->pixels;
    XDestroyImage(image);
    return picture;
}

// A stream's samples, kept as the test needs them.
struct Samples {
    std::mutex m;
    std::condition_variable cv;
    PicturePtr first;  // the first and the latest picture, kept only when asked to
    PicturePtr latest;
    bool keepFirst = false;
    std::vector<Picture::Format> formats;

    StreamHandlers handlers() {
        StreamHandlers h;
        h.onSample = [this](PicturePtr picture) {
            if (!picture) return;
            std::lock_guard l(m);
            if (keepFirst && !first) first = picture;
            if (keepFirst) latest = picture;
            formats.push_back(picture->format);
            cv.notify_all();
        };
        return h;
    }
    bool waitFor(Picture::Format format, std::size_t after) {
        std::unique_lock l(m);
        return cv.wait_for(l, 20s, [&] {
            return std::find(formats.begin() + static_cast<std::ptrdiff_t>(std::min(after, formats.size())),
                             formats.end(), format) != formats.end();
        });
    }
};

std::optional<std::uint32_t> displayNamed(CaptureBackend& backend, const std::string& name) {
    auto listed = backend.displays();
    if (!std::holds_alternative<DisplaySnapshot>(listed)) return std::nullopt;
    const auto& snapshot = std::get<DisplaySnapshot>(listed);
    if (name.empty()) return snapshot.mainDisplay;
    for (const auto& d : snapshot.displays)
        if (d.systemName == name) return d.id;
    return std::nullopt;
}

void runXrandr(const std::string& display, const std::string& arguments) {
    const std::string command = "DISPLAY=" + display + " xrandr " + arguments;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// The shared-memory segments this process has mapped, by size.
std::vector<std::size_t> sharedSegments() {
    std::vector<std::size_t> sizes;
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        if (line.find("/SYSV") == std::string::npos) continue;
        std::istringstream in(line);
        std::uintptr_t from = 0, to = 0;
        char dash = 0;
        in >> std::hex >> from >> dash >> to;
        sizes.push_back(to - from);
    }
    return sizes;
}

}  // namespace

// Where two pictures first differ, by plane, row and column; empty when
// they are the same.
std::string firstDifference(const Picture& got, const Picture& want) {
    if (got.width != want.width || got.height != want.height || got.pixels.size() != want.pixels.size())
        return "the sizes differ";
    const std::size_t lumaBytes = static_cast<std::size_t>(want.width) * want.height;
    const std::size_t chromaBytes = static_cast<std::size_t>(want.chromaWidth()) * want.chromaHeight();
    for (std::size_t i = 0; i < want.pixels.size(); ++i) {
        if (got.pixels[i] == want.pixels[i]) continue;
        const bool luma = i < lumaBytes;
        const std::size_t inPlane = luma ? i : (i - lumaBytes) % chromaBytes;
        const std::size_t rowWidth = static_cast<std::size_t>(luma ? want.width : want.chromaWidth());
        return std::string(luma ? "Y" : i < lumaBytes + chromaBytes ? "U" : "V") + " differs at row " +
               std::to_string(inPlane / rowWidth) + ", column " + std::to_string(inPlane % rowWidth);
    }
    return {};
}

// Full-size video is grabbed a band of rows at a time, later pictures only
// the bands that changed: its pictures must be those of grabbing the whole
// monitor at once, in every plane, pointer included, with shared memory and
// with plain requests.
TEST(X11CaptureInBands, VideoPicturesAreThoseOfTheWholeScreenPixelForPixel) {
    struct Case {
        const char* name;
        Area monitor;  // a monitor made for the case; empty for the whole screen
        // Where the pointer's image goes (its top left), given the monitor
        // and the image's size.
        std::function<std::pair<int, int>(const Area&, int, int)> pointer;
    };
    constexpr int band = screenBandRows;
    const Case cases[] = {
        {"the whole screen, its height no multiple of the band", {},
         [](const Area&, int, int) { return std::pair{640, 401}; }},
        {"an odd width and height", {0, 0, 801, 599}, [](const Area&, int, int) { return std::pair{400, 301}; }},
        {"a monitor away from the origin", {333, 111, 640, 480},
         [](const Area&, int, int) { return std::pair{500, 301}; }},
        {"the pointer across a band edge", {},
         [](const Area&, int, int h) { return std::pair{701, 2 * band - h / 2 - 1}; }},
        {"the pointer half off the monitor's bottom right", {333, 111, 641, 481},
         [](const Area& m, int w, int h) { return std::pair{m.x + m.width - w / 2, m.y + m.height - h / 2}; }},
        {"the pointer half off the monitor's top left, across the first band", {333, 111, 640, 480},
         [](const Area& m, int w, int h) { return std::pair{m.x - w / 2, m.y - h / 2 - 1}; }},
    };
    static_assert(800 % band != 0, "the whole screen ends in a short band");
    for (const bool sharedMemory : {true, false}) {
        BandXvfb xvfb(sharedMemory);
        ::morvane::testing::PaintClient client(xvfb.display());
        client.put(busyPicture(client.width(), client.height()), 0, 0);
        Display* d = XOpenDisplay(xvfb.display().c_str());
        ASSERT_NE(d, nullptr);
        const CursorImage shape = pointerOf(d);
        ASSERT_TRUE(shape.valid()) << "the server shows a pointer";
        auto backend = makeX11CaptureBackend(xvfb.display());
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (sharedMemory ? ", shared memory" : ", plain requests"));
            const bool made = c.monitor.width > 0;
            const Area monitor = made ? c.monitor : Area{0, 0, client.width(), client.height()};
            if (made)
                runXrandr(xvfb.display(), "--setmonitor Band " + std::to_string(monitor.width) + "/300x" +
                                              std::to_string(monitor.height) + "/200+" + std::to_string(monitor.x) +
                                              "+" + std::to_string(monitor.y) + " none");
            const auto [left, top] = c.pointer(monitor, shape.width, shape.height);
            client.movePointer(left + shape.xhot, top + shape.yhot);
            const auto id = displayNamed(*backend, made ? "Band" : "");
            ASSERT_TRUE(id);

            Samples samples;
            samples.keepFirst = true;
            auto started = backend->startStream(*id, StreamConfig{monitor.width, monitor.height, 30, true, true, {}},
                                                samples.handlers());
            ASSERT_TRUE(std::holds_alternative<std::shared_ptr<CaptureStream>>(started));
            auto stream = std::get<std::shared_ptr<CaptureStream>>(started);
            ASSERT_TRUE(samples.waitFor(Picture::Format::i420, 0));
            PicturePtr banded;
            {
                std::lock_guard l(samples.m);
                banded = samples.first;
            }
            bool pointerShows = false;
            const PicturePtr whole = wholeScreenPicture(d, monitor, &pointerShows);
            ASSERT_TRUE(whole);
            EXPECT_TRUE(pointerShows);
            EXPECT_EQ(firstDifference(*banded, *whole), "") << "the first picture";

            // A few rows drawn over and the pointer moved: the pictures that
            // follow grab only some bands, and the last must show it all.
            client.fill(monitor.x + monitor.width / 3, monitor.y + monitor.height * 3 / 4, 50, 7, 0x123456);
            client.movePointer(left + shape.xhot + 37, top + shape.yhot + 3 * band / 2);
            const PicturePtr changed = wholeScreenPicture(d, monitor, &pointerShows);
            ASSERT_TRUE(changed);
            std::string difference = "no picture";
            for (int tries = 0; tries < 100 && !difference.empty(); ++tries) {
                std::unique_lock l(samples.m);
                samples.cv.wait_for(l, 100ms);
                if (samples.latest != banded) difference = firstDifference(*samples.latest, *changed);
            }
            stream->stop();
            EXPECT_EQ(difference, "") << "the picture after the change";
            if (made) runXrandr(xvfb.display(), "--delmonitor Band");
        }
        XCloseDisplay(d);
    }
}

// A stream keeps only the buffer its pictures need: the whole screen's for
// JPEG, one band's for full-size video; the other is given back on a switch.
TEST(X11CaptureInBands, SwitchingWaysGivesBackTheBufferNoLongerNeeded) {
    BandXvfb xvfb(true);
    ::morvane::testing::PaintClient client(xvfb.display());
    client.paint(1);
    auto backend = makeX11CaptureBackend(xvfb.display());
    const auto id = displayNamed(*backend, "");
    ASSERT_TRUE(id);
    const std::size_t whole = static_cast<std::size_t>(client.width()) * client.height() * 4;
    ASSERT_TRUE(sharedSegments().empty());

    Samples samples;
    StreamConfig config{client.width(), client.height(), 30, false, true, {}};
    auto started = backend->startStream(*id, config, samples.handlers());
    ASSERT_TRUE(std::holds_alternative<std::shared_ptr<CaptureStream>>(started));
    auto stream = std::get<std::shared_ptr<CaptureStream>>(started);
    struct Step {
        bool video;
        std::size_t smallest, largest;  // of the one segment kept
    };
    const Step steps[] = {{false, whole, whole + 4096},
                          {true, 1, static_cast<std::size_t>(client.width()) * screenBandRows * 4 + 4096},
                          {false, whole, whole + 4096}};
    for (const Step& step : steps) {
        SCOPED_TRACE(step.video ? "video" : "JPEG");
        std::size_t before;
        {
            std::lock_guard l(samples.m);
            before = samples.formats.size();
        }
        config.video = step.video;
        stream->update(config, nullptr);
        ASSERT_TRUE(samples.waitFor(step.video ? Picture::Format::i420 : Picture::Format::bgra, before));
        const auto segments = sharedSegments();
        ASSERT_EQ(segments.size(), 1u);
        EXPECT_GE(segments[0], step.smallest);
        EXPECT_LE(segments[0], step.largest);
    }
    stream->stop();
    EXPECT_TRUE(sharedSegments().empty());
}

}  // namespace morvane

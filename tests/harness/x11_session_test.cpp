// The test host on a private X display, reached over a real WebSocket:
// what the device receives is what the screen shows, and what it sends
// reaches the X server.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include <nlohmann/json.hpp>

#include "../audio/audio_signal.h"
#include "../audio/private_pulse.h"
#include "../capture/x11_test_client.h"
#include "../input/x_recorder.h"
#include "../support/xvfb.h"
#include "capture/audio_capture_pipeline.h"
#include "capture/audio_message.h"
#include "capture/capture_settings.h"
#include "capture/h264.h"
#include "harness_process.h"
#include "paired_session.h"
#include "screen_picture.h"
#include "server/frame_message.h"

namespace morvane::testing {
namespace {

constexpr int screenWidth = 1280;
constexpr int screenHeight = 720;

// Output of a shell command and its exit status.
std::pair<std::string, int> run(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return {"", -1};
    char buffer[65'536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    int status = ::pclose(pipe);
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

class X11Session : public ::testing::Test {
protected:
    void SetUp() override {
        dataHome = std::filesystem::temp_directory_path() /
                   ("morvane-x11-" + std::to_string(getpid()) + "-" +
                    std::to_string(Clock::now().time_since_epoch().count()));
        std::filesystem::create_directories(dataHome);
    }
    void TearDown() override {
        ws.reset();
        host.reset();
        std::filesystem::remove_all(dataHome);
    }
    // Starts the host on the private display and opens a controlling session.
    void connect() {
        host = std::make_unique<HarnessProcess>(dataHome, freePort(), std::vector<std::string>{"--x11"});
        ASSERT_TRUE(host->waitLine("listening ", 10'000));
        ws = pairedSession(*host, "Viewer");
        ASSERT_EQ(ws->nextText(), R"({"device":"Viewer","t":"ready","version":1})");
    }
    void sendJSON(const nlohmann::json& j) { ws->sendText(j.dump()); }
    // The next message of type `t`, skipping everything else, within `millis`.
    std::optional<nlohmann::json> nextOfType(const std::string& t, int millis = 5000) {
        auto deadline = Clock::now() + std::chrono::milliseconds(millis);
        while (Clock::now() < deadline) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            auto f = ws->next(static_cast<int>(std::max<long>(left, 1)));
            if (!f) return std::nullopt;
            if (f->opcode != 0x1) continue;
            auto j = nlohmann::json::parse(f->payload, nullptr, false);
            if (j.is_object() && j.value("t", "") == t) return j;
        }
        return std::nullopt;
    }
    // The next binary message with the given tag.
    std::optional<std::string> nextBinary(std::uint8_t tag, int millis = 5000, std::vector<std::string>* texts = nullptr) {
        auto deadline = Clock::now() + std::chrono::milliseconds(millis);
        while (Clock::now() < deadline) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            auto f = ws->next(static_cast<int>(std::max<long>(left, 1)));
            if (!f) return std::nullopt;
            if (f->opcode == 0x1 && texts) texts->push_back(f->payload);
            if (f->opcode == 0x2 && !f->payload.empty() && static_cast<std::uint8_t>(f->payload[0]) == tag)
                return f->payload;
        }
        return std::nullopt;
    }
    static Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

    Xvfb xvfb{"1280x720x24"};
    std::filesystem::path dataHome;
    std::unique_ptr<HarnessProcess> host;
    std::unique_ptr<WebSocket> ws;
};

TEST_F(X11Session, PicturesShowTheScreenAtTheSizeOfTheirQuality) {
    PaintClient paint;
    paint.paint(0);
    int sx = 0, sy = 0;
    paint.squareAt(0, &sx, &sy);
    connect();
    auto message = nextBinary(FrameMessage::jpegTag, 10'000);
    ASSERT_TRUE(message) << "no picture";
    int width = static_cast<std::uint8_t>((*message)[1]) << 8 | static_cast<std::uint8_t>((*message)[2]);
    int height = static_cast<std::uint8_t>((*message)[3]) << 8 | static_cast<std::uint8_t>((*message)[4]);
    auto expected = outputSize(screenWidth, screenHeight, CaptureSettings::of(FrameQuality::medium).longSide);
    EXPECT_EQ(width, expected.width);
    EXPECT_EQ(height, expected.height);
    auto picture = decodeJPEG(message->substr(5));
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width, width);
    EXPECT_EQ(picture->height, height);

    // Each bar's middle, on a row the square does not cross.
    int row = sy > screenHeight / 2 ? screenHeight / 5 : screenHeight * 4 / 5;
    for (int bar = 0; bar < 8; ++bar) {
        int x = (2 * bar + 1) * screenWidth / 16;
        auto want = PaintClient::barColour(x, screenWidth);
        auto got = picture->at(x * width / screenWidth, row * height / screenHeight);
        EXPECT_TRUE(nearColour(got, want, 48)) << "bar " << bar << std::hex << " want " << want << " got " << got;
    }

    // A lower quality gives a smaller picture.
    sendJSON({{"t", "quality"}, {"q", "low"}});
    auto low = outputSize(screenWidth, screenHeight, CaptureSettings::of(FrameQuality::low).longSide);
    bool smaller = false;
    auto deadline = Clock::now() + std::chrono::seconds(10);
    for (int step = 1; !smaller && Clock::now() < deadline; ++step) {
        paint.paint(step);
        auto next = nextBinary(FrameMessage::jpegTag, 1000);
        if (!next) continue;
        int w = static_cast<std::uint8_t>((*next)[1]) << 8 | static_cast<std::uint8_t>((*next)[2]);
        smaller = w == low.width;
    }
    EXPECT_TRUE(smaller);
}

TEST_F(X11Session, VideoBeginsWithParameterSetsDecodesAndAnswersAKeyframeAsk) {
    PaintClient paint;
    paint.paint(0);
    connect();
    ASSERT_TRUE(nextBinary(FrameMessage::jpegTag, 10'000));
    sendJSON({{"t", "video"}, {"want", "h264"}, {"maxW", 640}, {"maxH", 360}});

    std::atomic<bool> painting{true};
    std::thread painter([&] {
        PaintClient mover;
        for (int step = 1; painting; ++step) {
            mover.paint(step);
            std::this_thread::sleep_for(std::chrono::milliseconds(33));
        }
    });
    std::vector<std::string> texts;
    std::vector<FrameMessage::DecodedVideo> units;
    auto deadline = Clock::now() + std::chrono::seconds(15);
    while (units.size() < 30 && Clock::now() < deadline) {
        auto message = nextBinary(FrameMessage::videoTag, 2000, &texts);
        if (!message) continue;
        if (auto unit = FrameMessage::decodeVideo(bytes(*message))) units.push_back(*unit);
    }
    painting = false;
    painter.join();
    ASSERT_GE(units.size(), 30u);

    std::optional<nlohmann::json> announced;
    for (auto& t : texts) {
        auto j = nlohmann::json::parse(t, nullptr, false);
        if (j.is_object() && j.value("t", "") == "video") announced = j;
    }
    ASSERT_TRUE(announced) << "no video announcement before the first unit";
    auto fit = VideoGeometry::fit(screenWidth, screenHeight, CaptureSettings::of(FrameQuality::medium).longSide, 640, 360);
    EXPECT_EQ(announced->value("mode", ""), "h264");
    EXPECT_TRUE(H264::isCodecString(announced->value("codec", "")));
    EXPECT_EQ(announced->value("w", 0), fit.width);
    EXPECT_EQ(announced->value("h", 0), fit.height);

    ASSERT_TRUE(units[0].keyframe);
    std::set<int> kinds;
    for (auto& nal : H264::splitAnnexB(units[0].accessUnit))
        if (auto type = H264::nalType(nal)) kinds.insert(*type);
    EXPECT_TRUE(kinds.count(H264::NALType::sps) && kinds.count(H264::NALType::pps) && kinds.count(H264::NALType::idrSlice));

    auto file = dataHome / "stream.h264";
    {
        std::ofstream out(file, std::ios::binary);
        for (auto& u : units) out.write(reinterpret_cast<const char*>(u.accessUnit.data()), static_cast<std::streamsize>(u.accessUnit.size()));
    }
    auto [errors, status] = run("ffmpeg -nostdin -v error -f h264 -i '" + file.string() + "' -f null - 2>&1");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(errors, "");

    // On a still screen a keyframe comes when asked for.
    while (nextBinary(FrameMessage::videoTag, 700)) {
    }
    sendJSON({{"t", "keyframe"}});
    bool keyframe = false;
    deadline = Clock::now() + std::chrono::seconds(5);
    while (!keyframe && Clock::now() < deadline) {
        auto message = nextBinary(FrameMessage::videoTag, 1000);
        if (!message) continue;
        auto unit = FrameMessage::decodeVideo(bytes(*message));
        keyframe = unit && unit->keyframe && H264::containsIDR(unit->accessUnit);
    }
    EXPECT_TRUE(keyframe);
}

TEST_F(X11Session, PointerAndKeysReachTheXServerWhereTheDeviceMeantThem) {
    XRecorder recorder;
    connect();
    sendJSON({{"t", "mm"}, {"x", 0.25}, {"y", 0.5}});
    sendJSON({{"t", "mb"}, {"b", 0}, {"d", true}, {"x", 0.25}, {"y", 0.5}});
    sendJSON({{"t", "mb"}, {"b", 0}, {"d", false}, {"x", 0.25}, {"y", 0.5}});
    ASSERT_TRUE(recorder.waitForCount(ButtonRelease, 1));
    int presses = 0;
    for (auto& r : recorder.records()) {
        if (r.type != ButtonPress && r.type != ButtonRelease) continue;
        EXPECT_EQ(r.x, 320);
        EXPECT_EQ(r.y, 360);
        EXPECT_EQ(r.button, 1u);
        presses += r.type == ButtonPress;
    }
    EXPECT_EQ(presses, 1);
    recorder.clear();
    sendJSON({{"t", "k"}, {"code", "ShiftLeft"}, {"d", true}});
    sendJSON({{"t", "k"}, {"code", "KeyA"}, {"d", true}});
    sendJSON({{"t", "k"}, {"code", "KeyA"}, {"d", false}});
    sendJSON({{"t", "k"}, {"code", "ShiftLeft"}, {"d", false}});
    ASSERT_TRUE(recorder.waitFor([](const std::vector<XRecord>& r) {
        return std::count_if(r.begin(), r.end(), [](auto& x) { return x.type == KeyRelease; }) >= 2;
    }));
    std::string typed;
    for (auto& r : recorder.records())
        if (r.type == KeyPress && r.keysym >= XK_A && r.keysym <= XK_z) typed += static_cast<char>(r.keysym);
    EXPECT_EQ(typed, "A");
}

TEST_F(X11Session, ClipboardTextCrossesBothWaysWhole) {
    connect();
    std::string text;
    for (int i = 0; text.size() < 100'000; ++i) text += "line " + std::to_string(i) + (i % 7 ? " " : "\n");
    text.resize(100'000);
    int chunks = 25;
    sendJSON({{"t", "clip-put"}, {"id", 1}, {"n", chunks}, {"len", 100'000}});
    for (int i = 0; i < chunks; ++i)
        sendJSON({{"t", "clip-chunk"}, {"id", 1}, {"i", i}, {"s", text.substr(static_cast<std::size_t>(i) * 4000, 4000)}});
    auto result = nextOfType("clip-put-result");
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, (nlohmann::json{{"t", "clip-put-result"}, {"id", 1}, {"ok", true}}));
    auto [pasted, status] = run("xclip -o -selection clipboard");
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(pasted == text) << pasted.size() << " characters pasted";

    // Text another client owns comes back through a read.
    std::string theirs = "from another client \xE2\x9C\x93";
    int in[2];
    ASSERT_EQ(::pipe(in), 0);
    pid_t xclip = ::fork();
    if (xclip == 0) {
        ::dup2(in[0], 0);
        ::close(in[1]);
        int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, 1);
        ::execlp("xclip", "xclip", "-quiet", "-selection", "clipboard", "-i", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(in[0]);
    ASSERT_EQ(::write(in[1], theirs.data(), theirs.size()), static_cast<ssize_t>(theirs.size()));
    ::close(in[1]);
    bool owned = false;
    for (int i = 0; i < 100 && !owned; ++i) {
        owned = run("xclip -o -selection clipboard").first == theirs;
        if (!owned) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::string received;
    if (owned) {
        sendJSON({{"t", "clip-get"}, {"id", 2}});
        auto head = nextOfType("clip");
        if (head && head->value("state", "") == "text") {
            int n = head->value("n", 0);
            for (int i = 0; i < n; ++i) {
                auto data = nextOfType("clip-data");
                if (!data) break;
                received += data->value("s", "");
            }
        }
    }
    ::kill(xclip, SIGTERM);
    ::waitpid(xclip, nullptr, 0);
    ASSERT_TRUE(owned);
    EXPECT_EQ(received, theirs);
}

TEST_F(X11Session, SoundPlayedOnTheMachineReachesTheDeviceUntilItAsksToStop) {
    PrivatePulse pulse;
    ASSERT_TRUE(pulse.up()) << "a private PulseAudio server could not start (scripts/setup installs pulseaudio)";
    std::string raw = pulse.dir() + "/tone.raw";
    {
        auto tone = sine(1000, 0.5, 48000, 48000 * 2);
        std::ofstream out(raw, std::ios::binary);
        out.write(reinterpret_cast<const char*>(tone.data()), static_cast<std::streamsize>(tone.size() * 4));
    }
    connect();
    sendJSON({{"t", "audio-start"}});
    auto on = nextOfType("audio", 10'000);
    ASSERT_TRUE(on) << "no answer to the sound request";
    EXPECT_EQ(*on, nlohmann::json({{"t", "audio"}, {"state", "on"}, {"codec", "pcm16"}, {"rate", 24000}, {"ch", 1}}));

    pid_t player = pulse.play(raw);
    ASSERT_GT(player, 0);
    // Half a second of the tone, in the packets' own order.
    Bytes joined;
    std::uint64_t next = 0;
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (joined.size() < 24000 && Clock::now() < deadline) {
        auto packet = nextBinary(AudioMessage::tag, 10'000);
        if (!packet) break;
        auto decoded = AudioMessage::decode(bytes(*packet));
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->format, AudioFormat::standard());
        EXPECT_GE(decoded->timestampFrames, next);
        next = decoded->timestampFrames + static_cast<std::uint64_t>(decoded->frames);
        if (!AudioPCM::isSilent(decoded->pcm)) joined.insert(joined.end(), decoded->pcm.begin(), decoded->pcm.end());
    }
    int status = 0;
    waitpid(player, &status, 0);
    ASSERT_GE(joined.size(), 24000u) << "the tone did not arrive";
    auto x = samplesOf(joined);
    std::vector<double> middle(x.begin() + static_cast<std::ptrdiff_t>(x.size() / 4),
                               x.begin() + static_cast<std::ptrdiff_t>(x.size() * 3 / 4));
    EXPECT_NEAR(frequency(middle, 24000), 1000, 30);

    sendJSON({{"t", "audio-stop"}});
    auto off = nextOfType("audio", 10'000);
    ASSERT_TRUE(off);
    EXPECT_EQ(*off, nlohmann::json({{"t", "audio"}, {"state", "off"}, {"reason", "stopped"}}));
    EXPECT_TRUE(host->waitLine(R"({"dropped":)", 10'000)) << "the sound session was not reported";
}

}  // namespace
}  // namespace morvane::testing

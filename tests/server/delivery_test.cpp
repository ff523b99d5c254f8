#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "server/frame_message.h"
#include "server/video_delivery.h"
#include "media_fixture.h"
#include "video_units.h"

namespace morvane {
namespace {

using testing::eventually;
using testing::MediaSession;

class Delivery : public MediaSession {
protected:
    std::vector<Bytes> pictures() { return tagged(FrameMessage::jpegTag); }
    std::vector<FrameMessage::DecodedVideo> units() {
        std::vector<FrameMessage::DecodedVideo> out;
        for (auto& b : tagged(FrameMessage::videoTag))
            if (auto v = FrameMessage::decodeVideo(b)) out.push_back(*v);
        return out;
    }
    std::vector<Bytes> tagged(std::uint8_t tag) {
        std::vector<Bytes> out;
        for (auto& b : wire->binaries())
            if (!b.empty() && b[0] == tag) out.push_back(b);
        return out;
    }
    void picture(int width) { frames.picture(Bytes(50, 0xAB), width, 10); }
    void video(const EncodedVideoFrame& frame) {
        frames.observer()->onVideoFrame(frame);
        settle();
    }
    // Starts video and waits until the source has accepted.
    void startVideo(int w = 1280, int h = 720) {
        clock += 1000;
        send(nlohmann::json{{"t", "video"}, {"want", "h264"}, {"maxW", w}, {"maxH", h}}.dump());
        settle();
        ASSERT_TRUE(journal.contains("video start " + std::to_string(w) + "x" + std::to_string(h)));
    }
    std::size_t lineIndex(const std::string& line) {
        auto lines = wire->sent.lines();
        return static_cast<std::size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
    }
};

TEST_F(Delivery, PicturesKeepOnlyTheNewestWhileTheServerIsBusy) {
    start();
    frames.picture(Bytes(10, 1), 10, 10);  // nobody to send it to
    admit();
    settle();
    EXPECT_TRUE(pictures().empty());

    runSync(server->sessionQueue(), [&] {
        for (int i = 0; i < 10; ++i) picture(100 + i);
    });
    settle();
    auto sentPictures = pictures();
    ASSERT_EQ(sentPictures.size(), 1u);
    EXPECT_EQ(sentPictures[0], *FrameMessage::encode(Bytes(50, 0xAB), 109, 10));

    // A picture that cannot be framed is dropped, not sent broken.
    frames.picture(Bytes(10, 1), 70'000, 10);
    settle();
    EXPECT_EQ(pictures().size(), 1u);
}

TEST_F(Delivery, StreamStartsWithAnAnnouncedKeyframeAndReannouncesANewSize) {
    admit();
    startVideo(800, 600);
    picture(20);
    settle();
    EXPECT_EQ(pictures().size(), 1u) << "pictures go on while no unit was announced";

    video(unit(false));
    EXPECT_TRUE(units().empty());
    EXPECT_EQ(journalCount("keyframe"), 1) << "a stream that cannot begin asks for a keyframe";

    video(unit(true));
    ASSERT_EQ(units().size(), 1u);
    EXPECT_TRUE(units()[0].keyframe);
    auto said = json(announcement(1280, 720));
    ASSERT_TRUE(wire->sent.contains(said));
    auto all = wire->sent.lines();
    auto at = lineIndex(said);
    ASSERT_LT(at + 1, all.size());
    EXPECT_EQ(all[at + 1].rfind("binary ", 0), 0u) << "the announcement comes just before the unit";

    picture(21);
    video(unit(false));
    EXPECT_EQ(pictures().size(), 1u) << "no pictures once video flows";
    EXPECT_EQ(units().size(), 2u);

    // A new size may only begin at a keyframe, announced first.
    video(unit(false, 1024, 576));
    EXPECT_EQ(units().size(), 2u);
    EXPECT_FALSE(sent(announcement(1024, 576)));
    video(unit(true, 1024, 576));
    ASSERT_EQ(units().size(), 3u);
    EXPECT_TRUE(units()[2].keyframe);
    EXPECT_TRUE(eventuallySent(announcement(1024, 576)));
    EXPECT_EQ(sentCount(R"("mode":"h264")"), 2);
}

TEST(VideoRules, GateDropsUntilAKeyframeFindsTheConnectionFree) {
    using A = VideoGate::Action;
    VideoGate gate;
    EXPECT_EQ(gate.offer(false, false), A::drop(true));
    EXPECT_EQ(gate.offer(true, true), A::drop(false));
    EXPECT_EQ(gate.offer(true, false), A::send());
    EXPECT_EQ(gate.offer(false, false), A::send());
    EXPECT_EQ(gate.offer(false, true), A::drop(false));
    EXPECT_EQ(gate.offer(false, false), A::drop(true)) << "a skipped unit breaks the stream";
    EXPECT_EQ(gate.offer(true, false), A::send());
    gate.markBroken();
    EXPECT_EQ(gate.offer(false, false), A::drop(true));
}

TEST(VideoRules, LimitersSpaceAsksAndStartsAndForgiveABackwardClock) {
    KeyframeLimiter keyframes(500);
    EXPECT_TRUE(keyframes.allow(1000));
    EXPECT_FALSE(keyframes.allow(1400));
    EXPECT_TRUE(keyframes.allow(1500));
    EXPECT_TRUE(keyframes.allow(900));

    VideoStartLimiter starts;
    EXPECT_EQ(starts.waitMillis(5000), 0);
    EXPECT_EQ(starts.waitMillis(5300), 700);
    EXPECT_EQ(starts.waitMillis(5300), 700) << "a wait does not book";
    EXPECT_EQ(starts.waitMillis(6000), 0);
    EXPECT_EQ(starts.waitMillis(4000), 0);
    EXPECT_EQ(starts.waitMillis(4999), 1);
}

// The sockets whose local port is `port`.
std::set<ino_t> socketInodesOnPort(std::uint16_t port) {
    std::set<ino_t> out;
    for (auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        int fd = std::atoi(entry.path().filename().c_str());
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) continue;
        if (address.ss_family != AF_INET) continue;
        if (ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port) != port) continue;
        struct stat st {};
        if (::fstat(fd, &st) == 0) out.insert(st.st_ino);
    }
    return out;
}

// The server's own sockets: those whose local port is the listening port.
// Read on the server's queue, where it accepts and closes them: never a
// descriptor the server is opening or closing meanwhile (nor one closed and
// taken again by something else).
std::set<ino_t> serverSocketInodes(Executor& serverQueue, std::uint16_t port) {
    std::set<ino_t> out;
    runSync(serverQueue, [&] { out = socketInodesOnPort(port); });
    return out;
}

TEST_F(MediaSession, ChildProcessesInheritNeitherTheListenerNorConnections) {
    start();
    testing::Socket client(server->port());
    ASSERT_TRUE(eventually([&] { return serverSocketInodes(server->sessionQueue(), server->port()).size() >= 2; }))
        << "the listener and the accepted connection";
    auto own = serverSocketInodes(server->sessionQueue(), server->port());

    pid_t child = ::fork();
    if (child == 0) {
        ::execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(child, 0);
    std::string fdFolder = "/proc/" + std::to_string(child) + "/fd";
    bool execed = eventually([&] {
        char target[256] = {};
        auto exe = "/proc/" + std::to_string(child) + "/exe";
        ssize_t n = ::readlink(exe.c_str(), target, sizeof target - 1);
        return n > 0 && std::string(target, static_cast<std::size_t>(n)).find("sleep") != std::string::npos;
    });
    std::vector<ino_t> inherited;
    if (execed) {
        for (auto& entry : std::filesystem::directory_iterator(fdFolder)) {
            struct stat st {};
            if (::stat(entry.path().c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && own.count(st.st_ino))
                inherited.push_back(st.st_ino);
        }
    }
    // With the child still running, the port is free again once the server
    // has stopped.
    std::uint16_t port = server->port();
    server->stop();
    server.reset();
    int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    ::setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    bool bound = ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(probe, 1) == 0;
    ::close(probe);

    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(execed);
    EXPECT_TRUE(inherited.empty()) << inherited.size() << " server sockets live on in the child";
    EXPECT_TRUE(bound) << "the port stays busy";
}

}  // namespace
}  // namespace morvane

// The display-effects driver's X11 parts against a real X server that can
// change modes (Xorg with the dummy driver): a changed mode is put back at
// the end, by the next launch after the host was killed, and by the
// watchdog when the main thread stops answering; the Escape watch hears a
// keyboard of the machine and never the host's own injected keys.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "../app/manual_executor.h"
#include "../support/xorg_dummy.h"
#include "core/loop_executor.h"
#include "platform/linux/display_effects_x11.h"

// Last: the X headers' None and Status macros clash with names above.
#include <X11/keysym.h>

#include "../support/other_keyboard.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;

struct Screen {
    std::unique_ptr<DisplayModeBackend> backend = makeRandrBackend();
    std::uint32_t display() { return backend->topology().main; }
    std::string size() {
        const auto m = backend->currentMode(display());
        return m ? std::to_string(m->width) + "x" + std::to_string(m->height) : "none";
    }
    std::int32_t modeOf(int w, int h) {
        for (const auto& m : backend->allModes(display()).value_or(std::vector<DisplayModeInfo>{}))
            if (m.width == w && m.height == h) return m.id;
        return 0;
    }
};

struct Host {
    testing::ManualExecutor main;
    std::vector<std::string> lines;
    std::shared_ptr<SystemDisplayEffects> driver;

    explicit Host(const fs::path& marker, Executor* queue = nullptr, bool realWatchdog = false) {
        DisplayEffectsSetup s;
        s.markerPath = marker;
        s.log = [this](const std::string& line) { lines.push_back(line); };
        s.main = queue ? queue : &main;
        s.backend = makeRandrBackend();
        s.keys = makeX11EscapeWatch();
        s.uptime = [] { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); };
        s.bootId = readBootId;
        if (realWatchdog) {
            s.leaseTimer = makeMonotonicLeaseTimer();
            s.leaseExpired = [](const std::vector<ModeToRestore>& modes) { restoreAndExit(modes); };
        }
        driver = SystemDisplayEffects::create(std::move(s));
    }
};


// Waits for a child process for at most `seconds`; its exit status, or -1
// when it did not end (it is then killed).
int waitFor(pid_t child, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return -1;
}

// Runs `body` in a process of its own, which must not touch the parent's X
// connections; returns the child's id once the body reported whether its
// mode change worked.
std::pair<pid_t, bool> startChild(const std::function<void(const std::function<void(bool)>&)>& body) {
    int ready[2];
    if (pipe(ready) != 0) return {-1, false};
    const pid_t child = fork();
    if (child == 0) {
        body([&ready](bool ok) {
            const char answer = ok ? 'y' : 'n';
            [[maybe_unused]] auto n = write(ready[1], &answer, 1);
        });
        _exit(0);
    }
    char answer = 0;
    const bool reported = child > 0 && read(ready[0], &answer, 1) == 1;
    close(ready[0]);
    close(ready[1]);
    return {child, reported && answer == 'y'};
}

// A private X server that can change modes, a folder for the undo record,
// and the display with its 1440x900 mode.
class DisplayEffectsOnXorg : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove_all(folder);
        fs::create_directories(folder);
        ASSERT_EQ(screen.size(), "1920x1080");
        ASSERT_NE(target, 0);
    }
    void TearDown() override { fs::remove_all(folder); }

    testing::XorgDummy xorg{MORVANE_XORG_CONFIG};
    fs::path folder = fs::temp_directory_path() /
                      ("morvane-fx-xorg-" + std::to_string(::getpid()) + "-" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::path marker = folder / "display-change.json";
    Screen screen;
    std::int32_t target = screen.modeOf(1440, 900);
    std::uint32_t display = screen.display();
};

TEST_F(DisplayEffectsOnXorg, MatchChangesTheModeAndTheEndPutsItBack) {
    Host host(marker);
    const auto modes = host.driver->modes(display);
    ASSERT_TRUE(modes);
    EXPECT_EQ(modes->current.width, 1920);
    ASSERT_TRUE(host.driver->setMode(target, display, 1));
    EXPECT_EQ(screen.size(), "1440x900");
    EXPECT_EQ(host.driver->modes(display)->current.id, target);
    std::ifstream in(marker);
    const auto record = nlohmann::json::parse(in, nullptr, false);
    EXPECT_EQ(record["boot"], readBootId());
    EXPECT_EQ(record["changed"][0]["applied"], target);
    // The root window follows the mode, so the capture sees the new size.
    Display* d = XOpenDisplay(nullptr);
    ASSERT_TRUE(d);
    EXPECT_EQ(DisplayWidth(d, DefaultScreen(d)), 1440);
    XCloseDisplay(d);

    host.driver->restoreAll(2);
    EXPECT_EQ(screen.size(), "1920x1080");
    EXPECT_FALSE(fs::exists(marker));
}

TEST_F(DisplayEffectsOnXorg, KilledHostIsPutBackByTheNextLaunch) {
    const auto [child, changed] = startChild([&](const auto& report) {
        Host host(marker);
        report(host.driver->setMode(target, display, 1));
        pause();
    });
    ASSERT_GT(child, 0);
    ASSERT_TRUE(changed);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(screen.size(), "1440x900");  // X keeps a mode after its client is gone

    Host next(marker);
    next.driver->recoverAtLaunch();
    EXPECT_EQ(screen.size(), "1920x1080");
    EXPECT_FALSE(fs::exists(marker));
    // The log names the display by its output, as xrandr does.
    EXPECT_EQ(next.lines.front(), "display DUMMY0: a resolution change is left from the last run");
}

TEST_F(DisplayEffectsOnXorg, BlockedMainThreadEndsTheProcessWith75AndTheModeBack) {
    const auto started = std::chrono::steady_clock::now();
    const auto [child, changed] = startChild([&](const auto& report) {
        LoopExecutor mainQueue("main");
        Host host(marker, &mainQueue, true);
        runSync(mainQueue, [&] { report(host.driver->setMode(target, display, 1)); });
        // The server keeps beating; the main thread is stuck.
        std::thread server([&] {
            for (;;) {
                host.driver->keepAlive();
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
            }
        });
        mainQueue.post([] { std::this_thread::sleep_for(std::chrono::seconds(30)); });
        server.join();
    });
    ASSERT_GT(child, 0);
    ASSERT_TRUE(changed);
    EXPECT_EQ(screen.size(), "1440x900");
    EXPECT_EQ(waitFor(child, 20), 75);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, std::chrono::seconds(8));
    EXPECT_EQ(screen.size(), "1920x1080");
}

TEST_F(DisplayEffectsOnXorg, EscapeWatchHearsAnotherKeyboardButNotTheHostsOwnKeys) {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> seen;
    auto watch = makeX11EscapeWatch();
    ASSERT_EQ(watch->start([&](bool down, bool) {
        std::lock_guard lock(m);
        seen.push_back(down ? "down" : "up");
        cv.notify_all();
    }),
              EscapeArm::armed);

    testing::OtherKeyboard keyboard;
    keyboard.injected(XK_Escape, true);  // the host's own
    keyboard.injected(XK_Escape, false);
    keyboard.key(XK_Escape, true);  // a person's
    keyboard.key(XK_Escape, false);

    std::unique_lock lock(m);
    cv.wait_for(lock, std::chrono::seconds(5), [&] { return seen.size() >= 2; });
    EXPECT_EQ(seen, (std::vector<std::string>{"down", "up"}));
    lock.unlock();
    watch->stop();
    EXPECT_TRUE(watch->alive());
}

}  // namespace
}  // namespace morvane

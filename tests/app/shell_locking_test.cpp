// The shell's locks carried out for real: the screen locker drives
// xscreensaver on a private display, and the shell's looks ask it back.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "../support/xscreensaver.h"
#include "../support/xvfb.h"
#include "app/shell.h"
#include "idle_server.h"
#include "core/loop_executor.h"
#include "platform/linux/input_x11.h"
#include "platform/linux/locker_linux.h"

namespace morvane {
namespace {

using Clock = std::chrono::steady_clock;

struct NoPrompt final : OwnerPrompt {
    void ask(const std::string&, std::function<void(bool)> done) override { done(false); }
    void cancel() override {}
};

// Log lines from the main queue, read by the test thread.
class Lines {
public:
    void add(const std::string& line) {
        std::lock_guard lock(m_);
        lines_.push_back({line, Clock::now()});
        cv_.notify_all();
    }
    std::vector<std::string> withTags(std::initializer_list<std::string> tags) const {
        std::lock_guard lock(m_);
        std::vector<std::string> out;
        for (const auto& [line, at] : lines_)
            for (const auto& tag : tags)
                if (line.starts_with(tag + "  ")) out.push_back(line);
        return out;
    }
    std::optional<Clock::time_point> when(const std::string& line) const {
        std::lock_guard lock(m_);
        for (const auto& [text, at] : lines_)
            if (text == line) return at;
        return std::nullopt;
    }
    // When `line` was last added, waiting for it at most `limit` from now.
    std::optional<Clock::time_point> await(const std::string& line, std::chrono::seconds limit) {
        std::unique_lock lock(m_);
        std::optional<Clock::time_point> at;
        cv_.wait_for(lock, limit, [&] {
            for (const auto& [text, when] : lines_)
                if (text == line) at = when;
            return at.has_value();
        });
        return at;
    }
    void forget() {
        std::lock_guard lock(m_);
        lines_.clear();
    }

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::pair<std::string, Clock::time_point>> lines_;
};

// The locker's looks and locks as the application asks them: off the main
// queue, each on the queue its hand-off gives it to, the answer posted back.
using HandOff = std::function<void(std::function<void()>)>;
void wireLocker(ShellDeps& deps, std::shared_ptr<ScreenLocker> locker, HandOff looks, HandOff locks) {
    deps.lookAtLocker = [looks, locker](std::function<void(LockerLook)> answer) {
        looks([locker, answer] {
            const auto look = locker->look();
            answer(LockerLook{look.answers, look.locked});
        });
    };
    deps.tryLock = [locks, locker](std::function<void(bool)> done) { locks([locker, done] { done(locker->lock()); }); };
}

TEST(ShellWithARealLocker, AControllerThatLeavesFindsTheMachineLockedAfterTheGrace) {
    testing::Xvfb xvfb("640x480x24");
    testing::DesktopOutOfReach quiet;
    testing::XScreenSaver saver;
    if (saver.unavailable()) GTEST_SKIP() << saver.problem();
    ASSERT_TRUE(saver.running()) << saver.problem();

    Lines lines;
    LoopExecutor injectorQueue("input");
    std::unique_ptr<InputSink> injector =
        makeX11Input(injectorQueue, [] { return std::optional<Rect>(); }, [&](const std::string& text) { lines.add("injector  " + text); });
    ASSERT_TRUE(injector);
    auto locker = std::make_shared<ScreenLocker>(nullptr);
    std::vector<std::thread> probes;  // touched on the main queue only
    NoPrompt prompt;
    LoopExecutor main("test-main");

    ShellDeps deps;
    deps.main = &main;
    deps.log = [&](const std::string& tag, const std::string& text) { lines.add(tag + "  " + text); };
    deps.prompt = &prompt;
    deps.injector = injector.get();
    deps.canInject = [] { return true; };
    const auto onAThread = [&probes](std::function<void()> job) { probes.emplace_back(std::move(job)); };
    wireLocker(deps, locker, onAThread, onAThread);
    std::shared_ptr<Shell> shell;
    runSync(main, [&] {
        shell = Shell::create(std::move(deps));
        shell->loadSettings();
        shell->controllerChanged("iPad", "dev-1");
    });
    EXPECT_FALSE(locker->isLocked());

    const auto left = Clock::now();
    runSync(main, [&] { shell->controllerChanged(std::nullopt, std::nullopt); });
    const auto deadline = left + std::chrono::seconds(20);
    while (Clock::now() < deadline && !lines.when("lock  the computer is locked") &&
           !lines.when("error  the computer did not lock within 3 s"))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));

    EXPECT_EQ(lines.withTags({"lock", "error"}),
              (std::vector<std::string>{"lock  controller left: locking the computer", "lock  the computer is locked"}))
        << saver.log();
    const auto locking = lines.when("lock  controller left: locking the computer");
    ASSERT_TRUE(locking);
    EXPECT_GE(*locking - left, std::chrono::milliseconds(LockLimits::graceMillis));
    // Asked afresh, outside the shell.
    EXPECT_TRUE(ScreenLocker(nullptr).isLocked());
    // Nothing the injector said about a failed lock.
    EXPECT_TRUE(lines.withTags({"injector"}).empty());

    runSync(main, [&] {
        shell.reset();
        for (auto& probe : probes) probe.join();
    });
}

// What the shell tells the session, as it happens, for the test thread.
class ToldServer final : public testing::IdleServer {
public:
    void setLockFacts(bool canLock, bool) override { told.add("can " + std::string(canLock ? "yes" : "no")); }
    void lockAnswered(std::uint64_t ask, bool locked) override {
        told.add("answer " + std::to_string(ask) + (locked ? " locked" : " not locked"));
    }
    Lines told;
};

// On a login the host and the desktop's xscreensaver start side by side: a
// locker that comes after the host is found when a device comes, and the
// lock the device asks for is told within the 3 s the phone waits.
TEST(ShellWithARealLocker, ALockerThatStartsAfterTheHostIsFoundWhenADeviceComesAndLocksWhenAsked) {
    testing::Xvfb xvfb("640x480x24");
    testing::DesktopOutOfReach quiet;
    ASSERT_TRUE(testing::XScreenSaver::installed()) << "scripts/setup installs xscreensaver";

    ToldServer server;
    NoPrompt prompt;
    LoopExecutor main("test-main");
    LoopExecutor looks("test-locker-look");
    LoopExecutor locks("test-locker");
    auto locker = std::make_shared<ScreenLocker>(nullptr);
    ShellDeps deps;
    deps.main = &main;
    deps.prompt = &prompt;
    deps.server = &server;
    wireLocker(deps, locker, [&looks](std::function<void()> job) { looks.post(std::move(job)); },
               [&locks](std::function<void()> job) { locks.post(std::move(job)); });
    std::shared_ptr<Shell> shell;
    runSync(main, [&] {
        shell = Shell::create(std::move(deps));
        shell->loadSettings();
        shell->lookAtLockerAtLaunch();
        shell->controllerChanged("iPad", "dev-1");
    });
    ASSERT_TRUE(server.told.await("can no", std::chrono::seconds(10)));

    std::optional<testing::XScreenSaver> saver;
    saver.emplace();
    ASSERT_TRUE(saver->running()) << saver->problem();
    server.told.forget();
    const auto back = Clock::now();
    runSync(main, [&] {
        shell->controllerChanged(std::nullopt, std::nullopt);
        shell->controllerChanged("iPad", "dev-1");
    });
    const auto can = server.told.await("can yes", std::chrono::seconds(10));
    ASSERT_TRUE(can) << saver->log();
    EXPECT_LT(*can - back, std::chrono::seconds(3));

    const auto asked = Clock::now();
    runSync(main, [&] { shell->lockAsked(1); });
    const auto told = server.told.await("answer 1 locked", std::chrono::seconds(10));
    ASSERT_TRUE(told) << saver->log();
    EXPECT_LT(*told - asked, std::chrono::seconds(3));
    EXPECT_TRUE(ScreenLocker(nullptr).isLocked());

    runSync(main, [&] { shell.reset(); });
}

}  // namespace
}  // namespace morvane

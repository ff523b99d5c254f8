// The shell's locks carried out for real: the screen locker drives
// xscreensaver on a private display in its own protocol, and the shell's
// looks ask it back.
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
#include "platform/linux/locker_xscreensaver_x11.h"

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

// The locker on a queue of its own, which its X connection is used on: the
// shell's looks and locks handed to it, the answers posted back by the
// shell itself.
class QueuedLocker {
public:
    QueuedLocker() : queue_("test-locker") {
        runSync(queue_, [this] {
            link_ = XScreenSaverLink::open();
            locker_ = std::make_unique<ScreenLocker>(nullptr, nullptr, link_.get());
        });
    }
    ~QueuedLocker() {
        runSync(queue_, [this] {
            locker_.reset();
            link_.reset();
        });
    }
    void wire(ShellDeps& deps) {
        deps.lookAtLocker = [this](std::function<void(LockerLook)> answer) {
            queue_.post([this, answer] {
                locker_->look([answer](ScreenLocker::Look look) { answer(LockerLook{look.answers, look.locked}); });
            });
        };
        deps.tryLock = [this](std::function<void(bool)> done) {
            queue_.post([this, done] { locker_->lock(done); });
        };
    }

private:
    LoopExecutor queue_;
    std::unique_ptr<XScreenSaverLink> link_;
    std::unique_ptr<ScreenLocker> locker_;
};

// Asked afresh, outside the shell.
bool xscreensaverSaysLocked() {
    const auto link = XScreenSaverLink::open();
    return link && link->locked() == true;
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
    QueuedLocker locker;
    NoPrompt prompt;
    LoopExecutor main("test-main");

    ShellDeps deps;
    deps.main = &main;
    deps.log = [&](const std::string& tag, const std::string& text) { lines.add(tag + "  " + text); };
    deps.prompt = &prompt;
    deps.injector = injector.get();
    deps.canInject = [] { return true; };
    locker.wire(deps);
    std::shared_ptr<Shell> shell;
    runSync(main, [&] {
        shell = Shell::create(std::move(deps));
        shell->loadSettings();
        shell->controllerChanged("iPad", "dev-1");
    });
    EXPECT_FALSE(xscreensaverSaysLocked());

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
    EXPECT_TRUE(xscreensaverSaysLocked());
    // Nothing the injector said about a failed lock.
    EXPECT_TRUE(lines.withTags({"injector"}).empty());

    runSync(main, [&] { shell.reset(); });
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
    QueuedLocker locker;
    ShellDeps deps;
    deps.main = &main;
    deps.prompt = &prompt;
    deps.server = &server;
    locker.wire(deps);
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
    EXPECT_TRUE(xscreensaverSaysLocked());

    runSync(main, [&] { shell.reset(); });
}

}  // namespace
}  // namespace morvane

// The locker against a real X display: xscreensaver where it is installed,
// and an honest "no" where nothing can lock.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "../support/xscreensaver.h"
#include "../support/xvfb.h"
#include "platform/linux/locker_linux.h"

namespace morvane {
namespace {

bool becomesLocked(ScreenLocker& locker, std::chrono::seconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (std::chrono::steady_clock::now() < deadline) {
        if (locker.isLocked()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return locker.isLocked();
}

TEST(ScreenLockerOnX, LocksThroughXscreensaverAndSaysSo) {
    testing::Xvfb xvfb("640x480x24");
    testing::DesktopOutOfReach quiet;
    testing::XScreenSaver saver;
    if (saver.unavailable()) GTEST_SKIP() << saver.problem();
    ASSERT_TRUE(saver.running()) << saver.problem();

    std::vector<std::string> log;
    ScreenLocker locker([&](const std::string& line) { log.push_back(line); });
    EXPECT_FALSE(locker.isLocked());
    EXPECT_TRUE(locker.lock());
    EXPECT_TRUE(becomesLocked(locker, std::chrono::seconds(8))) << saver.log();
    EXPECT_TRUE(log.empty());
    // Still locked when asked again: the answer is the saver's state, not a
    // memory of having asked.
    EXPECT_TRUE(ScreenLocker(nullptr).isLocked());
}

TEST(ScreenLockerOnX, WithNoLockerTheScreenIsNotLockedAndTheLogSaysWhy) {
    testing::Xvfb xvfb("640x480x24");
    testing::DesktopOutOfReach quiet;
    std::vector<std::string> log;
    ScreenLocker locker([&](const std::string& line) { log.push_back(line); });
    EXPECT_FALSE(locker.lock());
    EXPECT_EQ(log, (std::vector<std::string>{"the screen could not be locked: no screen locker answered"}));
    EXPECT_FALSE(locker.isLocked());
}

}  // namespace
}  // namespace morvane

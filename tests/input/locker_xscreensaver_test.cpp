// The locker against a real X display: xscreensaver spoken to in its own
// protocol, heard as it locks, goes and comes back, and an honest "no" where
// nothing can lock.
#include <poll.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "../support/xscreensaver.h"
#include "../support/xvfb.h"
#include "platform/linux/locker_linux.h"
#include "platform/linux/locker_xscreensaver_x11.h"

namespace morvane {
namespace {

using Clock = std::chrono::steady_clock;

// Reads what the server sends, as the host's loop does, until `done` or the
// limit; the time it took, or nothing.
template <class Done>
std::optional<Clock::duration> heardWithin(XScreenSaverLink& link, Done done, std::chrono::seconds limit) {
    const auto start = Clock::now();
    while (Clock::now() - start < limit) {
        if (done()) return Clock::now() - start;
        pollfd p{link.fd(), POLLIN, 0};
        ::poll(&p, 1, 50);
        link.pump();
    }
    if (done()) return Clock::now() - start;
    return std::nullopt;
}

TEST(XScreenSaverLink, LocksThroughItsOwnProtocolAndHearsItGoAndComeBack) {
    testing::Xvfb xvfb("640x480x24");
    testing::DesktopOutOfReach quiet;
    // Open before xscreensaver starts, as a host started at login is.
    auto link = XScreenSaverLink::open();
    ASSERT_TRUE(link);
    int news = 0;
    link->setNews([&news] { ++news; });
    EXPECT_EQ(link->locked(), std::nullopt);
    EXPECT_FALSE(link->lock()) << "nothing runs to take it";

    std::optional<testing::XScreenSaver> saver;
    saver.emplace();
    if (saver->unavailable()) GTEST_SKIP() << saver->problem();
    ASSERT_TRUE(saver->running()) << saver->problem();
    // Started after the link: heard, not found by asking later.
    EXPECT_TRUE(heardWithin(*link, [&] { return news > 0; }, std::chrono::seconds(3))) << saver->log();
    EXPECT_EQ(link->locked(), false);

    std::vector<std::string> log;
    ScreenLocker locker([&](const std::string& line) { log.push_back(line); }, nullptr, link.get());
    std::optional<bool> took;
    locker.lock([&](bool t) { took = t; });
    EXPECT_EQ(took, true);
    news = 0;
    EXPECT_TRUE(heardWithin(*link, [&] { return news > 0 && link->locked() == true; }, std::chrono::seconds(8)))
        << saver->log();
    EXPECT_TRUE(log.empty());
    std::optional<ScreenLocker::Look> look;
    locker.look([&](ScreenLocker::Look l) { look = l; });
    EXPECT_EQ(look, (ScreenLocker::Look{true, true}));

    // Ended while locked: its last status stays on the root window, and
    // says nothing any more.
    news = 0;
    saver.reset();
    EXPECT_TRUE(heardWithin(*link, [&] { return news > 0 && !link->locked(); }, std::chrono::seconds(3)));
    EXPECT_EQ(link->locked(), std::nullopt);

    // Started again: unlocked, and heard within the 3 s the page allows.
    news = 0;
    saver.emplace();
    ASSERT_TRUE(saver->running()) << saver->problem();
    const auto back = heardWithin(*link, [&] { return news > 0 && link->locked() == false; }, std::chrono::seconds(3));
    EXPECT_TRUE(back) << saver->log();
}

TEST(XScreenSaverLink, WithNoLockerTheScreenIsNotLockedAndTheLogSaysWhy) {
    testing::Xvfb xvfb("640x480x24");
    testing::DesktopOutOfReach quiet;
    auto link = XScreenSaverLink::open();
    ASSERT_TRUE(link);
    std::vector<std::string> log;
    ScreenLocker locker([&](const std::string& line) { log.push_back(line); }, nullptr, link.get());
    std::optional<bool> took;
    locker.lock([&](bool t) { took = t; });
    EXPECT_EQ(took, false);
    EXPECT_EQ(log, (std::vector<std::string>{"the screen could not be locked: no screen locker answered"}));
    std::optional<ScreenLocker::Look> look;
    locker.look([&](ScreenLocker::Look l) { look = l; });
    EXPECT_EQ(look, (ScreenLocker::Look{false, false}));
}

}  // namespace
}  // namespace morvane

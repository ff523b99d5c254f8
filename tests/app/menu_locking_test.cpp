// The menu's lines about a screen that cannot be locked.
#include <gtest/gtest.h>

#include "app/menu_model.h"

namespace morvane {
namespace {

// The lines right after the locking setting, up to the next setting.
std::vector<std::string> linesAfterLocking(bool lockerMissing, bool lastLockFailed) {
    MenuSnapshot s;
    s.lockerMissing = lockerMissing;
    s.lastLockFailed = lastLockFailed;
    std::vector<std::string> out;
    bool after = false;
    for (const auto& item : buildMenu(s)) {
        if (item.title == "Devices May Change the Resolution") break;
        if (after) out.push_back((item.kind == MenuItem::Kind::warning ? "red: " : "") + item.title);
        after = after || item.title == "Lock Computer When the Controller Disconnects";
    }
    return out;
}

// Only a lock that was tried and failed is red; a locker that does not
// answer before then is advice.
TEST(StatusMenu, AScreenThatCouldNotBeLockedIsARedLineUnderTheLockingSetting) {
    const std::string advice = "Start the desktop's screen locker, or xscreensaver";
    struct Case {
        bool lockerMissing, lastLockFailed;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {false, false, {}},
        {true, false, {"No screen locker answers", advice}},
        {false, true, {"red: The screen could not be locked when the controller disconnected", advice}},
        {true, true, {"red: The screen could not be locked: no screen locker answers", advice}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(linesAfterLocking(c.lockerMissing, c.lastLockFailed), c.lines)
            << "locker missing " << c.lockerMissing << ", last lock failed " << c.lastLockFailed;
}

}  // namespace
}  // namespace morvane

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

TEST(StatusMenu, AScreenThatCannotBeLockedIsARedLineUnderTheLockingSetting) {
    const std::string advice = "Start the desktop's screen locker, or xscreensaver";
    EXPECT_EQ(linesAfterLocking(false, false), std::vector<std::string>{});
    EXPECT_EQ(linesAfterLocking(true, false),
              (std::vector<std::string>{"red: The screen could not be locked: no screen locker answers", advice}));
    const std::vector<std::string> failed = {"red: The screen could not be locked when the controller disconnected",
                                             advice};
    EXPECT_EQ(linesAfterLocking(false, true), failed);
    EXPECT_EQ(linesAfterLocking(true, true), failed);
}

}  // namespace
}  // namespace morvane

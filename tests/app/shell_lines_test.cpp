#include "app/shell_lines.h"

#include <gtest/gtest.h>

namespace morvane {
namespace {

using namespace ShellLines;

TEST(ShellLines, SessionChangeLinesCutSecondsTowardZero) {
    EXPECT_EQ(disconnected("iPad", 59'900, false), "disconnected: iPad after 59 s");
    EXPECT_EQ(disconnected("iPad", 1'000, true), "disconnected: iPad after 1 s (taken over)");
    EXPECT_EQ(connected("iPad", routeWords(ConnectionRoute::relay, true)), "connected: iPad (over the relay)");
    EXPECT_EQ(routeWords(ConnectionRoute::tailnet, true), "over the tailnet");
    EXPECT_EQ(routeWords(ConnectionRoute::loopback, false), "from this computer");
    EXPECT_EQ(pairingRouteWords(true), "over the tailnet");
}

TEST(ShellLines, StatisticsLines) {
    CaptureStats jpeg{"ok", 300, 150, 5 * 1024 * 1024, 1280, 720, false, 0};
    EXPECT_EQ(captureStats(jpeg), "state ok, 150 frames (15.0 fps), 1280x720 px, 5120 KiB, 300 callbacks");
    CaptureStats video{"ok", 10, 299, 2'500'000, 1920, 1080, true, 1};
    EXPECT_EQ(captureStats(video),
              "state ok, 299 frames (29.9 fps), 1920x1080 px, 2441 KiB, 10 callbacks, h264 2000 kbit/s, 1 keyframes");
    EXPECT_EQ(inputSummary(""), "no events");
    EXPECT_EQ(inputSummary("move=2"), "move=2");
    EXPECT_EQ(permissions(true, false, true, true),
              "screen-capture=yes input-injection=no key-watch=yes (screen capture needs a relaunch)");
}

TEST(ShellLines, PairingAlertTexts) {
    EXPECT_EQ(pairingCodeMessage("ABCD2345"), "Pairing code: ABCD-2345");
    EXPECT_EQ(pairingInformative(std::nullopt, 8722),
              "Only a browser on this computer can use this code: open http://127.0.0.1:8722 and enter it. For a phone, "
              "tablet or another computer, choose Connect a Device… in the Morvane menu instead. It works once and "
              "expires after 2 minutes.\n\nClosing this window cancels pairing.");
    EXPECT_EQ(pairingInformative(std::string("mac.ts.net"), 8722),
              "On your device, open https://mac.ts.net (or on this computer, http://127.0.0.1:8722) and enter the code. It "
              "works once and expires after 2 minutes.\n\nClosing this window cancels pairing.");
}

TEST(ShellLines, SettingAndPauseLines) {
    EXPECT_EQ(pauseChosen(std::nullopt),
              "Pause Morvane chosen in the menu. Nobody can connect until Resume Morvane is chosen");
    EXPECT_EQ(pauseChosen(std::string("iPad\n")),
              "Pause Morvane chosen in the menu: iPad  is disconnected. Nobody can connect until Resume Morvane is "
              "chosen");
    EXPECT_EQ(lockSettingChanged(false), "lock when the controller disconnects: off (changed in the menu)");
    EXPECT_EQ(resolutionSettingChanged(true), "devices may change the resolution: on (changed in the menu)");
    EXPECT_EQ(audioSession(12.5, 300, 2), "sound was on for 13 s: 300 packets sent, 2 dropped");
}

TEST(ShellLines, StartLineNamesThisSystem) {
    EXPECT_EQ(prettyName("NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n"),
              "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(prettyName("PRETTY_NAME=Plain\n"), "Plain");
    EXPECT_FALSE(prettyName("NAME=x\n"));
    EXPECT_EQ(startLine("? (?)", "Debian GNU/Linux 12 (bookworm), kernel 6.1.0", 42),
              "start: Morvane ? (?), Debian GNU/Linux 12 (bookworm), kernel 6.1.0, pid 42");
}

TEST(ShellLines, ClosedAttemptSummariesComeAtMostOnceAMinute) {
    ClosedAttempts a;
    // After a quiet minute the first is summarised at once.
    EXPECT_EQ(a.record(false, 0), 0);
    EXPECT_EQ(a.flush(0), "1 code(s) sent while no pairing window was open (1 from this computer, 0 over the tailnet)");
    EXPECT_EQ(a.record(false, 5'000), 55'000);
    EXPECT_FALSE(a.record(false, 6'000));
    EXPECT_FALSE(a.record(true, 7'000));
    EXPECT_FALSE(a.record(true, 8'000));
    EXPECT_EQ(a.flush(60'000), "4 code(s) sent while no pairing window was open (2 from this computer, 2 over the tailnet)");
    EXPECT_EQ(a.record(true, 200'000), 0);
}

TEST(ShellLines, AFailedOffWriteNeverLeavesHidingStoredOn) {
    bool stored = true;
    bool removeWorks = true;
    const auto failingWrite = [&](bool) { return false; };
    const auto remove = [&] {
        if (removeWorks) stored = false;
        return removeWorks;
    };
    const auto readBack = [&] { return stored; };

    auto off = setHideScreen(false, failingWrite, remove, readBack);
    EXPECT_FALSE(off.allowed);
    EXPECT_FALSE(stored);
    EXPECT_FALSE(off.notStored);
    EXPECT_EQ(off.line, "devices may hide this screen: off (changed in the menu); the setting could not be stored");

    stored = true;
    removeWorks = false;
    off = setHideScreen(false, failingWrite, remove, readBack);
    EXPECT_TRUE(off.notStored);  // the menu shows the disagreement

    auto on = setHideScreen(true, failingWrite, remove, readBack);
    EXPECT_FALSE(on.allowed);  // a failed write never leaves hiding allowed
    EXPECT_EQ(on.line, "devices may hide this screen: off (changed in the menu); the setting could not be stored");

    on = setHideScreen(true, [&](bool v) { stored = v; return true; }, remove, readBack);
    EXPECT_TRUE(on.allowed);
    EXPECT_EQ(on.line, "devices may hide this screen: on (changed in the menu)");
}

}  // namespace
}  // namespace morvane

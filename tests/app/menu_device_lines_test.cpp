// The menu's lines about the paired-device list: a failure's reason shown
// whole, and what the menu says while the list is not saved.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/menu_model.h"
#include "menu_items.h"

namespace morvane {
namespace {

TEST(StatusMenu, AFailureLineKeepsItsReasonAndShortensThePathBeforeIt) {
    struct Case {
        const char* text;
        const char* line;
    };
    const std::vector<Case> cases = {
        {"cannot read the device file", "cannot read the device file"},
        // 99 characters: the reason stays whole, the item's name gives way.
        {"cannot read private item local.morvane.host/paired-devices: Too many levels of symbolic links (40)",
         "cannot read private item …host/paired-devices: Too many levels of symbolic links (40)"},
        {"cannot update private item local.morvane.host/paired-devices: No space left on device (28)",
         "cannot update private item local.morvane.host/paired-devices: No space left on device (28)"},
        // One long word as the subject is shortened in its middle.
        {"/home/anna/.local/share/Morvane/keychain/local.morvane.host%40paired-devices.dat: Permission denied (13)",
         "/home/anna/.local/share/Morvane/…host%40paired-devices.dat: Permission denied (13)"},
        // Only a reason that alone does not fit is cut, at its end.
        {"x: 0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789",
         "x: 01234567890123456789012345678901234567890123456789012345678901234567890123456789012345…"},
        {"line one\nline two", "line one line two"},
    };
    for (const auto& c : cases) {
        const std::string line = failureLine(c.text, 90);
        EXPECT_EQ(line, c.line) << c.text;
        std::size_t characters = 0;
        for (unsigned char b : line) characters += (b & 0xc0) != 0x80;
        EXPECT_LE(characters, 90u) << c.text;
    }
}

TEST(StatusMenu, AFailureTooLongForOneLineGoesOnAsManyLinesAsItNeedsWhole) {
    const std::string link = "the link /home/anna/.local/share/Morvane/keychain/local.morvane.host%40paired-devices.dat "
                             "leads into /srv/shared/morvane-keys, which others may change";
    struct Case {
        std::string text;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        // Fits: one line as it is.
        {"cannot read the device file", {"cannot read the device file"}},
        // A reason that fits after a shortened subject stays on one line.
        {"cannot read private item local.morvane.host/paired-devices: Too many levels of symbolic links (40)",
         {"cannot read private item …host/paired-devices: Too many levels of symbolic links (40)"}},
        // A refused link has no ": " before its reason: wrapped at blanks.
        {link,
         {"the link /home/anna/.local/share/Morvane/keychain/local.morvane.host%40paired-devices.dat",
          "leads into /srv/shared/morvane-keys, which others may change"}},
        // A reason longer than a line wraps rather than being cut.
        {"x: " + std::string(40, 'a') + " " + std::string(40, 'b') + " " + std::string(40, 'c'),
         {"x: " + std::string(40, 'a') + " " + std::string(40, 'b'), std::string(40, 'c')}},
        // A word longer than a line breaks after a "/" in its second half.
        {"/" + std::string(60, 'p') + "/" + std::string(60, 'q') + " is not a regular file",
         {"/" + std::string(60, 'p') + "/", std::string(60, 'q') + " is not a regular file"}},
    };
    for (const auto& c : cases) EXPECT_EQ(failureLines(c.text, 90), c.lines) << c.text;

    // In the menu: every line of it, then the way out.
    MenuSnapshot s;
    s.storageFailure = link;
    const auto menu = buildMenu(s);
    const auto at = std::find_if(menu.begin(), menu.end(),
                                 [](const MenuItem& i) { return i.title == "Paired devices could not be read"; });
    ASSERT_NE(at, menu.end());
    ASSERT_GE(menu.end() - at, 5);
    EXPECT_EQ(at[1].title, cases[2].lines[0]);
    EXPECT_EQ(at[2].title, cases[2].lines[1]);
    EXPECT_EQ(at[3].title, "No device is accepted until you start fresh");
    EXPECT_EQ(at[4].title, "Start Fresh and Pair Again…");
    s = MenuSnapshot{};
    s.settingsNotSaved = "the link /home/anna/.config/Morvane/settings.json leads to /srv/shared/morvane/settings.json, "
                         "in a folder others may change";
    EXPECT_TRUE(has(buildMenu(s), "/srv/shared/morvane/settings.json, in a folder others may change"));
}

TEST(StatusMenu, AListThatIsNotSavedTurnsPairingOffAndSaysWhatARestartWouldFind) {
    MenuSnapshot s;
    s.lastSaveFailure = "cannot update private item local.morvane.host/paired-devices: No space left on device (28)";
    auto menu = buildMenu(s);
    EXPECT_EQ(find(menu, "Paired devices are not being saved")->kind, MenuItem::Kind::warning);
    EXPECT_TRUE(has(menu, "cannot update private item local.morvane.host/paired-devices: No space left on device (28)"));
    EXPECT_TRUE(has(menu, "New pairings are refused; Morvane tries again every 10 seconds"));
    EXPECT_FALSE(find(menu, "Pair a Browser on This Computer…")->enabled);
    EXPECT_FALSE(has(menu, "Until then no device is accepted after a restart"));
    EXPECT_FALSE(pairEnabled(s)) << "the tailnet's pairing item has the same gate";

    s.unsavedRevocation = UnsavedRevocationState::listRemoved;
    menu = buildMenu(s);
    ASSERT_TRUE(has(menu, "Until then no device is accepted after a restart"));
    EXPECT_EQ(find(menu, "Until then no device is accepted after a restart")->kind, MenuItem::Kind::item);
    // With devices left, a restart would cost them their pairing: said plainly.
    s.devices.push_back(DeviceLine{"d1", "Phone", false, std::nullopt});
    menu = buildMenu(s);
    EXPECT_FALSE(has(menu, "Until then no device is accepted after a restart"));
    ASSERT_TRUE(has(menu, "Keep Morvane running: after a restart the other devices must be paired again"));
    EXPECT_EQ(find(menu, "Keep Morvane running: after a restart the other devices must be paired again")->kind,
              MenuItem::Kind::warning);
    s.unsavedRevocation = UnsavedRevocationState::listKept;
    menu = buildMenu(s);
    ASSERT_TRUE(has(menu, "Until then a revoked device would be accepted again after a restart"));
    EXPECT_EQ(find(menu, "Until then a revoked device would be accepted again after a restart")->kind,
              MenuItem::Kind::warning);
}

}  // namespace
}  // namespace morvane

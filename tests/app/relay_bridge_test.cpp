#include "app/relay_bridge.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <unistd.h>

namespace morvane {
namespace {

TEST(RelayBridge, RelayLinesBecomeTrayItemsThatNameTheirAction) {
    const std::vector<RelayMenuItem> lines = {
        RelayMenuItem::label("Relay: off"),
        RelayMenuItem::warning("Relay keys could not be read"),
        RelayMenuItem::command("Turn On Relay\u2026", "turnOn", true),
        RelayMenuItem::command("Change Relay Address\u2026", "changeAddress", false),
    };
    auto items = relayMenuItems(lines);
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0], MenuItem::line("Relay: off"));
    EXPECT_EQ(items[1], MenuItem::warning("Relay keys could not be read"));
    EXPECT_EQ(items[2].action, MenuAction::relay);
    EXPECT_EQ(items[2].payload, "turnOn");
    EXPECT_TRUE(items[2].enabled);
    EXPECT_EQ(items[3].payload, "changeAddress");
    EXPECT_FALSE(items[3].enabled);
}

TEST(RelayBridge, ALongReasonGoesOnMoreLinesOfItsKindNeverCut) {
    const std::string reason = "The relay did not answer the last 3 tries: relay.example.org: the TLS handshake failed: "
                               "certificate verify failed (unable to get local issuer certificate)";
    auto items = relayMenuItems({RelayMenuItem::label("Relay: connecting…"), RelayMenuItem::label(reason),
                                 RelayMenuItem::detail("Relay address: " + std::string(100, 'r') + ".example.org")});
    ASSERT_EQ(items.size(), 6u);
    EXPECT_EQ(items[0], MenuItem::line("Relay: connecting…"));
    EXPECT_EQ(items[1],
              MenuItem::line("The relay did not answer the last 3 tries: relay.example.org: the TLS handshake failed:"));
    EXPECT_EQ(items[2], MenuItem::line("certificate verify failed (unable to get local issuer certificate)"));
    // A detail's every line folds with the relay's details.
    EXPECT_EQ(items[3].title, "Relay address:");
    EXPECT_EQ(items[4].title, std::string(90, 'r'));
    EXPECT_EQ(items[5].title, std::string(10, 'r') + ".example.org");
    for (std::size_t i = 3; i < items.size(); ++i) EXPECT_EQ(items[i].foldInto, MenuFolds::relayDetails);
}

TEST(RelayBridge, PrettyHostnameIsReadWithShellQuoting) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"PRETTY_HOSTNAME=Work Laptop\n", "Work Laptop"},
        {"CHASSIS=laptop\nPRETTY_HOSTNAME=\"Anna's \\\"Laptop\\\"\"\n", "Anna's \"Laptop\""},
        {"PRETTY_HOSTNAME='Back\\slash'", "Back\\slash"},
        {"PRETTY_HOSTNAME=\"\"\n", std::nullopt},
        {"ICON_NAME=computer\n", std::nullopt},
        {"PRETTY_HOSTNAME=first\nPRETTY_HOSTNAME=second\n", "second"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(prettyHostname(text), expected) << text;
    // Without the file the host name answers.
    EXPECT_FALSE(computerName("/nonexistent/machine-info").empty());
}

TEST(RelayBridge, RelaySettingsLiveInTheSettingsFileAcrossLaunches) {
    const auto file = std::filesystem::temp_directory_path() / ("relay-bridge-" + std::to_string(::getpid()) + ".json");
    {
        SettingsStore store(file, nullptr);
        SettingsRelaySettings settings(store);
        settings.setInt(RelayController::versionKey, 2);
        settings.setBool(RelayController::enabledKey, true);
        settings.setString(RelayController::emailKey, "owner@example.com");
        settings.setString(RelayController::hostKey, "relay.example.com");
        settings.remove(RelayController::hostKey);
    }
    SettingsStore again(file, nullptr);
    SettingsRelaySettings settings(again);
    EXPECT_EQ(settings.intValue(RelayController::versionKey), 2);
    EXPECT_EQ(settings.boolValue(RelayController::enabledKey), true);
    EXPECT_EQ(settings.stringValue(RelayController::emailKey), "owner@example.com");
    EXPECT_EQ(settings.stringValue(RelayController::hostKey), std::nullopt);
    // A value of another type reads as absent.
    EXPECT_EQ(settings.intValue(RelayController::enabledKey), std::nullopt);
    std::filesystem::remove(file);
}

}  // namespace
}  // namespace morvane

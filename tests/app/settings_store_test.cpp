#include "app/settings_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace morvane {
namespace {

namespace fs = std::filesystem;

struct TempFolder {
    fs::path path = fs::temp_directory_path() / ("settings-test-" + std::to_string(::getpid()) + "-" +
                                                 std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    ~TempFolder() {
        std::error_code ec;
        fs::permissions(path, fs::perms::owner_all, ec);
        fs::remove_all(path, ec);
    }
};

mode_t modeOf(const fs::path& p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_mode & 0777;
}

TEST(SettingsStore, KeepsTypedValuesPrivatelyAcrossRestarts) {
    TempFolder dir;
    const fs::path file = dir.path / "Morvane" / "settings.json";
    std::vector<std::string> lines;
    const auto log = [&](const std::string& tag, const std::string& text) { lines.push_back(tag + ": " + text); };
    {
        SettingsStore s(file, log);
        EXPECT_FALSE(s.boolValue(SettingsKeys::lockOnDisconnect));
        EXPECT_TRUE(s.setBool(SettingsKeys::lockOnDisconnect, false));
        EXPECT_TRUE(s.setString(SettingsKeys::sessionHistory, "[]"));
        EXPECT_TRUE(s.setDate(SettingsKeys::sessionHistorySeen, 1'772'359'200'123));
    }
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(modeOf(file.parent_path()), 0700u);
    SettingsStore again(file, log);
    EXPECT_EQ(again.boolValue(SettingsKeys::lockOnDisconnect), false);
    EXPECT_EQ(again.stringValue(SettingsKeys::sessionHistory), "[]");
    EXPECT_EQ(again.dateValue(SettingsKeys::sessionHistorySeen), 1'772'359'200'123);
    // A value of another type reads as absent.
    EXPECT_FALSE(again.boolValue(SettingsKeys::sessionHistory));
    EXPECT_FALSE(again.dateValue(SettingsKeys::lockOnDisconnect));
    EXPECT_TRUE(again.remove(SettingsKeys::lockOnDisconnect));
    EXPECT_FALSE(SettingsStore(file, log).boolValue(SettingsKeys::lockOnDisconnect));
    EXPECT_TRUE(lines.empty());
    // No temporary file is left beside it.
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(file.parent_path())) ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(SettingsStore, DamagedOrOversizedFilesReadAsEmpty) {
    TempFolder dir;
    fs::create_directories(dir.path);
    const fs::path file = dir.path / "settings.json";
    std::ofstream(file) << "[1,2,3]";
    EXPECT_FALSE(SettingsStore(file, {}).boolValue("paused"));
    std::ofstream(file) << "{\"paused\": true";
    EXPECT_FALSE(SettingsStore(file, {}).boolValue("paused"));
    {
        std::ofstream big(file);
        big << "{\"paused\": true, \"pad\": \"" << std::string(SettingsLimits::maxFileBytes, 'x') << "\"}";
    }
    EXPECT_FALSE(SettingsStore(file, {}).boolValue("paused"));
    std::ofstream(file, std::ios::trunc) << "{\"paused\": true}";
    EXPECT_EQ(SettingsStore(file, {}).boolValue("paused"), true);
}

TEST(SettingsStore, AFailedWriteIsLoggedAndReported) {
    TempFolder dir;
    fs::create_directories(dir.path);
    // A plain file where the folder should be: no write can succeed, even
    // for root.
    std::ofstream(dir.path / "Morvane") << "not a folder";
    const fs::path file = dir.path / "Morvane" / "settings.json";
    std::vector<std::string> lines;
    SettingsStore s(file, [&](const std::string& tag, const std::string& text) { lines.push_back(tag + ": " + text); });
    EXPECT_FALSE(s.setBool(SettingsKeys::paused, true));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("error: settings could not be saved to " + file.string(), 0), 0u);
    // The running process still goes by the new value.
    EXPECT_EQ(s.boolValue(SettingsKeys::paused), true);
}

}  // namespace
}  // namespace morvane

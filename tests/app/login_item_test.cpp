#include "app/login_item.h"

#include <gtest/gtest.h>

#include <set>

namespace morvane {
namespace {

namespace fs = std::filesystem;

TEST(LoginItem, TheAutostartEntryStartsAnInstalledProgramNeverOneInABuildTree) {
    const std::vector<fs::path> places = {"/opt/m/bin/morvane-host", "/home/ann/.local/bin/morvane-host",
                                          "/usr/local/bin/morvane-host", "/usr/bin/morvane-host"};
    const struct {
        const char* why;
        fs::path running;
        std::set<fs::path> present;
        fs::path started;
    } table[] = {
        {"run from a build tree, installed for the user", "/home/ann/src/morvane/build/morvane-host",
         {"/home/ann/.local/bin/morvane-host", "/usr/bin/morvane-host"}, "/home/ann/.local/bin/morvane-host"},
        {"run from a build tree, installed at this build's place", "/home/ann/src/morvane/build/morvane-host",
         {"/opt/m/bin/morvane-host", "/usr/local/bin/morvane-host"}, "/opt/m/bin/morvane-host"},
        {"run from an installed copy while another exists", "/usr/local/bin/morvane-host",
         {"/home/ann/.local/bin/morvane-host", "/usr/local/bin/morvane-host"}, "/usr/local/bin/morvane-host"},
        {"nothing installed", "/home/ann/src/morvane/build/morvane-host", {},
         "/home/ann/src/morvane/build/morvane-host"},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.why);
        EXPECT_EQ(LoginItem::autostartProgram(row.running, places,
                                              [&](const fs::path& p) { return row.present.count(p) > 0; }),
                  row.started);
    }
}

TEST(LoginItem, TheEntryQuotesTheProgramAsDesktopEntriesAsk) {
    const std::string entry = LoginItem::desktopEntry("/home/ann/my \"tools\"/$bin/morvane-host");
    EXPECT_NE(entry.find("Exec=\"/home/ann/my \\\\\"tools\\\\\"/\\\\$bin/morvane-host\"\n"), std::string::npos) << entry;
    EXPECT_EQ(entry.rfind("[Desktop Entry]\nType=Application\nName=Morvane\n", 0), 0u);
}

}  // namespace
}  // namespace morvane

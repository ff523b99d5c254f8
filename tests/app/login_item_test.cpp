#include "app/login_item.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <set>

namespace morvane {
namespace {

namespace fs = std::filesystem;

const std::vector<fs::path> installedPlaces = {"/opt/m/bin/morvane-host", "/home/ann/.local/bin/morvane-host",
                                               "/usr/local/bin/morvane-host", "/usr/bin/morvane-host"};
const fs::path buildHost = "/home/ann/src/morvane/build/morvane-host";
const std::string fromBuildFolder = "Start at Login needs Morvane installed: this copy runs from a build folder";

LoginItem::Places placesWith(std::set<fs::path> present) {
    return {installedPlaces, [present](const fs::path& p) { return present.count(p) > 0; },
            [](const fs::path& p) { return p.parent_path() == buildHost.parent_path(); }};
}

TEST(LoginItem, TheAutostartEntryStartsAnInstalledProgramNeverOneInABuildFolder) {
    const struct {
        const char* why;
        fs::path running;
        std::set<fs::path> present;
        std::optional<fs::path> started;
    } table[] = {
        {"run from a build folder, installed for the user", buildHost,
         {"/home/ann/.local/bin/morvane-host", "/usr/bin/morvane-host"}, "/home/ann/.local/bin/morvane-host"},
        {"run from a build folder, installed at this build's place", buildHost,
         {"/opt/m/bin/morvane-host", "/usr/local/bin/morvane-host"}, "/opt/m/bin/morvane-host"},
        {"run from an installed copy while another exists", "/usr/local/bin/morvane-host",
         {"/home/ann/.local/bin/morvane-host", "/usr/local/bin/morvane-host"}, "/usr/local/bin/morvane-host"},
        {"run from a build folder, nothing installed", buildHost, {}, std::nullopt},
        {"a copy kept elsewhere, nothing installed", "/home/ann/tools/morvane-host", {}, "/home/ann/tools/morvane-host"},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.why);
        const auto choice = LoginItem::choose(row.running, placesWith(row.present));
        EXPECT_EQ(choice.program, row.started);
        EXPECT_EQ(choice.unavailable, row.started ? std::nullopt : std::optional<std::string>(fromBuildFolder));
    }
}

TEST(LoginItem, TheEntryQuotesTheProgramAsDesktopEntriesAskAndIsReadBack) {
    const std::string entry = LoginItem::desktopEntry("/home/ann/my \"tools\"/$bin/morvane-host");
    EXPECT_NE(entry.find("Exec=\"/home/ann/my \\\\\"tools\\\\\"/\\\\$bin/morvane-host\"\n"), std::string::npos) << entry;
    EXPECT_EQ(entry.rfind("[Desktop Entry]\nType=Application\nName=Morvane\n", 0), 0u);
    for (const fs::path program : {"/usr/bin/morvane-host", "/home/ann/my \"tools\"/$bin/`x`/morvane-host",
                                   "/home/ann/back\\slash/morvane-host", "/opt/Mor vane/morvane-host"})
        EXPECT_EQ(LoginItem::programOf(LoginItem::desktopEntry(program)), program) << program;
    // Entries written by hand: one program is read, anything more is not.
    const struct {
        const char* exec;
        std::optional<fs::path> program;
    } byHand[] = {
        {"Exec=/usr/bin/morvane-host\n", "/usr/bin/morvane-host"},
        {"Exec=\"/opt/Mor\\svane/morvane-host\"", "/opt/Mor vane/morvane-host"},
        {"Exec=/opt/Mor\\svane/morvane-host", std::nullopt},  // a blank outside quotes begins an argument
        {"Exec=\"/usr/bin/morvane-host\" --verbose\n", std::nullopt},
        {"Exec=\"/usr/bin/morvane-host\n", std::nullopt},
        {"Exec=morvane-host\n", std::nullopt},
    };
    for (const auto& c : byHand)
        EXPECT_EQ(LoginItem::programOf(std::string("[Desktop Entry]\n") + c.exec), c.program) << c.exec;
}

struct Folder {
    fs::path path = fs::temp_directory_path() / ("login-item-" + std::to_string(::getpid()) + "-" +
                                                 std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    Folder() { fs::create_directories(path); }
    ~Folder() { fs::remove_all(path); }
};

TEST(LoginItem, AnEntryLeftStartingAnotherProgramIsMendedAtStartOnlyTowardsAnInstalledOne) {
    const fs::path installed = "/usr/bin/morvane-host", user = "/home/ann/.local/bin/morvane-host";
    const fs::path gone = "/home/ann/deleted-clone/build/morvane-host";
    const struct {
        const char* why;
        fs::path running;
        std::set<fs::path> present;
        std::optional<fs::path> entry;  // what the entry starts before the start; none: no entry
        std::optional<fs::path> after;
        std::optional<std::string> line;
        std::optional<std::string> menu;  // what the menu says of the entry after the start
    } table[] = {
        {"the installed host finds the build folder's", installed, {installed, buildHost}, buildHost, installed,
         "app: start at login: the login item started " + buildHost.string() + "; it starts " + installed.string() +
             " now",
         std::nullopt},
        {"a build's host finds one that is gone while another is installed", buildHost, {installed}, gone, installed,
         "app: start at login: the login item started " + gone.string() + "; it starts " + installed.string() + " now",
         std::nullopt},
        {"another installed host is left as it is", installed, {installed, user}, user, user, std::nullopt,
         std::nullopt},
        {"nothing installed: the build folder's stays, and is shown", buildHost, {buildHost}, buildHost, buildHost,
         std::nullopt, "Start at Login starts a copy that is not installed: " + buildHost.string()},
        {"nothing installed, the clone deleted", buildHost, {buildHost}, gone, gone, std::nullopt,
         "Start at Login starts nothing: " + gone.string() + " is gone"},
        {"no entry: none is made", installed, {installed}, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.why);
        Folder dir;
        const fs::path file = dir.path / "autostart" / "morvane.desktop";
        fs::create_directories(file.parent_path());
        if (row.entry) std::ofstream(file) << LoginItem::desktopEntry(*row.entry);
        std::ofstream(file.parent_path() / ".morvane.desktop.k3Jd9Q") << "left by a write killed half way";
        LoginItem item(file, row.running, placesWith(row.present));
        const auto line = item.mendAtStart();
        EXPECT_EQ(line ? std::optional(line->tag + ": " + line->text) : std::nullopt, row.line);
        std::ifstream in(file);
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        EXPECT_EQ(LoginItem::programOf(text), row.after);
        EXPECT_EQ(item.startsElsewhere(), row.menu);
        EXPECT_FALSE(fs::exists(file.parent_path() / ".morvane.desktop.k3Jd9Q"));
    }
}

}  // namespace
}  // namespace morvane

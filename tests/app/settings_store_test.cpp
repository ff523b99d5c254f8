#include "app/settings_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <tuple>

namespace morvane {
namespace {

namespace fs = std::filesystem;

struct SettingsFolder {
    fs::path path = fs::temp_directory_path() / ("settings-test-" + std::to_string(::getpid()) + "-" +
                                                 std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    ~SettingsFolder() {
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
    SettingsFolder dir;
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
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "error: the setting sessionHistory in " + file.string() +
                             " is not true or false; it is ignored and its default is in use",
                         "error: the setting lockOnDisconnect in " + file.string() +
                             " is not a date; it is ignored and its default is in use"}));
    // No temporary file is left beside it.
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(file.parent_path())) ++entries;
    EXPECT_EQ(entries, 1);
}

// Reads the store on a thread of its own, so that a read that blocks
// (a FIFO opened for reading waits for a writer) fails the test instead of
// hanging it: after the deadline the test plays the writer to let it go.
std::unique_ptr<SettingsStore> openWithin(const fs::path& file, SettingsStore::Log log, bool& blocked) {
    auto reading = std::async(std::launch::async, [&] { return std::make_unique<SettingsStore>(file, log); });
    blocked = reading.wait_for(std::chrono::seconds(10)) != std::future_status::ready;
    if (blocked) {
        const int writer = ::open(file.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (writer >= 0) ::close(writer);
    }
    return reading.get();
}

TEST(SettingsStore, AFileThatCannotBeUsedIsKeptAsideWithOneLineSayingWhy) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& file)> make;
        std::string why;
    };
    const std::vector<Case> cases = {
        {"cut short", [](const fs::path& f) { std::ofstream(f) << "{\"paused\": true"; }, "not valid JSON"},
        {"array", [](const fs::path& f) { std::ofstream(f) << "[1,2,3]"; }, "not a JSON object"},
        {"oversized",
         [](const fs::path& f) {
             std::ofstream(f) << "{\"paused\": true, \"pad\": \"" << std::string(SettingsLimits::maxFileBytes, 'x')
                              << "\"}";
         },
         "larger than 262144 bytes"},
        {"loop of links",
         [](const fs::path& f) {
             fs::create_symlink(f.filename().string() + ".other", f);
             fs::create_symlink(f.filename(), f.string() + ".other");
         },
         "a loop of symbolic links"},
        // Valid JSON under the size limit that every write would indent
        // again, growing with the square of its depth (20,000 levels: 800 MB),
        // or that would take gigabytes to build at all.
        {"objects nested deep",
         [](const fs::path& f) {
             std::ofstream out(f);
             out << "{\"paused\": true, \"x\": ";
             for (int i = 0; i < 20'000; ++i) out << "{\"a\":";
             out << "1" << std::string(20'000, '}') << "}";
         },
         "nested deeper than 16 levels"},
        {"arrays nested deep",
         [](const fs::path& f) {
             std::ofstream(f) << "{\"paused\": true, \"x\": " << std::string(130'000, '[') << std::string(130'000, ']')
                              << "}";
         },
         "nested deeper than 16 levels"},
    };
    for (const auto& c : cases) {
        SettingsFolder dir;
        fs::create_directories(dir.path);
        const fs::path file = dir.path / "settings.json";
        c.make(file);
        std::vector<std::string> lines;
        bool blocked = false;
        auto s = openWithin(file, [&](const std::string& tag, const std::string& text) { lines.push_back(tag + ": " + text); },
                            blocked);
        EXPECT_FALSE(blocked) << c.name;
        EXPECT_FALSE(s->boolValue(SettingsKeys::paused)) << c.name;
        ASSERT_EQ(lines.size(), 1u) << c.name;
        EXPECT_EQ(lines[0], "error: the settings file " + file.string() + " could not be used (" + c.why +
                                "); it was kept as " + file.string() + ".damaged; the default settings are in use")
            << c.name;
        EXPECT_EQ(s->damaged(), c.why + "; kept as settings.json.damaged") << c.name;
        EXPECT_FALSE(fs::exists(fs::symlink_status(file))) << c.name;
        EXPECT_TRUE(fs::exists(fs::symlink_status(dir.path / "settings.json.damaged"))) << c.name;
        // The next change is written as a fresh regular file; what was kept
        // aside stays for the owner.
        EXPECT_TRUE(s->setBool(SettingsKeys::paused, true)) << c.name;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file))) << c.name;
        EXPECT_LT(fs::file_size(file), 100u) << c.name;
        EXPECT_EQ(SettingsStore(file, {}).boolValue(SettingsKeys::paused), true) << c.name;
        EXPECT_TRUE(fs::exists(fs::symlink_status(dir.path / "settings.json.damaged"))) << c.name;
    }
}

// Dotfiles kept with stow or home-manager: settings.json is a link (or a
// link to a link) into a folder of its own. What it leads to is read and
// written, and judged as the file itself would be: a damaged one is kept
// aside beside itself. Every link still says what it said.
TEST(SettingsStore, ALinkedFileIsReadAndWrittenWhereItLeadsAndTheLinkStays) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> links;  // link, what it says
        std::string target;
        std::string text;                // what the target holds; none when empty
        std::optional<std::string> why;  // why it cannot be used
        bool otherUser = false;
    };
    const std::pair<std::string, std::string> stow{"Morvane/settings.json", "../dotfiles/settings.json"};
    std::vector<Case> cases = {
        {"stow", {stow}, "dotfiles/settings.json", R"({"paused":true})", std::nullopt},
        {"home-manager", {{"Morvane/settings.json", "../files/settings.json"}, {"files/settings.json", "../store/s.json"}},
         "store/s.json", R"({"paused":true})", std::nullopt},
        {"not yet written", {stow}, "dotfiles/settings.json", "", std::nullopt},
        {"cut short", {stow}, "dotfiles/settings.json", R"({"paused")", "not valid JSON"},
    };
    // Another user could unpause this host through it; only root can make
    // a file of another user here.
    if (::getuid() == 0) {
        cases.push_back({"another user's", {stow}, "dotfiles/settings.json", R"({"paused":true})",
                         "a file of another user (65534)", true});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SettingsFolder dir;
        for (const char* folder : {"Morvane", "dotfiles", "files", "store"}) fs::create_directories(dir.path / folder);
        for (const auto& [link, says] : c.links) fs::create_symlink(says, dir.path / link);
        const fs::path file = dir.path / "Morvane" / "settings.json", target = dir.path / c.target;
        if (!c.text.empty()) std::ofstream(target) << c.text;
        if (c.otherUser) {
            ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
        }
        std::vector<std::string> lines;
        SettingsStore s(file, [&](const std::string& tag, const std::string& text) { lines.push_back(tag + ": " + text); });
        const bool pausedThere = !c.why && !c.text.empty();
        EXPECT_EQ(s.boolValue(SettingsKeys::paused), pausedThere ? std::optional(true) : std::nullopt);
        const std::vector<std::string> told = {"error: the settings file " + file.string() + " (a link to " +
                                               target.string() + ") could not be used (" + c.why.value_or("") +
                                               "); it was kept as " + target.string() +
                                               ".damaged; the default settings are in use"};
        EXPECT_EQ(lines, c.why ? told : std::vector<std::string>{});
        EXPECT_TRUE(s.setBool(SettingsKeys::lockOnDisconnect, false));
        for (const auto& [link, says] : c.links) EXPECT_EQ(fs::read_symlink(dir.path / link), says) << link;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(target)));
        EXPECT_EQ(SettingsStore(file, {}).boolValue(SettingsKeys::lockOnDisconnect), false);
    }
}

// A link to a folder (or one ending in "/", which can only name a folder)
// leads to no settings file: the folder is the owner's, wherever it is, and
// is neither moved aside nor replaced, nor the link; the line says so.
TEST(SettingsStore, ALinkToAFolderIsLeftAsItIsAndSaidSo) {
    const std::vector<std::pair<const char*, std::vector<std::pair<std::string, std::string>>>> cases = {
        {"to a folder", {{"Morvane/settings.json", "../dotfiles"}}},
        {"ending in /", {{"Morvane/settings.json", "../dotfiles/"}}},
        {"ending in / with no folder there", {{"Morvane/settings.json", "../nothing/"}}},
        {"through another link", {{"Morvane/settings.json", "../files/s"}, {"files/s", "../dotfiles/"}}},
    };
    for (const auto& [name, links] : cases) {
        SCOPED_TRACE(name);
        SettingsFolder dir;
        for (const char* folder : {"Morvane", "dotfiles", "files"}) fs::create_directories(dir.path / folder);
        std::ofstream(dir.path / "dotfiles" / "notes") << "kept";
        for (const auto& [link, says] : links) fs::create_symlink(says, dir.path / link);
        const fs::path file = dir.path / "Morvane" / "settings.json";
        std::vector<std::string> lines;
        SettingsStore s(file, [&](const std::string& tag, const std::string& text) { lines.push_back(tag + ": " + text); });
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], "error: the settings file " + file.string() +
                                " is a link to a folder, not to a settings file; the link and the folder are left as "
                                "they are, the default settings are in use and changes are not saved until the link "
                                "leads to a file");
        EXPECT_FALSE(s.setBool(SettingsKeys::paused, true));
        for (const auto& [link, says] : links) EXPECT_EQ(fs::read_symlink(dir.path / link), says) << link;
        EXPECT_TRUE(fs::is_directory(dir.path / "dotfiles"));
        EXPECT_TRUE(fs::exists(dir.path / "dotfiles" / "notes"));
        EXPECT_FALSE(fs::exists(dir.path / "nothing"));
        for (const auto& entry : fs::recursive_directory_iterator(dir.path))
            EXPECT_EQ(entry.path().string().find(".damaged"), std::string::npos) << entry.path();
    }
}

// settings.json linked to /dev/null (the host running as root) or to a
// FIFO, or one of them (or a folder) at its own place: neither is moved
// aside nor replaced by the settings, at launch or at any later write, nor
// when the link comes to lead there after the launch.
TEST(SettingsStore, ADeviceAFifoOrAFolderHereOrWhereTheLinkLeadsIsLeftAsItIsAndSaidSo) {
    enum class Place { here, linked, linkedLater };
    struct Case {
        const char* name;
        const char* kind;  // mknod's: 'c' a device, 'p' a FIFO, 'd' a folder
        Place place;
        std::string words;
    };
    std::vector<Case> cases = {{"fifo", "p", Place::linked, "is a FIFO, not a regular file"},
                               {"fifo, linked later", "p", Place::linkedLater, "is a FIFO, not a regular file"},
                               {"fifo here", "p", Place::here, "is a FIFO, not a regular file"},
                               {"folder here", "d", Place::here, "is not a regular file"}};
    if (::geteuid() == 0)
        cases.insert(cases.end(), {{"device", "c", Place::linked, "is a character device, not a regular file"},
                                   {"device, linked later", "c", Place::linkedLater,
                                    "is a character device, not a regular file"},
                                   {"device here", "c", Place::here, "is a character device, not a regular file"}});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SettingsFolder dir;
        for (const char* folder : {"Morvane", "dev"}) fs::create_directories(dir.path / folder);
        const fs::path file = dir.path / "Morvane" / "settings.json";
        const fs::path special = c.place == Place::here ? file : dir.path / "dev" / "null";
        if (c.kind == std::string("c")) {
            ASSERT_EQ(::mknod(special.c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0);
        } else if (c.kind == std::string("p")) {
            ASSERT_EQ(::mkfifo(special.c_str(), 0600), 0);
        } else {
            fs::create_directory(special);
        }
        struct stat before {};
        ASSERT_EQ(::lstat(special.c_str(), &before), 0);
        if (c.place == Place::linked) {
            fs::create_symlink(special, file);
        } else if (c.place == Place::linkedLater) {
            std::ofstream(dir.path / "dev" / "s.json") << R"({"paused":false})";
            fs::create_symlink(dir.path / "dev" / "s.json", file);
        }
        std::vector<std::string> lines;
        SettingsStore s(file, [&](const std::string& tag, const std::string& text) { lines.push_back(tag + ": " + text); });
        if (c.place == Place::linked) {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0], "error: the settings file " + file.string() + " is a link to " + special.string() +
                                    ", which " + c.words + "; the link and " + special.string() +
                                    " are left as they are, the default settings are in use and changes are not "
                                    "saved until the link leads to a file");
        } else if (c.place == Place::here) {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0], "error: the settings file " + file.string() + " " + c.words +
                                    "; it is left as it is, the default settings are in use and changes are not "
                                    "saved until it is a regular file");
        } else {
            EXPECT_TRUE(lines.empty());
            fs::remove(file);
            fs::create_symlink(special, file);
        }
        lines.clear();
        EXPECT_FALSE(s.setBool(SettingsKeys::paused, true));
        EXPECT_EQ(s.saveFailure(), c.place == Place::here
                                       ? "what is in its place " + c.words + "; it is left as it is"
                                       : "it is a link to " + special.string() + ", which " + c.words +
                                             "; it is left as it is");
        ASSERT_EQ(lines.size(), 1u);
        struct stat after {};
        ASSERT_EQ(::lstat(special.c_str(), &after), 0);
        EXPECT_EQ(std::tie(after.st_ino, after.st_mode, after.st_rdev),
                  std::tie(before.st_ino, before.st_mode, before.st_rdev));
        if (c.place != Place::here) {
            EXPECT_EQ(fs::read_symlink(file), special);
        }
        for (const auto& entry : fs::recursive_directory_iterator(dir.path)) {
            EXPECT_EQ(entry.path().string().find(".damaged"), std::string::npos) << entry.path();
            EXPECT_EQ(entry.path().string().find(".tmp-"), std::string::npos) << entry.path();
        }
    }
}

TEST(SettingsStore, AnEarlierDamagedCopyIsKeptAndTheNextIsNumbered) {
    SettingsFolder dir;
    fs::create_directories(dir.path);
    const fs::path file = dir.path / "settings.json";
    const auto launchWith = [&](const std::string& text) {
        std::ofstream(file) << text;
        std::vector<std::string> lines;
        SettingsStore s(file, [&](const std::string& tag, const std::string& text) { lines.push_back(tag + ": " + text); });
        EXPECT_EQ(lines.size(), 1u) << text;
        return std::make_pair(s.damaged().value_or(""), lines.empty() ? "" : lines[0]);
    };
    const std::vector<std::string> texts = {"{\"paused\": tr", "[1]", "{"};
    const std::vector<std::string> names = {"settings.json.damaged", "settings.json.damaged.2", "settings.json.damaged.3"};
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const auto [damaged, line] = launchWith(texts[i]);
        EXPECT_TRUE(damaged.ends_with("; kept as " + names[i])) << damaged;
        EXPECT_NE(line.find("it was kept as " + (dir.path / names[i]).string()), std::string::npos) << line;
    }
    // Each copy holds what was found at its launch.
    for (std::size_t i = 0; i < texts.size(); ++i) {
        std::ifstream in(dir.path / names[i]);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), texts[i]) << names[i];
    }

    // With every numbered name taken the file stays where it is, and the
    // line says why; no copy is replaced.
    for (int copy = 4; copy <= SettingsLimits::maxDamagedCopies; ++copy)
        std::ofstream(dir.path / ("settings.json.damaged." + std::to_string(copy))) << "kept";
    const auto [damaged, line] = launchWith("{{");
    EXPECT_EQ(damaged, "not valid JSON");
    EXPECT_NE(line.find("it could not be kept aside: 20 damaged copies are kept already"), std::string::npos) << line;
    EXPECT_TRUE(fs::exists(file));
    std::ifstream first(dir.path / names[0]);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(first), {}), texts[0]);
}

TEST(SettingsStore, AValueOfAnotherTypeIsIgnoredWithOneLineNamingTheKey) {
    struct Case {
        const char* key;
        const char* stored;  // the value in the file
        std::function<bool(const SettingsStore&)> readsAbsent;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {SettingsKeys::paused, R"("yes")", [](const SettingsStore& s) { return !s.boolValue(SettingsKeys::paused); },
         "true or false"},
        {SettingsKeys::sessionHistory, "[]",
         [](const SettingsStore& s) { return !s.stringValue(SettingsKeys::sessionHistory); }, "a text"},
        {SettingsKeys::sessionHistorySeen, R"({"wallMillis":"soon"})",
         [](const SettingsStore& s) { return !s.dateValue(SettingsKeys::sessionHistorySeen); }, "a date"},
        {"relayCount", "1.5", [](const SettingsStore& s) { return !s.intValue("relayCount"); }, "a whole number"},
    };
    for (const auto& c : cases) {
        SettingsFolder dir;
        fs::create_directories(dir.path);
        const fs::path file = dir.path / "settings.json";
        std::ofstream(file) << "{\"" << c.key << "\": " << c.stored << ", \"welcomeHidden\": true}";
        std::vector<std::string> lines;
        SettingsStore s(file, [&](const std::string& tag, const std::string& text) { lines.push_back(tag + ": " + text); });
        // Read at launch, then at every menu: told once.
        EXPECT_TRUE(c.readsAbsent(s)) << c.key << " " << c.stored;
        EXPECT_TRUE(c.readsAbsent(s)) << c.key << " " << c.stored;
        EXPECT_EQ(s.boolValue(SettingsKeys::welcomeHidden), true);
        EXPECT_EQ(lines, std::vector<std::string>{std::string("error: the setting ") + c.key + " in " + file.string() +
                                                  " is not " + c.expected + "; it is ignored and its default is in use"})
            << c.stored;
        EXPECT_FALSE(s.damaged()) << "the rest of the file is used";
    }
}

TEST(SettingsStore, AMissingFileIsAFreshStartAndNotDamage) {
    SettingsFolder dir;
    std::vector<std::string> lines;
    SettingsStore s(dir.path / "settings.json", [&](const std::string& tag, const std::string& text) {
        lines.push_back(tag + ": " + text);
    });
    EXPECT_FALSE(s.damaged());
    EXPECT_TRUE(lines.empty());
    EXPECT_FALSE(fs::exists(dir.path / "settings.json.damaged"));
}

pid_t deadPid() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

TEST(SettingsStore, AStartRemovesWhatAWriteKilledHalfWayLeft) {
    SettingsFolder dir;
    fs::create_directories(dir.path);
    const std::string dead = std::to_string(deadPid()), live = std::to_string(::getpid());
    const struct {
        std::string name;
        bool removed;
        bool beforeBoot = false;  // written before this boot, as a power cut leaves it
    } cases[] = {
        {".settings.json.Ab3xY9", true},       // an earlier version's, through mkstemp
        {".settings.json.tmp-" + dead, true},   // this version's, of a process that is gone
        {".settings.json.tmp-" + live, false},  // a write under way
        // The id of a process that runs now, which started after the file
        // was written: the id came round again.
        {".settings.json.tmp-1", true, true},
        {".settings.json.Ab-xY9", false},       // not what mkstemp makes
        {".other.json.Ab3xY9", false},          // another file's
    };
    for (const auto& c : cases) {
        std::ofstream(dir.path / c.name) << std::string(1000, 'x');
        const timespec longAgo[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
        if (c.beforeBoot) {
            ASSERT_EQ(::utimensat(AT_FDCWD, (dir.path / c.name).c_str(), longAgo, 0), 0);
        }
    }
    SettingsStore s(dir.path / "settings.json", {});
    for (const auto& c : cases) EXPECT_EQ(fs::exists(dir.path / c.name), !c.removed) << c.name;
}

TEST(SettingsStore, AFailedWriteIsLoggedAndReported) {
    SettingsFolder dir;
    fs::create_directories(dir.path);
    // A plain file where the folder should be: no write can succeed, even
    // for root.
    std::ofstream(dir.path / "Morvane") << "not a folder";
    const fs::path file = dir.path / "Morvane" / "settings.json";
    std::vector<std::string> lines;
    SettingsStore s(file, [&](const std::string& tag, const std::string& text) { lines.push_back(tag + ": " + text); });
    EXPECT_FALSE(s.setBool(SettingsKeys::paused, true));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "error: settings could not be saved to " + file.string() +
                            ": a file is in the place of the folder " + file.parent_path().string());
    // The running process still goes by the new value, and knows it is not
    // what the next start reads.
    EXPECT_EQ(s.boolValue(SettingsKeys::paused), true);
    EXPECT_FALSE(s.storedBoolValue(SettingsKeys::paused));
    EXPECT_TRUE(s.saveFailure());
}

}  // namespace
}  // namespace morvane

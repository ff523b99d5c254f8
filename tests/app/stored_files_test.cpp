// Every file the host writes and reads again at a later launch: what its
// writer lets through, at the largest size it allows, its reader takes back
// whole; one more is refused by the writer, which leaves the last file that
// fits in place. And what is no file of the host's at any of their places is
// left as it is.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <tuple>

#include <nlohmann/json.hpp>

#include "../app/manual_executor.h"
#include "../platform/effects_fakes.h"
#include "app/keychain_flag.h"
#include "app/session_history.h"
#include "app/settings_store.h"
#include "core/bounded_json.h"
#include "devices/device_store.h"
#include "devices/keychain_device_storage.h"
#include "platform/linux/display_effects_x11.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;

struct StoredFolder {
    fs::path path = fs::temp_directory_path() / ("stored-files-test-" + std::to_string(::getpid()) + "-" +
                                                 std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    StoredFolder() { fs::create_directories(path); }
    ~StoredFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

std::string textOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::int64_t sizeOf(const fs::path& file) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    return ec ? -1 : static_cast<std::int64_t>(size);
}

const SettingsStore::Log quiet = [](const std::string&, const std::string&) {};

// One stored file: `write(n)` stores content that grows with n through the
// host's writer (false when the writer refuses it); `readsBack(n)` reads the
// file as the next launch does and says whether it holds what `write(n)`
// stored. `file` is where it lands, `cap` what its reader takes.
struct StoredFile {
    const char* name;
    std::function<bool(std::int64_t)> write;
    std::function<bool(std::int64_t)> readsBack;
    fs::path file;
    std::int64_t cap;
};

TEST(StoredFiles, WhatTheWriterLetsThroughAtItsLargestIsReadBackAndOneMoreIsRefused) {
    StoredFolder dir;
    const fs::path settingsFile = dir.path / "settings.json";
    const fs::path items = dir.path / "keychain";
    const std::string itemAccount = "relay-identity";
    KeychainDeviceStorage item(KeychainDeviceStorage::defaultService, itemAccount, "Morvane relay identity", items);

    std::vector<StoredFile> files = {
        {"settings: one long value",
         [&](std::int64_t n) { return SettingsStore(settingsFile, quiet).setString("note", std::string(n, 'x')); },
         [&](std::int64_t n) {
             SettingsStore again(settingsFile, quiet);
             return !again.damaged() && again.stringValue("note") == std::string(n, 'x');
         },
         settingsFile, SettingsLimits::maxFileBytes},
        // The relay identity, the screen-hiding flag and the device list are
        // such items.
        {"private item",
         [&](std::int64_t n) {
             try {
                 item.save(Bytes(static_cast<std::size_t>(n), 'k'));
                 return true;
             } catch (const DeviceStorageError&) {
                 return false;
             }
         },
         [&](std::int64_t n) { return item.load() == Bytes(static_cast<std::size_t>(n), 'k'); },
         items / KeychainDeviceStorage::itemFileName(KeychainDeviceStorage::defaultService, itemAccount),
         static_cast<std::int64_t>(maxStoredBytes)},
    };

    for (auto& f : files) {
        SCOPED_TRACE(f.name);
        // The largest n the writer takes: every step of n adds a byte at
        // least, so it lies below the reader's cap, and no file spends more
        // than a few bytes on anything but its content.
        std::int64_t low = f.cap - 64, high = f.cap;
        ASSERT_TRUE(f.write(low));
        while (low < high) {
            const std::int64_t mid = low + (high - low + 1) / 2;
            if (f.write(mid))
                low = mid;
            else
                high = mid - 1;
        }
        ASSERT_TRUE(f.write(low));
        EXPECT_LE(sizeOf(f.file), f.cap);
        EXPECT_TRUE(f.readsBack(low)) << "written at " << sizeOf(f.file) << " bytes";
        const std::string kept = textOf(f.file);
        EXPECT_FALSE(f.write(low + 1));
        EXPECT_EQ(textOf(f.file), kept) << "a refused write left the last file in place";
        EXPECT_TRUE(f.readsBack(low));
    }
}

// The owner's file as the issue met it: 170 KB, nested within the limit,
// rewritten at the first change and read at the next launch.
TEST(StoredFiles, AValidSettingsFileKeepsItsSettingsAcrossAChange) {
    StoredFolder dir;
    const fs::path file = dir.path / "settings.json";
    nlohmann::json deep = nlohmann::json::array();
    for (int i = 0; i < 2'000; ++i) deep.push_back(i);
    for (int level = 0; level < BoundedJson::storedFileDepth - 2; ++level) deep = nlohmann::json::array({deep});
    nlohmann::json owner = {{SettingsKeys::lockOnDisconnect, false}};
    for (int i = 0; i < 18; ++i) owner["kept" + std::to_string(i)] = deep;
    std::ofstream(file) << owner.dump();
    ASSERT_GT(sizeOf(file), 150'000);

    SettingsStore first(file, quiet);
    ASSERT_FALSE(first.damaged());
    ASSERT_TRUE(first.setBool(SettingsKeys::paused, true));
    SettingsStore next(file, quiet);
    EXPECT_FALSE(next.damaged()) << *next.damaged();
    EXPECT_EQ(next.boolValue(SettingsKeys::lockOnDisconnect), false);
    EXPECT_EQ(next.boolValue(SettingsKeys::paused), true);
}

// The device list near the storages' limit, saved again after a change:
// indenting it would pass the limit, and the next launch would accept no
// device.
TEST(StoredFiles, APairedDeviceListNearTheLimitIsReadBackAfterAChange) {
    StoredFolder dir;
    auto storage = std::make_shared<KeychainDeviceStorage>(
        KeychainDeviceStorage::defaultService, KeychainDeviceStorage::defaultAccount,
        KeychainDeviceStorage::defaultLabel, dir.path / "keychain");
    // Written by hand, compact: long token hashes keep the number of
    // records small, and every record gains some 30 bytes when indented.
    const std::size_t count = 2'000;
    const std::string hash(maxStoredBytes / count - 90, 'a');
    std::string compact = "[";
    for (std::size_t i = 0; i < count; ++i) {
        if (i) compact += ",";
        compact += R"({"id":"id-)" + std::to_string(i) + R"(","name":"Phone","pairedAt":"2026-03-01T09:20:00Z",)" +
                   R"("tokenHash":")" + hash + R"("})";
    }
    compact += "]";
    ASSERT_LE(compact.size(), maxStoredBytes);
    ASSERT_GT(compact.size() + 20 * count, maxStoredBytes) << "indenting must be what passes the limit";
    storage->save(Bytes(compact.begin(), compact.end()));

    {
        DeviceStore store(storage);
        ASSERT_EQ(store.storageFailure(), std::nullopt);
        EXPECT_EQ(store.revoke("id-0"), std::nullopt);
    }
    DeviceStore next(storage);
    EXPECT_EQ(next.storageFailure(), std::nullopt) << *next.storageFailure();
    EXPECT_EQ(next.devices().size(), count - 1);
}

// The session history lives in the settings: its largest form (every record
// with the longest name) goes through them and comes back the same.
TEST(StoredFiles, TheLargestSessionHistoryComesBackThroughTheSettings) {
    StoredFolder dir;
    const fs::path file = dir.path / "settings.json";
    std::string longest;
    for (int i = 0; i < SessionHistory::nameLimit; ++i) longest += "\xF0\x9F\x98\x80";  // 4 bytes, one cluster
    std::vector<SessionRecord> records;
    for (std::size_t i = 0; i < SessionHistory::maxRecords; ++i)
        records.push_back({std::string(64, 'd'), longest, 1'772'359'200'000, 1'772'359'260'000, "relay", true});
    ASSERT_TRUE(SettingsStore(file, quiet).setString(SettingsKeys::sessionHistory, SessionHistory::encode(records)));
    const auto stored = SettingsStore(file, quiet).stringValue(SettingsKeys::sessionHistory);
    ASSERT_TRUE(stored);
    EXPECT_EQ(SessionHistory::decode(*stored), records);
}

// A program's socket, listening: its clients must still reach it after.
struct ListeningSocket {
    int fd = -1;
    explicit ListeningSocket(const fs::path& place) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", place.c_str());
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ~ListeningSocket() {
        if (fd >= 0) ::close(fd);
    }
    static bool reachable(const fs::path& place) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", place.c_str());
        const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool reached = ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(client);
        return reached;
    }
};

// The display driver as the host makes it at launch, on fakes.
struct DisplayRecord {
    testing::ManualExecutor main;
    testing::FakeDisplays displays;
    testing::FakeCovers covers;
    testing::FakeKeys keys;
    testing::FakeLease lease;
    std::shared_ptr<SystemDisplayEffects> driver;
    DisplayRecord(const fs::path& marker, SettingsStore::Log log) {
        displays.add(1, {testing::fakeMode(1, 1920, 1080), testing::fakeMode(2, 1280, 720)}, 1);
        DisplayEffectsSetup s;
        s.markerPath = marker;
        s.log = [log](const std::string& line) { log("display", line); };
        s.main = &main;
        s.backend = std::make_unique<testing::FakeBackend>(displays);
        s.makeCover = [](const Rect&, const std::string&) -> std::unique_ptr<CoverWindow> { return nullptr; };
        s.keys = std::make_unique<testing::FakeKeyWatch>(keys);
        s.leaseTimer = std::make_unique<testing::FakeLeaseTimer>(lease);
        s.uptime = [] { return 100.0; };
        s.bootId = [] { return std::string("6f1c1d2e-0000-4000-8000-000000000001"); };
        s.leaseExpired = [](const std::vector<ModeToRestore>&) {};
        driver = SystemDisplayEffects::create(std::move(s));
    }
};

// A FIFO, a program's socket or a device node, at the place of each file
// the host keeps or where a link there leads: the launch reads it as
// nothing stored (never opening it in a way that waits), says so once in a
// line naming the file and its kind, and neither the launch nor a change
// renames, replaces or removes it.
TEST(StoredFiles, WhatIsNoRegularFileIsLeftAsItIsWithOneLineNamingItsKind) {
    struct Stored {
        const char* name;
        const char* place;  // under the folder
        // Reads as a launch does, changes as the owner would; what falls
        // back (settings unset, the flag off, no list) holds.
        std::function<void(const fs::path& place, const SettingsStore::Log& log)> use;
    };
    const std::vector<Stored> files = {
        {"settings", "config/settings.json",
         [](const fs::path& place, const SettingsStore::Log& log) {
             SettingsStore settings(place, log);
             EXPECT_TRUE(settings.damaged());
             EXPECT_FALSE(settings.setBool(SettingsKeys::paused, true));
             EXPECT_EQ(SettingsStore(place, [](auto&&...) {}).boolValue(SettingsKeys::paused), std::nullopt);
         }},
        {"display record", "data/display-change.json",
         [](const fs::path& place, const SettingsStore::Log& log) {
             DisplayRecord record(place, log);
             record.driver->recoverAtLaunch();
             // A change it could not record is not made.
             EXPECT_FALSE(record.driver->setMode(2, 1, 1));
             EXPECT_EQ(record.displays.displays[1].current, 1);
         }},
        {"hide-screen flag", "data/keychain/local.morvane.host@allow-hide-screen",
         [](const fs::path& place, const SettingsStore::Log& log) {
             KeychainFlag flag(KeychainFlag::hideScreenAccount, KeychainFlag::hideScreenLabel, place.parent_path(), log);
             EXPECT_FALSE(flag.isOn());
             EXPECT_FALSE(flag.isOn());
             EXPECT_FALSE(flag.set(true));
         }},
        {"paired devices", "data/keychain/local.morvane.host@paired-devices",
         [](const fs::path& place, const SettingsStore::Log& log) {
             KeychainDeviceStorage item(KeychainDeviceStorage::defaultService, KeychainDeviceStorage::defaultAccount,
                                        KeychainDeviceStorage::defaultLabel, place.parent_path());
             for (const auto& step : std::vector<std::function<void()>>{[&] { item.load(); },
                                                                        [&] { item.save(Bytes{'[', ']'}); }}) {
                 try {
                     step();
                     ADD_FAILURE() << "used";
                 } catch (const DeviceStorageError& e) {
                     log("pairing", e.what());
                 }
             }
         }},
    };
    struct Kind {
        const char* words;  // as the line names it
        std::function<void(const fs::path&)> make;
    };
    std::vector<std::unique_ptr<ListeningSocket>> sockets;
    std::vector<Kind> kinds = {
        {"a FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
        {"a socket",
         [&](const fs::path& p) {
             sockets.push_back(std::make_unique<ListeningSocket>(p));
             ASSERT_GE(sockets.back()->fd, 0) << p;
         }},
    };
    // A device node of one's own takes root; /dev/null is the one people link.
    if (::geteuid() == 0)
        kinds.push_back({"a character device",
                         [](const fs::path& p) { ASSERT_EQ(::mknod(p.c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0); }});
    for (const auto& file : files)
        for (const auto& kind : kinds)
            for (const bool linked : {false, true}) {
                SCOPED_TRACE(std::string(file.name) + ", " + kind.words + (linked ? ", linked" : ""));
                StoredFolder dir;
                const fs::path place = dir.path / file.place, special = linked ? dir.path / "s" : place;
                fs::create_directories(place.parent_path());
                fs::permissions(place.parent_path(), fs::perms::owner_all, fs::perm_options::replace);
                kind.make(special);
                if (linked) fs::create_symlink(special, place);
                struct stat before {};
                ASSERT_EQ(::lstat(special.c_str(), &before), 0);
                std::set<fs::path> entries;
                for (const auto& e : fs::recursive_directory_iterator(dir.path)) entries.insert(e.path());

                std::vector<std::string> lines;
                file.use(place, [&](const std::string& tag, const std::string& text) { lines.push_back(tag + ": " + text); });

                struct stat after {};
                ASSERT_EQ(::lstat(special.c_str(), &after), 0);
                EXPECT_EQ(std::tie(after.st_ino, after.st_mode, after.st_rdev),
                          std::tie(before.st_ino, before.st_mode, before.st_rdev));
                if (linked) {
                    EXPECT_EQ(fs::read_symlink(place), special);
                }
                std::set<fs::path> left;
                for (const auto& e : fs::recursive_directory_iterator(dir.path)) left.insert(e.path());
                EXPECT_EQ(left, entries) << "something was moved aside or written beside it";
                if (std::string(kind.words) == "a socket") {
                    EXPECT_TRUE(ListeningSocket::reachable(special));
                }
                // The launch's line first: the file and its kind.
                ASSERT_FALSE(lines.empty());
                EXPECT_NE(lines[0].find(place.filename().string()), std::string::npos) << lines[0];
                EXPECT_NE(lines[0].find(std::string(kind.words) + ", not a regular file"), std::string::npos)
                    << lines[0];
                EXPECT_NE(lines[0].find(" left as "), std::string::npos) << lines[0];
                // What the change met is said once, not again at each look.
                for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_NE(lines[i], lines[i - 1]);
            }
}

}  // namespace
}  // namespace morvane

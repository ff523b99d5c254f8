// Every file the host writes and reads again at a later launch: what its
// writer lets through, at the largest size it allows, its reader takes back
// whole; one more is refused by the writer, which leaves the last file that
// fits in place.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include <nlohmann/json.hpp>

#include "app/session_history.h"
#include "app/settings_store.h"
#include "core/bounded_json.h"
#include "devices/device_store.h"
#include "devices/keychain_device_storage.h"

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

}  // namespace
}  // namespace morvane

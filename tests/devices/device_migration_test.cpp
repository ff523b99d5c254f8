#include "devices/device_migration.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "devices/device_store.h"
#include "devices/file_device_storage.h"
#include "test_support.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;
namespace mo = migration_outcome;
using testing::bytes;
using testing::MemoryStorage;
using testing::TempFolder;
using testing::writeText;

struct Run {
    DeviceMigration::Outcome outcome;
    std::vector<std::string> lines;
    int asked = 0;
};

Run migrate(const fs::path& file, DeviceStorage& storage, bool confirm = true) {
    Run r;
    r.outcome = DeviceMigration::run(
        file, storage,
        [&](const std::vector<PairedDevice>&) {
            ++r.asked;
            return confirm;
        },
        [&](const std::string& line) { r.lines.push_back(line); });
    return r;
}

std::vector<PairedDevice> twoDevices() {
    return {{"0011223344556677", "Laptop", std::string(64, 'c'), 1'772'356'502, 1'772'360'000, std::nullopt},
            {"8899aabbccddeeff", "Phone", "", 1'772'356'600, std::nullopt, std::string(87, 'k')}};
}

void writeList(const fs::path& file, const std::vector<PairedDevice>& devices) {
    auto data = DeviceStore::encode(devices).value();
    writeText(file, std::string(data.begin(), data.end()));
}

TEST(DeviceMigration, ImportsConfirmedDevicesUnchangedAndRemovesTheFile) {
    TempFolder dir;
    auto file = dir.path() / "devices.json";
    writeList(file, twoDevices());
    MemoryStorage storage;
    auto r = migrate(file, storage);
    EXPECT_EQ(r.outcome, DeviceMigration::Outcome(mo::Imported{2}));
    EXPECT_EQ(r.asked, 1);
    EXPECT_EQ(r.lines, (std::vector<std::string>{
                           "found devices.json from an earlier build",
                           "devices.json lists 2 device(s); asking the owner to confirm the import",
                           "wrote 2 device(s) to memory",
                           "read-back matches",
                           "devices.json removed; the device list now lives in memory",
                       }));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(DeviceStore::decode(*storage.stored), twoDevices()) << "ids, hashes and keys keep working";

    // The store over that storage sees them after a reload.
    auto shared = std::make_shared<MemoryStorage>();
    shared->stored = storage.stored;
    DeviceStore store(shared);
    EXPECT_EQ(store.devices(), twoDevices());
}

TEST(DeviceMigration, NothingHappensWithoutAFileOrAConfirmation) {
    TempFolder dir;
    MemoryStorage storage;
    auto none = migrate(dir.path() / "devices.json", storage);
    EXPECT_EQ(none.outcome, DeviceMigration::Outcome(mo::NoFile{}));
    EXPECT_TRUE(none.lines.empty());

    auto file = dir.path() / "devices.json";
    writeList(file, twoDevices());
    auto declined = migrate(file, storage, false);
    EXPECT_EQ(declined.outcome, DeviceMigration::Outcome(mo::Declined{}));
    EXPECT_EQ(declined.lines.back(), "import not confirmed; devices.json left in place, nothing imported");
    EXPECT_TRUE(fs::exists(file));
    EXPECT_FALSE(storage.stored);

    // An empty list is removed without asking.
    writeText(file, "[]");
    auto empty = migrate(file, storage);
    EXPECT_EQ(empty.outcome, DeviceMigration::Outcome(mo::Imported{0}));
    EXPECT_EQ(empty.asked, 0);
    EXPECT_EQ(empty.lines.back(), "devices.json lists no devices; nothing to import, file removed");
    EXPECT_FALSE(fs::exists(file));
}

TEST(DeviceMigration, AStoredListAlwaysWinsAndAnUnreadableOneIsNotTakenForEmpty) {
    TempFolder dir;
    auto file = dir.path() / "devices.json";
    writeList(file, twoDevices());
    MemoryStorage storage;
    storage.stored = bytes("[]");
    auto r = migrate(file, storage);
    EXPECT_EQ(r.outcome, DeviceMigration::Outcome(mo::AlreadyStored{true}));
    EXPECT_EQ(r.lines.back(), "memory already holds the device list: devices.json not imported, file removed");
    EXPECT_EQ(storage.stored, bytes("[]"));
    EXPECT_FALSE(fs::exists(file));

    writeList(file, twoDevices());
    MemoryStorage locked;
    locked.loadError = "this build cannot read the stored list (-25308)";
    auto failed = migrate(file, locked);
    EXPECT_EQ(failed.outcome, DeviceMigration::Outcome(mo::Failed{"this build cannot read the stored list (-25308)"}));
    EXPECT_EQ(failed.lines.back(),
              "memory could not be read (this build cannot read the stored list (-25308)); devices.json left untouched");
    EXPECT_TRUE(fs::exists(file));
    EXPECT_EQ(locked.saves, 0);
}

TEST(DeviceMigration, OnlyARegularFileOfAtMostOneMebibyteIsRead) {
    TempFolder dir;
    MemoryStorage storage;
    const DeviceMigration::Outcome invalid = mo::Failed{"not a valid device list"};

    // Exactly the limit is read (and here decodes as an empty list padded
    // with white space); one byte more is refused.
    auto file = dir.path() / "devices.json";
    writeText(file, "[]" + std::string(DeviceMigration::maxFileBytes - 2, ' '));
    EXPECT_EQ(migrate(file, storage).outcome, DeviceMigration::Outcome(mo::Imported{0}));
    writeText(file, "[]" + std::string(DeviceMigration::maxFileBytes - 1, ' '));
    auto big = migrate(file, storage);
    EXPECT_EQ(big.outcome, invalid);
    EXPECT_EQ(big.lines.back(), "devices.json is not a valid device list; left in place, nothing imported");
    EXPECT_TRUE(fs::exists(file));
    fs::remove(file);

    // A link, even to a valid list, is refused and left alone.
    auto target = dir.path() / "target.json";
    writeList(target, twoDevices());
    fs::create_symlink(target, file);
    EXPECT_EQ(migrate(file, storage).outcome, invalid);
    EXPECT_TRUE(fs::is_symlink(file));
    fs::remove(file);

    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    EXPECT_EQ(migrate(file, storage).outcome, invalid);
    fs::remove(file);

    writeText(file, R"([{"id":"x"}])");
    EXPECT_EQ(migrate(file, storage).outcome, invalid);
    EXPECT_FALSE(storage.stored);
}

TEST(DeviceMigration, AStorageThatGivesBackOtherBytesIsEmptiedAgain) {
    TempFolder dir;
    auto file = dir.path() / "devices.json";
    writeList(file, twoDevices());

    // Reading back an empty list is a mismatch, never a successful import.
    // The first load must see nothing stored, so the answer is switched
    // after the save.
    struct Switching : MemoryStorage {
        std::optional<Bytes> load() override {
            if (saves == 0) return std::nullopt;
            return bytes("[]");
        }
    } storage;
    auto r = migrate(file, storage);
    EXPECT_EQ(r.outcome, DeviceMigration::Outcome(mo::Failed{"read-back mismatch"}));
    EXPECT_EQ(r.lines.back(), "read-back differs from what was written; devices.json left in place");
    EXPECT_EQ(storage.removes, 1);
    EXPECT_FALSE(storage.stored);
    EXPECT_TRUE(fs::exists(file));

    MemoryStorage refusing;
    refusing.saveError = "cannot create private item local.morvane.host/paired-devices: No space left on device (28)";
    auto failed = migrate(file, refusing);
    EXPECT_EQ(failed.outcome, DeviceMigration::Outcome(mo::Failed{*refusing.saveError}));
    EXPECT_EQ(failed.lines.back(), "import failed (" + *refusing.saveError + "); devices.json left in place");
    EXPECT_TRUE(fs::exists(file));
}

}  // namespace
}  // namespace morvane

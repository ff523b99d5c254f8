// The files another program running as the same user could plant, read as
// the host reads them. The first byte picks the file: 0 the stored device
// list, 1 the settings file, 2 the session history kept in it, 3 the older
// device file, 4 the user's folder list that names where received files go.
// Whatever is accepted writes back to what reads the same (a settings file in
// room bounded by its own size), and the menu can
// always be drawn from what was read; a received-files folder is a plain
// absolute path that no shell word or ".." turns into another.
#include <variant>

#include "fuzz_support.h"
#include "scratch_folder.h"
#include "app/session_history.h"
#include "app/settings_store.h"
#include "devices/device_migration.h"
#include "devices/device_store.h"
#include "transfer/disk_files.h"
#include "../tests/devices/test_support.h"

using namespace morvane;
using morvane::fuzz::require;
using morvane::fuzz::ScratchFolder;

namespace {

constexpr std::int64_t now = 1'780'000'000'000;  // a wall clock in 2026

void deviceList(std::span<const std::uint8_t> data) {
    const auto decoded = DeviceStore::decode(data);
    auto storage = std::make_shared<testing::MemoryStorage>();
    storage->stored = Bytes(data.begin(), data.end());
    DeviceStore store(storage);
    store.setClock([] { return now; });
    if (!decoded) {
        require(store.storageFailure() == std::string(DeviceStore::invalidListText));
        require(store.devices().empty());
        // An unreadable list is never replaced.
        store.revokeAll();
        require(storage->stored == Bytes(data.begin(), data.end()));
        return;
    }
    // Strings came through a JSON reader that checks UTF-8, so they encode.
    const auto encoded = DeviceStore::encode(*decoded);
    require(encoded.has_value());
    require(DeviceStore::decode(*encoded) == decoded);
    require(store.devices() == *decoded);
    require(!store.validate("not a token"));
    if (!decoded->empty()) {
        store.revoke(decoded->front().id);
        const auto left = DeviceStore::decode(*storage->stored);
        require(left && left->size() < decoded->size());
    }
}

void drawMenu(const std::optional<std::string>& stored, std::optional<std::int64_t> seen) {
    SessionHistory history(stored, seen, {}, {}, [] { return now; });
    require(history.records().size() <= SessionHistory::maxRecords);
    const HistoryCalendar calendar{"UTC", "en_US"};
    history.menuLines(false, calendar);
    history.menuLines(true, calendar);
}

void sessionHistory(std::span<const std::uint8_t> data) {
    const std::string text(data.begin(), data.end());
    const auto records = SessionHistory::decode(text);
    if (records) {
        require(records->size() <= SessionHistory::maxRecords);
        require(SessionHistory::decode(SessionHistory::encode(*records)) == records);
    }
    drawMenu(text, now - 3'600'000);
}

void settingsFile(std::span<const std::uint8_t> data) {
    const auto file = ScratchFolder::write("settings.json", data);
    SettingsStore settings(file, {});
    for (const char* key : {SettingsKeys::lockOnDisconnect, SettingsKeys::allowResolutionMatch, SettingsKeys::paused,
                            SettingsKeys::askedForPermissions, SettingsKeys::welcomeHidden})
        settings.boolValue(key);
    settings.dateValue(SettingsKeys::welcomeOffered);
    drawMenu(settings.stringValue(SettingsKeys::sessionHistory), settings.dateValue(SettingsKeys::sessionHistorySeen));
    // What was accepted is written back in room that grows with what was
    // read, never with the square of its depth.
    if (!settings.damaged()) {
        require(settings.setBool(SettingsKeys::paused, true));
        require(std::filesystem::file_size(file) <= 40 * data.size() + 256);
    }
    // Damaged copies are numbered, not replaced: none is left for the next input.
    for (const auto& entry : std::filesystem::directory_iterator(ScratchFolder::path()))
        if (entry.path().filename().string().starts_with("settings.json.damaged")) std::filesystem::remove_all(entry.path());
}

void olderDeviceFile(std::span<const std::uint8_t> data) {
    const auto file = ScratchFolder::write("devices.json", data);
    testing::MemoryStorage storage;
    const auto outcome = DeviceMigration::run(file, storage, [](const auto&) { return true; }, [](const auto&) {});
    const auto decoded = DeviceStore::decode(data);
    if (!decoded) {
        require(std::holds_alternative<migration_outcome::Failed>(outcome));
        require(!storage.stored);
        return;
    }
    // Imported exactly as listed, and the file is gone.
    require(outcome == DeviceMigration::Outcome(migration_outcome::Imported{static_cast<int>(decoded->size())}));
    require(!std::filesystem::exists(file));
    if (!decoded->empty()) require(storage.stored && DeviceStore::decode(*storage.stored) == decoded);
}

void userDirs(std::span<const std::uint8_t> data) {
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    const std::filesystem::path home = "/home/owner";
    const auto folder = DiskFiles::userDirsDownload(text, home);
    if (!folder) return;
    require(folder->is_absolute());
    require(folder->lexically_normal() == *folder);
    for (const auto& part : *folder) require(part != "..");
    require(folder->string().find_first_of("$\"`\\") == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) return 0;
    const std::span<const std::uint8_t> data(bytes + 1, size - 1);
    switch (bytes[0] % 5) {
        case 0: deviceList(data); break;
        case 1: settingsFile(data); break;
        case 2: sessionHistory(data); break;
        case 3: olderDeviceFile(data); break;
        default: userDirs(data); break;
    }
    return 0;
}

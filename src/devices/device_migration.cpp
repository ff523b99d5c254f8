#include "devices/device_migration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "devices/device_store.h"
#include "devices/private_file.h"

namespace morvane::DeviceMigration {

namespace mo = migration_outcome;

Outcome run(const std::filesystem::path& file, DeviceStorage& storage,
            const std::function<bool(const std::vector<PairedDevice>&)>& authorize,
            const std::function<void(const std::string&)>& log) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0) return mo::NoFile{};

    const std::string name = file.filename().string();
    const std::string summary = storage.summary();
    auto removeFile = [&] { return ::unlink(file.c_str()) == 0; };
    auto removedText = [](bool removed) { return removed ? "file removed" : "file could not be removed"; };

    log("found " + name + " from an earlier build");

    std::optional<Bytes> stored;
    try {
        stored = storage.load();
    } catch (const std::exception& e) {
        log(summary + " could not be read (" + e.what() + "); " + name + " left untouched");
        return mo::Failed{e.what()};
    }
    if (stored) {
        bool removed = removeFile();
        log(summary + " already holds the device list: " + name + " not imported, " + removedText(removed));
        return mo::AlreadyStored{removed};
    }

    // The file is opened without following a link and judged by what was
    // opened, so nothing swapped in after the look above is read.
    std::optional<std::vector<PairedDevice>> devices;
    if (S_ISREG(st.st_mode)) {
        auto r = private_file::read(AT_FDCWD, file.string(), maxFileBytes, false);
        if (r.kind == private_file::ReadResult::Kind::ok) devices = DeviceStore::decode(r.data);
    }
    if (!devices) {
        log(name + " is not a valid device list; left in place, nothing imported");
        return mo::Failed{"not a valid device list"};
    }
    if (devices->empty()) {
        bool removed = removeFile();
        log(name + " lists no devices; nothing to import, " + removedText(removed));
        return mo::Imported{0};
    }

    const std::string count = std::to_string(devices->size());
    log(name + " lists " + count + " device(s); asking the owner to confirm the import");
    if (!authorize(*devices)) {
        log("import not confirmed; " + name + " left in place, nothing imported");
        return mo::Declined{};
    }

    auto written = DeviceStore::encode(*devices);
    if (!written) {
        log(std::string("import failed (") + DeviceStore::unencodableListText + "); " + name + " left in place");
        return mo::Failed{DeviceStore::unencodableListText};
    }
    try {
        storage.save(*written);
    } catch (const std::exception& e) {
        log(std::string("import failed (") + e.what() + "); " + name + " left in place");
        return mo::Failed{e.what()};
    }
    log("wrote " + count + " device(s) to " + summary);

    std::optional<Bytes> readBack;
    try {
        readBack = storage.load();
    } catch (const std::exception& e) {
        log(std::string("import failed (") + e.what() + "); " + name + " left in place");
        return mo::Failed{e.what()};
    }
    if (readBack && *readBack == *written) {
        log("read-back matches");
        if (removeFile()) {
            log(name + " removed; the device list now lives in " + summary);
        } else {
            log(name + " could not be removed (errno " + std::to_string(errno) + "); it is ignored from now on");
        }
        return mo::Imported{static_cast<int>(devices->size())};
    }
    try {
        storage.remove();
    } catch (const std::exception&) {
    }
    log("read-back differs from what was written; " + name + " left in place");
    return mo::Failed{"read-back mismatch"};
}

}  // namespace morvane::DeviceMigration

// Helpers shared by the device tests: a private temporary folder and a
// storage held in memory whose answers a test can set.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "devices/device_storage.h"
#include "../support/text_files.h"

namespace morvane::testing {

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "morvane-devices-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline mode_t modeOf(const std::filesystem::path& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

inline Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

class MemoryStorage : public DeviceStorage {
public:
    std::string summary() const override { return "memory"; }
    std::optional<Bytes> load() override {
        std::lock_guard g(m);
        ++loads;
        if (loadError) throw DeviceStorageError(*loadError);
        return stored;
    }
    void save(std::span<const std::uint8_t> data) override {
        std::lock_guard g(m);
        ++saves;
        if (saveError) throw DeviceStorageError(*saveError);
        // The new bytes are written beside the old ones before those go, as
        // an atomic replace does: the disk needs room for the whole new copy.
        if (freeBytes) {
            if (data.size() > *freeBytes) throw DeviceStorageError(noSpaceText);
            *freeBytes = *freeBytes - data.size() + (stored ? stored->size() : 0);
        }
        stored = Bytes(data.begin(), data.end());
    }
    void remove() override {
        std::lock_guard g(m);
        ++removes;
        if (removeError) throw DeviceStorageError(*removeError);
        if (freeBytes && stored) *freeBytes += stored->size();
        stored.reset();
    }
    // Records take no room, as names of empty files do.
    void recordRevoked(const std::string& id) override {
        std::lock_guard g(m);
        if (recordError) throw DeviceStorageError(*recordError);
        recorded.push_back(id);
    }
    std::vector<std::string> recordedRevocations() override {
        std::lock_guard g(m);
        return recorded;
    }
    void forgetRevocations() override {
        std::lock_guard g(m);
        recorded.clear();
    }
    // A disk with no byte left beside what is stored, and one with room again.
    void fillDisk() {
        std::lock_guard g(m);
        freeBytes = 0;
    }
    void freeDisk() {
        std::lock_guard g(m);
        freeBytes.reset();
    }

    static constexpr const char* noSpaceText =
        "cannot update private item local.morvane.host/paired-devices: No space left on device (28)";
    std::mutex m;
    std::optional<Bytes> stored;
    std::optional<std::string> loadError, saveError, removeError, recordError;
    std::vector<std::string> recorded;
    std::optional<std::size_t> freeBytes;  // absent: room without limit
    int loads = 0, saves = 0, removes = 0;
};

}  // namespace morvane::testing

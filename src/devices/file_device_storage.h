// The device list in a file readable only by the user, replaced atomically.
#pragma once

#include <filesystem>

#include "devices/device_storage.h"

namespace morvane {

class FileDeviceStorage final : public DeviceStorage {
public:
    explicit FileDeviceStorage(std::filesystem::path fileURL) : fileURL_(std::move(fileURL)) {}
    const std::filesystem::path& fileURL() const { return fileURL_; }

    std::string summary() const override;  // "file " + the file's name
    // Never follows a symbolic link at the file's place; tightens the file
    // to 0600 on every read, and refuses one others may write as it is.
    // Removes temporary files that crashed saves of other processes left
    // beside it. A device node or a FIFO at its place is neither replaced
    // nor removed.
    std::optional<Bytes> load() override;
    // Temporary file, flushed, renamed over the old one, folder flushed: a
    // crash at any moment leaves either the old list or the new one.
    void save(std::span<const std::uint8_t> data) override;
    void remove() override;
    // Empty files beside the item (see private_file::recordRevoked).
    void recordRevoked(const std::string& id) override;
    std::vector<std::string> recordedRevocations() override;
    void forgetRevocations() override;

private:
    std::filesystem::path fileURL_;
};

}  // namespace morvane

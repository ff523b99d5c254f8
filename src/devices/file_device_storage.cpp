#include "devices/file_device_storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/paths.h"
#include "devices/private_file.h"

namespace morvane {

std::string FileDeviceStorage::summary() const { return "file " + fileURL_.filename().string(); }

std::optional<Bytes> FileDeviceStorage::load() {
    auto folder = fileURL_.parent_path();
    private_file::removeDeadLeftovers(folder.empty() ? "." : folder, fileURL_.filename().string());
    using Kind = private_file::ReadResult::Kind;
    auto r = private_file::read(AT_FDCWD, fileURL_.string(), maxStoredBytes, true);
    switch (r.kind) {
        case Kind::ok:
            return std::move(r.data);
        case Kind::missing:
            return std::nullopt;
        case Kind::openFailed:
            throw DeviceStorageError("cannot look at the device file (errno " + std::to_string(r.error) + ")");
        case Kind::notRegular:
        case Kind::tooLarge:
        case Kind::readFailed:
            break;
    }
    throw DeviceStorageError("cannot read the device file");
}

void FileDeviceStorage::save(std::span<const std::uint8_t> data) {
    auto folder = fileURL_.parent_path();
    if (folder.empty()) folder = ".";
    createFolders(folder, 0700);  // a failure shows at the open below
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0 && st.st_uid == ::getuid() && (st.st_mode & 077) != 0)
        ::chmod(folder.c_str(), 0700);

    using Kind = private_file::WriteResult::Kind;
    auto r = private_file::replace(folder, fileURL_.filename().string(), data);
    if (r.kind == Kind::openFailed)
        throw DeviceStorageError("cannot write the device file (errno " + std::to_string(r.error) + ")");
    if (r.kind != Kind::ok) throw DeviceStorageError("cannot write the device file");
}

void FileDeviceStorage::remove() {
    if (::unlink(fileURL_.c_str()) != 0 && errno != ENOENT)
        throw DeviceStorageError("cannot remove the device file (errno " + std::to_string(errno) + ")");
}

}  // namespace morvane

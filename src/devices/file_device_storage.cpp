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
            throw DeviceStorageError("the device file is not a regular file");
        case Kind::othersMayWrite:
            throw DeviceStorageError("the device file may be changed by others; it is left as it is");
        case Kind::tooLarge:
            throw DeviceStorageError("the device file is larger than the " + std::to_string(maxStoredBytes) +
                                     " bytes it may hold");
        case Kind::readFailed:
            break;
    }
    throw DeviceStorageError("cannot read the device file");
}

void FileDeviceStorage::save(std::span<const std::uint8_t> data) {
    if (data.size() > maxStoredBytes) throw DeviceStorageError("cannot write the device file: " + tooLargeToStore(data.size()));
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
    if (r.kind == Kind::notRegular)
        throw DeviceStorageError("the device file is not a regular file; it is left as it is");
    if (r.kind != Kind::ok) throw DeviceStorageError("cannot write the device file");
}

void FileDeviceStorage::remove() {
    if (private_file::holdsSpecialFile(AT_FDCWD, fileURL_.string()))
        throw DeviceStorageError("the device file is not a regular file; it is left as it is");
    if (::unlink(fileURL_.c_str()) != 0 && errno != ENOENT)
        throw DeviceStorageError("cannot remove the device file (errno " + std::to_string(errno) + ")");
}

namespace {

// The folder of the file, open for the records beside it; -1 when it can't be opened.
class Folder {
public:
    explicit Folder(const std::filesystem::path& file) {
        const auto folder = file.parent_path();
        fd_ = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        error_ = errno;
    }
    ~Folder() {
        if (fd_ >= 0) ::close(fd_);
    }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    int fd() const { return fd_; }
    int error() const { return error_; }

private:
    int fd_;
    int error_;
};

}  // namespace

void FileDeviceStorage::recordRevoked(const std::string& id) {
    Folder folder(fileURL_);
    if (folder.fd() < 0 || !private_file::recordRevoked(folder.fd(), fileURL_.filename().string(), id))
        throw DeviceStorageError("cannot write the device file (errno " +
                                 std::to_string(folder.fd() < 0 ? folder.error() : errno) + ")");
}

std::vector<std::string> FileDeviceStorage::recordedRevocations() {
    Folder folder(fileURL_);
    if (folder.fd() < 0) return {};
    return private_file::recordedRevocations(folder.fd(), fileURL_.filename().string());
}

void FileDeviceStorage::forgetRevocations() {
    Folder folder(fileURL_);
    if (folder.fd() >= 0) private_file::forgetRevocations(folder.fd(), fileURL_.filename().string());
}

}  // namespace morvane

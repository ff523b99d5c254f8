#include "devices/keychain_device_storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <system_error>

#include "core/paths.h"
#include "devices/private_file.h"

namespace morvane {

namespace fs = std::filesystem;

namespace {

// Serialises every item operation of the process, as one keychain would.
std::mutex& interactionLock() {
    static std::mutex m;
    return m;
}

class FolderHandle {
public:
    explicit FolderHandle(int fd) : fd_(fd) {}
    ~FolderHandle() {
        if (fd_ >= 0) ::close(fd_);
    }
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

bool isPlain(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

std::string escape(const std::string& text) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (isPlain(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 0x0f];
        }
    }
    return out;
}

}  // namespace

std::string TrustedCLI::describe(std::int32_t status) {
    const char* known = nullptr;
    switch (status) {
        case KeychainDeviceStorage::itemNotFound:
            known = "the item could not be found";
            break;
        case KeychainDeviceStorage::interactionNotAllowed:
            known = "user interaction is not allowed";
            break;
        case KeychainDeviceStorage::authFailed:
            known = "the item belongs to another owner";
            break;
        default:
            break;
    }
    if (known) return std::string(known) + " (" + std::to_string(status) + ")";
    if (status > 0) return std::error_code(status, std::generic_category()).message() + " (" + std::to_string(status) + ")";
    return "OSStatus " + std::to_string(status);
}

KeychainDeviceStorage::KeychainDeviceStorage(std::string service, std::string account, std::string label,
                                             std::optional<fs::path> folder)
    : service_(std::move(service)), account_(std::move(account)), label_(std::move(label)), folder_(std::move(folder)) {}

std::string KeychainDeviceStorage::summary() const {
    // The file itself: the one thing the owner can look at, move away or
    // back up.
    const auto folder = folder_ ? folder_ : defaultFolder();
    if (!folder) return "private item " + service_ + "/" + account_;
    return (*folder / itemFileName(service_, account_)).string();
}

std::string KeychainDeviceStorage::itemFileName(const std::string& service, const std::string& account) {
    return escape(service) + "@" + escape(account);
}

std::optional<fs::path> KeychainDeviceStorage::defaultFolder() {
    auto support = appSupportFolder();
    if (!support) return std::nullopt;
    return *support / "keychain";
}

namespace {

// Opens the items' folder: created private when missing, never through a
// link, owned by this user and tightened to 0700.
int openItemFolder(const std::optional<fs::path>& configured) {
    auto folder = configured ? configured : KeychainDeviceStorage::defaultFolder();
    if (!folder) throw DeviceStorageError("cannot find the home directory");
    createFolders(*folder, 0700);
    int fd = ::open(folder->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) throw DeviceStorageError("cannot open the folder of private items: " + TrustedCLI::describe(errno));
    struct stat st {};
    int problem = 0;
    if (::fstat(fd, &st) != 0)
        problem = errno;
    else if (st.st_uid != ::getuid())
        problem = EACCES;
    else if ((st.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0)
        problem = errno;
    if (problem != 0) {
        ::close(fd);
        throw DeviceStorageError("the folder of private items is not available: " + TrustedCLI::describe(problem));
    }
    return fd;
}

}  // namespace

std::optional<Bytes> KeychainDeviceStorage::load() {
    std::lock_guard guard(interactionLock());
    FolderHandle folder(openItemFolder(folder_));
    const auto name = itemFileName(service_, account_);
    private_file::removeDeadLeftovers(folder.fd(), name);
    using Kind = private_file::ReadResult::Kind;
    auto r = private_file::read(folder.fd(), name, maxStoredBytes, true);
    const std::string otherBuild = "this build cannot read the stored list (" + std::to_string(authFailed) + ")";
    switch (r.kind) {
        case Kind::missing:
            return std::nullopt;
        case Kind::ok:
            if (r.status.st_uid != ::getuid()) throw DeviceStorageError(otherBuild);
            return std::move(r.data);
        case Kind::openFailed:
            if (r.error == EACCES || r.error == EPERM) throw DeviceStorageError(otherBuild);
            [[fallthrough]];
        case Kind::readFailed:
            throw DeviceStorageError("cannot read " + summary() + ": " + TrustedCLI::describe(r.error));
        case Kind::notRegular:
            throw DeviceStorageError(summary() + " is not a regular file");
        case Kind::tooLarge:
            throw DeviceStorageError(summary() + " is larger than the " + std::to_string(maxStoredBytes) +
                                     " bytes an item may hold");
    }
    throw DeviceStorageError("cannot read " + summary());
}

void KeychainDeviceStorage::save(std::span<const std::uint8_t> data) {
    if (data.size() > maxStoredBytes) throw DeviceStorageError("cannot update " + summary() + ": " + tooLargeToStore(data.size()));
    std::lock_guard guard(interactionLock());
    FolderHandle folder(openItemFolder(folder_));
    const auto name = itemFileName(service_, account_);
    struct stat st {};
    const bool exists = ::fstatat(folder.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    auto r = private_file::replace(folder.fd(), name, data);
    if (r.kind == private_file::WriteResult::Kind::ok) return;
    throw DeviceStorageError(std::string(exists ? "cannot update " : "cannot create ") + summary() + ": " +
                             TrustedCLI::describe(r.error));
}

void KeychainDeviceStorage::remove() {
    std::lock_guard guard(interactionLock());
    FolderHandle folder(openItemFolder(folder_));
    const auto name = itemFileName(service_, account_);
    if (::unlinkat(folder.fd(), name.c_str(), 0) != 0 && errno != ENOENT)
        throw DeviceStorageError("cannot remove " + summary() + ": " + TrustedCLI::describe(errno));
}

void KeychainDeviceStorage::recordRevoked(const std::string& id) {
    std::lock_guard guard(interactionLock());
    FolderHandle folder(openItemFolder(folder_));
    if (!private_file::recordRevoked(folder.fd(), itemFileName(service_, account_), id))
        throw DeviceStorageError("cannot update " + summary() + ": " + TrustedCLI::describe(errno));
}

std::vector<std::string> KeychainDeviceStorage::recordedRevocations() {
    std::lock_guard guard(interactionLock());
    try {
        FolderHandle folder(openItemFolder(folder_));
        return private_file::recordedRevocations(folder.fd(), itemFileName(service_, account_));
    } catch (const DeviceStorageError&) {
        return {};
    }
}

void KeychainDeviceStorage::forgetRevocations() {
    std::lock_guard guard(interactionLock());
    try {
        FolderHandle folder(openItemFolder(folder_));
        private_file::forgetRevocations(folder.fd(), itemFileName(service_, account_));
    } catch (const DeviceStorageError&) {
    }
}

}  // namespace morvane

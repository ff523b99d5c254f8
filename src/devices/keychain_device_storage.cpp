#include "devices/keychain_device_storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
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

// Opens the items' folder: created private when missing, owned by this
// user and tightened to 0700. A folder kept elsewhere behind a link (in
// dotfiles, a synced folder) is opened where the link leads, as the settings
// file is; what it leads to must pass the same checks, but is the owner's
// to set: one that others may read or change is refused as it is, with the
// reason, rather than changed behind their back. `where` gets the folder's
// path as opened.
int openItemFolder(const std::optional<fs::path>& configured, fs::path& where) {
    auto folder = configured ? configured : KeychainDeviceStorage::defaultFolder();
    if (!folder) throw DeviceStorageError("cannot find the home directory");
    const auto linked = linkedPath(*folder);
    if (!linked) throw DeviceStorageError("the folder of private items " + folder->string() + " is a loop of symbolic links");
    where = *linked;
    const bool elsewhere = where != *folder;
    createFolders(where, 0700);
    int fd = ::open(where.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) throw DeviceStorageError("cannot open the folder of private items: " + TrustedCLI::describe(errno));
    struct stat st {};
    int problem = 0;
    if (::fstat(fd, &st) != 0)
        problem = errno;
    else if (st.st_uid != ::getuid())
        problem = EACCES;
    else if ((st.st_mode & 077) != 0 && elsewhere) {
        ::close(fd);
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        throw DeviceStorageError("the link " + folder->string() + " leads to the folder of private items " +
                                 where.string() + ", which others may read or change (mode " + mode +
                                 "); it is left as it is and not used until it is 0700");
    } else if ((st.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0)
        problem = errno;
    if (problem != 0) {
        ::close(fd);
        throw DeviceStorageError("the folder of private items is not available: " + TrustedCLI::describe(problem));
    }
    return fd;
}

// Where an item's bytes are: its name in the items' folder, or, when that
// name is a link, the file the link leads to, read and replaced in its own
// folder so that the link stays. That folder must be this user's (or
// root's) and changed by nobody else: whoever may replace the file could
// let any device in.
struct ItemFile {
    std::unique_ptr<FolderHandle> elsewhere;
    int dirfd = -1;
    std::string name;
    // How a refusal names it: the item, or the link and where it leads.
    std::string words;
};

ItemFile itemFile(const FolderHandle& folder, const fs::path& folderPath, const std::string& name) {
    struct stat st {};
    if (::fstatat(folder.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode))
        return {nullptr, folder.fd(), name, (folderPath / name).string()};
    const fs::path link = folderPath / name;
    const auto target = linkedPath(link);
    if (!target) throw DeviceStorageError(link.string() + " is a loop of symbolic links");
    const fs::path targetFolder = target->parent_path().empty() ? fs::path(".") : target->parent_path();
    const int fd = ::open(targetFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        throw DeviceStorageError("cannot open " + targetFolder.string() + ", where the link " + link.string() +
                                 " leads: " + TrustedCLI::describe(errno));
    auto handle = std::make_unique<FolderHandle>(fd);
    if (::fstat(fd, &st) != 0)
        throw DeviceStorageError("cannot examine " + targetFolder.string() + ", where the link " + link.string() +
                                 " leads: " + TrustedCLI::describe(errno));
    if ((st.st_uid != ::getuid() && st.st_uid != 0) || (st.st_mode & 022) != 0)
        throw DeviceStorageError("the link " + link.string() + " leads into " + targetFolder.string() +
                                 ", which others may change");
    return {std::move(handle), fd, target->filename().string(),
            "the link " + link.string() + " leads to " + target->string() + ", which"};
}

// "it is a FIFO, not a regular file; it is left as it is", or through a
// link, the link and where it leads.
std::string leftAsItIs(const ItemFile& item) {
    return (item.elsewhere ? item.words : std::string("it")) + " " +
           private_file::notRegularWords(private_file::kindAt(item.dirfd, item.name)) + "; it is left as it is";
}

}  // namespace

std::optional<Bytes> KeychainDeviceStorage::load() {
    std::lock_guard guard(interactionLock());
    fs::path where;
    FolderHandle folder(openItemFolder(folder_, where));
    const auto name = itemFileName(service_, account_);
    private_file::removeDeadLeftovers(folder.fd(), name);
    const ItemFile item = itemFile(folder, where, name);
    if (item.elsewhere) private_file::removeDeadLeftovers(item.dirfd, item.name);
    using Kind = private_file::ReadResult::Kind;
    auto r = private_file::read(item.dirfd, item.name, maxStoredBytes, true);
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
            if (item.elsewhere || private_file::isSpecial(r.found))
                throw DeviceStorageError((item.elsewhere ? item.words : summary()) + " " +
                                         private_file::notRegularWords(r.found) + "; it is left as it is");
            throw DeviceStorageError(summary() + " " + private_file::notRegularWords(r.found));
        case Kind::othersMayWrite:
            // Whoever may write it could have put their own device in it.
            throw DeviceStorageError((item.elsewhere ? item.words + " others may change" : summary() + " may be changed by others") +
                                     "; it is left as it is and not used");
        case Kind::tooLarge:
            throw DeviceStorageError(summary() + " is larger than the " + std::to_string(maxStoredBytes) +
                                     " bytes an item may hold");
    }
    throw DeviceStorageError("cannot read " + summary());
}

void KeychainDeviceStorage::save(std::span<const std::uint8_t> data) {
    if (data.size() > maxStoredBytes) throw DeviceStorageError("cannot update " + summary() + ": " + tooLargeToStore(data.size()));
    std::lock_guard guard(interactionLock());
    fs::path where;
    FolderHandle folder(openItemFolder(folder_, where));
    const ItemFile item = itemFile(folder, where, itemFileName(service_, account_));
    struct stat st {};
    const bool exists = ::fstatat(item.dirfd, item.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    auto r = private_file::replace(item.dirfd, item.name, data);
    if (r.kind == private_file::WriteResult::Kind::ok) return;
    if (r.kind == private_file::WriteResult::Kind::notRegular)
        throw DeviceStorageError("cannot update " + summary() + ": " + leftAsItIs(item));
    throw DeviceStorageError(std::string(exists ? "cannot update " : "cannot create ") + summary() + ": " +
                             TrustedCLI::describe(r.error));
}

void KeychainDeviceStorage::remove() {
    std::lock_guard guard(interactionLock());
    fs::path where;
    FolderHandle folder(openItemFolder(folder_, where));
    // Through a link, the file it leads to goes and the link stays.
    const ItemFile item = itemFile(folder, where, itemFileName(service_, account_));
    if (private_file::holdsSpecialFile(item.dirfd, item.name))
        throw DeviceStorageError("cannot remove " + summary() + ": " + leftAsItIs(item));
    if (::unlinkat(item.dirfd, item.name.c_str(), 0) != 0 && errno != ENOENT)
        throw DeviceStorageError("cannot remove " + summary() + ": " + TrustedCLI::describe(errno));
}

void KeychainDeviceStorage::recordRevoked(const std::string& id) {
    std::lock_guard guard(interactionLock());
    fs::path where;
    FolderHandle folder(openItemFolder(folder_, where));
    if (!private_file::recordRevoked(folder.fd(), itemFileName(service_, account_), id))
        throw DeviceStorageError("cannot update " + summary() + ": " + TrustedCLI::describe(errno));
}

std::vector<std::string> KeychainDeviceStorage::recordedRevocations() {
    std::lock_guard guard(interactionLock());
    try {
        fs::path where;
        FolderHandle folder(openItemFolder(folder_, where));
        return private_file::recordedRevocations(folder.fd(), itemFileName(service_, account_));
    } catch (const DeviceStorageError&) {
        return {};
    }
}

void KeychainDeviceStorage::forgetRevocations() {
    std::lock_guard guard(interactionLock());
    try {
        fs::path where;
        FolderHandle folder(openItemFolder(folder_, where));
        private_file::forgetRevocations(folder.fd(), itemFileName(service_, account_));
    } catch (const DeviceStorageError&) {
    }
}

}  // namespace morvane

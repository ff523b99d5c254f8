#include "transfer/disk_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <unicode/utf8.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/paths.h"
#include "core/secure.h"
#include "transfer/file_names.h"
#include "transfer/file_protocol.h"

namespace morvane {

namespace {

void closeIfOpen(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool isValidUTF8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
    std::int32_t i = 0;
    while (i < length) {
        UChar32 c = 0;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) return false;
    }
    return true;
}

// The names in an open folder, other than "." and "..", that are valid
// UTF-8. Any failure gives none. The folder's own descriptor stays open.
std::vector<std::string> namesIn(int folder) {
    std::vector<std::string> names;
    const int copy = ::dup(folder);
    if (copy < 0) return names;
    DIR* dir = ::fdopendir(copy);
    if (!dir) {
        ::close(copy);
        return names;
    }
    ::rewinddir(dir);
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == ".." || !isValidUTF8(name)) continue;
        names.emplace_back(name);
    }
    const bool failed = errno != 0;
    ::closedir(dir);
    if (failed) names.clear();
    return names;
}

// Whether an Outbox file may be served: a regular file with
// no other hard link, so nothing outside the Outbox is reached through it.
bool isServable(const struct stat& st) { return S_ISREG(st.st_mode) && st.st_nlink == 1; }

// Moves `from` to `to` within one folder without ever replacing a file.
// Returns 0, or the errno of the failure (EEXIST when `to` is taken).
int renameExclusive(int folder, const std::string& from, const std::string& to) {
    if (::renameat2(folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    const int error = errno;
    if (error != EINVAL && error != ENOSYS && error != ENOTSUP) return error;
    // A file system without exclusive renames: a hard link refuses an
    // existing name just as well.
    if (::linkat(folder, from.c_str(), folder, to.c_str(), 0) != 0) return errno;
    ::unlinkat(folder, from.c_str(), 0);
    return 0;
}

class DiskIncoming final : public IncomingFile {
public:
    DiskIncoming(int folder, int descriptor, std::string temporary, std::string name, std::int64_t size,
                 std::string origin)
        : folder_(folder), descriptor_(descriptor), temporary_(std::move(temporary)), name_(std::move(name)),
          size_(size), origin_(origin.empty() ? std::string(DiskFiles::originValue) : std::move(origin)) {}
    ~DiskIncoming() override { discard(); }
    DiskIncoming(const DiskIncoming&) = delete;
    DiskIncoming& operator=(const DiskIncoming&) = delete;

    bool write(const Bytes& data) override {
        if (descriptor_ < 0) return false;
        const auto length = static_cast<std::int64_t>(data.size());
        if (written_ + length > size_) return false;
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(descriptor_, data.data() + done, data.size() - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        written_ += length;
        return true;
    }

    std::optional<Committed> commit() override {
        if (descriptor_ < 0) return std::nullopt;
        // A file whose bytes may not have reached the disk is not handed
        // over as complete.
        if (written_ != size_ || ::fchmod(descriptor_, 0600) != 0 || ::fsync(descriptor_) != 0) {
            discard();
            return std::nullopt;
        }
        // The mark of outside origin that file managers and browsers read;
        // a file system without user attributes cannot keep it, and the
        // report says so.
        const bool quarantined =
            ::fsetxattr(descriptor_, DiskFiles::originAttribute, origin_.data(), origin_.size(), 0) == 0;
        for (int attempt = 1; attempt <= FileLimits::maxCollisionAttempts; ++attempt) {
            const auto candidate = FileNaming::candidate(name_, attempt);
            const int error = renameExclusive(folder_, temporary_, candidate);
            if (error == 0) {
                closeIfOpen(descriptor_);
                closeIfOpen(folder_);
                return Committed{candidate, quarantined};
            }
            if (error != EEXIST) break;
        }
        discard();
        return std::nullopt;
    }

    void discard() override {
        if (descriptor_ < 0) return;
        closeIfOpen(descriptor_);
        ::unlinkat(folder_, temporary_.c_str(), 0);
        closeIfOpen(folder_);
    }

private:
    int folder_;
    int descriptor_;
    std::string temporary_;
    std::string name_;
    std::int64_t size_;
    std::string origin_;
    std::int64_t written_ = 0;
};

class DiskOutgoing final : public OutgoingFile {
public:
    DiskOutgoing(int descriptor, std::int64_t size) : descriptor_(descriptor), size_(size) {}
    ~DiskOutgoing() override { close(); }
    DiskOutgoing(const DiskOutgoing&) = delete;
    DiskOutgoing& operator=(const DiskOutgoing&) = delete;

    std::int64_t size() const override { return size_; }

    std::optional<Bytes> read(std::int64_t upTo) override {
        if (descriptor_ < 0 || upTo < 1) return std::nullopt;
        Bytes buffer(static_cast<std::size_t>(upTo));
        std::size_t filled = 0;
        while (filled < buffer.size()) {
            const ssize_t n = ::read(descriptor_, buffer.data() + filled, buffer.size() - filled);
            if (n < 0) {
                if (errno == EINTR) continue;
                return std::nullopt;
            }
            if (n == 0) break;
            filled += static_cast<std::size_t>(n);
        }
        buffer.resize(filled);
        return buffer;
    }

    void close() override { closeIfOpen(descriptor_); }

private:
    int descriptor_;
    std::int64_t size_;
};

}  // namespace

std::optional<std::uint64_t> DiskFiles::systemFreeSpace(int folder) {
    struct statvfs st {};
    if (::fstatvfs(folder, &st) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.f_bavail) * static_cast<std::uint64_t>(st.f_frsize);
}

DiskFiles::DiskFiles(std::filesystem::path root, FreeSpace freeSpace)
    : root_(std::move(root)), freeSpace_(std::move(freeSpace)) {}

std::optional<std::filesystem::path> DiskFiles::userDirsDownload(std::string_view text,
                                                                 const std::filesystem::path& home) {
    constexpr std::string_view key = "XDG_DOWNLOAD_DIR=";
    std::optional<std::filesystem::path> found;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        if (!line.starts_with(key)) continue;
        std::string_view value = line.substr(key.size());
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r'))
            value.remove_suffix(1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        // Shell words beyond $HOME and quoting are not taken: the folder
        // is where files from outside are written.
        std::filesystem::path folder;
        if (value == "$HOME" || value.starts_with("$HOME/")) {
            value.remove_prefix(5);
            folder = home;
        } else if (!value.starts_with("/")) {
            continue;
        }
        if (value.find_first_of("$\"`\\") != std::string_view::npos) continue;
        if (folder.empty())
            folder = std::string(value);
        else if (value.size() > 1)
            folder /= std::string(value.substr(1));
        found = folder.lexically_normal();  // the last line counts, as when the shell reads the file
    }
    return found;
}

std::optional<std::filesystem::path> DiskFiles::standardRoot() {
    if (const char* downloads = std::getenv("XDG_DOWNLOAD_DIR"); downloads && downloads[0] == '/')
        return std::filesystem::path(downloads) / "Morvane";
    auto home = homeFolder();
    if (!home) return std::nullopt;
    std::filesystem::path config = *home / ".config";
    if (const char* c = std::getenv("XDG_CONFIG_HOME"); c && c[0] == '/') config = c;
    if (const auto text = readSmallFile(config / "user-dirs.dirs", 64 * 1024))
        if (const auto folder = userDirsDownload(*text, *home)) return *folder / "Morvane";
    return *home / "Downloads" / "Morvane";
}

bool DiskFiles::isPartial(std::string_view name) {
    if (name.size() <= partialPrefix.size() + partialSuffix.size()) return false;
    if (!name.starts_with(partialPrefix) || !name.ends_with(partialSuffix)) return false;
    const auto middle = name.substr(partialPrefix.size(), name.size() - partialPrefix.size() - partialSuffix.size());
    if (middle.empty() || middle.size() > 16) return false;
    for (const char c : middle)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

int DiskFiles::openRoot() const {
    createFolders(root_, 0700);
    const int folder = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) return -1;
    ::mkdirat(folder, std::string(outboxName).c_str(), 0700);
    return folder;
}

int DiskFiles::openOutboxFolder() const {
    int folder = openRoot();
    if (folder < 0) return -1;
    const int outbox =
        ::openat(folder, std::string(outboxName).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    closeIfOpen(folder);
    return outbox;
}

void DiskFiles::sweepPartials(int folder) const {
    for (const auto& name : namesIn(folder)) {
        if (!isPartial(name)) continue;
        int fd = ::openat(folder, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            // A running upload holds its lock; anything else was left behind.
            const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
            if (!held) ::unlinkat(folder, name.c_str(), 0);
        }
        closeIfOpen(fd);
    }
}

void DiskFiles::removeLeftoverUploads() const {
    int folder = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) return;
    sweepPartials(folder);
    closeIfOpen(folder);
}

std::unique_ptr<IncomingFile> DiskFiles::beginIncoming(const std::string& name, std::int64_t size,
                                                       const std::string& origin) {
    const auto clean = FileName::sanitise(name);
    if (!clean || *clean != name) return nullptr;
    if (size < 1 || size > FileLimits::maxBytes) return nullptr;
    int folder = openRoot();
    if (folder < 0) return nullptr;
    sweepPartials(folder);
    if (freeSpace_) {
        const auto available = freeSpace_(folder);
        if (available && *available < static_cast<std::uint64_t>(size) + freeSpaceFloor) {
            closeIfOpen(folder);
            return nullptr;
        }
    }
    std::string temporary;
    try {
        const Bytes random = Secure::randomBytes(8);
        std::uint64_t value = 0;
        for (const auto b : random) value = (value << 8) | b;
        char digits[17];
        std::snprintf(digits, sizeof digits, "%llx", static_cast<unsigned long long>(value));
        temporary = std::string(partialPrefix) + digits + std::string(partialSuffix);
    } catch (const std::exception&) {
        closeIfOpen(folder);
        return nullptr;
    }
    const int fd =
        ::openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        closeIfOpen(folder);
        return nullptr;
    }
    // Held until the file is closed; it keeps later sweeps off this file.
    ::flock(fd, LOCK_EX | LOCK_NB);
    return std::make_unique<DiskIncoming>(folder, fd, std::move(temporary), name, size, origin);
}

std::vector<OutboxEntry> DiskFiles::listOutbox() {
    std::vector<OutboxEntry> entries;
    int outbox = openOutboxFolder();
    if (outbox < 0) return entries;
    for (auto& name : namesIn(outbox)) {
        if (!FileName::isPlain(name)) continue;
        struct stat st {};
        if (::fstatat(outbox, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !isServable(st)) continue;
        entries.push_back(OutboxEntry{std::move(name), static_cast<std::int64_t>(st.st_size),
                                      static_cast<std::int64_t>(st.st_mtim.tv_sec)});
    }
    closeIfOpen(outbox);
    return entries;
}

std::unique_ptr<OutgoingFile> DiskFiles::openOutbox(const std::string& name) {
    if (!FileName::isPlain(name)) return nullptr;
    int outbox = openOutboxFolder();
    if (outbox < 0) return nullptr;
    int fd = ::openat(outbox, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    closeIfOpen(outbox);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !isServable(st)) {
        closeIfOpen(fd);
        return nullptr;
    }
    return std::make_unique<DiskOutgoing>(fd, static_cast<std::int64_t>(st.st_size));
}

}  // namespace morvane

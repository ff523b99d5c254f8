#include "devices/private_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

#include "core/paths.h"
#include "core/secure.h"

namespace morvane::private_file {

FileKind kindOf(mode_t mode) {
    if (S_ISREG(mode)) return FileKind::regular;
    if (S_ISDIR(mode)) return FileKind::folder;
    if (S_ISFIFO(mode)) return FileKind::fifo;
    if (S_ISSOCK(mode)) return FileKind::socket;
    if (S_ISCHR(mode)) return FileKind::characterDevice;
    if (S_ISBLK(mode)) return FileKind::blockDevice;
    return FileKind::unknown;
}

FileKind kindAt(int dirfd, const std::string& name) {
    struct stat st {};
    if (::fstatat(dirfd, name.c_str(), &st, 0) == 0) return kindOf(st.st_mode);
    return errno == ENOENT || errno == ENOTDIR ? FileKind::absent : FileKind::unknown;
}

bool isSpecial(FileKind kind) {
    return kind == FileKind::fifo || kind == FileKind::socket || kind == FileKind::characterDevice ||
           kind == FileKind::blockDevice;
}

std::string notRegularWords(FileKind kind) {
    switch (kind) {
        case FileKind::fifo: return "is a FIFO, not a regular file";
        case FileKind::socket: return "is a socket, not a regular file";
        case FileKind::characterDevice: return "is a character device, not a regular file";
        case FileKind::blockDevice: return "is a block device, not a regular file";
        default: return "is not a regular file";
    }
}

ReadResult read(int dirfd, const std::string& name, std::size_t maxBytes, bool tighten) {
    ReadResult r;
    // Asked first: a socket cannot be opened at all (ENXIO), which would
    // read as a damaged file, and what a link leads to is asked too.
    if (const FileKind kind = kindAt(dirfd, name); isSpecial(kind)) {
        r.kind = ReadResult::Kind::notRegular;
        r.found = kind;
        return r;
    }
    int fd = ::openat(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        r.kind = errno == ENOENT ? ReadResult::Kind::missing : ReadResult::Kind::openFailed;
        r.error = errno;
        return r;
    }
    if (::fstat(fd, &r.status) != 0) {
        r.kind = ReadResult::Kind::openFailed;
        r.error = errno;
        ::close(fd);
        return r;
    }
    if (!S_ISREG(r.status.st_mode)) {
        r.kind = ReadResult::Kind::notRegular;
        r.found = kindOf(r.status.st_mode);
        ::close(fd);
        return r;
    }
    if (static_cast<std::uint64_t>(r.status.st_size) > maxBytes) {
        r.kind = ReadResult::Kind::tooLarge;
        ::close(fd);
        return r;
    }
    if (tighten && (r.status.st_mode & 022) != 0) {
        r.kind = ReadResult::Kind::othersMayWrite;
        ::close(fd);
        return r;
    }
    if (tighten) ::fchmod(fd, 0600);
    // The size may change under us: read at most one byte past the limit.
    r.data.resize(static_cast<std::size_t>(r.status.st_size) + 1);
    std::size_t have = 0;
    for (;;) {
        if (have == r.data.size()) {
            if (r.data.size() > maxBytes) break;
            r.data.resize(std::min(r.data.size() * 2, maxBytes + 1));
        }
        ssize_t n = ::read(fd, r.data.data() + have, r.data.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            r.kind = ReadResult::Kind::readFailed;
            r.error = errno;
            r.data.clear();
            ::close(fd);
            return r;
        }
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (have > maxBytes) {
        r.kind = ReadResult::Kind::tooLarge;
        r.data.clear();
        return r;
    }
    r.data.resize(have);
    return r;
}

WriteResult replace(const std::filesystem::path& folder, const std::string& name,
                    std::span<const std::uint8_t> data) {
    int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return {WriteResult::Kind::openFailed, errno};
    auto r = replace(dfd, name, data);
    ::close(dfd);
    return r;
}

bool holdsSpecialFile(int dirfd, const std::string& name) {
    // A link itself may go; not when it leads to a device or a FIFO (the
    // owner's /dev/null must not become their settings). A folder is never
    // replaced by a rename nor removed by an unlink anyway.
    return isSpecial(kindAt(dirfd, name));
}

WriteResult replace(int dfd, const std::string& name, std::span<const std::uint8_t> data) {
    WriteResult r;
    if (holdsSpecialFile(dfd, name)) return {WriteResult::Kind::notRegular, EPERM};
    const std::string temp = temporaryName(name, ::getpid());
    ::unlinkat(dfd, temp.c_str(), 0);  // a leftover of an earlier crash, or a planted link
    int fd = ::openat(dfd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return {WriteResult::Kind::openFailed, errno};
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t w = ::write(fd, data.data() + done, data.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            r = {WriteResult::Kind::writeFailed, w < 0 ? errno : EIO};
            break;
        }
        done += static_cast<std::size_t>(w);
    }
    // A flush that fails means the bytes may never reach the disk: the old
    // file must stay.
    if (r.kind == WriteResult::Kind::ok && ::fsync(fd) != 0) r = {WriteResult::Kind::writeFailed, errno};
    if (::close(fd) != 0 && r.kind == WriteResult::Kind::ok) r = {WriteResult::Kind::writeFailed, errno};
    if (r.kind == WriteResult::Kind::ok && ::renameat(dfd, temp.c_str(), dfd, name.c_str()) != 0)
        r = {WriteResult::Kind::renameFailed, errno};
    if (r.kind != WriteResult::Kind::ok)
        ::unlinkat(dfd, temp.c_str(), 0);
    else
        ::fsync(dfd);  // makes the rename itself durable
    return r;
}

namespace {

std::string temporaryPrefix(const std::string& name) { return "." + name + ".tmp-"; }

// Only a plain positive decimal is a pid: kill() reads 0 and negative
// numbers as process groups, and a name we did not write is none of ours.
std::optional<pid_t> pidOf(std::string_view digits) {
    if (digits.empty() || digits.size() > 10 || digits.front() == '0') return std::nullopt;
    long long value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > INT_MAX) return std::nullopt;
    return static_cast<pid_t>(value);
}

// A process that exists but belongs to someone else (EPERM) still runs.
bool running(pid_t pid) { return ::kill(pid, 0) == 0 || errno != ESRCH; }

// When the process started; absent when /proc does not say (mounted with
// hidepid, or the process just went).
std::optional<double> startedAt(pid_t pid) {
    const auto stat = readSmallFile("/proc/" + std::to_string(pid) + "/stat", 4096);
    const auto boot = readSmallFile("/proc/stat", 1 << 20);
    if (!stat || !boot) return std::nullopt;
    return processStart(*stat, *boot, ::sysconf(_SC_CLK_TCK));
}

// Whether the temporary file may still be a write under way of process
// `pid`. Ids come round again (after a power cut the next boot hands out
// the same ones), so a process of that id is not enough: the file must
// also be no older than the process. The boot time /proc gives is whole
// seconds, so a process may look up to a second older than it is; a file
// left by a process before it is older still by far more than the margin.
bool mayBeUnderWay(pid_t pid, const struct stat& file) {
    if (!running(pid)) return false;
    const auto started = startedAt(pid);
    if (!started) return true;
    constexpr double marginSeconds = 2;
    const double written = static_cast<double>(file.st_mtim.tv_sec) + static_cast<double>(file.st_mtim.tv_nsec) / 1e9;
    return written >= *started - marginSeconds;
}

// The names in the folder that begin with `prefix`.
std::vector<std::string> namesWith(int dirfd, const std::string& prefix) {
    std::vector<std::string> out;
    const int listing = ::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return out;
    DIR* dir = ::fdopendir(listing);
    if (!dir) {
        ::close(listing);
        return out;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view entryName(entry->d_name);
        if (entryName.starts_with(prefix)) out.emplace_back(entryName);
    }
    ::closedir(dir);
    return out;
}

}  // namespace

std::optional<double> processStart(std::string_view stat, std::string_view kernelStat, long hertz) {
    // The name in parentheses may hold blanks and parentheses itself (any
    // process names itself): the fields are counted from the last ')'; the
    // start is the 20th after it.
    const auto close = stat.rfind(')');
    if (close == std::string_view::npos) return std::nullopt;
    std::istringstream fields{std::string(stat.substr(close + 1))};
    std::string field;
    for (int i = 0; i < 20 && fields >> field; ++i) {
    }
    const auto btime = kernelStat.find("\nbtime ");
    if (!fields || btime == std::string_view::npos || hertz <= 0) return std::nullopt;
    const auto line = kernelStat.substr(btime + 7);
    const auto ticks = decimalField(field);
    const auto boot = decimalField(line.substr(0, line.find('\n')));
    if (!ticks || !boot || *boot == 0) return std::nullopt;
    return static_cast<double>(*boot) + static_cast<double>(*ticks) / static_cast<double>(hertz);
}

std::string temporaryName(const std::string& name, long pid) { return temporaryPrefix(name) + std::to_string(pid); }

void removeDeadLeftovers(int dirfd, const std::string& name) {
    const std::string prefix = temporaryPrefix(name);
    for (const auto& entryName : namesWith(dirfd, prefix)) {
        const auto pid = pidOf(std::string_view(entryName).substr(prefix.size()));
        struct stat st {};
        if (!pid || ::fstatat(dirfd, entryName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!mayBeUnderWay(*pid, st)) ::unlinkat(dirfd, entryName.c_str(), 0);
    }
}

void removeDeadLeftovers(const std::filesystem::path& folder, const std::string& name) {
    const int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return;
    removeDeadLeftovers(dfd, name);
    ::close(dfd);
}

void removeLeftoversAtStart(const std::filesystem::path& folder, const std::string& name) {
    const int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return;
    removeDeadLeftovers(dfd, name);
    const std::string prefix = "." + name + ".";
    for (const auto& entryName : namesWith(dfd, prefix)) {
        const std::string_view suffix = std::string_view(entryName).substr(prefix.size());
        const bool unnamed = suffix.size() == 6 && std::all_of(suffix.begin(), suffix.end(), [](char c) {
                                 return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
                             });
        if (unnamed) ::unlinkat(dfd, entryName.c_str(), 0);  // a link goes, not its target
    }
    ::close(dfd);
}

namespace {

std::string revocationPrefix(const std::string& name) { return "." + name + ".revoked-"; }

std::optional<std::string> fromHex(std::string_view hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    const auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = digit(hex[i]), low = digit(hex[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        out += static_cast<char>(high * 16 + low);
    }
    return out;
}

}  // namespace

bool recordRevoked(int dirfd, const std::string& name, const std::string& id) {
    const std::string file = revocationPrefix(name) + Secure::hex(Bytes(id.begin(), id.end()));
    const int fd = ::openat(dirfd, file.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    ::close(fd);
    // The record is worth something only once its name is on the disk.
    return ::fsync(dirfd) == 0;
}

std::vector<std::string> recordedRevocations(int dirfd, const std::string& name) {
    const std::string prefix = revocationPrefix(name);
    std::vector<std::string> ids;
    for (const auto& file : namesWith(dirfd, prefix)) {
        struct stat st {};
        if (::fstatat(dirfd, file.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        if (auto id = fromHex(std::string_view(file).substr(prefix.size()))) ids.push_back(std::move(*id));
    }
    return ids;
}

void forgetRevocations(int dirfd, const std::string& name) {
    const auto files = namesWith(dirfd, revocationPrefix(name));
    for (const auto& file : files) ::unlinkat(dirfd, file.c_str(), 0);
    if (!files.empty()) ::fsync(dirfd);
}

}  // namespace morvane::private_file

#include "devices/private_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace morvane::private_file {

ReadResult read(int dirfd, const std::string& name, std::size_t maxBytes, bool tighten) {
    ReadResult r;
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
        ::close(fd);
        return r;
    }
    if (static_cast<std::uint64_t>(r.status.st_size) > maxBytes) {
        r.kind = ReadResult::Kind::tooLarge;
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

WriteResult replace(int dfd, const std::string& name, std::span<const std::uint8_t> data) {
    WriteResult r;
    const std::string temp = "." + name + ".tmp-" + std::to_string(::getpid());
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

}  // namespace morvane::private_file

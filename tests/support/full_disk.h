// Small file systems of a test's own, for what a save or a log line does
// when the disk is full or read-only. Header-only, like the other helpers
// here.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

namespace morvane::testing {

// Appends to `filler` until nothing more fits: whole pages first, then single
// bytes, so that not even a short write of the code under test succeeds.
inline void fillUntilFull(const std::filesystem::path& filler) {
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const std::string page(4096, 'x');
    while (::write(fd, page.data(), page.size()) > 0) {
    }
    while (::write(fd, "x", 1) > 0) {
    }
    ::close(fd);
}

// A tmpfs mounted on a fresh folder under the temporary folder; mounting
// needs root, so a test checks `mounted()` and skips on EPERM or EACCES.
class SmallTmpfs {
public:
    explicit SmallTmpfs(const std::string& options = "size=64k,mode=0700") {
        std::string pattern = (std::filesystem::temp_directory_path() / "morvane-small-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
        if (::mount("tmpfs", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
            error_ = errno;
            return;
        }
        mounted_ = true;
    }
    ~SmallTmpfs() {
        if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    SmallTmpfs(const SmallTmpfs&) = delete;
    SmallTmpfs& operator=(const SmallTmpfs&) = delete;

    bool mounted() const { return mounted_; }
    // Mounting was refused for want of privileges, not for a fault.
    bool needsRoot() const { return !mounted_ && (error_ == EPERM || error_ == EACCES); }
    int error() const { return error_; }
    const std::filesystem::path& path() const { return path_; }

    void fill() { fillUntilFull(path_ / "filler"); }
    void free() { std::filesystem::remove(path_ / "filler"); }
    // Nothing can be created, written, renamed or removed any more.
    bool makeReadOnly() {
        return ::mount("tmpfs", path_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr) == 0;
    }

private:
    std::filesystem::path path_;
    bool mounted_ = false;
    int error_ = 0;
};

}  // namespace morvane::testing

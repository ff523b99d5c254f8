#include "app/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace morvane {

std::filesystem::path InstanceLock::standardPath(const char* runtimeDir, unsigned uid) {
    if (runtimeDir && runtimeDir[0] == '/') return std::filesystem::path(runtimeDir) / "morvane.lock";
    return std::filesystem::path("/tmp") / ("morvane-" + std::to_string(uid) + ".lock");
}

std::filesystem::path InstanceLock::standardPath() {
    return standardPath(std::getenv("XDG_RUNTIME_DIR"), static_cast<unsigned>(::getuid()));
}

InstanceLock::InstanceLock(std::filesystem::path path) : path_(std::move(path)) {}

InstanceLock::~InstanceLock() {
    if (descriptor_ >= 0) ::close(descriptor_);
}

InstanceLock::Outcome InstanceLock::take() {
    if (descriptor_ >= 0) return Outcome::taken;
    // Close-on-exec: a browser the host opens must not carry the lock on
    // after the host has quit. No link is followed: in /tmp another user
    // could have placed one.
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return Outcome::unusable;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid()) {
        ::close(fd);
        return Outcome::unusable;
    }
    int rc;
    do rc = ::flock(fd, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const bool busy = errno == EWOULDBLOCK;
        ::close(fd);
        return busy ? Outcome::heldElsewhere : Outcome::unusable;
    }
    descriptor_ = fd;
    return Outcome::taken;
}

}  // namespace morvane

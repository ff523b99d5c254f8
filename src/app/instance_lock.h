// One host per user and session. Two hosts would show two tray icons and
// fight over the port, so the process takes an exclusive lock on a file in
// the user's runtime folder before it does anything else. The kernel drops
// the lock when the process ends, however it ends, so a crashed host never
// keeps the next one out.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace morvane {

class InstanceLock {
public:
    enum class Outcome { taken, heldElsewhere, unusable };

    // "$XDG_RUNTIME_DIR/morvane.lock" when that variable names an absolute
    // path; otherwise a per-user name in /tmp.
    static std::filesystem::path standardPath(const char* runtimeDir, unsigned uid);
    static std::filesystem::path standardPath();

    explicit InstanceLock(std::filesystem::path path);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Takes the lock without waiting. `unusable` (the file cannot be made
    // or is not this user's own regular file) lets the host start: the lock
    // guards against a mistake, and refusing to start would be worse.
    Outcome take();
    bool held() const { return descriptor_ >= 0; }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    int descriptor_ = -1;
};

}  // namespace morvane

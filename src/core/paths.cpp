#include "core/paths.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace morvane {

namespace fs = std::filesystem;

std::optional<fs::path> homeFolder() {
    if (const char* home = std::getenv("HOME"); home && home[0] == '/') return fs::path(home);
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return std::nullopt;
    if (!found->pw_dir || found->pw_dir[0] != '/') return std::nullopt;
    return fs::path(found->pw_dir);
}

std::optional<fs::path> appSupportFolder() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/')
        return fs::path(data) / "Morvane";
    auto home = homeFolder();
    if (!home) return std::nullopt;
    return *home / ".local" / "share" / "Morvane";
}

bool createFolders(const fs::path& folder, mode_t mode) {
    if (folder.empty()) return false;
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    // Parents first; each one made here gets the same private mode.
    auto parent = folder.parent_path();
    if (!parent.empty() && parent != folder) createFolders(parent, mode);
    if (::mkdir(folder.c_str(), mode) != 0 && errno != EEXIST) return false;
    return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::string> readSmallFile(const fs::path& file, std::size_t limit) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::string data(limit + 1, '\0');
    std::size_t got = 0;
    bool failed = false;
    while (got < data.size()) {
        const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failed = true;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (failed || got > limit) return std::nullopt;
    data.resize(got);
    return data;
}

}  // namespace morvane

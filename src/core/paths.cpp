#include "core/paths.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

bool createFolders(const fs::path& folder, mode_t mode) { return !makeFolders(folder, mode); }

std::optional<std::string> makeFolders(const fs::path& folder, mode_t mode) {
    if (folder.empty()) return "no folder was named";
    const auto notAFolder = [](const fs::path& at) { return "a file is in the place of the folder " + at.string(); };
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return std::nullopt;
        return notAFolder(folder);
    }
    // Parents first; each one made here gets the same private mode. The
    // first of them that fails says why for all.
    auto parent = folder.parent_path();
    if (!parent.empty() && parent != folder)
        if (auto problem = makeFolders(parent, mode)) return problem;
    if (::mkdir(folder.c_str(), mode) != 0 && errno != EEXIST)
        return "cannot create the folder " + folder.string() + ": " + std::strerror(errno);
    if (::stat(folder.c_str(), &st) != 0)
        return "cannot create the folder " + folder.string() + ": " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode)) return notAFolder(folder);
    return std::nullopt;
}

std::optional<fs::path> linkedPath(const fs::path& file) {
    // As many links in a row as the kernel itself follows.
    constexpr int maxLinks = 40;
    fs::path at = file;
    for (int followed = 0; followed <= maxLinks; ++followed) {
        struct stat st {};
        if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            if (followed == 0) return at;
            // A ".." after a linked folder goes where the kernel takes it,
            // not where the text says: the folder is named as it resolves.
            std::error_code ec;
            const fs::path folder = fs::canonical(at.parent_path(), ec);
            return ec ? at : folder / at.filename();
        }
        std::error_code ec;
        const fs::path target = fs::read_symlink(at, ec);
        if (ec || target.empty() || !target.has_filename()) return std::nullopt;
        at = target.is_absolute() ? target : at.parent_path() / target;
    }
    return std::nullopt;
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

std::optional<std::uint64_t> decimalField(std::string_view text) {
    if (text.empty() || text.size() > 19) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

}  // namespace morvane

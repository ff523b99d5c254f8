#include "app/login_item.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/paths.h"

namespace morvane {

LoginItem::LoginItem(std::filesystem::path desktopFile, std::filesystem::path executable)
    : file_(std::move(desktopFile)), executable_(std::move(executable)) {}

std::optional<std::filesystem::path> LoginItem::standardPath() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') return std::filesystem::path(config) / "autostart" / "morvane.desktop";
    const auto home = homeFolder();
    if (!home) return std::nullopt;
    return *home / ".config" / "autostart" / "morvane.desktop";
}

std::filesystem::path LoginItem::autostartProgram(
    const std::filesystem::path& running, const std::vector<std::filesystem::path>& installed,
    const std::function<bool(const std::filesystem::path&)>& isProgram) {
    for (const auto& place : installed)
        if (place == running) return running;
    for (const auto& place : installed)
        if (isProgram(place)) return place;
    return running;
}

std::filesystem::path LoginItem::autostartProgram(const std::filesystem::path& running) {
    std::vector<std::filesystem::path> installed;
#ifdef MORVANE_INSTALLED_PROGRAM
    installed.emplace_back(MORVANE_INSTALLED_PROGRAM);
#endif
    if (const auto home = homeFolder()) installed.push_back(*home / ".local" / "bin" / "morvane-host");
    installed.emplace_back("/usr/local/bin/morvane-host");
    installed.emplace_back("/usr/bin/morvane-host");
    return autostartProgram(running, installed, [](const std::filesystem::path& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
    });
}

LoginItemStatus LoginItem::status() const {
    struct stat st {};
    if (::lstat(file_.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return LoginItemStatus::off;
    return LoginItemStatus::enabled;
}

std::string LoginItem::desktopEntry(const std::filesystem::path& executable) {
    // Inside the double quotes of Exec, `"`, `` ` ``, `$` and `\` take a
    // backslash; the value as a whole then doubles every backslash.
    std::string quoted = "\"";
    for (const char c : executable.string()) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += "\\\\";
        quoted += c;
    }
    quoted += "\"";
    return "[Desktop Entry]\nType=Application\nName=Morvane\nComment=Lets your own devices see and control this "
           "computer\nExec=" +
           quoted + "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
}

std::optional<std::string> LoginItem::registerItem() {
    const std::string path = executable_.string();
    if (path.find_first_of("\n\r") != std::string::npos) return std::string("the program's path cannot be written");
    if (!createFolders(file_.parent_path(), 0700)) return std::string("cannot create ") + file_.parent_path().string();
    std::string temp = (file_.parent_path() / ".morvane.desktop.XXXXXX").string();
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return std::string(std::strerror(errno));
    const std::string text = desktopEntry(executable_);
    bool ok = ::fchmod(fd, 0644) == 0;
    std::size_t done = 0;
    while (ok && done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else done += static_cast<std::size_t>(n);
    }
    const int e = errno;
    if (::close(fd) != 0) ok = false;
    if (!ok || ::rename(temp.c_str(), file_.c_str()) != 0) {
        const int err = ok ? errno : (e ? e : EIO);
        ::unlink(temp.c_str());
        return std::string(std::strerror(err));
    }
    return std::nullopt;
}

std::optional<std::string> LoginItem::unregisterItem() {
    if (::unlink(file_.c_str()) != 0 && errno != ENOENT) return std::string(std::strerror(errno));
    return std::nullopt;
}

}  // namespace morvane

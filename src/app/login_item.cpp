#include "app/login_item.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/paths.h"
#include "devices/private_file.h"

namespace morvane {

namespace {
// An entry is a few lines; a larger file is not one this host wrote.
constexpr std::size_t maxEntryBytes = 64 * 1024;
}  // namespace

LoginItem::LoginItem(std::filesystem::path desktopFile, const std::filesystem::path& running, Places places)
    : file_(std::move(desktopFile)), places_(std::move(places)), choice_(choose(running, places_)) {}

std::optional<std::filesystem::path> LoginItem::standardPath() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') return std::filesystem::path(config) / "autostart" / "morvane.desktop";
    const auto home = homeFolder();
    if (!home) return std::nullopt;
    return *home / ".config" / "autostart" / "morvane.desktop";
}

LoginItem::Places LoginItem::Places::standard() {
    Places places;
#ifdef MORVANE_INSTALLED_PROGRAM
    places.installed.emplace_back(MORVANE_INSTALLED_PROGRAM);
#endif
    if (const auto home = homeFolder()) places.installed.push_back(*home / ".local" / "bin" / "morvane-host");
    for (const char* place : {"/usr/local/bin/morvane-host", "/usr/bin/morvane-host"})
        if (std::find(places.installed.begin(), places.installed.end(), place) == places.installed.end())
            places.installed.emplace_back(place);
    places.isProgram = [](const std::filesystem::path& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
    };
    places.inBuildFolder = [](const std::filesystem::path& path) {
        struct stat st {};
        return ::stat((path.parent_path() / "CMakeCache.txt").c_str(), &st) == 0;
    };
    return places;
}

LoginItem::Choice LoginItem::choose(const std::filesystem::path& running, const Places& places) {
    for (const auto& place : places.installed)
        if (place == running) return {running, std::nullopt};
    for (const auto& place : places.installed)
        if (places.isProgram && places.isProgram(place)) return {place, std::nullopt};
    if (places.inBuildFolder && places.inBuildFolder(running))
        return {std::nullopt, "Start at Login needs Morvane installed: this copy runs from a build folder"};
    return {running, std::nullopt};
}

bool LoginItem::installed(const std::filesystem::path& program) const {
    return std::find(places_.installed.begin(), places_.installed.end(), program) != places_.installed.end() &&
           places_.isProgram && places_.isProgram(program);
}

std::optional<std::filesystem::path> LoginItem::named() const {
    if (status() != LoginItemStatus::enabled) return std::nullopt;
    const auto read = private_file::read(AT_FDCWD, file_.string(), maxEntryBytes, false);
    if (read.kind != private_file::ReadResult::Kind::ok) return std::nullopt;
    return programOf(std::string(read.data.begin(), read.data.end()));
}

std::optional<std::string> LoginItem::startsElsewhere() const {
    const auto program = named();
    if (!program || program == choice_.program || installed(*program)) return std::nullopt;
    if (!places_.isProgram || !places_.isProgram(*program))
        return "Start at Login starts nothing: " + program->string() + " is gone";
    return "Start at Login starts a copy that is not installed: " + program->string();
}

std::optional<LoginItem::LogLine> LoginItem::mendAtStart() {
    private_file::removeLeftoversAtStart(file_.parent_path(), file_.filename().string());
    const auto program = named();
    if (!program || !choice_.program || program == choice_.program || installed(*program)) return std::nullopt;
    if (const auto failure = registerItem())
        return LogLine{"error", "start at login still starts " + program->string() + ": it could not be changed to " +
                                    choice_.program->string() + ": " + *failure};
    return LogLine{"app", "start at login: the login item started " + program->string() + "; it starts " +
                              choice_.program->string() + " now"};
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
        if (c == '"' || c == '`' || c == '$') quoted += "\\\\";
        quoted += c == '\\' ? "\\\\\\\\" : std::string(1, c);
    }
    quoted += "\"";
    return "[Desktop Entry]\nType=Application\nName=Morvane\nComment=Lets your own devices see and control this "
           "computer\nExec=" +
           quoted + "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
}

std::optional<std::filesystem::path> LoginItem::programOf(const std::string& entry) {
    std::string value;
    bool found = false;
    for (std::size_t at = 0; at < entry.size() && !found;) {
        const auto end = std::min(entry.find('\n', at), entry.size());
        if (entry.compare(at, 5, "Exec=") == 0) {
            value = entry.substr(at + 5, end - at - 5);
            found = true;
        }
        at = end + 1;
    }
    if (!found) return std::nullopt;
    // The value's own escapes first, then the quoting of Exec.
    std::string unescaped;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char next = i + 1 < value.size() ? value[i + 1] : '\0';
        const char* escaped = value[i] != '\\' ? nullptr
                              : next == 's'      ? " "
                              : next == 'n'      ? "\n"
                              : next == 't'      ? "\t"
                              : next == 'r'      ? "\r"
                              : next == '\\'     ? "\\"
                                                 : nullptr;
        if (escaped) {
            unescaped += escaped;
            ++i;
        } else {
            unescaped += value[i];
        }
    }
    std::string program;
    if (!unescaped.empty() && unescaped.front() == '"') {
        std::size_t i = 1;
        for (; i < unescaped.size() && unescaped[i] != '"'; ++i) {
            if (unescaped[i] == '\\' && i + 1 < unescaped.size() &&
                std::string_view("\"`$\\").find(unescaped[i + 1]) != std::string_view::npos)
                ++i;
            program += unescaped[i];
        }
        if (i == unescaped.size() || unescaped.find_first_not_of(' ', i + 1) != std::string::npos) return std::nullopt;
    } else {
        program = unescaped;
        if (program.find(' ') != std::string::npos) return std::nullopt;
    }
    if (program.empty() || program.front() != '/') return std::nullopt;
    return std::filesystem::path(program);
}

std::optional<std::string> LoginItem::registerItem() {
    if (!choice_.program) return choice_.unavailable.value_or("no program to start");
    const std::string path = choice_.program->string();
    if (path.find_first_of("\n\r") != std::string::npos) return std::string("the program's path cannot be written");
    if (!createFolders(file_.parent_path(), 0700)) return std::string("cannot create ") + file_.parent_path().string();
    const std::string text = desktopEntry(*choice_.program);
    const auto written = private_file::replace(file_.parent_path(), file_.filename().string(),
                                               std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    if (written.kind != private_file::WriteResult::Kind::ok) return std::string(std::strerror(written.error ? written.error : EIO));
    return std::nullopt;
}

std::optional<std::string> LoginItem::unregisterItem() {
    if (::unlink(file_.c_str()) != 0 && errno != ENOENT) return std::string(std::strerror(errno));
    return std::nullopt;
}

}  // namespace morvane

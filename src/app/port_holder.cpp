#include "app/port_holder.h"

#include <dirent.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <vector>

#include "core/paths.h"

namespace morvane::port_holder {

namespace {

// The process name Linux keeps (at most 15 characters) for the host.
constexpr std::string_view hostProcess = "morvane-host";

// A whole hexadecimal field, or absent.
std::optional<std::uint64_t> hex(std::string_view text) {
    if (text.empty() || text.size() > 16) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        if (digit < 0) return std::nullopt;
        value = value * 16 + static_cast<std::uint64_t>(digit);
    }
    return value;
}

std::string userName(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name &&
        found->pw_name[0] != '\0')
        return found->pw_name;
    return std::to_string(uid);
}

// The numbered entries of /proc: every process this one may see.
std::vector<std::string> processes() {
    std::vector<std::string> out;
    DIR* dir = ::opendir("/proc");
    if (!dir) return out;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (decimalField(name)) out.emplace_back(name);
    }
    ::closedir(dir);
    return out;
}

std::optional<std::string> commandName(const std::string& pid) {
    auto name = readSmallFile("/proc/" + pid + "/comm", 64);
    if (!name) return std::nullopt;
    while (!name->empty() && name->back() == '\n') name->pop_back();
    return name;
}

// The real user id of the process, from the "Uid:" line of its status.
std::optional<uid_t> ownerOf(const std::string& pid) {
    const auto status = readSmallFile("/proc/" + pid + "/status", 16384);
    if (!status) return std::nullopt;
    const auto at = status->find("\nUid:");
    if (at == std::string::npos) return std::nullopt;
    std::istringstream line(status->substr(at + 5));
    std::string real;
    line >> real;
    const auto uid = decimalField(real);
    return uid ? std::optional<uid_t>(static_cast<uid_t>(*uid)) : std::nullopt;
}

// Whether one of the process's descriptors is the socket: readable for the
// own account's processes (and for root's, every process's).
bool holdsSocket(const std::string& pid, std::uint64_t inode) {
    const std::string folder = "/proc/" + pid + "/fd";
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return false;
    const std::string wanted = "socket:[" + std::to_string(inode) + "]";
    bool found = false;
    while (const dirent* entry = ::readdir(dir)) {
        char target[64];
        const std::string path = folder + "/" + entry->d_name;
        const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
        if (n > 0 && std::string_view(target, static_cast<std::size_t>(n)) == wanted) {
            found = true;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

}  // namespace

std::optional<Listener> listenerIn(std::string_view table, std::uint16_t port) {
    std::istringstream lines{std::string(table)};
    std::string line;
    std::getline(lines, line);  // the heading
    while (std::getline(lines, line)) {
        // sl local rem st tx:rx tr:when retrnsmt uid timeout inode ...
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode))
            continue;
        const auto colon = local.rfind(':');
        if (colon == std::string::npos) continue;
        const auto localPort = hex(std::string_view(local).substr(colon + 1));
        const auto listening = hex(state) == std::optional<std::uint64_t>(0x0A);
        const auto owner = decimalField(uid);
        const auto socket = decimalField(inode);
        if (localPort == std::optional<std::uint64_t>(port) && listening && owner && socket)
            return Listener{static_cast<uid_t>(*owner), *socket};
    }
    return std::nullopt;
}

Words words(std::uint16_t port, const std::optional<PortHolder>& holder, uid_t ownUid) {
    const std::string at = "port " + std::to_string(port);
    const std::string restart = "then start Morvane again";
    const std::string findIt = "Quit the program that listens on " + at + " (ss -ltnp shows it), " + restart;
    if (!holder) return {at + " is in use by another program", findIt, at + " is in use by another program. " + findIt};
    const bool own = holder->uid == ownUid;
    if (holder->morvane && !own) {
        // The menu's apostrophe is the typographic one; standard error and
        // the log keep to ASCII.
        const auto serves = [&](const std::string& apostrophe) {
            return "another user" + apostrophe + "s Morvane (" + holder->user + ") serves this computer on " + at;
        };
        const auto what = [&](const std::string& apostrophe) {
            return "One user at a time can use Morvane on a computer: quit it in " + holder->user + apostrophe +
                   "s session, then start Morvane here again";
        };
        return {serves("’"), what("’"), serves("'") + ". " + what("'")};
    }
    if (holder->morvane) {
        const std::string menu = "another Morvane of yours serves this computer on " + at;
        const std::string what = "Quit the other one, " + restart;
        return {menu, what, menu + ". " + what};
    }
    std::string who = holder->program ? *holder->program : std::string("another program");
    if (!own) who = holder->program ? *holder->program + " of user " + holder->user : "a program of user " + holder->user;
    const std::string menu = at + " is in use by " + who;
    const std::string what = holder->program ? "Quit " + *holder->program + ", " + restart : findIt;
    return {menu, what, menu + ". " + what};
}

std::optional<PortHolder> find(std::uint16_t port) {
    std::optional<Listener> listener;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        if (const auto text = readSmallFile(table, 16 << 20)) listener = listenerIn(*text, port);
        if (listener) break;
    }
    if (!listener) return std::nullopt;
    PortHolder holder;
    holder.uid = listener->uid;
    holder.user = userName(listener->uid);
    bool accountRunsHost = false;
    for (const auto& pid : processes()) {
        if (pid == std::to_string(::getpid()) || ownerOf(pid) != std::optional<uid_t>(listener->uid)) continue;
        const auto name = commandName(pid);
        if (name == hostProcess) accountRunsHost = true;
        if (!holder.program && holdsSocket(pid, listener->inode)) holder.program = name;
    }
    // Where the holder can be told, it decides; where it cannot (another
    // account's descriptors are closed to this one), a host of that account
    // that runs is taken for it.
    holder.morvane = holder.program ? holder.program == hostProcess : accountRunsHost;
    return holder;
}

}  // namespace morvane::port_holder

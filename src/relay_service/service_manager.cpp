#include "relay_service/service_manager.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace morvane::relay_service {

namespace service_manager {

std::optional<std::chrono::milliseconds> watchdogTime() {
    const char* usec = std::getenv("WATCHDOG_USEC");
    if (!usec || !*usec) return std::nullopt;
    if (const char* pid = std::getenv("WATCHDOG_PID"); pid && *pid && std::strtoll(pid, nullptr, 10) != ::getpid())
        return std::nullopt;
    const auto micros = std::strtoll(usec, nullptr, 10);
    if (micros <= 0) return std::nullopt;
    return std::chrono::milliseconds(std::max<long long>(1, micros / 1000));
}

std::chrono::milliseconds pingEvery(std::chrono::milliseconds watchdog) {
    return std::clamp(watchdog / 4, std::chrono::milliseconds(1), std::chrono::milliseconds(1000));
}

bool notify(std::string_view state) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (!path || !*path) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(path);
    if (length >= sizeof address.sun_path || (path[0] != '/' && path[0] != '@')) return false;
    std::memcpy(address.sun_path, path, length);
    // "@name": an abstract socket, whose name begins with a zero byte.
    if (path[0] == '@') address.sun_path[0] = '\0';
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    const auto sent =
        ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address), size);
    ::close(fd);
    return sent == static_cast<ssize_t>(state.size());
}

}  // namespace service_manager

}  // namespace morvane::relay_service

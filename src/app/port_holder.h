// Who holds the host's port when it cannot listen there. The host listens on
// one fixed loopback port, so a second user logged in at the same time finds
// it taken by the first user's Morvane; the owner is told that, in words
// that name the port and what to do, instead of the bare system error. The
// kernel's socket tables (/proc/net/tcp and tcp6) say which account listens;
// the processes of that account say whether it is Morvane.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morvane {

struct PortHolder {
    uid_t uid = 0;
    std::string user;  // the account's name, or its number when it has none
    // A morvane-host of that account runs (for the own account: the process
    // holding the socket is one).
    bool morvane = false;
    // The name of the process holding the socket, where it can be told
    // (only for the own account's processes, unless run as root).
    std::optional<std::string> program;
    bool operator==(const PortHolder&) const = default;
};

namespace port_holder {

// The account and socket of a listening TCP socket on `port`, at any local
// address, in the text of /proc/net/tcp or /proc/net/tcp6.
struct Listener {
    uid_t uid = 0;
    std::uint64_t inode = 0;
    bool operator==(const Listener&) const = default;
};
std::optional<Listener> listenerIn(std::string_view table, std::uint16_t port);

// What the host says when the port is taken: the menu's two lines and the
// one line on standard error. `holder` is absent when the socket's owner
// could not be found.
struct Words {
    std::string menu;    // after "Not running: "
    std::string advice;  // the menu's next line: what to do
    std::string line;    // stderr and the log
    bool operator==(const Words&) const = default;
};
Words words(std::uint16_t port, const std::optional<PortHolder>& holder, uid_t ownUid);

// Asks the kernel; absent when no listener on the port can be found.
std::optional<PortHolder> find(std::uint16_t port);

}  // namespace port_holder
}  // namespace morvane

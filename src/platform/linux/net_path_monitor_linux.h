// The network path as the relay link needs it, read from the kernel's
// routing netlink: the path is satisfied while a default route leaves
// through an interface that is up (loopback excluded). The monitor listens
// for link and route changes on the io_context it is given (the link's
// queue) and reports the verdict soon after start and after each change.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <span>

#include <boost/asio/io_context.hpp>

#include "relay/relay_socket.h"

namespace morvane {

// What the kernel said about routes and interfaces.
struct NetPathFacts {
    std::set<int> defaultRouteInterfaces;  // out-interfaces of default routes
    std::set<int> upInterfaces;            // up and not loopback
    bool operator==(const NetPathFacts&) const = default;
};

// Reads the RTM_NEWROUTE and RTM_NEWLINK messages of one netlink buffer
// into the facts; anything malformed or of another kind is skipped. False
// when the buffer ends a dump (NLMSG_DONE or NLMSG_ERROR).
bool readNetlinkMessages(std::span<const std::uint8_t> buffer, NetPathFacts& facts);
bool pathSatisfied(const NetPathFacts& facts);

// A monitor that reads the routing tables afresh after every change.
std::unique_ptr<NetworkPathMonitor> makeNetlinkPathMonitor(boost::asio::io_context& io);

}  // namespace morvane

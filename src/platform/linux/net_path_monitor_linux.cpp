#include "platform/linux/net_path_monitor_linux.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstring>

namespace morvane {

namespace {

// The kernel's messages are read with bounds checks of our own rather than
// trusting the length fields.
template <class T>
bool readStruct(std::span<const std::uint8_t> bytes, std::size_t at, T& out) {
    if (at > bytes.size() || bytes.size() - at < sizeof(T)) return false;
    std::memcpy(&out, bytes.data() + at, sizeof(T));
    return true;
}

void readRoute(std::span<const std::uint8_t> body, NetPathFacts& facts) {
    rtmsg route{};
    if (!readStruct(body, 0, route)) return;
    if (route.rtm_dst_len != 0 || (route.rtm_family != AF_INET && route.rtm_family != AF_INET6)) return;
    if (route.rtm_type != RTN_UNICAST) return;
    std::size_t at = NLMSG_ALIGN(sizeof(rtmsg));
    int table = route.rtm_table;
    int outInterface = -1;
    while (true) {
        rtattr attribute{};
        if (!readStruct(body, at, attribute) || attribute.rta_len < sizeof(rtattr) || at + attribute.rta_len > body.size())
            break;
        const auto payload = body.subspan(at + RTA_LENGTH(0), attribute.rta_len - RTA_LENGTH(0));
        std::uint32_t value = 0;
        if (payload.size() >= sizeof value) std::memcpy(&value, payload.data(), sizeof value);
        if (attribute.rta_type == RTA_OIF && payload.size() >= sizeof value) outInterface = static_cast<int>(value);
        if (attribute.rta_type == RTA_TABLE && payload.size() >= sizeof value) table = static_cast<int>(value);
        at += RTA_ALIGN(attribute.rta_len);
    }
    if (table == RT_TABLE_MAIN && outInterface > 0) facts.defaultRouteInterfaces.insert(outInterface);
}

void readLink(std::span<const std::uint8_t> body, NetPathFacts& facts) {
    ifinfomsg link{};
    if (!readStruct(body, 0, link)) return;
    const bool up = (link.ifi_flags & IFF_UP) && (link.ifi_flags & IFF_RUNNING) && !(link.ifi_flags & IFF_LOOPBACK);
    if (up)
        facts.upInterfaces.insert(link.ifi_index);
    else
        facts.upInterfaces.erase(link.ifi_index);
}

}  // namespace

bool readNetlinkMessages(std::span<const std::uint8_t> buffer, NetPathFacts& facts) {
    std::size_t at = 0;
    while (true) {
        nlmsghdr header{};
        if (!readStruct(buffer, at, header) || header.nlmsg_len < sizeof(nlmsghdr) || at + header.nlmsg_len > buffer.size())
            return true;
        if (header.nlmsg_type == NLMSG_DONE || header.nlmsg_type == NLMSG_ERROR) return false;
        const auto body = buffer.subspan(at + NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN);
        if (header.nlmsg_type == RTM_NEWROUTE) readRoute(body, facts);
        if (header.nlmsg_type == RTM_NEWLINK) readLink(body, facts);
        at += NLMSG_ALIGN(header.nlmsg_len);
    }
}

bool pathSatisfied(const NetPathFacts& facts) {
    for (int index : facts.defaultRouteInterfaces)
        if (facts.upInterfaces.contains(index)) return true;
    return false;
}

namespace {

// Dumps one table over a private socket; absent when the kernel cannot be
// asked (then the path counts as satisfied, as if nothing were watched).
bool dump(int type, int family, NetPathFacts& facts) {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) return false;
    struct {
        nlmsghdr header;
        rtgenmsg body;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = static_cast<std::uint16_t>(type);
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.body.rtgen_family = static_cast<unsigned char>(family);
    bool ok = ::send(fd, &request, sizeof request, 0) == static_cast<ssize_t>(sizeof request);
    std::vector<std::uint8_t> buffer(32'768);
    // A dump is bounded by the kernel's tables; stop after a generous count
    // of reads all the same.
    for (int reads = 0; ok && reads < 1'000; ++reads) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            ok = false;
            break;
        }
        if (!readNetlinkMessages(std::span(buffer.data(), static_cast<std::size_t>(n)), facts)) break;
    }
    ::close(fd);
    return ok;
}

class NetlinkPathMonitor final : public NetworkPathMonitor, public std::enable_shared_from_this<NetlinkPathMonitor> {
public:
    explicit NetlinkPathMonitor(boost::asio::io_context& io) : events_(io), settle_(io) {}

    void start(std::function<void(bool)> handler) {
        handler_ = std::move(handler);
        const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
        if (fd >= 0) {
            sockaddr_nl address{};
            address.nl_family = AF_NETLINK;
            address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
            if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                events_.assign(fd);
                listen();
            } else {
                ::close(fd);
            }
        }
        changed();
    }

    void cancel() {
        handler_ = nullptr;
        boost::system::error_code ignored;
        settle_.cancel();
        events_.close(ignored);
    }

private:
    void listen() {
        events_.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                           [weak = weak_from_this()](boost::system::error_code ec) {
                               auto self = weak.lock();
                               if (!self || ec) return;
                               // Drain what is there; the tables are read afresh anyway.
                               std::uint8_t sink[8'192];
                               while (::recv(self->events_.native_handle(), sink, sizeof sink, MSG_DONTWAIT) > 0) {
                               }
                               self->changed();
                               self->listen();
                           });
    }

    // Changes come in bursts: read the tables once things settle.
    void changed() {
        settle_.expires_after(std::chrono::milliseconds(200));
        settle_.async_wait([weak = weak_from_this()](boost::system::error_code ec) {
            auto self = weak.lock();
            if (!self || ec || !self->handler_) return;
            NetPathFacts facts;
            const bool read = dump(RTM_GETLINK, AF_UNSPEC, facts) && dump(RTM_GETROUTE, AF_UNSPEC, facts);
            const bool satisfied = !read || pathSatisfied(facts);
            if (self->reported_ && facts == self->last_ && satisfied == self->lastVerdict_) return;
            self->reported_ = true;
            self->last_ = facts;
            self->lastVerdict_ = satisfied;
            self->handler_(satisfied);
        });
    }

    boost::asio::posix::stream_descriptor events_;
    boost::asio::steady_timer settle_;
    std::function<void(bool)> handler_;
    NetPathFacts last_;
    bool lastVerdict_ = true;
    bool reported_ = false;
};

// The link owns its monitor through a unique_ptr; the asynchronous parts
// need shared ownership, so the handle forwards to a shared monitor.
class MonitorHandle final : public NetworkPathMonitor {
public:
    explicit MonitorHandle(boost::asio::io_context& io) : monitor_(std::make_shared<NetlinkPathMonitor>(io)) {}
    ~MonitorHandle() override { monitor_->cancel(); }
    void start(std::function<void(bool)> handler) override { monitor_->start(std::move(handler)); }
    void cancel() override { monitor_->cancel(); }

private:
    std::shared_ptr<NetlinkPathMonitor> monitor_;
};

}  // namespace

std::unique_ptr<NetworkPathMonitor> makeNetlinkPathMonitor(boost::asio::io_context& io) {
    return std::make_unique<MonitorHandle>(io);
}

}  // namespace morvane

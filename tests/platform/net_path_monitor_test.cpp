#include "platform/linux/net_path_monitor_linux.h"

#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cstring>
#include <vector>

namespace morvane {
namespace {

using Buffer = std::vector<std::uint8_t>;

void put(Buffer& out, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    out.insert(out.end(), bytes, bytes + size);
    out.resize(NLMSG_ALIGN(out.size()));
}

void message(Buffer& out, std::uint16_t type, const Buffer& body) {
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(NLMSG_HDRLEN + body.size());
    header.nlmsg_type = type;
    put(out, &header, sizeof header);
    out.insert(out.end(), body.begin(), body.end());
    out.resize(NLMSG_ALIGN(out.size()));
}

Buffer route(unsigned char dstLen, int outInterface, unsigned char table = RT_TABLE_MAIN, unsigned char type = RTN_UNICAST) {
    Buffer body;
    rtmsg r{};
    r.rtm_family = AF_INET;
    r.rtm_dst_len = dstLen;
    r.rtm_table = table;
    r.rtm_type = type;
    put(body, &r, sizeof r);
    rtattr a{};
    a.rta_len = RTA_LENGTH(4);
    a.rta_type = RTA_OIF;
    put(body, &a, sizeof a);
    body.resize(body.size() - (NLMSG_ALIGN(sizeof a) - sizeof a));
    std::uint32_t oif = static_cast<std::uint32_t>(outInterface);
    put(body, &oif, sizeof oif);
    return body;
}

Buffer link(int index, unsigned flags) {
    Buffer body;
    ifinfomsg l{};
    l.ifi_index = index;
    l.ifi_flags = flags;
    put(body, &l, sizeof l);
    return body;
}

TEST(NetPathMonitor, SatisfiedOnlyByADefaultRouteThroughAnUpInterface) {
    constexpr unsigned up = IFF_UP | IFF_RUNNING;
    struct Case {
        const char* name;
        std::function<void(Buffer&)> build;
        bool satisfied;
    };
    const std::vector<Case> cases = {
        {"default route over an up interface",
         [](Buffer& b) {
             message(b, RTM_NEWLINK, link(2, up));
             message(b, RTM_NEWROUTE, route(0, 2));
         },
         true},
        {"interface down", [](Buffer& b) {
             message(b, RTM_NEWLINK, link(2, IFF_UP));
             message(b, RTM_NEWROUTE, route(0, 2));
         }, false},
        {"only loopback", [](Buffer& b) {
             message(b, RTM_NEWLINK, link(1, up | IFF_LOOPBACK));
             message(b, RTM_NEWROUTE, route(0, 1));
         }, false},
        {"no default route", [](Buffer& b) {
             message(b, RTM_NEWLINK, link(2, up));
             message(b, RTM_NEWROUTE, route(24, 2));
         }, false},
        {"default route in another table", [](Buffer& b) {
             message(b, RTM_NEWLINK, link(2, up));
             message(b, RTM_NEWROUTE, route(0, 2, RT_TABLE_LOCAL));
         }, false},
        {"unreachable default", [](Buffer& b) {
             message(b, RTM_NEWLINK, link(2, up));
             message(b, RTM_NEWROUTE, route(0, 2, RT_TABLE_MAIN, RTN_UNREACHABLE));
         }, false},
        {"route through another interface than the up one", [](Buffer& b) {
             message(b, RTM_NEWLINK, link(3, up));
             message(b, RTM_NEWROUTE, route(0, 2));
         }, false},
    };
    for (const auto& c : cases) {
        Buffer buffer;
        c.build(buffer);
        NetPathFacts facts;
        EXPECT_TRUE(readNetlinkMessages(buffer, facts)) << c.name;
        EXPECT_EQ(pathSatisfied(facts), c.satisfied) << c.name;
    }
}

TEST(NetPathMonitor, TruncatedOrLyingMessagesAreSkippedAndDoneEndsTheDump) {
    Buffer buffer;
    message(buffer, RTM_NEWLINK, link(2, IFF_UP | IFF_RUNNING));
    message(buffer, RTM_NEWROUTE, route(0, 2));
    for (std::size_t cut = 0; cut < buffer.size(); ++cut) {
        NetPathFacts facts;
        readNetlinkMessages(std::span(buffer.data(), cut), facts);  // never reads past the end
    }
    Buffer lying = buffer;
    nlmsghdr header{};
    std::memcpy(&header, lying.data(), sizeof header);
    header.nlmsg_len = 1'000'000;
    std::memcpy(lying.data(), &header, sizeof header);
    NetPathFacts facts;
    readNetlinkMessages(lying, facts);
    EXPECT_FALSE(pathSatisfied(facts));

    Buffer done;
    message(done, NLMSG_DONE, {});
    NetPathFacts none;
    EXPECT_FALSE(readNetlinkMessages(done, none));
}

TEST(NetPathMonitor, ReportsAVerdictSoonAfterStartAndNothingAfterCancel) {
    boost::asio::io_context io;
    auto monitor = makeNetlinkPathMonitor(io);
    int reports = 0;
    monitor->start([&](bool) {
        ++reports;
        io.stop();
    });
    io.run_for(std::chrono::seconds(5));
    EXPECT_EQ(reports, 1);
    monitor->cancel();
    io.restart();
    io.run_for(std::chrono::milliseconds(300));
    EXPECT_EQ(reports, 1);
}

}  // namespace
}  // namespace morvane

// The reactor's records of the descriptors it watches are made when the
// relay starts, not among a flood's connections (descriptor_records.h).
#include <gtest/gtest.h>

#include <malloc.h>

#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "../support/sanitizer_slowdown.h"
#include "relay_service/descriptor_records.h"

namespace morvane::relay_service {
namespace {

using tcp = boost::asio::ip::tcp;

// What the heap gives out while `count` sockets open on an io_context that
// had `reserved` records made first. The sockets' objects are made before,
// so only what opening them takes is counted.
std::size_t heapForOpening(int count, int reserved) {
    boost::asio::io_context io;
    EXPECT_EQ(reserveDescriptorRecords(io, reserved), reserved);
    std::vector<tcp::socket> sockets;
    sockets.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) sockets.emplace_back(io);
    const auto before = ::mallinfo2().uordblks;
    for (auto& socket : sockets) socket.open(tcp::v4());
    const auto after = ::mallinfo2().uordblks;
    return after > before ? after - before : 0;
}

// Without the records made first, each socket takes one from the heap as
// it opens (so a flood's would land among its connections); with them, as
// many sockets as were reserved take nothing, and those past them their own.
// A Boost that stops keeping the records fails the first row.
TEST(DescriptorRecords, SocketsOpenedAfterTheReservationTakeTheirRecordsFromIt) {
    if (morvane::testing::sanitizerSlowdown != 1.0) GTEST_SKIP() << "the sanitizers' heap is not glibc's, which this counts";
    const struct {
        int reserved, opened;
        std::size_t least, most;
    } rows[] = {
        {0, 200, 200 * 64, 200 * 1024},
        {200, 200, 0, 0},
        {200, 250, 50 * 64, 50 * 1024},
    };
    for (const auto& row : rows)
        EXPECT_PRED3([](std::size_t taken, std::size_t least, std::size_t most) { return taken >= least && taken <= most; },
                     heapForOpening(row.opened, row.reserved), row.least, row.most)
            << row.reserved << " reserved, " << row.opened << " opened";
}

}  // namespace
}  // namespace morvane::relay_service

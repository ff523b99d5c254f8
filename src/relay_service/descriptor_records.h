// The records Asio keeps of the descriptors it watches, made up front.
// Its reactor keeps one (a lock and the socket's waiting operations, some
// 170 bytes) for each descriptor watched at once, and once made keeps it
// for the next socket for as long as the io_context lives. Made as a
// flood's connections come in, each lands between their TLS states, and
// once they close it keeps its page of the heap resident however often the
// heap is trimmed: 10,000 of them held some 37 MB. Made together at start,
// the records for the most connections the relay takes sit side by side:
// 3.4 MB for 20,000. On the network thread, before it accepts.
#pragma once

#include <boost/asio/io_context.hpp>

namespace morvane::relay_service {

// Has `io` watch `count` descriptors at once and let them go, so that the
// records of that many sockets are made here; fewer when the descriptors
// run out. How many it watched.
int reserveDescriptorRecords(boost::asio::io_context& io, int count);

}  // namespace morvane::relay_service

#include "relay_service/descriptor_records.h"

#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

namespace morvane::relay_service {

int reserveDescriptorRecords(boost::asio::io_context& io, int count) {
    using tcp = boost::asio::ip::tcp;
    // Copies of one socket: a descriptor each, and nothing for the kernel
    // to set up.
    const int seed = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (seed < 0) return 0;
    std::vector<tcp::socket> watched;
    watched.reserve(static_cast<std::size_t>(std::max(count, 0)));
    while (static_cast<int>(watched.size()) < count) {
        const int copy = ::fcntl(seed, F_DUPFD_CLOEXEC, 0);
        if (copy < 0) break;
        boost::system::error_code ec;
        tcp::socket socket(io);
        socket.assign(tcp::v4(), copy, ec);
        if (ec) {
            ::close(copy);
            break;
        }
        watched.push_back(std::move(socket));
    }
    ::close(seed);
    return static_cast<int>(watched.size());
}

}  // namespace morvane::relay_service

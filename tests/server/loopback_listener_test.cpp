#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>
#include <future>
#include <memory>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>

#include "server/loopback_listener.h"

namespace morvane {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

int intOption(int fd, int level, int name) {
    int value = -1;
    socklen_t size = sizeof value;
    if (::getsockopt(fd, level, name, &value, &size) != 0) return -1;
    return value;
}

boost::system::error_code connectTo(std::uint16_t port, tcp::socket& client) {
    boost::system::error_code ec;
    client.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port), ec);
    return ec;
}

TEST(LoopbackListener, HandsOverEachConnectionCloseOnExecWithNoDelayAndKeepAlive) {
    ServerQueue queue("listener-test");
    std::shared_ptr<LoopbackListener> listener;
    std::promise<std::shared_ptr<LoopbackListener::Socket>> accepted;
    runSync(queue, [&] {
        boost::system::error_code ec;
        listener = LoopbackListener::open(queue, 0, ec);
        ASSERT_FALSE(ec) << ec.message();
        listener->start([&](std::shared_ptr<LoopbackListener::Socket> s) { accepted.set_value(std::move(s)); },
                        [](const std::string& text) { ADD_FAILURE() << "listener failed: " << text; });
    });
    ASSERT_NE(listener->port(), 0);

    asio::io_context io;
    tcp::socket client(io);
    ASSERT_FALSE(connectTo(listener->port(), client));
    auto handed = accepted.get_future();
    ASSERT_EQ(handed.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    auto socket = handed.get();
    int fd = socket->native_handle();
    struct Option {
        const char* name;
        int value;
        int expected;
    };
    const Option options[] = {
        {"close-on-exec", ::fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC},
        {"no delay", intOption(fd, IPPROTO_TCP, TCP_NODELAY) != 0, 1},
        {"keep-alive", intOption(fd, SOL_SOCKET, SO_KEEPALIVE) != 0, 1},
        {"keep-alive idle", intOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), LoopbackListener::keepaliveIdleSeconds},
    };
    for (const auto& o : options) EXPECT_EQ(o.value, o.expected) << o.name;
    runSync(queue, [&] {
        socket.reset();
        listener.reset();
    });
}

TEST(LoopbackListener, ATakenPortIsRefusedAndAClosedListenerFreesItsPort) {
    ServerQueue queue("listener-test");
    runSync(queue, [&] {
        boost::system::error_code ec;
        auto first = LoopbackListener::open(queue, 0, ec);
        ASSERT_TRUE(first);
        std::uint16_t port = first->port();
        auto second = LoopbackListener::open(queue, port, ec);
        EXPECT_FALSE(second);
        EXPECT_TRUE(ec) << "a second listener on a taken port";

        first->close();
        EXPECT_FALSE(first->isOpen());
        asio::io_context io;
        tcp::socket client(io);
        EXPECT_TRUE(connectTo(port, client)) << "nobody listens after close";
        auto again = LoopbackListener::open(queue, port, ec);
        EXPECT_TRUE(again) << ec.message();
    });
}

}  // namespace
}  // namespace morvane

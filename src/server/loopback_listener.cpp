#include "server/loopback_listener.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <boost/asio/ip/address_v4.hpp>

namespace morvane {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

bool transientAcceptError(const boost::system::error_code& ec) {
    return ec == asio::error::connection_aborted || ec == asio::error::no_descriptors ||
           ec == asio::error::no_buffer_space || ec == asio::error::no_memory ||
           ec == boost::system::errc::too_many_files_open_in_system || ec == asio::error::interrupted ||
           ec == asio::error::try_again;
}

// Linux hands some errors of the new connection to accept(); they concern
// only that connection.
bool connectionLevelAcceptErrno(int e) {
    return e == ECONNABORTED || e == EPROTO || e == ENETDOWN || e == ENOPROTOOPT || e == EHOSTDOWN ||
           e == ENONET || e == EHOSTUNREACH || e == EOPNOTSUPP || e == ENETUNREACH || e == EPERM;
}

}  // namespace

LoopbackListener::LoopbackListener(ServerQueue& queue) : queue_(queue), acceptor_(queue.context()) {}

LoopbackListener::~LoopbackListener() { close(); }

std::shared_ptr<LoopbackListener> LoopbackListener::open(ServerQueue& queue, std::uint16_t port,
                                                         boost::system::error_code& ec) {
    expectOn(queue, __func__);
    auto listener = std::make_shared<LoopbackListener>(queue);
    auto& acceptor = listener->acceptor_;
    ec.clear();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        ec = boost::system::error_code(errno, boost::system::system_category());
        return nullptr;
    }
    acceptor.assign(tcp::v4(), fd, ec);
    if (ec) ::close(fd);
    if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor.bind(tcp::endpoint(asio::ip::address_v4::loopback(), port), ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (!ec) acceptor.non_blocking(true, ec);
    if (ec) return nullptr;
    return listener;
}

std::uint16_t LoopbackListener::port() const {
    boost::system::error_code ec;
    auto endpoint = acceptor_.local_endpoint(ec);
    return ec ? 0 : endpoint.port();
}

void LoopbackListener::start(std::function<void(std::shared_ptr<Socket>)> onSocket,
                             std::function<void(const std::string&)> onFailure) {
    expectOn(queue_, __func__);
    onSocket_ = std::move(onSocket);
    onFailure_ = std::move(onFailure);
    accept();
}

void LoopbackListener::close() {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    onSocket_ = nullptr;
    onFailure_ = nullptr;
}

void LoopbackListener::accept() {
    if (!acceptor_.is_open()) return;
    std::weak_ptr<LoopbackListener> weak = weak_from_this();
    // Asio's own accept makes inheritable sockets, so the connection is
    // taken with accept4 once the listener is readable.
    acceptor_.async_wait(tcp::acceptor::wait_read, [weak](const boost::system::error_code& waitError) {
        auto self = weak.lock();
        if (!self || !self->acceptor_.is_open() || waitError == asio::error::operation_aborted) return;
        boost::system::error_code ec = waitError;
        int fd = -1;
        if (!ec) {
            fd = ::accept4(self->acceptor_.native_handle(), nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                int e = errno;
                if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR || connectionLevelAcceptErrno(e))
                    return self->accept();
                ec = boost::system::error_code(e, boost::system::system_category());
            }
        }
        if (ec && transientAcceptError(ec)) {
            // The listener itself is fine; the machine is short of something
            // for a moment.
            self->queue_.postAfter(retryMillis, [weak] {
                if (auto s = weak.lock()) s->accept();
            });
            return;
        }
        if (ec) return self->fail(ec.message());
        auto socket = std::make_shared<Socket>(self->queue_.context());
        boost::system::error_code assignError;
        socket->assign(tcp::v4(), fd, assignError);
        if (assignError) {
            ::close(fd);
        } else {
            boost::system::error_code ignored;
            socket->set_option(tcp::no_delay(true), ignored);
            socket->set_option(asio::socket_base::keep_alive(true), ignored);
            int idle = keepaliveIdleSeconds;
            ::setsockopt(socket->native_handle(), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
            if (self->onSocket_) self->onSocket_(socket);
        }
        self->accept();
    });
}

void LoopbackListener::fail(const std::string& text) {
    auto report = std::move(onFailure_);
    close();
    std::fprintf(stderr, "RemoteServer: listener stopped: %s\n", text.c_str());
    std::fflush(stderr);
    if (report) report(text);
}

}  // namespace morvane

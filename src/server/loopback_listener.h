// The server's listening socket on the loopback address. Connections are
// taken close-on-exec, so a child the host starts (a browser, a locker, the
// relaunch) never inherits one; a shortage of descriptors or memory only
// pauses the accepting, and a listener that truly fails closes and says so
// once. Server queue only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>

#include "server/server_queue.h"

namespace morvane {

class LoopbackListener : public std::enable_shared_from_this<LoopbackListener> {
public:
    using Socket = boost::asio::ip::tcp::socket;
    static constexpr int keepaliveIdleSeconds = 20;
    static constexpr std::int64_t retryMillis = 100;

    // Binds and listens on 127.0.0.1:`port` (0 picks a free port); no value
    // and `error` set when that fails.
    static std::shared_ptr<LoopbackListener> open(ServerQueue& queue, std::uint16_t port,
                                                  boost::system::error_code& error);
    explicit LoopbackListener(ServerQueue& queue);
    ~LoopbackListener();

    // Each new connection goes to `onSocket` with no delay and keep-alive
    // set; `onFailure` hears the text of a failure that closed the listener.
    void start(std::function<void(std::shared_ptr<Socket>)> onSocket,
               std::function<void(const std::string&)> onFailure);
    void close();
    bool isOpen() const { return acceptor_.is_open(); }
    std::uint16_t port() const;

private:
    void accept();
    void fail(const std::string& text);

    ServerQueue& queue_;
    boost::asio::ip::tcp::acceptor acceptor_;
    std::function<void(std::shared_ptr<Socket>)> onSocket_;
    std::function<void(const std::string&)> onFailure_;
};

}  // namespace morvane

// What the server's sockets share: the options, the accounts and rooms
// they hand their messages to, the page, the TLS context and the mail
// thread. Internal to the server.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/http.hpp>

#include "relay_service/relay_accounts.h"
#include "relay_service/relay_hub.h"
#include "relay_service/relay_page.h"
#include "relay_service/relay_server.h"

namespace morvane::relay_service {

namespace detail {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ws = beast::websocket;
using tcp = asio::ip::tcp;

// How long a connection may take for its TLS handshake, a request or an
// answer.
constexpr auto handshakeTime = std::chrono::seconds(15);
constexpr std::size_t maxPending = 64;  // codes waiting for the mail thread

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

}  // namespace detail

struct RelayServer::Impl : std::enable_shared_from_this<RelayServer::Impl> {
    boost::asio::io_context& io;
    RelayServerOptions options;
    RelayAccounts& accounts;
    RelayHub& hub;
    RelayLog log;
    std::shared_ptr<boost::asio::ssl::context> tls;
    std::unique_ptr<boost::asio::ip::tcp::acceptor> acceptor;
    RelayPage page;
    // Set when the server stops: the accounts and the hub may be gone while
    // handlers of its sockets still come in, and those touch neither.
    bool stopped = false;

    // The mail thread.
    CodeSender sender;
    std::mutex mailLock;
    std::condition_variable mailWake;
    std::deque<std::function<void()>> mailJobs;
    bool mailStop = false;
    std::thread mailThread;

    Impl(boost::asio::io_context& io, RelayServerOptions options, RelayAccounts& accounts, RelayHub& hub, CodeSender sender,
         RelayLog log)
        : io(io), options(std::move(options)), accounts(accounts), hub(hub), log(std::move(log)), sender(std::move(sender)) {
        mailThread = std::thread([this] {
            std::unique_lock guard(mailLock);
            while (true) {
                mailWake.wait(guard, [&] { return mailStop || !mailJobs.empty(); });
                if (mailJobs.empty()) return;
                auto job = std::move(mailJobs.front());
                mailJobs.pop_front();
                guard.unlock();
                job();
                guard.lock();
            }
        });
    }

    ~Impl() {
        {
            std::lock_guard guard(mailLock);
            mailStop = true;
            mailJobs.clear();
        }
        mailWake.notify_all();
        mailThread.join();
    }

    bool secure() const { return !options.certificateFile.empty(); }

    // Sends the code off this thread; `done` comes back on it.
    bool deliver(const CodeDelivery& delivery, std::function<void(std::optional<std::string>)> done) {
        std::lock_guard guard(mailLock);
        if (mailJobs.size() >= detail::maxPending) return false;
        mailJobs.push_back([this, delivery, done = std::move(done)]() mutable {
            std::optional<std::string> error;
            try {
                error = sender(delivery.email, delivery.code);
            } catch (const std::exception& failure) {
                error = failure.what();
            }
            boost::asio::post(io, [this, done = std::move(done), error] {
                if (!stopped) done(error);
            });
        });
        mailWake.notify_one();
        return true;
    }

    void accept();
};

}  // namespace morvane::relay_service

#include "relay_test_device.h"

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "relay/relay_tls.h"
#include "relay/relay_url.h"

namespace morvane::testing {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ws = beast::websocket;
using tcp = asio::ip::tcp;

// The test device: its own io_context on its own thread.
// Handlers point at the device's state without owning it; the thread is
// joined before the state goes.
struct RelayTestDevice::Impl {
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> guard{io.get_executor()};
    std::thread thread;
    std::shared_ptr<asio::ssl::context> tls = makeRelayTlsContext();
    std::optional<ws::stream<beast::tcp_stream>> plain;
    std::optional<ws::stream<beast::ssl_stream<beast::tcp_stream>>> secure;
    beast::flat_buffer buffer;
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<Bytes> inbox;
    std::optional<int> closedCode;
    bool over = false;
    std::deque<std::string> outbox;
    bool writing = false;

    template <class Stream>
    void read(Stream& stream) {
        stream.async_read(buffer, [self = this, &stream](beast::error_code ec, std::size_t) {
            std::lock_guard guard(self->lock);
            if (ec) {
                self->over = true;
                if (ec == ws::error::closed) self->closedCode = static_cast<int>(stream.reason().code);
                self->arrived.notify_all();
                return;
            }
            const auto data = self->buffer.data();
            const auto* begin = static_cast<const std::uint8_t*>(data.data());
            self->inbox.emplace_back(begin, begin + data.size());
            self->buffer.consume(self->buffer.size());
            self->arrived.notify_all();
            self->read(stream);
        });
    }

    template <class Stream>
    void pump(Stream& stream) {
        if (writing || outbox.empty()) return;
        writing = true;
        stream.binary(true);
        stream.async_write(asio::buffer(outbox.front()), [self = this, &stream](beast::error_code ec, std::size_t) {
            self->writing = false;
            self->outbox.pop_front();
            if (!ec) self->pump(stream);
        });
    }
};

RelayTestDevice::RelayTestDevice(const std::string& origin, const std::string& roomHex) : impl_(std::make_shared<Impl>()) {
    const auto url = parseRelayURL(origin);
    if (!url) throw std::runtime_error("bad origin");
    tcp::resolver resolver(impl_->io);
    const auto found = resolver.resolve(url->host, std::to_string(url->port));
    const std::string target = "/relay/v1/device/" + roomHex;
    auto decorate = ws::stream_base::decorator(
        [](ws::request_type& r) { r.set(http::field::sec_websocket_protocol, "morvane.v1"); });
    if (url->secure()) {
        impl_->secure.emplace(impl_->io, *impl_->tls);
        beast::get_lowest_layer(*impl_->secure).connect(found);
        if (!prepareRelayTls(impl_->secure->next_layer().native_handle(), url->host))
            throw std::runtime_error("cannot set up TLS");
        impl_->secure->next_layer().handshake(asio::ssl::stream_base::client);
        impl_->secure->set_option(std::move(decorate));
        impl_->secure->handshake(url->hostHeader(), target);
        impl_->read(*impl_->secure);
    } else {
        impl_->plain.emplace(impl_->io);
        beast::get_lowest_layer(*impl_->plain).connect(found);
        impl_->plain->set_option(std::move(decorate));
        impl_->plain->handshake(url->hostHeader(), target);
        impl_->read(*impl_->plain);
    }
    impl_->thread = std::thread([impl = impl_.get()] { impl->io.run(); });
}

RelayTestDevice::~RelayTestDevice() {
    close();
    impl_->guard.reset();
    impl_->io.stop();
    impl_->thread.join();
}

void RelayTestDevice::send(const Bytes& record) {
    asio::post(impl_->io, [impl = impl_.get(), data = std::string(record.begin(), record.end())] {
        impl->outbox.push_back(data);
        if (impl->secure)
            impl->pump(*impl->secure);
        else
            impl->pump(*impl->plain);
    });
}

std::optional<Bytes> RelayTestDevice::receive(std::chrono::milliseconds wait) {
    std::unique_lock guard(impl_->lock);
    impl_->arrived.wait_for(guard, wait, [&] { return !impl_->inbox.empty() || impl_->over; });
    if (impl_->inbox.empty()) return std::nullopt;
    auto out = std::move(impl_->inbox.front());
    impl_->inbox.pop_front();
    return out;
}

std::optional<int> RelayTestDevice::closedWith() const {
    std::lock_guard guard(impl_->lock);
    return impl_->closedCode;
}

bool RelayTestDevice::ended() const {
    std::lock_guard guard(impl_->lock);
    return impl_->over;
}

void RelayTestDevice::close() {
    std::promise<void> done;
    asio::post(impl_->io, [impl = impl_.get(), &done] {
        beast::error_code ignored;
        if (impl->secure) beast::get_lowest_layer(*impl->secure).socket().close(ignored);
        if (impl->plain) beast::get_lowest_layer(*impl->plain).socket().close(ignored);
        done.set_value();
    });
    done.get_future().wait_for(std::chrono::seconds(2));
}

Exchange exchange(const std::string& origin, const std::string& method, const std::string& target,
                  const std::string& body, const std::string& bearer,
                  const std::vector<std::pair<std::string, std::string>>& headers, const std::string& from) {
    const auto url = parseRelayURL(origin);
    if (!url) throw std::runtime_error("bad origin");
    boost::asio::io_context io;
    boost::asio::ip::tcp::resolver resolver(io);
    const auto found = resolver.resolve(url->host, std::to_string(url->port));
    http::request<http::string_body> request{http::string_to_verb(method), target, 11};
    request.set(http::field::host, url->hostHeader());
    if (!body.empty()) request.set(http::field::content_type, "application/json");
    if (!bearer.empty()) request.set(http::field::authorization, "Bearer " + bearer);
    for (const auto& [name, value] : headers) request.insert(name, value);
    request.body() = body;
    request.prepare_payload();
    http::response<http::string_body> response;
    beast::flat_buffer buffer;
    if (url->secure()) {
        auto tls = makeRelayTlsContext();
        beast::ssl_stream<beast::tcp_stream> stream(io, *tls);
        beast::get_lowest_layer(stream).connect(found);
        if (!prepareRelayTls(stream.native_handle(), url->host)) throw std::runtime_error("no TLS");
        stream.handshake(boost::asio::ssl::stream_base::client);
        http::write(stream, request);
        http::read(stream, buffer, response);
    } else {
        beast::tcp_stream stream(io);
        if (from.empty()) {
            stream.connect(found);
        } else {
            const auto at = *found.begin();
            stream.socket().open(at.endpoint().protocol());
            stream.socket().bind({boost::asio::ip::make_address(from), 0});
            stream.socket().connect(at);
        }
        http::write(stream, request);
        http::read(stream, buffer, response);
    }
    Exchange out{static_cast<int>(response.result_int()), response.body(), {}};
    for (const auto& field : response) out.headers[std::string(field.name_string())] = std::string(field.value());
    return out;
}

}  // namespace morvane::testing

// A fresh visitor's page over TLS, as the relay floods measure it against
// what a stranger is doing at the same time.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

namespace morvane::bench {

// A newcomer's page over TLS from 127.0.0.1: milliseconds to the whole
// answer, or nothing within 5 s.
inline std::optional<double> newcomer(std::uint16_t port) {
    namespace asio = boost::asio;
    namespace beast = boost::beast;
    namespace http = beast::http;
    asio::io_context io;
    asio::ssl::context context(asio::ssl::context::tls_client);
    beast::ssl_stream<beast::tcp_stream> stream(io, context);
    http::request<http::empty_body> request{http::verb::get, "/", 11};
    request.set(http::field::host, "relay");
    request.keep_alive(false);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    const auto begun = std::chrono::steady_clock::now();
    std::optional<double> took;
    stream.next_layer().async_connect({asio::ip::make_address("127.0.0.1"), port}, [&](beast::error_code ec) {
        if (ec) return;
        stream.async_handshake(asio::ssl::stream_base::client, [&](beast::error_code ec) {
            if (ec) return;
            http::async_write(stream, request, [&](beast::error_code ec, std::size_t) {
                if (ec) return;
                http::async_read(stream, buffer, response, [&](beast::error_code ec, std::size_t) {
                    if (!ec && response.result_int() == 200)
                        took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begun).count();
                });
            });
        });
    });
    io.run_for(std::chrono::seconds(5));
    return took;
}

}  // namespace morvane::bench

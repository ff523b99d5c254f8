// What the relay's TLS floods share: the certificate both servers use,
// nginx beside the relay as the peer, and a fresh visitor's page, measured
// against what a stranger is doing at the same time.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "bench_process.h"

namespace morvane::bench {

// cert.pem and key.pem in `folder`, for relay.test: P-256 unless `rsa`.
inline void makeCertificate(const std::filesystem::path& folder, bool rsa = false) {
    const std::string command = "openssl req -x509 -nodes -days 2 -subj /CN=relay.test " +
                                std::string(rsa ? "-newkey rsa:2048" : "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1") +
                                " -keyout " + (folder / "key.pem").string() + " -out " + (folder / "cert.pem").string() +
                                " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl could not make a certificate");
}

// nginx with one worker serving a small page over TLS with the same
// certificate, on 127.0.0.1:`port`.
inline pid_t startNginx(const std::filesystem::path& folder, std::uint16_t port) {
    const auto prefix = folder / "nginx";
    const auto temp = (prefix / "temp").string();
    std::filesystem::create_directories(prefix / "temp");
    std::ofstream(prefix / "nginx.conf")
        << "daemon off;\nmaster_process off;\nworker_processes 1;\nworker_rlimit_nofile 20000;\n"
        << "pid " << (prefix / "nginx.pid").string() << ";\nerror_log " << (prefix / "error.log").string()
        << " warn;\nevents { worker_connections 20000; }\nhttp {\n  access_log off;\n"
        << "  client_body_temp_path " << temp << ";\n  proxy_temp_path " << temp << ";\n  fastcgi_temp_path " << temp
        << ";\n  uwsgi_temp_path " << temp << ";\n  scgi_temp_path " << temp << ";\n  server {\n    listen 127.0.0.1:"
        << port << " ssl;\n    ssl_certificate " << (folder / "cert.pem").string() << ";\n    ssl_certificate_key "
        << (folder / "key.pem").string() << ";\n    ssl_protocols TLSv1.2 TLSv1.3;\n"
        << "    location / { return 200 \"page\\n\"; }\n  }\n}\n";
    return startWithErrorsIn({"nginx", "-p", prefix.string(), "-c", (prefix / "nginx.conf").string(), "-e",
                              (prefix / "error.log").string()},
                             prefix / "stderr.log");
}

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

// Newcomers' pages as the floods print them: "within 2 s: N of M (median,
// slowest)", a page that never came counted as 5 s.
inline std::string pagesLine(const std::vector<std::optional<double>>& pages, int withinMillis = 2000) {
    std::vector<double> times;
    int within = 0;
    const double none = 3000 + withinMillis;
    for (const auto& took : pages) {
        times.push_back(took.value_or(none));
        if (took && *took <= withinMillis) ++within;
    }
    if (times.empty()) return "none";
    std::sort(times.begin(), times.end());
    char tail[64] = "";
    if (times.back() >= none) std::snprintf(tail, sizeof tail, ", %.0f is none within %g s", none, none / 1000);
    char line[200];
    std::snprintf(line, sizeof line, "within %g s: %d of %zu (median %.0f ms, slowest %.0f ms%s)", withinMillis / 1000.0,
                  within, times.size(), times[times.size() / 2], times.back(), tail);
    return line;
}

}  // namespace morvane::bench

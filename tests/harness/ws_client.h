// A plain TCP client and a small WebSocket client for talking to the
// server over loopback in tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <openssl/rand.h>

namespace morvane::testing {

using Clock = std::chrono::steady_clock;

inline std::uint16_t freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

// One TCP connection.
class Socket {
public:
    explicit Socket(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) throw std::runtime_error("connect");
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket(Socket&& o) noexcept : fd_(o.fd_), buffer_(std::move(o.buffer_)) { o.fd_ = -1; }

    void send(const std::string& bytes) {
        std::size_t off = 0;
        while (off < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return;  // the server may have closed already
            off += static_cast<std::size_t>(n);
        }
    }
    // Reads until the peer closes or the time is up; returns everything.
    std::string readAll(int millis = 5000) {
        while (readMore(millis)) {
        }
        return std::exchange(buffer_, {});
    }
    // True when the peer closed (a read of zero bytes or a reset) within the time.
    bool closedWithin(int millis) {
        auto deadline = Clock::now() + std::chrono::milliseconds(millis);
        while (Clock::now() < deadline) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, std::max(left, 1)) <= 0) continue;
            char buf[4096];
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) {
                closed_ = true;
                return true;
            }
            buffer_.append(buf, static_cast<std::size_t>(n));
        }
        return false;
    }
    // Reads until at least `count` bytes are buffered; false on close or time-out.
    bool fill(std::size_t count, int millis = 5000) {
        auto deadline = Clock::now() + std::chrono::milliseconds(millis);
        while (buffer_.size() < count) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            if (left <= 0 || !readMore(left)) return buffer_.size() >= count;
        }
        return true;
    }
    std::string& buffer() { return buffer_; }
    void shutdownSending() { ::shutdown(fd_, SHUT_WR); }

private:
    bool readMore(int millis) {
        if (closed_) return false;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, millis) <= 0) return false;
        char buf[65536];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            closed_ = true;
            return false;
        }
        buffer_.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    int fd_ = -1;
    std::string buffer_;
    bool closed_ = false;
};

// A device's frame: final, masked.
inline std::string clientFrame(std::uint8_t opcode, const std::string& payload, bool fin = true) {
    std::string f;
    f.push_back(static_cast<char>((fin ? 0x80 : 0x00) | opcode));
    std::size_t n = payload.size();
    if (n < 126) {
        f.push_back(static_cast<char>(0x80 | n));
    } else if (n < 65536) {
        f.push_back(static_cast<char>(0x80 | 126));
        f.push_back(static_cast<char>(n >> 8));
        f.push_back(static_cast<char>(n & 0xFF));
    } else {
        f.push_back(static_cast<char>(0x80 | 127));
        for (int s = 56; s >= 0; s -= 8) f.push_back(static_cast<char>((n >> s) & 0xFF));
    }
    unsigned char mask[4];
    RAND_bytes(mask, 4);
    f.append(reinterpret_cast<char*>(mask), 4);
    for (std::size_t i = 0; i < n; ++i) f.push_back(static_cast<char>(payload[i] ^ mask[i % 4]));
    return f;
}

struct ServerFrame {
    std::uint8_t opcode = 0;
    std::string payload;
    int closeCode() const {
        return payload.size() >= 2 ? (static_cast<unsigned char>(payload[0]) << 8 | static_cast<unsigned char>(payload[1])) : -1;
    }
};

// A WebSocket session opened on a fresh connection.
class WebSocket {
public:
    // `host` and `origin` default to the loopback address; `extraHeaders`
    // are whole header lines, each ending in CR LF.
    explicit WebSocket(std::uint16_t port, std::string host = "", std::string origin = "",
                       const std::string& extraHeaders = "")
        : socket_(port) {
        if (host.empty()) host = "127.0.0.1:" + std::to_string(port);
        if (origin.empty()) origin = "http://" + host;
        socket_.send("GET /ws HTTP/1.1\r\nHost: " + host + "\r\nOrigin: " + origin + "\r\n" + extraHeaders +
                     "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                     "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
        // The answer ends with a blank line.
        auto deadline = Clock::now() + std::chrono::seconds(5);
        while (socket_.buffer().find("\r\n\r\n") == std::string::npos && Clock::now() < deadline) {
            if (!socket_.fill(socket_.buffer().size() + 1, 5000)) break;
        }
        auto end = socket_.buffer().find("\r\n\r\n");
        if (end == std::string::npos) throw std::runtime_error("no upgrade answer");
        answer = socket_.buffer().substr(0, end + 4);
        socket_.buffer().erase(0, end + 4);
    }
    void sendText(const std::string& text) { socket_.send(clientFrame(0x1, text)); }
    void sendRaw(const std::string& bytes) { socket_.send(bytes); }
    std::optional<ServerFrame> next(int millis = 5000) {
        auto& b = socket_.buffer();
        if (!socket_.fill(2, millis)) return std::nullopt;
        std::size_t len = static_cast<unsigned char>(b[1]) & 0x7F;
        std::size_t header = 2;
        if (len == 126) {
            if (!socket_.fill(4, millis)) return std::nullopt;
            len = (static_cast<unsigned char>(b[2]) << 8) | static_cast<unsigned char>(b[3]);
            header = 4;
        } else if (len == 127) {
            if (!socket_.fill(10, millis)) return std::nullopt;
            len = 0;
            for (int i = 2; i < 10; ++i) len = (len << 8) | static_cast<unsigned char>(b[i]);
            header = 10;
        }
        if (!socket_.fill(header + len, millis)) return std::nullopt;
        ServerFrame f{static_cast<std::uint8_t>(b[0] & 0x0F), b.substr(header, len)};
        b.erase(0, header + len);
        return f;
    }
    // The next text message, skipping the "status", "lock-state" and
    // "disp-list" messages that a session is sent on its own.
    std::optional<std::string> nextText(int millis = 5000) {
        for (;;) {
            auto f = next(millis);
            if (!f) return std::nullopt;
            if (f->opcode == 0x1 && (f->payload.find("\"t\":\"status\"") != std::string::npos ||
                                     f->payload.find("\"t\":\"lock-state\"") != std::string::npos ||
                                     f->payload.find("\"t\":\"disp-list\"") != std::string::npos))
                continue;
            if (f->opcode == 0x1) return f->payload;
            if (f->opcode == 0x8) {
                closeCode = f->closeCode();
                return std::nullopt;
            }
        }
    }
    // Reads until the close frame; its code, or -1.
    int waitClose(int millis = 5000) {
        for (;;) {
            auto f = next(millis);
            if (!f) return closeCode;
            if (f->opcode == 0x8) return closeCode = f->closeCode();
            if (f->opcode == 0x1) seen.push_back(f->payload);
        }
    }
    bool peerClosed(int millis = 3000) { return socket_.closedWithin(millis); }

    std::string answer;
    int closeCode = -1;
    std::vector<std::string> seen;

private:
    Socket socket_;
};

}  // namespace morvane::testing

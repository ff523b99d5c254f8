// Another instance sharing a service's store, as a test plays it: it
// listens as an instance does, on plain HTTP at 127.0.0.1, and answers
// each question the service asks it with what the test says, signed with
// the secret the test gives, and counts them.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "../support/eventually.h"
#include "core/clock.h"
#include "relay_service/relay_peers.h"

namespace morvane::relay_service::testing {

class OtherInstance {
public:
    OtherInstance() {
        socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof at;
        const timeval tick{0, 50'000};
        if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(socket_, 16) != 0 ||
            ::getsockname(socket_, reinterpret_cast<sockaddr*>(&at), &length) != 0 ||
            ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick) != 0)
            throw std::runtime_error("the other instance cannot listen");
        address_ = "http://127.0.0.1:" + std::to_string(ntohs(at.sin_port));
        thread_ = std::thread([this] { run(); });
    }
    ~OtherInstance() {
        stop_ = true;
        thread_.join();
        ::close(socket_);
    }
    const std::string& address() const { return address_; }
    // What it says from now on, signed with `signedWith`; it answers
    // questions signed with `secret`.
    void says(const std::string& secret, const std::string& signedWith, PeerState state) {
        std::lock_guard guard(lock_);
        secret_ = secret;
        signedWith_ = signedWith;
        state_ = std::move(state);
    }
    int asked() const { return asked_; }
    // What an instance whose store has answered all along says.
    void answersSteadily(const std::string& secret) {
        says(secret, secret, PeerState{"other", {StoreReach::answering, 3'600'000, 0}, true});
    }
    // Whether it was asked twice more from now: its last word was heard.
    bool askedAgain() {
        const int now = asked_;
        return morvane::testing::eventually([&] { return asked_ >= now + 2; }, 15'000);
    }

private:
    void run() {
        while (!stop_) {
            const int connection = ::accept4(socket_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) continue;
            const timeval patience{2, 0};
            ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
            // One request: its head, then as many bytes as it says.
            std::string request;
            std::array<char, 1024> buffer;
            std::size_t bodyAt = std::string::npos, length = 0;
            while (bodyAt == std::string::npos || request.size() < bodyAt + length) {
                const auto n = ::recv(connection, buffer.data(), buffer.size(), 0);
                if (n <= 0) break;
                request.append(buffer.data(), static_cast<std::size_t>(n));
                if (bodyAt != std::string::npos || (bodyAt = request.find("\r\n\r\n")) == std::string::npos) continue;
                bodyAt += 4;
                const auto field = request.find("Content-Length: ");
                if (field != std::string::npos && field < bodyAt) length = std::stoul(request.substr(field + 16));
            }
            std::string reply = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            if (bodyAt != std::string::npos && request.size() >= bodyAt + length) {
                std::lock_guard guard(lock_);
                if (const auto question = peer_words::readQuestion(request.substr(bodyAt, length), secret_, systemWallMillis())) {
                    const auto answer = peer_words::answer(signedWith_, question->nonce, state_);
                    reply = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                            std::to_string(answer.size()) + "\r\nConnection: close\r\n\r\n" + answer;
                    ++asked_;
                }
            }
            ::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
            ::close(connection);
        }
    }

    int socket_ = -1;
    std::string address_;
    std::mutex lock_;
    std::string secret_, signedWith_;
    PeerState state_;
    std::atomic<int> asked_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace morvane::relay_service::testing

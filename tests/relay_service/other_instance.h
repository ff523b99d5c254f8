// Another instance sharing a service's store, as a test plays it: it
// answers each question the service asks it with what the test says,
// signed with the secret the test gives, and counts them.
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
        socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof at;
        const timeval tick{0, 50'000};
        if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
            ::getsockname(socket_, reinterpret_cast<sockaddr*>(&at), &length) != 0 ||
            ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick) != 0)
            throw std::runtime_error("the other instance cannot listen");
        address_ = "127.0.0.1:" + std::to_string(ntohs(at.sin_port));
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
        says(secret, secret, PeerState{"other", {StoreReach::answering, 3'600'000}, true});
    }
    // Whether it was asked twice more from now: its last word was heard.
    bool askedAgain() {
        const int now = asked_;
        return morvane::testing::eventually([&] { return asked_ >= now + 2; }, 15'000);
    }

private:
    void run() {
        std::array<char, 512> buffer;
        while (!stop_) {
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const auto n = ::recvfrom(socket_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n <= 0) continue;
            std::lock_guard guard(lock_);
            const auto question = peer_words::readQuestion(std::string_view(buffer.data(), static_cast<std::size_t>(n)),
                                                           secret_, systemWallMillis());
            if (!question) continue;
            const auto reply = peer_words::answer(signedWith_, question->nonce, state_);
            ::sendto(socket_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
            ++asked_;
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

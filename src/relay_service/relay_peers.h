// Questions between the instances sharing a database, off the public port:
// an instance whose database is away asks the others whether theirs
// answers, and for how long it has, to tell a cut of its own (it stands
// aside, the others serve its computers) from a database away for everyone
// (everyone keeps their links). UDP datagrams on the network thread, each
// signed with the fleet's secret (HMAC-SHA-256, the secret kept in the
// database), so that whoever reaches the port without the database can
// neither ask nor answer; a question carries its time and a nonce, and an
// answer the question's nonce, so neither is worth replaying; answers are
// no larger than questions and at most a few dozen a second, so the port
// is nobody's lever against a third party either.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "relay_service/relay_log.h"
#include "relay_service/relay_store.h"

namespace morvane::relay_service {

// What an instance says of itself when asked.
struct PeerState {
    std::string instance;
    StoreHealth health;
    bool serving = false;  // taking connections (not standing aside)
    bool operator==(const PeerState&) const = default;
};

// The datagrams, pure.
namespace peer_words {
// A question's time may be this far from the reader's clock (instances'
// clocks may disagree by seconds); an older one is a replay.
inline constexpr std::int64_t questionWindowMillis = 60'000;
// "mrq1 <asker> <unix millis> <nonce> <mac>"
std::string question(const std::string& secret, const std::string& asker, std::int64_t wallMillis,
                     const std::string& nonce);
struct Question {
    std::string asker;
    std::string nonce;
    bool operator==(const Question&) const = default;
};
// Absent for anything but a question signed with `secret` whose time is
// within the window of `wallMillis`.
std::optional<Question> readQuestion(std::string_view text, const std::string& secret, std::int64_t wallMillis);
// "mra1 <instance> <nonce> <answering|refusing|silent> <millis> <0|1> <mac>"
std::string answer(const std::string& secret, const std::string& nonce, const PeerState& state);
// Absent for anything but an answer signed with `secret` to the question
// of `nonce`.
std::optional<PeerState> readAnswer(std::string_view text, const std::string& secret, const std::string& nonce);
}  // namespace peer_words

class PeerLine {
public:
    struct Hooks {
        // What this instance says when asked.
        std::function<PeerState()> state;
        std::function<std::int64_t()> wallMillis;
        RelayLog log;
    };
    // How long a round of questions waits for its answers.
    static constexpr std::int64_t answerWithinMillis = 1'000;
    // Answers given a second, at most.
    static constexpr int answersPerSecond = 50;

    PeerLine(boost::asio::io_context& io, std::string instance, Hooks hooks);
    ~PeerLine();
    PeerLine(const PeerLine&) = delete;
    PeerLine& operator=(const PeerLine&) = delete;

    // Takes questions at `at` (port 0: any); throws std::runtime_error
    // with a one-line reason.
    void listen(const boost::asio::ip::udp::endpoint& at);
    // Where it takes questions, as the others are told ("" before listen).
    const std::string& address() const { return address_; }
    // Until it has the fleet's secret it neither asks nor answers.
    void setSecret(std::string secret) { secret_ = std::move(secret); }
    // The others, as the database lists them: questions from any other
    // address are dropped unread, so that a stranger's datagrams from many
    // addresses cost a look-up each, not a signature's check.
    void know(const std::vector<PeerRecord>& peers);
    bool ready() const { return !secret_.empty() && socket_.is_open(); }
    // Asks every peer once; `done` gets, on the network thread, the
    // answers that came within answerWithinMillis. False (and `done` never
    // called) when it cannot ask now: not ready, or a round under way.
    bool ask(const std::vector<PeerRecord>& peers, std::function<void(std::vector<PeerState>)> done);
    void close();

private:
    void receive();
    void heard(std::string_view text, const boost::asio::ip::udp::endpoint& from);
    void finishRound();

    boost::asio::io_context& io_;
    std::string instance_;
    Hooks hooks_;
    boost::asio::ip::udp::socket socket_;
    std::string address_;
    std::string secret_;
    boost::asio::ip::udp::endpoint from_;
    std::array<char, 512> buffer_{};
    // The round under way: its nonce, its answers and who waits for them.
    std::string nonce_;
    std::vector<PeerState> answers_;
    std::size_t expected_ = 0;
    std::function<void(std::vector<PeerState>)> done_;
    boost::asio::steady_timer roundEnd_;
    // The others' addresses (any, when one listens on every address).
    std::set<boost::asio::ip::address> peerHosts_;
    bool anyHost_ = false;
    // Where the round under way asked.
    std::set<boost::asio::ip::udp::endpoint> asked_;
    // The nonces of questions answered within the window, with their
    // times: a question replayed is not answered again.
    std::map<std::string, std::int64_t> answeredNonces_;
    // Answers given in the current second.
    std::int64_t answeringSecond_ = 0;
    int answeredThisSecond_ = 0;
    bool refusalSaid_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace morvane::relay_service

// Questions between the instances sharing a database, on the road every
// instance already has, its own listener: an instance whose database is
// away asks the others whether theirs answers, and for how long it has,
// to tell a cut of its own (it stands aside, the others serve its
// computers) from a database away for everyone (everyone keeps their
// links). A question is a POST to `/fleet/v1/ask` (relay_route's
// FleetQuestion) at another instance's listen address, made from this
// one's, in plain HTTP or TLS as that instance listens; its text and the
// answer's are each signed with the fleet's secret (HMAC-SHA-256, the
// secret kept in the database), so that whoever reaches the listener
// without the database can neither ask nor answer, and an instance that
// proved it has the secret is answered whatever the database last said of
// it; a question carries its time and a nonce, and an answer the
// question's nonce, so neither is worth replaying; a question is answered
// once, at most a few dozen a second, and costs the answerer one
// signature's check and no call of its store. The asking runs on the
// network thread.
#pragma once

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
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ssl/context.hpp>

#include "core/clock.h"
#include "core/liveness.h"
#include "core/one_shot_timer.h"
#include "relay_service/io_executor.h"
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

// The texts, pure.
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
    std::int64_t wallMillis = 0;  // the asker's clock as it asked
    bool operator==(const Question&) const = default;
};
// Absent for anything but a question signed with `secret`, whatever its
// time.
std::optional<Question> readSignedQuestion(std::string_view text, const std::string& secret);
// Absent for anything but a question signed with `secret` whose time is
// within the window of `wallMillis`.
std::optional<Question> readQuestion(std::string_view text, const std::string& secret, std::int64_t wallMillis);
// The instance a text shaped as a question names as its asker, whoever
// signed it, when the name is one an instance may have (letters, digits,
// '.', '-', '_'); for the log of a question another secret signed.
std::optional<std::string> askerNamed(std::string_view text);
// "mra2 <instance> <nonce> <answering|refusing|silent> <millis> <checked millis> <0|1> <mac>"
std::string answer(const std::string& secret, const std::string& nonce, const PeerState& state);
// Absent for anything but an answer signed with `secret` to the question
// of `nonce`.
std::optional<PeerState> readAnswer(std::string_view text, const std::string& secret, const std::string& nonce);
}  // namespace peer_words

// Where an instance is asked, as the others are told: "http://host:port"
// or "https://host:port" (a bare "host:port" is plain HTTP); the host a
// numeric address. Absent when it is not that.
struct PeerAddress {
    bool tls = false;
    boost::asio::ip::address host;
    std::uint16_t port = 0;
    std::string text() const;
    static std::optional<PeerAddress> parse(std::string_view text);
    bool operator==(const PeerAddress&) const = default;
};

class PeerLine {
public:
    struct Hooks {
        // What this instance says when asked.
        std::function<PeerState()> state;
        std::function<std::int64_t()> wallMillis;
        RelayLog log;
        // Where a round's deadline waits, read off this clock: on the
        // network thread. Absent: the io_context itself and the machine's
        // monotonic clock.
        Executor* timers = nullptr;
        std::function<std::int64_t()> monotonicMillis = nowMillis;
    };
    // How long a round of questions waits for its answers.
    static constexpr std::int64_t answerWithinMillis = 1'500;
    // Answers given a second, at most.
    static constexpr int answersPerSecond = 50;
    // A peer that has not answered this many rounds in a row is said in
    // the log, once.
    static constexpr int silentRounds = 3;
    // Instances' clocks further apart than this are said in the log: a
    // device's ticket lives 30 s by the clock of the instance that made
    // it, and one whose clock is ahead finds the others' expired.
    static constexpr std::int64_t clocksApartMillis = 30'000;
    // A line about the fleet's clocks or secret is said at once and then
    // at most this often while it holds, with how many times it held.
    static constexpr std::int64_t fleetLineEveryMillis = 600'000;
    // After the secret changed, questions signed with the one before are
    // still answered (with it) this long: an instance cut from the database
    // meanwhile cannot read the new one, and without answers it would never
    // stand aside for those that can.
    static constexpr std::int64_t previousSecretMillis = 600'000;
    // ...at most once this often, whatever else is asked: a secret that
    // changed may be one that leaked. An instance cut off asks every 2 s.
    static constexpr std::int64_t previousAnswerEveryMillis = 1'000;
    // The secret not read from the database for this long (it is read every
    // 5 s): this instance's store does not answer, and a question signed
    // otherwise may be signed with a secret changed meanwhile.
    static constexpr std::int64_t unreadMillis = 15'000;
    // The instances whose questions are let in past a listener that takes
    // only its proxies: this many addresses at most, the latest kept.
    static constexpr std::size_t mostPeerHosts = 256;

    // `address`: where the others ask this instance (the questions it asks
    // go out from its host, so that they come from an address the others
    // know for it).
    PeerLine(boost::asio::io_context& io, std::string instance, PeerAddress address, Hooks hooks);
    ~PeerLine();
    PeerLine(const PeerLine&) = delete;
    PeerLine& operator=(const PeerLine&) = delete;

    const PeerAddress& address() const { return address_; }
    // Until it has the fleet's secret it neither asks nor answers. Read
    // from the database again and again: one that changed there is said
    // and used from then on, so that instances never keep different ones.
    void setSecret(std::string secret);
    bool ready() const { return !secret_.empty(); }

    // A question that came to this instance's listener: the answer's text,
    // or absent for anything but a question signed with the fleet's
    // secret, within its time, not answered before, within the answers of
    // this second.
    std::optional<std::string> answer(std::string_view question);

    // The others as the database lists them; answers the hosts of every
    // instance listed since this one started (the latest mostPeerHosts),
    // whose questions the listener is to let in even once their rows have
    // gone stale.
    std::vector<boost::asio::ip::address> know(const std::vector<PeerRecord>& peers);
    // Asks every peer once; `done` gets, on the network thread, the
    // answers that came within answerWithinMillis. False (and `done` never
    // called) when it cannot ask now: not ready, or a round under way.
    bool ask(const std::vector<PeerRecord>& peers, std::function<void(std::vector<PeerState>)> done);
    void close();

    struct Asking;

private:
    void finishRound();
    // A question shaped as another instance's that neither secret signs:
    // said when it is what it seems.
    void signedOtherwise(std::string_view text, std::int64_t now);

    boost::asio::io_context& io_;
    std::string instance_;
    PeerAddress address_;
    Hooks hooks_;
    std::string secret_;
    // The secret before the last change, and until when it is answered.
    std::string previous_;
    std::int64_t previousUntil_ = 0;
    std::optional<std::int64_t> previousAnsweredAt_;
    // How often the secret was read from the database, and when last.
    std::uint64_t reads_ = 0;
    std::int64_t readAt_ = 0;
    // By asker whose questions another secret signs: the reads so far when
    // the first came.
    std::map<std::string, std::uint64_t> mismatches_;
    std::shared_ptr<boost::asio::ssl::context> tls_;
    // The round under way: its number, its answers and who waits for them.
    std::uint64_t round_ = 0;
    std::string nonce_;
    std::vector<PeerState> answers_;
    std::size_t expected_ = 0;
    std::size_t concluded_ = 0;
    std::function<void(std::vector<PeerState>)> done_;
    // Owned: once the line is gone, or the round over, it calls nothing.
    IoExecutor network_;
    OneShotTimer roundEnd_;
    // Whom the round under way asked, by where, and why those that did not
    // answer did not.
    std::map<std::string, std::string> asked_;
    std::map<std::string, std::string> failures_;
    // Rounds in a row each peer (by where it is asked) did not answer, and
    // whether the log said so.
    std::map<std::string, int> silent_;
    std::set<std::string> toldSilent_;
    // Every host listed, the latest last.
    std::vector<boost::asio::ip::address> hosts_;
    // The nonces of questions answered within the window, with their
    // times: a question replayed is not answered again.
    std::map<std::string, std::int64_t> answeredNonces_;
    // Answers given in the current second.
    std::int64_t answeringSecond_ = 0;
    int answeredThisSecond_ = 0;
    bool refusalSaid_ = false;
    // By asker: only instances that proved the secret are named.
    std::map<std::string, ThrottledLine> clocksLines_;
    ThrottledLine secretLine_{fleetLineEveryMillis};
    ThrottledLine previousLine_{fleetLineEveryMillis};
    ThrottledLine unreadLine_{fleetLineEveryMillis};
    Liveness alive_;
};

}  // namespace morvane::relay_service

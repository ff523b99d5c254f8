#include "relay_service/relay_peers.h"

#include <charconv>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>

#include "core/secure.h"
#include "relay_service/relay_config.h"
#include "secure/secure_channel.h"

namespace morvane::relay_service {

namespace asio = boost::asio;
using udp = asio::ip::udp;

namespace peer_words {
namespace {

std::string mac(const std::string& secret, std::string_view text) {
    const auto bytes = [](std::string_view t) {
        return ByteView(reinterpret_cast<const std::uint8_t*>(t.data()), t.size());
    };
    try {
        return Secure::hex(SecureChannel::hmac(bytes(secret), bytes(text)));
    } catch (const std::runtime_error&) {
        return "";  // never matches, so the line is dropped
    }
}

// The words of a signed line and whether its last word signs the rest.
std::optional<std::vector<std::string_view>> signedWords(std::string_view text, const std::string& secret,
                                                         std::size_t count) {
    if (secret.empty() || text.size() > 400) return std::nullopt;
    std::vector<std::string_view> words;
    for (std::size_t from = 0; from <= text.size();) {
        const auto end = std::min(text.find(' ', from), text.size());
        words.push_back(text.substr(from, end - from));
        from = end + 1;
    }
    if (words.size() != count) return std::nullopt;
    const auto signedPart = text.substr(0, text.size() - words.back().size() - 1);
    const auto expected = mac(secret, signedPart);
    const auto* given = reinterpret_cast<const std::uint8_t*>(words.back().data());
    if (expected.empty() ||
        !Secure::constantTimeEqual(std::span(given, words.back().size()),
                                   std::span(reinterpret_cast<const std::uint8_t*>(expected.data()), expected.size())))
        return std::nullopt;
    for (const auto word : words)
        if (word.empty()) return std::nullopt;
    return words;
}

std::optional<std::int64_t> number(std::string_view text) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string_view reachWord(StoreReach reach) {
    switch (reach) {
    case StoreReach::answering: return "answering";
    case StoreReach::refusing: return "refusing";
    case StoreReach::silent: return "silent";
    }
    return "silent";
}

std::string signedLine(const std::string& secret, const std::string& text) { return text + " " + mac(secret, text); }

}  // namespace

std::string question(const std::string& secret, const std::string& asker, std::int64_t wallMillis,
                     const std::string& nonce) {
    return signedLine(secret, "mrq1 " + asker + " " + std::to_string(wallMillis) + " " + nonce);
}

std::optional<Question> readQuestion(std::string_view text, const std::string& secret, std::int64_t wallMillis) {
    const auto words = signedWords(text, secret, 5);
    if (!words || (*words)[0] != "mrq1") return std::nullopt;
    const auto at = number((*words)[2]);
    if (!at || *at < wallMillis - questionWindowMillis || *at > wallMillis + questionWindowMillis) return std::nullopt;
    return Question{std::string((*words)[1]), std::string((*words)[3])};
}

std::string answer(const std::string& secret, const std::string& nonce, const PeerState& state) {
    return signedLine(secret, "mra1 " + state.instance + " " + nonce + " " + std::string(reachWord(state.health.reach)) +
                                  " " + std::to_string(std::max<std::int64_t>(0, state.health.forMillis)) + " " +
                                  (state.serving ? "1" : "0"));
}

std::optional<PeerState> readAnswer(std::string_view text, const std::string& secret, const std::string& nonce) {
    const auto words = signedWords(text, secret, 7);
    if (!words || (*words)[0] != "mra1" || (*words)[2] != nonce) return std::nullopt;
    PeerState state;
    state.instance = std::string((*words)[1]);
    const auto reach = (*words)[3];
    if (reach == "answering")
        state.health.reach = StoreReach::answering;
    else if (reach == "refusing")
        state.health.reach = StoreReach::refusing;
    else if (reach == "silent")
        state.health.reach = StoreReach::silent;
    else
        return std::nullopt;
    const auto millis = number((*words)[4]);
    if (!millis || *millis < 0 || ((*words)[5] != "0" && (*words)[5] != "1")) return std::nullopt;
    state.health.forMillis = *millis;
    state.serving = (*words)[5] == "1";
    return state;
}

}  // namespace peer_words

namespace {

std::optional<udp::endpoint> endpointOf(const std::string& address) {
    const auto parsed = parseListen(address);
    if (!parsed) return std::nullopt;
    boost::system::error_code ec;
    const auto ip = asio::ip::make_address(parsed->first, ec);
    if (ec) return std::nullopt;
    return udp::endpoint(ip, parsed->second);
}

std::string textOf(const udp::endpoint& at) {
    const auto ip = at.address().to_string();
    return (at.address().is_v6() ? "[" + ip + "]" : ip) + ":" + std::to_string(at.port());
}

}  // namespace

PeerLine::PeerLine(asio::io_context& io, std::string instance, Hooks hooks)
    : io_(io), instance_(std::move(instance)), hooks_(std::move(hooks)), socket_(io), roundEnd_(io) {}

PeerLine::~PeerLine() { close(); }

void PeerLine::listen(const udp::endpoint& at) {
    boost::system::error_code ec;
    socket_.open(at.protocol(), ec);
    if (!ec) socket_.bind(at, ec);
    if (ec) {
        boost::system::error_code ignored;
        socket_.close(ignored);
        throw std::runtime_error("cannot take the other instances' questions on " + textOf(at) + " (UDP): " +
                                 ec.message());
    }
    address_ = textOf(socket_.local_endpoint(ec));
    receive();
}

void PeerLine::close() {
    boost::system::error_code ignored;
    socket_.close(ignored);
    roundEnd_.cancel();
    done_ = nullptr;
}

void PeerLine::receive() {
    socket_.async_receive_from(asio::buffer(buffer_), from_,
                               [this, alive = std::weak_ptr<bool>(alive_)](boost::system::error_code ec, std::size_t n) {
                                   if (!alive.lock() || ec == asio::error::operation_aborted || !socket_.is_open()) return;
                                   if (!ec) heard(std::string_view(buffer_.data(), n), from_);
                                   receive();
                               });
}

void PeerLine::know(const std::vector<PeerRecord>& peers) {
    peerHosts_.clear();
    anyHost_ = false;
    for (const auto& peer : peers)
        if (const auto at = endpointOf(peer.address)) {
            peerHosts_.insert(at->address());
            anyHost_ = anyHost_ || at->address().is_unspecified();
        }
}

void PeerLine::heard(std::string_view text, const udp::endpoint& from) {
    if (secret_.empty()) return;
    if (text.starts_with("mra1 ")) {
        if (!done_ || !asked_.contains(from)) return;
        if (auto state = peer_words::readAnswer(text, secret_, nonce_)) {
            answers_.push_back(std::move(*state));
            if (answers_.size() >= expected_) finishRound();
        }
        return;
    }
    if (!anyHost_ && !peerHosts_.contains(from.address())) return;
    const auto now = hooks_.wallMillis();
    const auto question = peer_words::readQuestion(text, secret_, now);
    if (!question || question->asker == instance_) return;
    // A nonce is kept while its question could still be read: twice the
    // window, as a question may come from that far ahead.
    std::erase_if(answeredNonces_, [&](const auto& nonce) {
        return nonce.second < now - 2 * peer_words::questionWindowMillis;
    });
    if (answeredNonces_.contains(question->nonce)) return;
    const auto second = now / 1000;
    if (second != answeringSecond_) {
        answeringSecond_ = second;
        answeredThisSecond_ = 0;
    }
    if (++answeredThisSecond_ > answersPerSecond) {
        if (!refusalSaid_) hooks_.log.warning("the other instances' questions come faster than they are answered");
        refusalSaid_ = true;
        return;
    }
    answeredNonces_.emplace(question->nonce, now);
    auto reply = std::make_shared<std::string>(peer_words::answer(secret_, question->nonce, hooks_.state()));
    socket_.async_send_to(asio::buffer(*reply), from, [reply](boost::system::error_code, std::size_t) {});
}

bool PeerLine::ask(const std::vector<PeerRecord>& peers, std::function<void(std::vector<PeerState>)> done) {
    if (!ready() || done_) return false;
    nonce_ = Secure::hex(Secure::randomBytes(12));
    answers_.clear();
    asked_.clear();
    expected_ = 0;
    done_ = std::move(done);
    const auto text = std::make_shared<std::string>(
        peer_words::question(secret_, instance_, hooks_.wallMillis(), nonce_));
    for (const auto& peer : peers) {
        const auto at = endpointOf(peer.address);
        if (!at || at->protocol() != socket_.local_endpoint().protocol()) continue;
        if (!asked_.insert(*at).second) continue;
        ++expected_;
        socket_.async_send_to(asio::buffer(*text), *at, [text](boost::system::error_code, std::size_t) {});
    }
    if (expected_ == 0) {
        // Nobody to ask: the answer is none, on the network thread as ever.
        asio::post(io_, [this, alive = std::weak_ptr<bool>(alive_)] {
            if (alive.lock()) finishRound();
        });
        return true;
    }
    roundEnd_.expires_after(std::chrono::milliseconds(answerWithinMillis));
    roundEnd_.async_wait([this, alive = std::weak_ptr<bool>(alive_)](boost::system::error_code ec) {
        if (!ec && alive.lock()) finishRound();
    });
    return true;
}

void PeerLine::finishRound() {
    roundEnd_.cancel();
    nonce_.clear();
    if (auto done = std::exchange(done_, nullptr)) done(std::exchange(answers_, {}));
}

}  // namespace morvane::relay_service

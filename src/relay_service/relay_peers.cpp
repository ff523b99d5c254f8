#include "relay_service/relay_peers.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "core/secure.h"
#include "relay_service/relay_config.h"
#include "relay_service/relay_route.h"
#include "secure/secure_channel.h"

namespace morvane::relay_service {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace peer_words {
namespace {

std::string mac(const std::string& secret, std::string_view text) {
    const auto bytes = [](std::string_view t) {
        return ByteView(reinterpret_cast<const std::uint8_t*>(t.data()), t.size());
    };
    try {
        return Secure::hex(SecureChannel::hmac(bytes(secret), bytes(text)));
    } catch (const std::runtime_error&) {
        return "";  // never matches, so the text is dropped
    }
}

// The words of a signed text and whether its last word signs the rest.
std::optional<std::vector<std::string_view>> signedWords(std::string_view text, const std::string& secret,
                                                         std::size_t count) {
    if (secret.empty() || text.size() > 400) return std::nullopt;
    std::vector<std::string_view> words;
    for (std::size_t from = 0; from <= text.size() && words.size() <= count;) {
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

std::optional<std::int64_t> duration(std::string_view text) {
    const auto value = number(text);
    return value && *value >= 0 ? value : std::nullopt;
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

std::string millis(std::int64_t value) { return std::to_string(std::max<std::int64_t>(0, value)); }

}  // namespace

std::string question(const std::string& secret, const std::string& asker, std::int64_t wallMillis,
                     const std::string& nonce) {
    return signedLine(secret, "mrq1 " + asker + " " + std::to_string(wallMillis) + " " + nonce);
}

std::optional<Question> readSignedQuestion(std::string_view text, const std::string& secret) {
    const auto words = signedWords(text, secret, 5);
    if (!words || (*words)[0] != "mrq1") return std::nullopt;
    const auto at = number((*words)[2]);
    if (!at) return std::nullopt;
    return Question{std::string((*words)[1]), std::string((*words)[3]), *at};
}

std::optional<Question> readQuestion(std::string_view text, const std::string& secret, std::int64_t wallMillis) {
    auto question = readSignedQuestion(text, secret);
    if (!question || question->wallMillis < wallMillis - questionWindowMillis ||
        question->wallMillis > wallMillis + questionWindowMillis)
        return std::nullopt;
    return question;
}

std::optional<std::string> askerNamed(std::string_view text) {
    if (!text.starts_with("mrq1 ") || text.size() > 400) return std::nullopt;
    text.remove_prefix(5);
    const auto name = text.substr(0, text.find(' '));
    const bool fit = !name.empty() && name.size() <= 128 && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
               c == '_';
    });
    return fit ? std::optional(std::string(name)) : std::nullopt;
}

std::string answer(const std::string& secret, const std::string& nonce, const PeerState& state) {
    return signedLine(secret, "mra2 " + state.instance + " " + nonce + " " + std::string(reachWord(state.health.reach)) +
                                  " " + millis(state.health.forMillis) + " " + millis(state.health.checkedMillis) +
                                  " " + (state.serving ? "1" : "0"));
}

std::optional<PeerState> readAnswer(std::string_view text, const std::string& secret, const std::string& nonce) {
    const auto words = signedWords(text, secret, 8);
    if (!words || (*words)[0] != "mra2" || (*words)[2] != nonce) return std::nullopt;
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
    const auto forMillis = duration((*words)[4]), checkedMillis = duration((*words)[5]);
    if (!forMillis || !checkedMillis || ((*words)[6] != "0" && (*words)[6] != "1")) return std::nullopt;
    state.health.forMillis = *forMillis;
    state.health.checkedMillis = *checkedMillis;
    state.serving = (*words)[6] == "1";
    return state;
}

}  // namespace peer_words

std::string PeerAddress::text() const {
    const auto ip = host.to_string();
    return std::string(tls ? "https://" : "http://") + (host.is_v6() ? "[" + ip + "]" : ip) + ":" + std::to_string(port);
}

std::optional<PeerAddress> PeerAddress::parse(std::string_view text) {
    PeerAddress address;
    if (text.starts_with("https://")) {
        address.tls = true;
        text.remove_prefix(8);
    } else if (text.starts_with("http://")) {
        text.remove_prefix(7);
    }
    const auto parsed = parseListen(std::string(text));
    if (!parsed) return std::nullopt;
    boost::system::error_code ec;
    address.host = asio::ip::make_address(parsed->first, ec);
    if (ec || address.host.is_unspecified()) return std::nullopt;
    address.port = parsed->second;
    return address;
}

// One question to one instance: a connection from this instance's host, a
// TLS handshake where it listens so, the question and its answer, all
// within the round's time; `done` is called once, with the answer's body
// or why there is none.
struct PeerLine::Asking {
    template <class Stream>
    class Exchange : public std::enable_shared_from_this<Exchange<Stream>> {
    public:
        using Done = std::function<void(std::optional<std::string> body, std::string why)>;
        Exchange(Stream stream, std::shared_ptr<asio::ssl::context> tls, const PeerAddress& to, std::string question,
                 Done done)
            : stream_(std::move(stream)), tls_(std::move(tls)), to_(to), done_(std::move(done)) {
            request_.method(http::verb::post);
            request_.target(std::string(relay_route::FleetQuestion::path));
            request_.set(http::field::host, to.text().substr(to.tls ? 8 : 7));
            request_.set(http::field::content_type, "text/plain");
            request_.keep_alive(false);
            request_.body() = std::move(question);
            request_.prepare_payload();
            parser_.body_limit(1024);
        }

        void start(const std::optional<asio::ip::address>& from) {
            auto& lowest = beast::get_lowest_layer(stream_);
            lowest.expires_after(std::chrono::milliseconds(answerWithinMillis));
            const tcp::endpoint at(to_.host, to_.port);
            boost::system::error_code ec;
            lowest.socket().open(at.protocol(), ec);
            // From the address the others know for this instance, which
            // their listener lets in; from any, should that fail.
            if (!ec && from && from->is_v6() == at.address().is_v6()) {
                boost::system::error_code ignored;
                lowest.socket().bind(tcp::endpoint(*from, 0), ignored);
            }
            if (ec) return finish(std::nullopt, ec.message());
            lowest.async_connect(at, [self = this->shared_from_this()](boost::system::error_code ec) {
                if (ec) return self->finish(std::nullopt, ec.message());
                self->secure();
            });
        }

    private:
        void secure() {
            if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
                write();
            } else {
                stream_.async_handshake(asio::ssl::stream_base::client,
                                        [self = this->shared_from_this()](boost::system::error_code ec) {
                                            if (ec) return self->finish(std::nullopt, ec.message());
                                            self->write();
                                        });
            }
        }
        void write() {
            http::async_write(stream_, request_,
                              [self = this->shared_from_this()](boost::system::error_code ec, std::size_t) {
                                  if (ec) return self->finish(std::nullopt, ec.message());
                                  self->read();
                              });
        }
        void read() {
            http::async_read(stream_, buffer_, parser_,
                             [self = this->shared_from_this()](boost::system::error_code ec, std::size_t) {
                                 if (ec) return self->finish(std::nullopt, ec.message());
                                 const auto& response = self->parser_.get();
                                 if (response.result() != http::status::ok)
                                     return self->finish(std::nullopt,
                                                         "answered " + std::to_string(response.result_int()));
                                 self->finish(response.body(), "");
                             });
        }
        void finish(std::optional<std::string> body, std::string why) {
            boost::system::error_code ignored;
            beast::get_lowest_layer(stream_).socket().close(ignored);
            if (auto done = std::exchange(done_, nullptr)) done(std::move(body), std::move(why));
        }

        Stream stream_;
        std::shared_ptr<asio::ssl::context> tls_;  // outlives the stream that uses it
        PeerAddress to_;
        Done done_;
        http::request<http::string_body> request_;
        beast::flat_buffer buffer_;
        http::response_parser<http::string_body> parser_;
    };
};

PeerLine::PeerLine(asio::io_context& io, std::string instance, PeerAddress address, Hooks hooks)
    : io_(io),
      instance_(std::move(instance)),
      address_(std::move(address)),
      hooks_(std::move(hooks)),
      network_(io),
      roundEnd_(hooks_.timers ? *hooks_.timers : network_, hooks_.monotonicMillis) {}

PeerLine::~PeerLine() { close(); }

void PeerLine::close() {
    roundEnd_.stop();
    done_ = nullptr;
    ++round_;
}

std::vector<asio::ip::address> PeerLine::know(const std::vector<PeerRecord>& peers) {
    for (const auto& peer : peers) {
        const auto at = PeerAddress::parse(peer.address);
        if (!at) continue;
        std::erase(hosts_, at->host);
        hosts_.push_back(at->host);
    }
    if (hosts_.size() > mostPeerHosts)
        hosts_.erase(hosts_.begin(), hosts_.begin() + static_cast<std::ptrdiff_t>(hosts_.size() - mostPeerHosts));
    return hosts_;
}

void PeerLine::setSecret(std::string secret) {
    if (secret.empty()) return;
    ++reads_;
    readAt_ = hooks_.wallMillis();
    if (secret == secret_) return;
    if (!secret_.empty())
        hooks_.log.warning("the fleet's secret in the database (table fleet_secret) is not the one this instance read "
                           "before: its questions and answers are signed with the new one from now on, as every "
                           "instance's are once it reads it again (within seconds)");
    if (!secret_.empty()) {
        previous_ = std::move(secret_);
        previousUntil_ = hooks_.wallMillis() + previousSecretMillis;
        previousAnsweredAt_.reset();
    }
    secret_ = std::move(secret);
}

void PeerLine::signedOtherwise(std::string_view text, std::int64_t now) {
    // Shaped as another instance's question but signed otherwise: an
    // instance with another secret, or a stranger's guess, which a line
    // said once in a while is worth no more than.
    const auto asker = peer_words::askerNamed(text);
    if (!asker || *asker == instance_) return;
    if (now - readAt_ > unreadMillis) {
        unreadLine_.say(hooks_.log, Severity::warning,
                        "instance " + *asker + " asks this instance with a fleet secret other than the one this "
                        "instance read from the database (table fleet_secret) " + durationText(now - readAt_) +
                        " ago: this instance has not read the secret since, as its store does not answer, so it "
                        "has not read a new one; it takes up the one in the database within 5 s of its store "
                        "answering again (or at once on systemctl reload morvane-relay then)",
                        now);
        return;
    }
    // In an ordinary change one of the two reads the new secret first, and
    // the other within a read: only a question that still fails after this
    // instance read the secret twice more says something.
    auto pending = mismatches_.find(*asker);
    if (pending == mismatches_.end()) {
        if (mismatches_.size() >= mostPeerHosts) return;
        pending = mismatches_.emplace(*asker, reads_).first;
    }
    if (reads_ < pending->second + 2) return;
    secretLine_.say(hooks_.log, Severity::warning,
                    "instance " + *asker + " asks this instance with a fleet secret other than the one this instance "
                    "read from the database (table fleet_secret), and still does after this instance read it again: "
                    "the other has not read the one in this database, so neither hears the other; either it does "
                    "not share this database (compare their store.postgres_url) or its store does not answer (its "
                    "log says which)",
                    now);
}

std::optional<std::string> PeerLine::answer(std::string_view text) {
    if (secret_.empty()) return std::nullopt;
    const auto now = hooks_.wallMillis();
    // Signed with the secret in force, or with the one before it: an
    // instance that has not read the new one, as one cut from the database
    // when it changed cannot.
    auto signedQuestion = peer_words::readSignedQuestion(text, secret_);
    const bool old = !signedQuestion && !previous_.empty() &&
                     (signedQuestion = peer_words::readSignedQuestion(text, previous_)).has_value();
    if (!signedQuestion) {
        signedOtherwise(text, now);
        return std::nullopt;
    }
    if (signedQuestion->asker == instance_) return std::nullopt;
    mismatches_.erase(signedQuestion->asker);
    const std::string* secret = old ? &previous_ : &secret_;
    if (old && now >= previousUntil_) {
        previousLine_.say(hooks_.log, Severity::warning,
                          "instance " + signedQuestion->asker + " still asks this instance with the fleet secret read "
                          "before the one in the database now (table fleet_secret changed over " +
                              std::to_string(previousSecretMillis / 60'000) +
                              " minutes ago): it has not read the new one, as its store does not answer, and is no "
                              "longer answered; it takes up the new one within 5 s of its store answering again (or "
                              "at once on systemctl reload morvane-relay then)",
                          now);
        return std::nullopt;
    }
    if (old)
        previousLine_.say(hooks_.log, Severity::warning,
                          "instance " + signedQuestion->asker + " asks this instance with the fleet secret read "
                          "before the one in the database now (table fleet_secret changed): it has not read the new "
                          "one, as one cut from the database cannot; it is answered with the old one for " +
                              std::to_string(previousSecretMillis / 60'000) + " minutes after the change, at most once "
                              "a second",
                          now);
    // Its clock, as its question says, within the time the question took.
    const auto apart = signedQuestion->wallMillis - now;
    if ((apart > clocksApartMillis || apart < -clocksApartMillis) &&
        (clocksLines_.contains(signedQuestion->asker) || clocksLines_.size() < mostPeerHosts))
        clocksLines_.try_emplace(signedQuestion->asker, fleetLineEveryMillis).first->second.say(hooks_.log, Severity::warning,
                        "instance " + signedQuestion->asker + "'s clock is " + std::to_string((std::abs(apart) + 500) / 1000) +
                            " s " + (apart > 0 ? "ahead of" : "behind") +
                            " this one's: the instances' clocks must agree within 30 s (run NTP, e.g. "
                            "systemd-timesyncd, on every machine), or phones are refused the others' tickets "
                            "(4401 ticket-refused)" +
                            (std::abs(apart) > peer_words::questionWindowMillis
                                 ? ", and past a minute the instances cannot ask each other"
                                 : ""),
                        now);
    const auto question = peer_words::readQuestion(text, *secret, now);
    if (!question) return std::nullopt;
    // A nonce is kept while its question could still be read: twice the
    // window, as a question may come from that far ahead.
    std::erase_if(answeredNonces_, [&](const auto& nonce) {
        return nonce.second < now - 2 * peer_words::questionWindowMillis;
    });
    if (answeredNonces_.contains(question->nonce)) return std::nullopt;
    if (old) {
        // A secret that changed may have leaked: what it still buys is an
        // answer a second, on a budget of its own, never one of those the
        // instances that read the secret in force are answered from.
        const auto since = previousAnsweredAt_ ? now - *previousAnsweredAt_ : previousAnswerEveryMillis;
        if (since >= 0 && since < previousAnswerEveryMillis) return std::nullopt;
        previousAnsweredAt_ = now;
        answeredNonces_.emplace(question->nonce, now);
        return peer_words::answer(*secret, question->nonce, hooks_.state());
    }
    const auto second = now / 1000;
    if (second != answeringSecond_) {
        answeringSecond_ = second;
        answeredThisSecond_ = 0;
    }
    if (++answeredThisSecond_ > answersPerSecond) {
        if (!refusalSaid_) hooks_.log.warning("the other instances' questions come faster than they are answered");
        refusalSaid_ = true;
        return std::nullopt;
    }
    answeredNonces_.emplace(question->nonce, now);
    return peer_words::answer(*secret, question->nonce, hooks_.state());
}

bool PeerLine::ask(const std::vector<PeerRecord>& peers, std::function<void(std::vector<PeerState>)> done) {
    if (!ready() || done_) return false;
    ++round_;
    nonce_ = Secure::hex(Secure::randomBytes(12));
    answers_.clear();
    asked_.clear();
    failures_.clear();
    concluded_ = 0;
    done_ = std::move(done);
    const auto text = peer_words::question(secret_, instance_, hooks_.wallMillis(), nonce_);
    std::vector<std::pair<std::string, PeerAddress>> targets;
    for (const auto& peer : peers) {
        const auto at = PeerAddress::parse(peer.address);
        if (!at || (at->host == address_.host && at->port == address_.port)) continue;
        auto where = at->text();
        if (!asked_.emplace(where, peer.instance).second) continue;
        targets.emplace_back(std::move(where), *at);
    }
    expected_ = targets.size();
    if (expected_ == 0) {
        // Nobody to ask: the answer is none, on the network thread as ever.
        asio::post(io_, [this, alive = alive_.token(), round = round_] {
            if (alive && round == round_) finishRound();
        });
        return true;
    }
    const std::optional<asio::ip::address> from =
        address_.host.is_unspecified() ? std::nullopt : std::optional(address_.host);
    for (const auto& [where, at] : targets) {
        auto heard = [this, alive = alive_.token(), round = round_, where = where](
                         std::optional<std::string> body, std::string why) {
            if (!alive || round != round_ || !done_) return;
            ++concluded_;
            std::optional<PeerState> state;
            if (body) state = peer_words::readAnswer(*body, secret_, nonce_);
            if (state)
                answers_.push_back(std::move(*state));
            else
                failures_[where] = body ? "an answer not signed for this question" : why;
            if (concluded_ >= expected_) finishRound();
        };
        if (at.tls) {
            // The answer is signed for this question: the certificate, made
            // for the relay's public name and not the address asked, is not
            // what vouches for it.
            if (!tls_) {
                tls_ = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_client);
                tls_->set_verify_mode(asio::ssl::verify_none);
            }
            using Stream = beast::ssl_stream<beast::tcp_stream>;
            std::make_shared<Asking::Exchange<Stream>>(Stream(beast::tcp_stream(io_), *tls_), tls_, at, text,
                                                       std::move(heard))
                ->start(from);
        } else {
            std::make_shared<Asking::Exchange<beast::tcp_stream>>(beast::tcp_stream(io_), nullptr, at, text,
                                                                  std::move(heard))
                ->start(from);
        }
    }
    roundEnd_.start(answerWithinMillis, [this] { finishRound(); });
    return true;
}

void PeerLine::finishRound() {
    roundEnd_.stop();
    ++round_;
    nonce_.clear();
    // Who did not answer, by where it was asked: said once it has not for
    // a few rounds, and again when it does.
    for (const auto& [where, instance] : asked_) {
        const bool answered = std::any_of(answers_.begin(), answers_.end(), [&, &instance = instance](const auto& state) {
            return state.instance == instance;
        });
        if (answered) {
            silent_.erase(where);
            if (toldSilent_.erase(where)) hooks_.log.info("instance " + instance + " at " + where + " answers again");
            continue;
        }
        if (++silent_[where] < silentRounds || toldSilent_.contains(where)) continue;
        toldSilent_.insert(where);
        auto why = failures_.contains(where) ? failures_[where] : "no answer in time";
        // Its listener took the question and did not answer it: another
        // secret, a clock a minute off, or no such instance there.
        if (why == "answered 404")
            why += ": it did not take the question, signed with another fleet secret, from a clock more than a "
                   "minute off, or not one of this fleet's instances; its own log says which";
        hooks_.log.warning("instance " + instance + " at " + where + " has not answered this instance's last " +
                           std::to_string(silentRounds) + " questions (" + why +
                           "): instances ask each other at their listen address (or store.peer_address) and take "
                           "each other's questions there; an instance that cannot ask the others never stands aside "
                           "when it alone is cut off from the database");
    }
    if (auto done = std::exchange(done_, nullptr)) done(std::exchange(answers_, {}));
}

}  // namespace morvane::relay_service

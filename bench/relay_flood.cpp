// Floods at morvane-relay that need no account, measured from outside: 400
// connections send calls as fast as they are answered, each call under a
// new client key, while normal people sign in (a code, then the code from
// the relay's log) and a signed-in account goes on with its list, a ticket,
// a refresh and its computer's link dialled again. The floods:
//   made-up-sign-ins  `/v1/auth/verify` for ever new addresses;
//   one-code          `/v1/auth/verify` for the one code the attacker asked
//                     for its own address, with guessed digits;
//   made-up-tokens    `GET /v1/hosts` with a made-up bearer token and
//                     `/v1/auth/refresh` with a made-up refresh token, in turn;
//   made-up-links     a computer's link for a room no one registered;
//   many-codes        codes asked first for other people's addresses (the
//                     attacker never reads them), ten from each /64 of
//                     three /48s, then `/v1/auth/verify` for them with
//                     guessed digits from new /64s of eight other /48s;
//   plus-codes        codes asked for ever new plus-addresses at the
//                     people's domain from --codes /48s (a new /64 for each
//                     code), each then tried with guessed digits from the
//                     /64 that asked for it until its tries are spent, and
//                     from other /48s;
//   fresh-48s         codes asked for ever new plus-addresses at the
//                     people's domain, each call from a fresh /48 of one
//                     /32;
//   listed-person     a listed person signs in once, strangers ask for
//                     codes for their address three times from each of ten
//                     other /48s, then the person signs in ten times from
//                     their own network and ten times from a /48 they never
//                     used; a listed person who never signed in likewise
//                     after the same strangers; and one /48 asks codes for
//                     10,000 guessed addresses, half of them listed, in a
//                     minute: the answers it learns are counted.
// Beside the newcomers, people who signed in before the flood from their
// own network sign in again from there across it (--home-sign-ins).
// Each call comes either through a proxy (X-Forwarded-For from loopback,
// which the relay believes, a new IPv4 address each call) or, with --ipv6,
// straight from a new IPv6 /64 each call: the benchmark then runs in a
// network namespace of its own (root), where 2001:db8::/32 (and 3fff::/20,
// the newcomers' provider) is local, and
// the relay listens on [::1]. Once with the SQLite store, once with a
// PostgreSQL server the benchmark makes itself (initdb into a folder under
// /tmp, a unix socket only). Bounded in time.
//
//   morvane_relay_flood [--seconds N] [--flooders N] [--sqlite-sign-ins N] [--postgres-sign-ins N]
//                       [--only sqlite|postgresql]
//                       [--attack made-up-sign-ins|one-code|made-up-tokens|made-up-links|many-codes|plus-codes|
//                                 fresh-48s|listed-person]
//                       [--codes N] [--slow-sync MILLIS] [--accounts] [--ipv6] [--relay PROGRAM] [--show-lines]
//                       [--pace CALLS] [--home-sign-ins N]
//
// --relay runs another build of morvane-relay (an earlier one, to compare).
// --codes: how many codes many-codes asks, and from how many /48s
// plus-codes asks (300). --slow-sync makes every
// sync of the store's disk take MILLIS (the relay's SQLite file and the
// PostgreSQL server's log alike; a library of the benchmark's own loaded
// with LD_PRELOAD), as a small server's network disk does. --accounts lets
// only the people's domain and the one the attacker asks codes for sign in
// (its codes go to listed addresses), and asks first for a code for an
// address not on the list. --show-lines prints the lines the flood made
// the relay log. --pace holds the whole flood to CALLS a second (as fast as
// answered without it). --home-sign-ins: how many people at home (10).
//
// It prints, for each store and flood: the normal sign-ins completed, the
// signed-in account's calls that got through, the flood's answers by
// status, and the lines the relay logged during the flood (all of them, and
// those of the store queue's state).
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include "bench_process.h"
#include "core/secure.h"
#include "postgres_test_cluster.h"
#include "relay/relay_bytes.h"
#include "relay/relay_identity.h"
#include "relay_service/relay_store.h"
#include "relay_service/token_seal.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ws = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using json = nlohmann::json;
using namespace morvane;
using namespace morvane::relay_service;
using morvane::bench::freePort;
using morvane::bench::startWithErrorsIn;
using morvane::bench::waitForPort;

namespace {

#ifndef IPV6_FREEBIND
#define IPV6_FREEBIND 78
#endif

// Where the relay listens, and whether its callers come through a proxy
// (plain HTTP; X-Forwarded-For from loopback names the client) or straight
// from the client's own IPv6 address (TLS, as anyone but a trusted proxy
// must use).
struct Road {
    bool direct = false;
    std::uint16_t port = 0;
    std::string host() const { return direct ? "::1" : "127.0.0.1"; }
};

using TlsStream = beast::ssl_stream<beast::tcp_stream>;

// Connects to the relay, from `client` when the road is direct.
void connect(beast::tcp_stream& stream, const Road& road, const std::string& client) {
    auto& socket = stream.socket();
    if (road.direct) {
        socket.open(tcp::v6());
        socket.set_option(asio::detail::socket_option::boolean<IPPROTO_IPV6, IPV6_FREEBIND>(true));
        socket.bind({asio::ip::make_address(client), 0});
    }
    stream.connect(tcp::endpoint{asio::ip::make_address(road.host()), road.port});
}

void connect(TlsStream& stream, const Road& road, const std::string& client) {
    connect(beast::get_lowest_layer(stream), road, client);
    stream.handshake(asio::ssl::stream_base::client);
}

// The relay's certificate is the benchmark's own: not checked.
asio::ssl::context& clientTls() {
    static asio::ssl::context context(asio::ssl::context::tls_client);
    return context;
}

// One keep-alive HTTP connection to the relay, made again when it breaks
// or, on a direct road, when the client changes.
class Caller {
public:
    explicit Caller(Road road) : road_(road) {}
    // The status (0 when the connection failed) and the body.
    std::pair<int, json> call(const std::string& method, const std::string& target, const json& body,
                              const std::string& client, const std::string& bearer = "",
                              const std::vector<std::pair<std::string, std::string>>& headers = {}) {
        http::request<http::string_body> request{http::string_to_verb(method), target, 11};
        request.set(http::field::host, "relay.example");
        for (const auto& [name, value] : headers) request.set(name, value);
        if (!road_.direct) request.set("X-Forwarded-For", client);
        if (!bearer.empty()) request.set(http::field::authorization, "Bearer " + bearer);
        if (!body.is_null()) {
            request.set(http::field::content_type, "application/json");
            request.body() = body.dump();
        }
        request.keep_alive(true);
        request.prepare_payload();
        return road_.direct ? exchange(secure_, request, client) : exchange(plain_, request, client);
    }

private:
    template <class Stream>
    std::pair<int, json> exchange(std::unique_ptr<Stream>& stream, const http::request<http::string_body>& request,
                                  const std::string& client) {
        if (stream && road_.direct && client != from_) stream.reset();
        if (!stream) {
            if constexpr (std::is_same_v<Stream, TlsStream>)
                stream = std::make_unique<Stream>(io_, clientTls());
            else
                stream = std::make_unique<Stream>(io_);
            beast::get_lowest_layer(*stream).expires_after(std::chrono::seconds(20));
            try {
                connect(*stream, road_, client);
            } catch (const std::exception&) {
                stream.reset();
                return {0, json()};
            }
            from_ = client;
        }
        beast::get_lowest_layer(*stream).expires_after(std::chrono::seconds(20));
        beast::error_code ec;
        http::write(*stream, request, ec);
        http::response<http::string_body> response;
        beast::flat_buffer buffer;
        if (!ec) http::read(*stream, buffer, response, ec);
        if (ec) {
            stream.reset();
            return {0, json()};
        }
        if (!response.keep_alive()) stream.reset();
        return {static_cast<int>(response.result_int()), json::parse(response.body(), nullptr, false)};
    }

    asio::io_context io_;
    Road road_;
    std::string from_;
    std::unique_ptr<beast::tcp_stream> plain_;
    std::unique_ptr<TlsStream> secure_;
};

// The code the relay wrote to its log for an address, waiting up to 10 s.
std::string codeInLog(const std::filesystem::path& log, const std::string& email) {
    const std::string mark = "Sign-in code for " + email + ": ";
    for (int i = 0; i < 200; ++i) {
        std::ifstream in(log);
        std::string line, code;
        while (std::getline(in, line))
            if (const auto at = line.find(mark); at != std::string::npos) code = line.substr(at + mark.size(), 6);
        if (!code.empty()) return code;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "";
}

template <class Next>
bool dialOver(ws::stream<Next>& socket, const Road& road, const std::string& client, const RelayIdentity& identity) {
    try {
        beast::get_lowest_layer(socket).expires_after(std::chrono::seconds(20));
        connect(socket.next_layer(), road, client);
        const auto hello = identity.helloHeader(static_cast<std::uint64_t>(std::time(nullptr)), Secure::randomBytes(16));
        socket.set_option(ws::stream_base::decorator([hello, road, client](ws::request_type& r) {
            r.set(http::field::sec_websocket_protocol, "morvane.v1");
            r.set("X-Morvane-Host-Auth", hello);
            if (!road.direct) r.set("X-Forwarded-For", client);
        }));
        socket.handshake("relay.example", "/relay/v1/host/" + RelayBytes::hex(identity.roomID()));
        beast::flat_buffer buffer;
        socket.read(buffer);
        const auto challenge = json::parse(beast::buffers_to_string(buffer.data()));
        buffer.consume(buffer.size());
        const auto nonce = RelayBytes::fromB64u(challenge["nonce"].get<std::string>());
        socket.text(true);
        socket.write(asio::buffer(R"({"t":"prove","sig":")" + identity.proveSignature(*nonce) + "\"}"));
        socket.read(buffer);
        const bool welcomed = json::parse(beast::buffers_to_string(buffer.data()))["t"] == "welcome";
        beast::error_code ec;
        socket.close(ws::close_code::normal, ec);
        return welcomed;
    } catch (const std::exception&) {
        return false;
    }
}

// A computer's link, dialled and proved: whether the relay welcomed it.
bool dialLink(const Road& road, const std::string& client, const RelayIdentity& identity) {
    asio::io_context io;
    if (!road.direct) {
        ws::stream<beast::tcp_stream> socket(io);
        return dialOver(socket, road, client, identity);
    }
    ws::stream<TlsStream> socket(io, clientTls());
    return dialOver(socket, road, client, identity);
}

struct Tally {
    int tried = 0, through = 0;
    std::string text() const { return std::to_string(through) + " of " + std::to_string(tried); }
};

// The lines the relay logged since `from`: all of them, those on the store
// queue's state, and those of the people and the signed-in account, which
// would be logged without a flood.
struct Lines {
    long all = 0, queue = 0, behaving = 0;
};
struct Result {
    Tally signIns, lists, tickets, refreshes, links;
    std::map<int, long> flood;
    Lines logLines;
    // many-codes: the codes the attacker asked for, and how long it took.
    Tally codesAsked;
    double askingSeconds = 0;
    // With --accounts: what a code for an address not on the list got.
    std::string unlisted;
    // Normal sign-ins done within 5 s, and the slowest.
    int signInsWithin = 0;
    double slowestSignIn = 0;
    // What the sign-ins that failed were answered ("code 503" …).
    std::map<std::string, int> signInFailures;
    // People who signed in from home before, signing in there again.
    Tally homeSignIns;
    int homeWithin = 0;
    // listed-person: the person's sign-ins from home while strangers asked
    // for their address, from a /48 they never used, a listed person's who
    // never signed in, the most codes one address was mailed, and what
    // 10,000 guesses from one /48 learned.
    Tally ownerSignIns, ownerAway, newcomerListed;
    int mostMails = 0;
    std::string strangersAsking;
    long guesses = 0, learned = 0;
};

// A signed-in account made in the store beforehand: its tokens and its
// registered computer.
struct Known {
    RelayIdentity computer{P256PrivateKey::generate(), P256PrivateKey::generate(), 0};
    std::string room, access, refresh;
};

Known prepare(RelayStore& store) {
    Known known;
    known.room = RelayBytes::hex(known.computer.roomID());
    const auto now = static_cast<std::int64_t>(std::time(nullptr));
    const auto owner = store.accountForEmail("known@example.com", now);
    store.addHost(HostRecord{known.room, known.computer.hostPublicKeyText(), "Known", owner.userId, now}, 10);
    // Sealed as the relay seals what it hands out.
    const TokenSeal seal(store.sealKey());
    const auto session = RelayBytes::b64u(Secure::randomBytes(16));
    known.access = seal.mint(TokenKind::access, session, now + 3600);
    known.refresh = seal.mint(TokenKind::refresh, session, now + 86400);
    store.putTokens({Token{Secure::sha256Hex(known.access), TokenKind::access, owner.userId, "web", "", now + 3600},
                     Token{Secure::sha256Hex(known.refresh), TokenKind::refresh, owner.userId, "web", "", now + 86400}});
    return known;
}

// With `show`, the flood's own lines are printed.
Lines countLines(const std::filesystem::path& log, std::streamoff from, const std::string& room, bool show) {
    std::ifstream in(log);
    in.seekg(from);
    Lines lines;
    for (std::string line; std::getline(in, line);) {
        ++lines.all;
        if (line.find("the store ") != std::string::npos || line.find(" for the store ") != std::string::npos)
            ++lines.queue;
        if (line.find("person") != std::string::npos || line.find("home") != std::string::npos ||
            line.find("known@example.com") != std::string::npos ||
            line.find(room) != std::string::npos)
            ++lines.behaving;
        else if (show)
            std::printf("    | %s\n", line.c_str());
    }
    return lines;
}

enum class Attack { madeUpSignIns, oneCode, madeUpTokens, madeUpLinks, manyCodes, plusCodes, fresh48s, listedPerson };
const std::map<std::string, Attack> attackNames{{"made-up-sign-ins", Attack::madeUpSignIns},
                                                {"one-code", Attack::oneCode},
                                                {"made-up-tokens", Attack::madeUpTokens},
                                                {"made-up-links", Attack::madeUpLinks},
                                                {"many-codes", Attack::manyCodes},
                                                {"plus-codes", Attack::plusCodes},
                                                {"fresh-48s", Attack::fresh48s},
                                                {"listed-person", Attack::listedPerson}};

// Who calls: the flood a new client each call, people, the signed-in
// account and the attacker asking its code each one of their own.
struct Clients {
    bool direct;
    std::mt19937 random;
    std::string flood() {
        const auto part = [this](unsigned most) { return std::to_string(random() % most); };
        if (!direct) return "10." + part(256) + "." + part(256) + "." + part(256);
        // A new /64, and mostly a new /48 too.
        char text[64];
        std::snprintf(text, sizeof text, "2001:db8:%x:%x::1", static_cast<unsigned>(random() % 0xfff0),
                      static_cast<unsigned>(random() % 0x10000));
        return text;
    }
    // Newcomers come from another provider than the flood's (3fff::/20 is
    // for documentation too): at the flood's own /32 they would be one
    // asker with it.
    std::string person(int i) const { return direct ? "3fff:0:" + std::to_string(i + 1) + "::1" : "192.0.2." + std::to_string(1 + i); }
    std::string home(int i) const { return direct ? "2001:db8:fffc:" + std::to_string(i + 1) + "::1" : "198.51.100." + std::to_string(100 + i); }
    // many-codes: the /64 that asks code i (ten a /64, as many as one
    // client may ask), of one of three /48s; and a new /64 of one of eight
    // other /48s for each try. IPv6 through the proxy too.
    static std::string asker(int i) {
        char text[64];
        std::snprintf(text, sizeof text, "2001:db8:a%03x:%x::1", static_cast<unsigned>(i / 10 % 3),
                      static_cast<unsigned>(i / 10));
        return text;
    }
    std::string tryer() {
        char text[64];
        std::snprintf(text, sizeof text, "2001:db8:b%03x:%x::1", static_cast<unsigned>(random() % 8),
                      static_cast<unsigned>(random() % 0x10000));
        return text;
    }
    std::string known() const { return direct ? "2001:db8:fffe::7" : "198.51.100.7"; }
    std::string attacker() const { return direct ? "2001:db8:fffd::66" : "203.0.113.66"; }
};

std::string madeUpToken(std::mt19937& random) {
    Bytes bytes(48);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    return RelayBytes::b64u(std::span(bytes).first(16)) + RelayBytes::b64u(std::span(bytes).subspan(16));
}

// many-codes: the codes the attacker asks for other people's addresses,
// each a thread of its own /64 asking its ten one after another, before
// the flood.
std::vector<std::string> askCodes(const Road& road, int codes, Result& result) {
    std::vector<std::string> emails(static_cast<std::size_t>(codes));
    std::atomic<int> asked{0};
    const auto started = Clock::now();
    std::vector<std::thread> askers;
    for (int from = 0; from < codes; from += 10)
        askers.emplace_back([&, from] {
            Caller caller(road);
            for (int i = from; i < std::min(codes, from + 10); ++i) {
                const auto email = "someone" + std::to_string(i) + "@example.net";
                for (int attempt = 0; attempt < 20; ++attempt) {
                    const auto status = caller.call("POST", "/v1/auth/code", json{{"email", email}, {"login_id", "attack"}},
                                                    Clients::asker(i))
                                            .first;
                    if (status == 200) {
                        emails[static_cast<std::size_t>(i)] = email;
                        ++asked;
                        break;
                    }
                    // The store's queue was full a moment: as a patient
                    // attacker, ask again.
                    std::this_thread::sleep_for(std::chrono::milliseconds(200));
                }
            }
        });
    for (auto& thread : askers) thread.join();
    result.codesAsked = Tally{codes, asked};
    result.askingSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::erase(emails, std::string());
    return emails;
}

// plus-codes: what one flooder is doing, a code at a time.
struct PlusCode {
    std::string email, from;
    int tries = 0;
    long made = 0;
};

// plus-codes: one call of flooder `f`, whose /48 is one of `networks`: a
// code for a new plus-address from a new /64, then guesses at it from that
// /64 until its tries are spent (and every third from another /48).
std::pair<int, json> plusCodeCall(Caller& caller, PlusCode& plus, int f, int networks, std::mt19937& random) {
    char from[64];
    if (plus.tries == 0) {
        std::snprintf(from, sizeof from, "2001:db8:c%03x:%x::1", static_cast<unsigned>(f % std::max(1, networks)),
                      static_cast<unsigned>(random() % 0x10000));
        plus.from = from;
        plus.email = "victim+" + std::to_string(f) + "-" + std::to_string(plus.made++) + "@example.com";
        plus.tries = 5;
        return caller.call("POST", "/v1/auth/code", json{{"email", plus.email}, {"login_id", "attack"}}, plus.from);
    }
    --plus.tries;
    std::string client = plus.from;
    if (plus.tries % 3 == 0) {
        std::snprintf(from, sizeof from, "2001:db8:d%03x:%x::1", static_cast<unsigned>(random() % 0x100),
                      static_cast<unsigned>(random() % 0x10000));
        client = from;
    }
    char digits[8];
    std::snprintf(digits, sizeof digits, "%06u", static_cast<unsigned>(random() % 1'000'000));
    return caller.call("POST", "/v1/auth/verify",
                       json{{"email", plus.email}, {"login_id", "attack"}, {"code", digits}, {"client", "web"}}, client);
}

// listed-person: the person signs in once from home, strangers ask for
// their address three times from each of ten other /48s, and the person
// signs in ten times from home; then one /48 guesses 10,000 addresses, as
// fast as it is answered for at most a minute.
void listedPerson(const Road& road, const std::filesystem::path& log, Result& result) {
    Caller caller(road);
    std::string owner = "owner@example.com", home = road.direct ? "2001:db8:eeee:1::5" : "192.0.2.250";
    const auto codeFor = [&](const std::string& login) {
        // The newest code the log shows for the owner, for this login.
        if (caller.call("POST", "/v1/auth/code", json{{"email", owner}, {"login_id", login}}, home).first != 200) return std::string();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::ifstream in(log);
        const std::string mark = "Sign-in code for " + owner + ": ";
        std::string line, code;
        while (std::getline(in, line))
            if (const auto at = line.find(mark); at != std::string::npos) code = line.substr(at + mark.size(), 6);
        return code;
    };
    const auto verify = [&](const std::string& login, const std::string& code) {
        return caller.call("POST", "/v1/auth/verify",
                           json{{"email", owner}, {"login_id", login}, {"code", code}, {"client", "web"}}, home)
                   .first == 200;
    };
    if (!verify("first", codeFor("first"))) std::fprintf(stderr, "the person's first sign-in failed\n");
    std::map<int, int> strangers;
    for (int n = 0; n < 10; ++n)
        for (int i = 0; i < 3; ++i) {
            char from[64];
            std::snprintf(from, sizeof from, "2001:db8:e%03x:%x::1", static_cast<unsigned>(n), static_cast<unsigned>(i));
            ++strangers[caller.call("POST", "/v1/auth/code", json{{"email", owner}, {"login_id", "x"}}, from).first];
        }
    for (const auto& [status, count] : strangers)
        result.strangersAsking += (result.strangersAsking.empty() ? "" : ", ") + std::to_string(count) + " × " +
                                  std::to_string(status);
    result.strangersAsking = "strangers' 30 code requests from 10 /48s got " + result.strangersAsking;
    for (int i = 0; i < 10; ++i) {
        const auto login = "again-" + std::to_string(i);
        ++result.ownerSignIns.tried;
        result.ownerSignIns.through += verify(login, codeFor(login));
    }
    // From a /48 the person never used (a hotel, a friend's), then a listed
    // person who never signed in, after the same strangers.
    home = "2001:db8:eeef:1::5";
    for (int i = 0; i < 10; ++i) {
        const auto login = "away-" + std::to_string(i);
        ++result.ownerAway.tried;
        result.ownerAway.through += verify(login, codeFor(login));
    }
    owner = "never@example.com";
    for (int n = 0; n < 10; ++n)
        for (int i = 0; i < 3; ++i) {
            char from[64];
            std::snprintf(from, sizeof from, "2001:db8:e%03x:%x::1", static_cast<unsigned>(n), static_cast<unsigned>(i));
            caller.call("POST", "/v1/auth/code", json{{"email", owner}, {"login_id", "x"}}, from);
        }
    home = "2001:db8:eef0:1::5";
    for (int i = 0; i < 10; ++i) {
        const auto login = "new-" + std::to_string(i);
        ++result.newcomerListed.tried;
        result.newcomerListed.through += verify(login, codeFor(login));
    }
    {
        std::ifstream in(log);
        std::map<std::string, int> mails;
        for (std::string line; std::getline(in, line);)
            if (const auto at = line.find("Sign-in code for "); at != std::string::npos)
                result.mostMails = std::max(result.mostMails, ++mails[line.substr(at, line.find(':', at) - at)]);
    }
    // One /48, a new /64 each guess; half the guesses are listed addresses.
    std::mt19937 random(7);
    const auto until = Clock::now() + std::chrono::seconds(60);
    for (int i = 0; i < 10'000 && Clock::now() < until; ++i) {
        char from[64];
        std::snprintf(from, sizeof from, "2001:db8:f00d:%x::1", static_cast<unsigned>(random() % 0x10000));
        const auto email = "guess" + std::to_string(i) + (i % 2 ? "@example.com" : "@elsewhere.example");
        const auto status = caller.call("POST", "/v1/auth/code", json{{"email", email}, {"login_id", "g"}}, from).first;
        ++result.guesses;
        result.learned += status != 429 && status != 0;
    }
}

Result flood(const std::vector<std::string>& relayCommand, const Road& road, const std::filesystem::path& log,
             Known known, Attack attack, int seconds, int flooders, int signIns, int codes, bool showLines,
             bool closed, int pace, int homeSignIns) {
    const pid_t relay = startWithErrorsIn(relayCommand, log);
    waitForPort(road.port, "morvane-relay", relay, road.host());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Result result;
    std::mutex lock;
    std::atomic<bool> stop{false};
    const Clients clients{road.direct, std::mt19937(1)};

    // The attacker's own code, asked once.
    if (attack == Attack::oneCode &&
        Caller(road).call("POST", "/v1/auth/code", json{{"email", "attacker@example.com"}, {"login_id", "attack"}},
                          clients.attacker())
                .first != 200)
        std::fprintf(stderr, "the attacker's code was refused\n");
    if (closed) {
        // Not on the list: refused at once, and no code in the log.
        const auto [status, body] = Caller(road).call(
            "POST", "/v1/auth/code", json{{"email", "stranger@example.org"}, {"login_id", "l"}}, clients.attacker());
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        std::ifstream in(log);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        result.unlisted = std::to_string(status) + " " + (body.is_object() ? body.dump() : std::string("(no body)")) +
                          (text.find("Sign-in code for stranger@example.org") == std::string::npos ? ", no code in the log"
                                                                                                  : ", a code in the log");
    }
    // The people at home sign in there once before the flood.
    const auto signIn = [&](Caller& caller, const std::string& email, const std::string& login,
                            const std::string& client) -> std::string {
        const auto asked = caller.call("POST", "/v1/auth/code", json{{"email", email}, {"login_id", login}}, client).first;
        if (asked != 200) return "code " + std::to_string(asked);
        const auto code = codeInLog(log, email);
        const auto verified =
            code.empty() ? 0
                         : caller.call("POST", "/v1/auth/verify",
                                       json{{"email", email}, {"login_id", login}, {"code", code}, {"client", "mac"}},
                                       client)
                               .first;
        return verified == 200 ? "" : "verify " + std::to_string(verified);
    };
    for (int i = 0; i < homeSignIns; ++i) {
        Caller caller(road);
        if (!signIn(caller, "home" + std::to_string(i) + "@example.com", "first", clients.home(i)).empty())
            std::fprintf(stderr, "a person's first sign-in at home failed\n");
    }
    const auto asked = attack == Attack::manyCodes ? askCodes(road, codes, result) : std::vector<std::string>();
    if (attack == Attack::listedPerson) listedPerson(road, log, result);
    if (attack == Attack::manyCodes && asked.empty()) std::fprintf(stderr, "the relay sent the attacker no code\n");
    const auto logFrom = static_cast<std::streamoff>(std::filesystem::file_size(log));
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);

    std::vector<std::thread> threads;
    // The flood's calls in all, for its pace and its fresh /48s.
    std::atomic<long> calls{0};
    const auto started = Clock::now();
    for (int f = 0; f < flooders; ++f)
        threads.emplace_back([&, f] {
            Caller caller(road);
            Clients mine{road.direct, std::mt19937(static_cast<unsigned>(f) * 7919u + 17u)};
            PlusCode plus;
            std::map<int, long> statuses;
            for (long n = 0; !stop; ++n) {
                const auto call = calls++;
                if (pace > 0) {
                    std::this_thread::sleep_until(started + std::chrono::microseconds(call * 1'000'000 / pace));
                    if (stop) break;
                }
                const auto client = mine.flood();
                std::pair<int, json> answer;
                switch (attack) {
                case Attack::madeUpSignIns:
                    answer = caller.call("POST", "/v1/auth/verify",
                                         json{{"email", "x" + std::to_string(mine.random()) + "@example.com"},
                                              {"login_id", "flood"}, {"code", "123456"}, {"client", "web"}},
                                         client);
                    break;
                case Attack::oneCode: {
                    char digits[8];
                    std::snprintf(digits, sizeof digits, "%06u", static_cast<unsigned>(mine.random() % 1'000'000));
                    answer = caller.call("POST", "/v1/auth/verify",
                                         json{{"email", "attacker@example.com"}, {"login_id", "attack"}, {"code", digits},
                                              {"client", "web"}},
                                         client);
                    break;
                }
                case Attack::madeUpTokens:
                    answer = n % 2 ? caller.call("GET", "/v1/hosts", json(), client, madeUpToken(mine.random))
                                   : caller.call("POST", "/v1/auth/refresh",
                                                 json{{"refresh_token", madeUpToken(mine.random)}}, client);
                    break;
                case Attack::manyCodes: {
                    if (asked.empty()) break;
                    char digits[8];
                    std::snprintf(digits, sizeof digits, "%06u", static_cast<unsigned>(mine.random() % 1'000'000));
                    answer = caller.call("POST", "/v1/auth/verify",
                                         json{{"email", asked[mine.random() % asked.size()]},
                                              {"login_id", "attack"},
                                              {"code", digits},
                                              {"client", "web"}},
                                         mine.tryer());
                    break;
                }
                case Attack::plusCodes:
                    answer = plusCodeCall(caller, plus, f, codes, mine.random);
                    break;
                case Attack::fresh48s: {
                    char from[64];
                    std::snprintf(from, sizeof from, "2001:db8:%x:1::1", static_cast<unsigned>(call % 0xfff0));
                    answer = caller.call("POST", "/v1/auth/code",
                                         json{{"email", "victim+" + std::to_string(call) + "@example.com"},
                                              {"login_id", "attack"}},
                                         from);
                    break;
                }
                case Attack::listedPerson:
                    // Its calls are made before the flood, one at a time.
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    continue;
                case Attack::madeUpLinks: {
                    // A computer's link for a room no one registered, its
                    // hello of the right shape.
                    const auto token = madeUpToken(mine.random);
                    answer = caller.call("GET", "/relay/v1/host/" + Secure::hex(Secure::sha256(token)).substr(0, 32), json(),
                                         client, "",
                                         {{"Upgrade", "websocket"},
                                          {"Connection", "Upgrade"},
                                          {"Sec-WebSocket-Version", "13"},
                                          {"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="},
                                          {"Sec-WebSocket-Protocol", "morvane.v1"},
                                          {"X-Morvane-Host-Auth", "v1." + std::to_string(std::time(nullptr)) + "." +
                                                                      token.substr(0, 22) + "." + token + token.substr(0, 20)}});
                    break;
                }
                }
                ++statuses[answer.first];
                if (answer.first == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            std::lock_guard guard(lock);
            for (const auto& [status, count] : statuses) result.flood[status] += count;
        });

    // Give the flood a second to fill the relay, then sign people in, one
    // after another across the flood, each trying once as the host does.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto spacing = std::chrono::milliseconds(std::max(50, (seconds - 4) * 1000 / std::max(1, signIns)));
    for (int i = 0; i < signIns; ++i)
        threads.emplace_back([&, i] {
            std::this_thread::sleep_for(spacing * i);
            Caller caller(road);
            const auto email = "person" + std::to_string(i) + "@example.com";
            const auto client = clients.person(i);
            const auto login = "login-" + std::to_string(i);
            const auto started = Clock::now();
            const std::string failure = signIn(caller, email, login, client);
            const bool done = failure.empty();
            const auto took = std::chrono::duration<double>(Clock::now() - started).count();
            std::lock_guard guard(lock);
            ++result.signIns.tried;
            result.signIns.through += done;
            result.signInsWithin += done && took <= 5.0;
            result.slowestSignIn = std::max(result.slowestSignIn, took);
            if (!failure.empty()) ++result.signInFailures[failure];
        });

    // The people at home again, between the newcomers.
    const auto homeSpacing = std::chrono::milliseconds(std::max(50, (seconds - 4) * 1000 / std::max(1, homeSignIns)));
    for (int i = 0; i < homeSignIns; ++i)
        threads.emplace_back([&, i] {
            std::this_thread::sleep_for(homeSpacing * i + homeSpacing / 2);
            Caller caller(road);
            const auto started = Clock::now();
            const auto failure = signIn(caller, "home" + std::to_string(i) + "@example.com", "again", clients.home(i));
            const auto took = std::chrono::duration<double>(Clock::now() - started).count();
            std::lock_guard guard(lock);
            ++result.homeSignIns.tried;
            result.homeSignIns.through += failure.empty();
            result.homeWithin += failure.empty() && took <= 5.0;
            if (!failure.empty()) ++result.signInFailures["at home: " + failure];
        });

    // The signed-in account, once a second: its list, a ticket, a refresh
    // and its computer dialling its link again.
    threads.emplace_back([&] {
        Caller caller(road);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        while (Clock::now() < deadline - std::chrono::seconds(2)) {
            const auto client = clients.known();
            const auto list = caller.call("GET", "/v1/hosts", json(), client, known.access).first;
            const auto ticket =
                caller.call("POST", "/v1/hosts/" + known.room + "/ticket", json::object(), client, known.access).first;
            const auto [refreshed, body] =
                caller.call("POST", "/v1/auth/refresh", json{{"refresh_token", known.refresh}}, client);
            if (refreshed == 200) {
                known.refresh = body["refresh_token"].get<std::string>();
                known.access = body["access_token"].get<std::string>();
            }
            const bool linked = dialLink(road, client, known.computer);
            {
                std::lock_guard guard(lock);
                ++result.lists.tried, result.lists.through += list == 200;
                ++result.tickets.tried, result.tickets.through += ticket == 200;
                ++result.refreshes.tried, result.refreshes.through += refreshed == 200;
                ++result.links.tried, result.links.through += linked;
            }
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    });

    std::this_thread::sleep_until(deadline);
    stop = true;
    for (auto& thread : threads) thread.join();
    result.logLines = countLines(log, logFrom, known.room, showLines);
    ::kill(relay, SIGTERM);
    ::waitpid(relay, nullptr, 0);
    return result;
}

void print(const std::string& what, const Result& r, int seconds, int flooders) {
    long calls = 0;
    std::string statuses;
    for (const auto& [status, count] : r.flood) {
        calls += count;
        statuses += (statuses.empty() ? "" : ", ") + std::to_string(count) + " × " + std::to_string(status);
    }
    if (!r.unlisted.empty()) std::printf("%s: a code for an address not on the list: %s\n", what.c_str(), r.unlisted.c_str());
    if (r.codesAsked.tried > 0)
        std::printf("%s: the attacker asked %s codes in %.1f s\n", what.c_str(), r.codesAsked.text().c_str(),
                    r.askingSeconds);
    std::printf("%s: %d connections for %d s (%ld calls: %s)\n", what.c_str(), flooders, seconds, calls,
                statuses.c_str());
    std::string failures;
    for (const auto& [what, count] : r.signInFailures)
        failures += (failures.empty() ? "; failed: " : ", ") + std::to_string(count) + " × " + what;
    std::printf("  normal sign-ins completed: %s, %d within 5 s (the slowest %.1f s)%s\n", r.signIns.text().c_str(),
                r.signInsWithin, r.slowestSignIn, failures.c_str());
    if (r.homeSignIns.tried > 0)
        std::printf("  people at home again: %s, %d within 5 s\n", r.homeSignIns.text().c_str(), r.homeWithin);
    if (r.ownerSignIns.tried > 0)
        std::printf("  a listed person at home while %s: signed in %s; from a /48 never used %s; a listed person who "
                    "never signed in, after the same: %s; the most codes mailed to one address: %d\n",
                    r.strangersAsking.c_str(), r.ownerSignIns.text().c_str(), r.ownerAway.text().c_str(),
                    r.newcomerListed.text().c_str(), r.mostMails);
    if (r.guesses > 0)
        std::printf("  %ld guessed addresses from one /48: %ld answers other than 429\n", r.guesses, r.learned);
    std::printf("  signed-in account: list %s, ticket %s, refresh %s, link dialled again %s\n", r.lists.text().c_str(),
                r.tickets.text().c_str(), r.refreshes.text().c_str(), r.links.text().c_str());
    std::printf("  relay log during the flood: %ld lines, %ld of them on the store queue's state, %ld the people's and "
                "the signed-in account's own\n",
                r.logLines.all, r.logLines.queue, r.logLines.behaving);
    std::fflush(stdout);
}

// A network of the benchmark's own, where every address of 2001:db8::/32
// and 3fff::/20 is this machine's: a client can come from a new /64 each
// call.
void enterOwnNetwork() {
    if (::unshare(CLONE_NEWNET) != 0) throw std::runtime_error("--ipv6 needs a network namespace of its own (root)");
    if (std::system("ip link set lo up && ip -6 route add local 2001:db8::/32 dev lo && "
                    "ip -6 route add local 3fff::/20 dev lo") != 0)
        throw std::runtime_error("could not make 2001:db8::/32 and 3fff::/20 local in the benchmark's network");
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 20, flooders = 400, sqliteSignIns = 12, postgresSignIns = 27, codes = 300, slowSync = 0, pace = 0,
        homeSignIns = 10;
    std::string only, program = MORVANE_RELAY_PROGRAM;
    std::vector<std::pair<std::string, Attack>> attacks(attackNames.begin(), attackNames.end());
    bool direct = false, showLines = false, closed = false;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--ipv6") {
            direct = true;
            continue;
        }
        if (name == "--show-lines") {
            showLines = true;
            continue;
        }
        if (name == "--accounts") {
            closed = true;
            continue;
        }
        if (i + 1 == argc) break;
        const std::string value = argv[++i];
        if (name == "--seconds") seconds = std::max(6, std::stoi(value));
        if (name == "--flooders") flooders = std::stoi(value);
        if (name == "--sqlite-sign-ins") sqliteSignIns = std::stoi(value);
        if (name == "--postgres-sign-ins") postgresSignIns = std::stoi(value);
        if (name == "--only") only = value;
        if (name == "--codes") codes = std::max(1, std::stoi(value));
        if (name == "--slow-sync") slowSync = std::max(0, std::stoi(value));
        if (name == "--relay") program = value;
        if (name == "--pace") pace = std::max(0, std::stoi(value));
        if (name == "--home-sign-ins") homeSignIns = std::max(0, std::stoi(value));
        if (name == "--attack") {
            if (!attackNames.contains(value)) {
                std::fprintf(stderr, "morvane_relay_flood: no attack %s\n", value.c_str());
                return 2;
            }
            attacks = {{value, attackNames.at(value)}};
        }
    }
    ::signal(SIGPIPE, SIG_IGN);
    const auto folder = std::filesystem::temp_directory_path() / ("morvane-relay-flood-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    try {
        if (direct) enterOwnNetwork();
        if (slowSync > 0) {
            // Where the relay and the PostgreSQL server (run as nobody) can
            // both load it; everything started from here does.
            const auto library = folder / "slow_sync.so";
            std::filesystem::copy_file(MORVANE_SLOW_SYNC_LIBRARY, library);
            std::filesystem::permissions(library, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                                      std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                                      std::filesystem::perms::others_exec);
            ::setenv("LD_PRELOAD", library.c_str(), 1);
            ::setenv("SLOW_SYNC_MILLIS", std::to_string(slowSync).c_str(), 1);
        }
        // Anyone but a trusted proxy speaks TLS to the relay.
        json tls;
        if (direct) {
            const auto certificate = folder / "relay.crt", key = folder / "relay.key";
            const auto made = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
                              "-subj /CN=relay.example -keyout " + key.string() + " -out " + certificate.string() +
                              " 2>/dev/null";
            if (std::system(made.c_str()) != 0) throw std::runtime_error("openssl could not make a certificate");
            tls = {{"certificate", certificate.string()}, {"key", key.string()}};
        }
        const std::string road = (direct ? "straight from a new IPv6 /64 each call" : "through a proxy") +
                                 (pace > 0 ? ", " + std::to_string(pace) + " calls a second" : std::string()) +
                                 (slowSync > 0 ? ", each sync " + std::to_string(slowSync) + " ms" : std::string()) +
                                 (closed ? ", \"accounts\" set" : "");
        for (const auto& [attackName, attack] : attacks) {
            // Runs the relay on `store` against the attack.
            const auto run = [&](const std::string& storeName, json store, int signIns, const Known& known) {
                const Road at{direct, freePort()};
                const auto name = std::string(storeName == "SQLite" ? "sqlite" : "postgres") + "-" + attackName;
                const auto data = folder / name;
                std::filesystem::create_directories(data);
                json config{{"listen", (direct ? "[::1]:" : "127.0.0.1:") + std::to_string(at.port)},
                            {"data_dir", data.string()},
                            {"codes_in_log", true},
                            {"store", std::move(store)}};
                if (direct) config["tls"] = tls;
                // The people's domain and the one the attacker asks codes for.
                if (closed) config["accounts"] = json::array({"@example.com", "@example.net"});
                std::ofstream(folder / (name + ".json")) << config.dump();
                const auto result = flood({program, "--config", (folder / (name + ".json")).string()}, at,
                                          folder / (name + ".log"), known, attack, seconds, flooders, signIns, codes,
                                          showLines, closed, pace, homeSignIns);
                print(storeName + ", " + attackName + ", " + road, result, seconds, flooders);
            };
            if (only.empty() || only == "sqlite") {
                const auto data = folder / ("sqlite-" + attackName);
                std::filesystem::create_directories(data);
                Known known;
                {
                    auto store = openRelayStore(RelayStoreConfig{"sqlite", data.string(), ""});
                    known = prepare(*store);
                }
                run("SQLite", json{{"kind", "sqlite"}}, sqliteSignIns, known);
            }
            if (only.empty() || only == "postgresql") {
                auto& cluster = testing::PostgresTestCluster::shared();
                // The throw-away cluster never syncs; a slow disk is one
                // whose syncs are waited for.
                if (slowSync > 0) {
                    cluster.exec("postgres", "ALTER SYSTEM SET fsync = on");
                    cluster.exec("postgres", "SELECT pg_reload_conf()");
                }
                const auto url = cluster.connectionString(cluster.createDatabase());
                Known known;
                {
                    auto store = openRelayStore(RelayStoreConfig{"postgresql", "", url});
                    known = prepare(*store);
                }
                run("PostgreSQL", json{{"kind", "postgresql"}, {"postgres_url", url}}, postgresSignIns, known);
            }
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "morvane_relay_flood: %s\n", error.what());
        return 1;
    }
    // The PostgreSQL server is stopped after this, by programs that would
    // look for the library in vain.
    ::unsetenv("LD_PRELOAD");
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    return 0;
}

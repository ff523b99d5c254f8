// The relay service's readers of outside input, chosen by the first byte:
// 0 account calls (method, path, bearer, client and JSON body), routed and
// answered against a store that already holds a signed-in account and a
// registered computer; 1 a host link's messages and devices' records
// through the rooms (devices that wait for a link, another instance taking
// the room, sign-outs); 2 a host's hello header; 3 a config file; 4 a request
// of the page (method, path, Accept-Encoding and If-None-Match); 5 the route
// of any request (method, target and headers); 6 what another instance
// sends (a question as an instance's listener takes it, an answer as the
// asker reads it, where an instance is asked). Nothing throws; every answer
// is a JSON object with a status the interface uses, a refusal carries its
// word, only an address off the operator's list is refused as not invited
// (and none is sent a code), no code or token is ever stored as it was given out, the host is
// never sent a frame too short to hold a record, nobody is sent anything
// after being closed, and connection ids are never 0 nor listed twice; the
// page sends a file whole as built or as its gzipped form only where gzip is
// taken, and 304 only for the tag it would send; a routed call keeps its
// row's method, bearer and body rules; an instance's text is read only as
// the fleet's secret signed it, word for word, and a question is answered
// once.
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "core/secure.h"
#include "fuzz_support.h"
#include "memory_store.h"
#include "protocol/page_cache.h"
#include "relay/relay_bytes.h"
#include "relay/relay_identity.h"
#include "relay_service/account_gate.h"
#include "relay_service/relay_config.h"
#include "relay_service/relay_hub.h"
#include "relay_service/relay_limits.h"
#include "relay_service/relay_page.h"
#include "relay_service/relay_peers.h"
#include "relay_service/relay_route.h"
#include "relay_service/web/relay_web.h"

using namespace morvane;
using namespace morvane::relay_service;
using morvane::fuzz::require;
using json = nlohmann::json;

namespace {

const RelayIdentity& computer() {
    static const RelayIdentity identity{P256PrivateKey::generate(), P256PrivateKey::generate(), 0};
    return identity;
}

const std::string& room() {
    static const std::string hex = RelayBytes::hex(computer().roomID());
    return hex;
}

constexpr std::int64_t now = 1'800'000'000'000;

void accountCall(std::span<const std::uint8_t> input) {
    if (input.size() < 3) return;
    testing::MemoryStore store;
    // Half the calls meet a relay whose operator let only the owner sign in.
    const bool closed = input[2] & 2;
    const auto allowed = closed ? std::get<AccountList>(AccountList::parse({"owner@example.com"})) : AccountList();
    RelayAccounts accounts(store, RelayAccounts::Hooks{[] { return now; }, [](const std::string&) {}, {}, {}, {}}, true,
                           allowed);
    // A signed-in owner with a registered computer, so the calls that need
    // a bearer reach their checks.
    const std::string access = std::string(22, 'A') + std::string(43, 'B');
    store.putToken(Token{Secure::sha256Hex(access), TokenKind::access, "u1", "web", "", now / 1000 + 60});
    store.putToken(Token{Secure::sha256Hex(std::string(22, 'A') + std::string(43, 'C')), TokenKind::refresh, "u1", "web", "", now / 1000 + 60});
    store.accountForEmail("owner@example.com", 0);
    store.putCode(SignInCode{"owner@example.com", "l", Secure::sha256Hex("salt123456"), "salt", now / 1000 + 60, 2});
    store.hosts[room()] = HostRecord{room(), computer().hostPublicKeyText(), "Desk", "u1", 0};
    const auto before = store.tokens.size();

    static const char* paths[] = {"/v1/auth/code",     "/v1/auth/verify", "/v1/auth/refresh", "/v1/auth/signout",
                                  "/v1/hosts",         "/v1/hosts/self/delete"};
    const auto pick = input[1] % 8;
    const std::string target =
        pick < 6 ? paths[pick] : pick == 6 ? "/v1/hosts/" + room() + "/ticket" : "/v1/hosts/x/ticket";
    const std::string authorization = input[2] & 1 ? "Bearer " + access : "";
    const std::string body(input.begin() + 3, input.end());
    RelayRequest request;
    request.method = input[0] & 1 ? "POST" : "GET";
    request.target = target;
    request.contentType = "application/json";
    request.authorization = authorization;
    request.body = body;
    auto routed = routeRelay(request);
    AccountAnswer answer;
    if (const auto* refusal = std::get_if<relay_route::Refusal>(&routed)) {
        answer = AccountAnswer{refusal->status, json{{"error", refusal->word}}, std::nullopt};
    } else {
        auto& call = std::get<relay_route::Account>(routed).call;
        call.client = "192.0.2.1";
        call.networks = {"192.0.2.1"};
        // The gate reads the same call before the store would: what it
        // answers at once is a refusal with its word.
        AccountGate gate([] { return now; }, RelayLog(), true, store.sealKey(), RelayLimits::maxCountedClients, allowed);
        const auto pass = gate.check(call);
        if (pass.refusal) require(pass.refusal->status >= 400 && pass.refusal->body.contains("error"));
        if (pass.refusal && pass.refusal->body["error"] == "not-invited") require(closed);
        require(pass.lane <= AccountGate::codeLane);
        answer = accounts.handle(call);
        gate.answered(pass, answer);
        const auto ticket = gate.checkTicket(body, call.networks);
        require(!ticket.refusal || ticket.refusal->status == 401 || ticket.refusal->status == 429);
    }
    static const std::set<int> statuses = {200, 201, 400, 401, 403, 404, 405, 409, 413, 415, 429, 503};
    require(statuses.contains(answer.status));
    require(answer.body.is_object());
    if (answer.status >= 400) require(answer.body.contains("error") && answer.body["error"].is_string());
    // Only an address off the list is refused so, and it is sent nothing.
    if (answer.body.value("error", "") == "not-invited") require(closed && answer.status == 403);
    if (answer.delivery) require(allowed.admits(answer.delivery->email));
    if (answer.delivery) {
        require(target == "/v1/auth/code" && answer.delivery->code.size() == 6);
        require(answer.delivery->code.find_first_not_of("0123456789") == std::string::npos);
        for (const auto& [key, code] : store.codes) require(code.codeHash != answer.delivery->code);
    }
    for (const auto& [hash, token] : store.tokens) require(hash.size() == 64);
    if (answer.status == 200 && answer.body.contains("access_token")) {
        require(store.tokens.size() > before || target == "/v1/auth/refresh");
        const auto given = answer.body["access_token"].get<std::string>();
        require(!store.tokens.contains(given) && store.tokens.contains(Secure::sha256Hex(given)));
    }
}

struct Peer final : RelayPeer {
    bool host = false;
    bool closed = false;
    std::set<std::uint32_t>* listed = nullptr;
    std::string challenge;
    void sendText(std::string text) override {
        require(!closed && host);
        const auto message = json::parse(text);
        const auto type = message["t"].get<std::string>();
        if (type == "challenge") {
            challenge = message["nonce"].get<std::string>();
        } else if (type == "joined") {
            const auto id = message["c"].get<std::uint32_t>();
            require(id != 0 && listed->insert(id).second);
        } else if (type == "left") {
            require(listed->erase(message["c"].get<std::uint32_t>()) == 1);
        } else if (type == "welcome") {
            // The devices that waited for the link are there as if they
            // had joined.
            require(message["devices"].size() <= RelayLimits::maxDevicesPerRoom);
            for (const auto& id : message["devices"]) require(id != 0 && listed->insert(id.get<std::uint32_t>()).second);
        }
    }
    void sendBinary(Bytes data) override {
        require(!closed);
        if (host) require(data.size() >= 5 && data.size() <= RelayLimits::maxHostMessageBytes);
        if (!host) require(!data.empty());
    }
    void close(int, std::string) override {
        require(!closed);
        closed = true;
    }
    // Only a device is held back for its pace, and never for nothing.
    void holdReads(std::int64_t millis) override { require(!host && !closed && millis > 0); }
};

void rooms(std::span<const std::uint8_t> input) {
    std::int64_t millis = 0;
    RelayHub hub(RelayHub::Hooks{[&] { return millis; }, [](const std::string&) {}, {}, {}, {}, {}}, DeviceLimits{4, 3, 100'000},
                 "here");
    std::set<std::uint32_t> listed;
    auto link = std::make_shared<Peer>();
    link->host = true;
    link->listed = &listed;
    hub.hostOpened(link, room(), computer().hostPublicKey());
    std::vector<std::shared_ptr<Peer>> devices;
    morvane::fuzz::Messages messages(input);
    morvane::fuzz::Message message;
    bool proved = false;
    while (messages.next(message)) {
        millis += message.kind >> 4;
        switch (message.kind % 8) {
        case 0: hub.hostText(link.get(), std::string_view(reinterpret_cast<const char*>(message.bytes.data()), message.bytes.size())); break;
        case 1: hub.hostBinary(link.get(), message.bytes); break;
        case 2: {
            // The store names no holder, this instance, or another one.
            static const std::string holders[] = {"", "here", "there"};
            auto device = std::make_shared<Peer>();
            hub.deviceOpened(device, room(), message.bytes.empty() ? "u" : std::string(1, char(message.bytes[0] % 3)),
                             message.bytes.size() > 1 ? std::string(1, char(message.bytes[1] % 3)) : "s",
                             message.bytes.size() > 2 ? holders[message.bytes[2] % 3] : "");
            devices.push_back(device);
            break;
        }
        case 3:
        case 4:
            if (!devices.empty())
                hub.deviceMessage(devices[message.bytes.size() % devices.size()].get(), message.kind % 8 == 4,
                                  message.bytes);
            break;
        case 5:
            if (!devices.empty()) hub.ended(devices[message.bytes.size() % devices.size()].get(), "closed");
            break;
        case 6:
            // Mostly time; now and then another instance takes the room or
            // a sign-in signs out.
            if (message.bytes.size() == 1 && message.bytes[0] == 'g')
                hub.letGo(room());
            else if (message.bytes.size() == 1)
                hub.signedOut(std::string(1, char(message.bytes[0] % 3)));
            else
                hub.tick();
            break;
        case 7:
            if (!proved) {
                // The prove the host would send, so the rest runs while up.
                proved = true;
                hub.hostText(link.get(), R"({"t":"prove","sig":")" +
                                             computer().proveSignature(*RelayBytes::fromB64u(link->challenge)) + "\"}");
            }
            break;
        }
    }
    hub.shutDown();
}

// Four texts from one input, split at line feeds.
void pageRequest(const std::string& text) {
    static const RelayPage page;
    std::string parts[4];
    std::size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        const auto end = i == 3 ? std::string::npos : text.find('\n', at);
        parts[i] = at > text.size() ? std::string() : text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() + 1 : end + 1;
    }
    const auto& [method, path, encoding, tags] = parts;
    const auto answer = page.answer(method, path, encoding, tags);
    std::map<std::string, std::string> headers;
    for (const auto& [name, value] : answer.headers) {
        require(!headers.contains(name));
        headers[name] = value;
    }
    require(answer.status == 200 || answer.status == 304 || answer.status == 404 || answer.status == 405);
    if (answer.status == 404 || answer.status == 405) {
        require(headers["Cache-Control"] == "no-store" && !headers.contains("ETag"));
        return;
    }
    require(headers["Cache-Control"] == "no-cache" && headers.contains("ETag"));
    require(answer.status == 304 || (method == "GET" || method == "HEAD"));
    if (answer.status == 304) {
        require(answer.body.empty() && PageCache::namesTag(tags, headers["ETag"]));
        return;
    }
    require(!PageCache::namesTag(tags, headers["ETag"]));
    const std::string name = path == "/" ? "index.html" : path.substr(1);
    const bool gzip = headers["Content-Encoding"] == "gzip";
    require(!gzip || PageCache::acceptsGzip(encoding));
    bool found = false;
    for (const auto& row : RelayWeb::files())
        found = found || (row.name == (gzip ? name + ".gz" : name) && row.bytes == answer.body);
    require(found && !name.ends_with(".gz"));
}

// Fields split at newlines: method, target, Content-Type, Authorization,
// Sec-WebSocket-Protocol, X-Morvane-Host-Auth, then the body; the first
// byte says whether Beast saw an upgrade.
void routeAny(std::span<const std::uint8_t> input) {
    if (input.empty()) return;
    const std::string text(input.begin() + 1, input.end());
    std::vector<std::string_view> fields;
    std::size_t from = 0;
    while (fields.size() < 6) {
        const auto end = text.find('\n', from);
        if (end == std::string::npos) break;
        fields.push_back(std::string_view(text).substr(from, end - from));
        from = end + 1;
    }
    fields.resize(6);
    RelayRequest request;
    request.upgrade = input[0] & 1;
    request.method = fields[0];
    request.target = fields[1];
    request.contentType = fields[2];
    request.authorization = fields[3];
    request.subprotocols = fields[4];
    request.hostAuth = fields[5];
    request.body = std::string_view(text).substr(std::min(from, text.size()));
    const auto routed = routeRelay(request);
    const auto path = request.target.substr(0, request.target.find('?'));
    if (const auto* refusal = std::get_if<relay_route::Refusal>(&routed)) {
        static const std::set<int> statuses = {400, 401, 404, 405, 413, 415};
        require(statuses.contains(refusal->status) && !refusal->word.empty());
        require(request.upgrade || path.starts_with("/v1/") || path == relay_route::FleetQuestion::path);
    } else if (const auto* question = std::get_if<relay_route::FleetQuestion>(&routed)) {
        require(!request.upgrade && request.method == "POST" && path == relay_route::FleetQuestion::path);
        require(question->text == request.body);
    } else if (const auto* page = std::get_if<relay_route::Page>(&routed)) {
        require(!request.upgrade && !path.starts_with("/v1/") && page->path == path);
    } else if (const auto* account = std::get_if<relay_route::Account>(&routed)) {
        const auto& rule = ruleOf(account->call.endpoint);
        require(!request.upgrade && rule.method == request.method);
        require(account->call.bearer.empty() != rule.bearer);
        require(account->call.body.is_object() == rule.body);
        require(account->call.endpoint == AccountEndpoint::ticket ? path == "/v1/hosts/" + account->call.room + "/ticket"
                                                                  : account->call.room.empty());
    } else {
        require(request.upgrade && offers(request.subprotocols, "morvane.v1"));
    }
}

// The words of a text between single blanks.
std::vector<std::string> wordsOf(const std::string& text) {
    std::vector<std::string> words;
    for (std::size_t from = 0; from <= text.size();) {
        const auto end = std::min(text.find(' ', from), text.size());
        words.push_back(text.substr(from, end - from));
        from = end + 1;
    }
    return words;
}

void peerTexts(const std::string& text) {
    static const std::string secret(64, 'f');
    const auto words = wordsOf(text);
    if (const auto question = peer_words::readQuestion(text, secret, now)) {
        require(words.size() == 5 && words[1] == question->asker && words[3] == question->nonce);
        require(peer_words::question(secret, question->asker, std::stoll(words[2]), question->nonce) == text);
    }
    // A name said in the log is one word of the text, of an instance's characters.
    if (const auto asker = peer_words::askerNamed(text))
        require(words.size() > 1 && words[1] == *asker &&
                asker->find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_") ==
                    std::string::npos);
    if (words.size() > 2)
        if (const auto state = peer_words::readAnswer(text, secret, words[2]))
            require(peer_words::answer(secret, words[2], *state) == text);
    static boost::asio::io_context io;
    PeerLine line(io, "self", *PeerAddress::parse("http://10.0.0.1:8080"),
                  PeerLine::Hooks{[] { return PeerState{"self", {StoreReach::answering, 5, 1}, true}; }, [] { return now; }, {}});
    line.setSecret(secret);
    if (const auto answer = line.answer(text)) {
        require(peer_words::readQuestion(text, secret, now).has_value());
        require(!line.answer(text));
    }
    if (const auto address = PeerAddress::parse(text)) require(PeerAddress::parse(address->text()) == address);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    const std::string text(rest.begin(), rest.end());
    switch (data[0] % 7) {
    case 0: accountCall(rest); break;
    case 1: rooms(rest); break;
    case 2: {
        testing::MemoryStore store;
        store.hosts[room()] = HostRecord{room(), computer().hostPublicKeyText(), "Desk", "u1", 0};
        RelayAccounts accounts(store, RelayAccounts::Hooks{[] { return now; }, [](const std::string&) {}, {}, {}, {}}, true);
        const auto admitted = accounts.admitHost(room(), text);
        require(admitted.status == 401);
        require(accounts.admitDevice(room(), text).closeCode == 4401);
        break;
    }
    case 3: {
        RelayConfig config;
        if (!applyConfigText(text, config)) {
            require(config.listenPort != 0);
            require(config.certificateFile.empty() == config.keyFile.empty());
            // A list of who may sign in names someone.
            require(config.accounts.open() || config.accounts.addresses() + config.accounts.domains() > 0);
        }
        break;
    }
    case 4: pageRequest(text); break;
    case 5: routeAny(rest); break;
    case 6: peerTexts(text); break;
    }
    return 0;
}

#include "relay_service/relay_accounts.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "core/secure.h"
#include "relay/relay_bytes.h"
#include "relay/relay_signed.h"
#include "relay/relay_words.h"
#include "relay_service/relay_limits.h"
#include "secure/secure_channel.h"

namespace morvane::relay_service {

using json = nlohmann::json;

namespace {

DeviceAdmission refusedDevice(RelayCloseWord close) { return DeviceAdmission{close.code, std::string(close.word), {}, {}, {}}; }

AccountAnswer answer(int status, json body) { return AccountAnswer{status, std::move(body), std::nullopt}; }

AccountAnswer refuse(int status, std::string_view word, std::optional<std::int64_t> retryAfter = std::nullopt) {
    json body{{"error", word}};
    if (retryAfter) body["retry_after"] = *retryAfter;
    return answer(status, std::move(body));
}

std::optional<std::string> text(const json& body, const char* key) {
    const auto it = body.find(key);
    if (it == body.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

// A token is its sign-in's session (16 bytes) and a secret (32 bytes, see
// TokenSeal), both base64url, one after the other: plain base64url text
// that a query carries as it is, whose session can be read without a lookup.
constexpr std::size_t sessionChars = 22, secretChars = 43;

std::string newSession() { return RelayBytes::b64u(Secure::randomBytes(16)); }

std::string hashOf(const std::string& token) { return Secure::sha256Hex(token); }

std::string codeHash(const std::string& salt, const std::string& code) { return Secure::sha256Hex(salt + code); }

bool isRoom(const std::string& room) {
    return room.size() == 32 && room.find_first_not_of("0123456789abcdef") == std::string::npos;
}

bool plainName(const std::string& name) {
    if (name.empty() || name.size() > RelayLimits::maxHostNameBytes) return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7f;
    });
}

// A signed request's unsigned whole seconds, absent for any other value.
std::optional<std::uint64_t> wholeSeconds(const json& body) {
    const auto it = body.find("ts");
    if (it == body.end()) return std::nullopt;
    if (it->is_number_unsigned()) return it->get<std::uint64_t>();
    if (it->is_number_integer() && it->get<std::int64_t>() >= 0) return static_cast<std::uint64_t>(it->get<std::int64_t>());
    return std::nullopt;
}

bool within(std::uint64_t ts, std::int64_t now) {
    const auto signedTs = static_cast<std::int64_t>(std::min<std::uint64_t>(ts, 1ULL << 62));
    return signedTs >= now - RelayLimits::proofWindowSeconds && signedTs <= now + RelayLimits::proofWindowSeconds;
}

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// What signed in or out, for the log: the wire calls a computer "mac".
std::string clientName(const std::string& kind) {
    if (kind == "mac") return "computer";
    if (kind == "web") return "page";
    return kind;
}

bool allOf(const std::string& text, const char* alphabet) {
    return !text.empty() && text.find_first_not_of(alphabet) == std::string::npos;
}

std::vector<std::string> split(const std::string& text, char at) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (std::size_t found; (found = text.find(at, from)) != std::string::npos; from = found + 1)
        parts.push_back(text.substr(from, found - from));
    parts.push_back(text.substr(from));
    return parts;
}

}  // namespace

std::optional<std::string> normalizeAddress(const std::string& input) {
    const auto isBlank = [](unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    std::size_t begin = 0, end = input.size();
    while (begin < end && isBlank(static_cast<unsigned char>(input[begin]))) ++begin;
    while (end > begin && isBlank(static_cast<unsigned char>(input[end - 1]))) --end;
    const std::string address = lowered(input.substr(begin, end - begin));
    if (address.empty() || address.size() > 254) return std::nullopt;
    for (unsigned char c : address)
        if (c < 33 || c > 126) return std::nullopt;
    const auto halves = split(address, '@');
    if (halves.size() != 2) return std::nullopt;
    const auto& local = halves[0];
    const auto& domain = halves[1];
    if (local.empty() || local.size() > 64) return std::nullopt;
    for (const auto& piece : split(local, '.'))
        if (!allOf(piece, "abcdefghijklmnopqrstuvwxyz0123456789!#$%&'*+/=?^_`{|}~-")) return std::nullopt;
    if (domain.size() > 253) return std::nullopt;
    const auto labels = split(domain, '.');
    if (labels.size() < 2) return std::nullopt;
    for (const auto& label : labels)
        if (label.size() > 63 || !allOf(label, "abcdefghijklmnopqrstuvwxyz0123456789-") || label.front() == '-' ||
            label.back() == '-')
            return std::nullopt;
    return address;
}

std::string tokenSession(const std::string& token) {
    if (token.size() != sessionChars + secretChars || !RelayBytes::fromB64u(token.substr(0, sessionChars)) ||
        !RelayBytes::fromB64u(token.substr(sessionChars)))
        return "";
    return token.substr(0, sessionChars);
}

std::variant<AccountList, std::string> AccountList::parse(const std::vector<std::string>& entries) {
    AccountList list;
    list.closed_ = true;
    for (const auto& entry : entries) {
        if (entry.starts_with("@")) {
            // A domain is what follows "@" in an address made with it.
            const auto domain = normalizeAddress("x" + entry);
            if (!domain) return "\"" + entry + "\" is not \"@\" and a domain, as \"@example.org\"";
            list.domains_.insert(domain->substr(2));
            continue;
        }
        const auto address = normalizeAddress(entry);
        if (!address) return "\"" + entry + "\" is not an e-mail address, as \"you@example.org\"";
        list.addresses_.insert(*address);
    }
    return list;
}

bool AccountList::admits(const std::string& address) const {
    if (!closed_) return true;
    if (addresses_.contains(address)) return true;
    const auto at = address.rfind('@');
    return at != std::string::npos && domains_.contains(address.substr(at + 1));
}

RelayAccounts::RelayAccounts(RelayStore& store, Hooks hooks, bool mailConfigured, AccountList accounts)
    : store_(store),
      hooks_(std::move(hooks)),
      mailConfigured_(mailConfigured),
      accounts_(std::make_shared<const AccountList>(std::move(accounts))),
      seal_(store.sealKey()) {}

void RelayAccounts::setAccounts(AccountList accounts) {
    auto next = std::make_shared<const AccountList>(std::move(accounts));
    const std::lock_guard lock(accountsLock_);
    accounts_ = std::move(next);
}

bool RelayAccounts::admits(const std::string& address) const {
    std::shared_ptr<const AccountList> list;
    {
        const std::lock_guard lock(accountsLock_);
        list = accounts_;
    }
    return list->admits(address);
}

std::int64_t RelayAccounts::seconds() const {
    const auto millis = hooks_.now();
    return millis < 0 ? 0 : millis / 1000;
}

bool RelayAccounts::revoked(const std::string& sessionID) { return store_.signedOut(sessionID, seconds()); }

AccountAnswer RelayAccounts::handle(const AccountCall& call) {
    try {
        std::optional<Bearer> access;
        if (ruleOf(call.endpoint).bearer) {
            access = bearer(call.bearer);
            if (!access) return refuse(401, RelayError::unauthorized);
        }
        switch (call.endpoint) {
        case AccountEndpoint::code: return code(call.body, call.client);
        case AccountEndpoint::verify: return verify(call.body, call.client);
        case AccountEndpoint::refresh: return refresh(call.body);
        case AccountEndpoint::signOut: return signOut(call.body);
        case AccountEndpoint::listHosts: return listHosts(access->token.userId);
        case AccountEndpoint::registerHost: return registerHost(call.body, access->token.userId);
        case AccountEndpoint::removeHost: return removeHost(call.body);
        case AccountEndpoint::ticket: return ticket(call.room, *access);
        }
        return refuse(404, RelayError::notFound);
    } catch (const RelayStoreError& error) {
        storeFailed(error);
        return refuse(503, RelayError::tryLater, 30);
    }
}

void RelayAccounts::storeFailed(const RelayStoreError& error) {
    storeFailed_.say(hooks_.log, Severity::error, std::string("store failed: ") + error.what(), hooks_.now());
}

void RelayAccounts::refusedHost(const std::string& line) {
    refusedHosts_.say(hooks_.log, Severity::warning, "refused " + line, hooks_.now());
}

void RelayAccounts::refusedCode(const std::string& line) {
    refusedCodes_.say(hooks_.log, Severity::warning, "refused a code for " + line, hooks_.now());
}

void RelayAccounts::refusedSignIn(const std::string& line) {
    refusedSignIns_.say(hooks_.log, Severity::warning, "refused a sign-in for " + line, hooks_.now());
}

std::optional<json> RelayAccounts::deadCode(const std::optional<SignInCode>& kept, std::int64_t now) const {
    // The person typing it is told which: a code that ran out of time
    // wants a new one, as does one tried too often; of none at all (used,
    // or never sent) nothing more is said.
    json body{{"error", RelayError::invalidCode}};
    if (kept && kept->expiresAt <= now)
        body[RelayCodeRefusal::expired] = true;
    else if (kept && kept->triesLeft <= 0)
        body[RelayCodeRefusal::triesLeft] = 0;
    else if (kept)
        return std::nullopt;
    return body;
}

std::vector<std::optional<json>> RelayAccounts::deadCodes(const std::vector<std::string>& codes) {
    const auto now = seconds();
    std::vector<std::optional<json>> verdicts;
    verdicts.reserve(codes.size());
    for (const auto& code : codes) {
        // "address login": an address holds no blank.
        const auto blank = code.find(' ');
        if (blank == std::string::npos) {
            verdicts.push_back(json{{"error", RelayError::invalidCode}});
            continue;
        }
        verdicts.push_back(deadCode(store_.code(code.substr(0, blank), code.substr(blank + 1)), now));
    }
    return verdicts;
}

AccountAnswer RelayAccounts::code(const json& body, const std::string& client) {
    const auto email = normalizeAddress(text(body, "email").value_or(""));
    const auto loginId = text(body, "login_id").value_or("");
    if (!email) return refuse(400, RelayError::invalidEmail);
    if (loginId.empty() || loginId.size() > 64) return refuse(400, RelayError::badRequest);
    if (!admits(*email)) {
        refusedCode(*email + ": not on the accounts list");
        return refuse(403, RelayError::notInvited);
    }
    if (!mailConfigured_) return refuse(503, RelayError::notConfigured);
    const auto now = seconds();
    if (const auto wait = store_.countRate("code-client " + client, RelayLimits::codesPerClient,
                                           RelayLimits::codeWindowSeconds, now)) {
        refusedCode(*email + ": too many codes from " + client);
        return refuse(429, RelayError::tryLater, *wait);
    }
    if (const auto wait = store_.countRate("code-address " + *email, RelayLimits::codesPerAddress,
                                           RelayLimits::codeWindowSeconds, now)) {
        refusedCode(*email + ": too many codes for the address");
        return refuse(429, RelayError::tryLater, *wait);
    }
    // Six digits, uniform: 0 to 999,999 from a random 32-bit draw with the
    // biased top rejected.
    std::uint32_t draw = 0;
    do {
        const auto bytes = Secure::randomBytes(4);
        draw = RelayBytes::readU32(bytes);
    } while (draw >= 4'294'000'000u);
    std::string digits = std::to_string(draw % 1'000'000);
    digits.insert(0, 6 - digits.size(), '0');
    SignInCode stored;
    stored.email = *email;
    stored.loginId = loginId;
    stored.salt = Secure::hex(Secure::randomBytes(16));
    stored.codeHash = codeHash(stored.salt, digits);
    stored.expiresAt = now + RelayLimits::codeLifetimeSeconds;
    stored.triesLeft = RelayLimits::codeTries;
    store_.putCode(stored);
    AccountAnswer pending;
    pending.delivery = CodeDelivery{*email, loginId, digits};
    return pending;
}

AccountAnswer RelayAccounts::delivered(const CodeDelivery& delivery, const std::optional<std::string>& error) {
    try {
        if (error) {
            // A code nobody received must not stay usable.
            store_.deleteCode(delivery.email, delivery.loginId);
            unsentCodes_.say(hooks_.log, Severity::error, "could not send a code to " + delivery.email + ": " + *error,
                             hooks_.now());
            return refuse(503, RelayError::tryLater, 60);
        }
        hooks_.log.info("sign-in code sent to " + delivery.email);
        return answer(200, json{{"ok", true}});
    } catch (const RelayStoreError& failure) {
        storeFailed(failure);
        return refuse(503, RelayError::tryLater, 30);
    }
}

AccountAnswer RelayAccounts::verify(const json& body, const std::string& client) {
    const auto email = normalizeAddress(text(body, "email").value_or(""));
    const auto loginId = text(body, "login_id").value_or("");
    const auto digits = text(body, "code").value_or("");
    const auto clientKind = text(body, "client").value_or("");
    if (!email) return refuse(400, RelayError::invalidEmail);
    if (clientKind != "mac" && clientKind != "web") return refuse(400, RelayError::badRequest);
    if (!admits(*email)) {
        refusedSignIn(*email + ": not on the accounts list");
        return refuse(403, RelayError::notInvited);
    }
    const auto now = seconds();
    // A code that can sign no one in is told so before anything is counted
    // or spent: no guess gets past it, and the store writes nothing for it.
    const auto why = [](const json& dead) {
        return dead.contains(RelayCodeRefusal::expired)     ? "the code expired"
               : dead.contains(RelayCodeRefusal::triesLeft) ? "no tries left"
                                                            : "no live code";
    };
    if (auto dead = deadCode(store_.code(*email, loginId), now)) {
        refusedSignIn(*email + ": " + why(*dead));
        return answer(400, std::move(*dead));
    }
    if (const auto wait = store_.countRate("verify-client " + client, RelayLimits::verifiesPerClient,
                                           RelayLimits::codeWindowSeconds, now)) {
        refusedSignIn(*email + ": too many tries from " + client);
        return refuse(429, RelayError::tryLater, *wait);
    }
    // The try is spent before the code is compared, in one step of the
    // store: instances sharing it compare no more guesses between them than
    // a code allows.
    const auto stored = store_.spendCodeTry(*email, loginId, now);
    if (!stored) {
        // Spent or used through another instance since it was read.
        auto dead = deadCode(store_.code(*email, loginId), now).value_or(json{{"error", RelayError::invalidCode}});
        refusedSignIn(*email + ": " + why(dead));
        return answer(400, std::move(dead));
    }
    const auto offered = codeHash(stored->salt, digits);
    if (digits.size() != 6 || !Secure::constantTimeEqual(
                                  std::span(reinterpret_cast<const std::uint8_t*>(offered.data()), offered.size()),
                                  std::span(reinterpret_cast<const std::uint8_t*>(stored->codeHash.data()),
                                            stored->codeHash.size()))) {
        refusedSignIn(*email + ": wrong code, " + std::to_string(stored->triesLeft) + " tries left");
        return answer(400, json{{"error", RelayError::invalidCode}, {RelayCodeRefusal::triesLeft, stored->triesLeft}});
    }
    // Taken once: of two instances given the right code at once, one signs in.
    if (!store_.deleteCode(*email, loginId)) {
        refusedSignIn(*email + ": no live code");
        return refuse(400, RelayError::invalidCode);
    }
    const auto account = store_.accountForEmail(*email, now);
    hooks_.log.info("signed in " + account.email + " (" + clientName(clientKind) + ")");
    return answer(200, session(account, clientKind, newSession()));
}

RelayAccounts::NewSession RelayAccounts::mintSession(const Account& account, const std::string& client,
                                                    const std::string& sessionID) {
    const auto now = seconds();
    const auto access = seal_.mint(TokenKind::access, sessionID, now + RelayLimits::accessSeconds);
    const auto refresh = seal_.mint(TokenKind::refresh, sessionID, now + RelayLimits::refreshSeconds);
    return NewSession{
        {Token{hashOf(access), TokenKind::access, account.userId, client, "", now + RelayLimits::accessSeconds},
         Token{hashOf(refresh), TokenKind::refresh, account.userId, client, "", now + RelayLimits::refreshSeconds}},
        json{{"access_token", access},
             {"refresh_token", refresh},
             {"expires_in", RelayLimits::accessSeconds},
             {"user", {{"id", account.userId}, {"email", account.email}}}}};
}

json RelayAccounts::session(const Account& account, const std::string& client, const std::string& sessionID) {
    auto made = mintSession(account, client, sessionID);
    store_.putTokens(made.tokens);
    return std::move(made.answer);
}

AccountAnswer RelayAccounts::refresh(const json& body) {
    const auto presented = text(body, "refresh_token").value_or("");
    const auto sessionID = tokenSession(presented);
    const auto stored = sessionID.empty() ? std::nullopt : store_.token(hashOf(presented));
    if (!stored || stored->kind != TokenKind::refresh || stored->expiresAt <= seconds() || revoked(sessionID))
        return refuse(401, RelayError::invalidToken);
    const auto account = store_.account(stored->userId);
    if (!account) return refuse(401, RelayError::invalidToken);
    // Taken off the list: this sign-in ends here, and everything else of the
    // account stays, to sign in with again once it is back on the list.
    if (!admits(account->email)) {
        refusedRefreshes_.say(hooks_.log, Severity::warning,
                              "refused a refresh for " + account->email + ": not on the accounts list", hooks_.now());
        return refuse(403, RelayError::notInvited);
    }
    // Spent as the new tokens are stored, in one step: two racing refreshes
    // of one token cannot both succeed, and a failure between the two
    // leaves the old token to refresh with again.
    auto made = mintSession(*account, stored->client, sessionID);
    if (!store_.replaceToken(stored->hash, made.tokens)) return refuse(401, RelayError::invalidToken);
    return answer(200, std::move(made.answer));
}

AccountAnswer RelayAccounts::signOut(const json& body) {
    const auto presented = text(body, "refresh_token").value_or("");
    const auto sessionID = tokenSession(presented);
    if (!sessionID.empty()) {
        const auto stored = store_.token(hashOf(presented));
        if (stored && stored->kind == TokenKind::refresh) {
            // Recorded before the refresh token is spent: a refresh racing
            // this sign-out through another instance hands out only tokens
            // the record refuses, and a failure here leaves the token to
            // sign out with again.
            store_.putSignOut(sessionID, seconds() + RelayLimits::accessSeconds + RelayLimits::signOutMarginSeconds);
            store_.deleteToken(stored->hash);
            const auto account = store_.account(stored->userId);
            hooks_.log.info("signed out " + (account ? account->email : stored->userId) + " (" + clientName(stored->client) + ")");
            if (hooks_.signedOut) hooks_.signedOut(sessionID);
        }
    }
    // Always done: a sign-out that finds nothing has nothing left to undo.
    return answer(200, json{{"ok", true}});
}

std::optional<RelayAccounts::Bearer> RelayAccounts::bearer(const std::string& presented) {
    const auto sessionID = tokenSession(presented);
    if (sessionID.empty()) return std::nullopt;
    auto stored = store_.token(hashOf(presented));
    if (!stored || stored->kind != TokenKind::access || stored->expiresAt <= seconds() || revoked(sessionID))
        return std::nullopt;
    return Bearer{*stored, sessionID};
}

AccountAnswer RelayAccounts::registerHost(const json& body, const std::string& userId) {
    const auto keyText = text(body, "public_key").value_or("");
    const auto key = RelayBytes::fromB64u(keyText);
    const auto nonceText = text(body, "nonce").value_or("");
    const auto nonce = RelayBytes::fromB64u(nonceText);
    const auto sig = RelayBytes::fromB64u(text(body, "sig").value_or(""));
    const auto name = text(body, "name");
    const auto ts = wholeSeconds(body);
    if (!key || key->size() != 65 || (*key)[0] != 0x04 || !nonce || nonce->size() < 16 || nonce->size() > 64 || !sig ||
        !ts || !name || !plainName(*name))
        return refuse(400, RelayError::badRequest);
    const auto room = SecureChannel::roomID(*key);
    const auto roomHex = RelayBytes::hex(room);
    const auto now = seconds();
    if (!within(*ts, now)) {
        refusedHost("registering room " + roomHex + ": its clock is off");
        return refuse(401, RelayError::badProof);
    }
    if (!RelaySigned::verify(*key, RelaySigned::registerMessage(room, *ts, *nonce, userId), *sig)) {
        refusedHost("registering room " + roomHex + ": bad signature");
        return refuse(401, RelayError::badProof);
    }
    if (!store_.useNonce("register " + roomHex + " " + nonceText, now + 2 * RelayLimits::proofWindowSeconds + 1, now)) {
        refusedHost("registering room " + roomHex + ": replayed proof");
        return refuse(401, RelayError::badProof);
    }
    HostRecord host{roomHex, keyText, *name, userId, now};
    const auto hostJson = json{{"room", roomHex}, {"name", *name}};
    switch (store_.addHost(host, RelayLimits::hostsPerAccount)) {
    case AddHostOutcome::created:
        hooks_.log.info("registered room " + roomHex + " \"" + *name + "\"");
        return answer(201, json{{"host", hostJson}});
    case AddHostOutcome::existing:
        hooks_.log.info("registered room " + roomHex + " again \"" + *name + "\"");
        return answer(200, json{{"host", hostJson}});
    case AddHostOutcome::taken:
        refusedHost("registering room " + roomHex + ": on another account");
        return refuse(409, RelayError::hostTaken);
    case AddHostOutcome::limit:
        refusedHost("registering room " + roomHex + ": the account has the most computers it may");
        return refuse(403, RelayError::hostLimit);
    }
    return refuse(500, RelayError::tryLater);
}

AccountAnswer RelayAccounts::removeHost(const json& body) {
    const auto keyText = text(body, "public_key").value_or("");
    const auto key = RelayBytes::fromB64u(keyText);
    const auto nonceText = text(body, "nonce").value_or("");
    const auto nonce = RelayBytes::fromB64u(nonceText);
    const auto sig = RelayBytes::fromB64u(text(body, "sig").value_or(""));
    const auto ts = wholeSeconds(body);
    if (!key || key->size() != 65 || (*key)[0] != 0x04 || !nonce || nonce->size() < 16 || nonce->size() > 64 || !sig ||
        !ts)
        return refuse(400, RelayError::badRequest);
    const auto room = SecureChannel::roomID(*key);
    const auto roomHex = RelayBytes::hex(room);
    const auto now = seconds();
    if (!within(*ts, now) || !RelaySigned::verify(*key, RelaySigned::removeMessage(room, *ts, *nonce), *sig)) {
        refusedHost("removing room " + roomHex + ": bad proof");
        return refuse(401, RelayError::badProof);
    }
    if (!store_.useNonce("remove " + roomHex + " " + nonceText, now + 2 * RelayLimits::proofWindowSeconds + 1, now)) {
        refusedHost("removing room " + roomHex + ": replayed proof");
        return refuse(401, RelayError::badProof);
    }
    // The key proves itself, so the registration it names goes; one that is
    // gone already answers done, so the owner's removal can always finish.
    if (store_.removeHost(roomHex)) {
        hooks_.log.info("removed room " + roomHex);
        if (hooks_.removed) hooks_.removed(roomHex);
    }
    return answer(200, json{{"ok", true}});
}

AccountAnswer RelayAccounts::listHosts(const std::string& userId) {
    const auto registered = store_.hostsOf(userId);
    std::vector<std::string> rooms;
    for (const auto& host : registered) rooms.push_back(host.room);
    // Online wherever its link is held: the instances' presence rows, and
    // this one's own links, whose rows may not be written yet.
    const auto held = rooms.empty() ? std::vector<std::string>()
                                    : store_.roomsOnline(rooms, RelayLimits::presenceFreshSeconds);
    json hosts = json::array();
    for (const auto& host : registered) {
        const bool online = (hooks_.online && hooks_.online(host.room)) ||
                            std::find(held.begin(), held.end(), host.room) != held.end();
        hosts.push_back(json{{"room", host.room}, {"name", host.name}, {"online", online}});
    }
    return answer(200, json{{"hosts", hosts}});
}

AccountAnswer RelayAccounts::ticket(const std::string& room, const Bearer& access) {
    const auto host = isRoom(room) ? store_.hostByRoom(room) : std::nullopt;
    if (!host || host->userId != access.token.userId) return refuse(404, RelayError::unknownHost);
    // The ticket carries its sign-in's session, so connection limits per
    // device hold across tickets and refreshed tokens.
    const auto until = seconds() + RelayLimits::ticketSeconds;
    const auto ticketText = seal_.mint(TokenKind::ticket, access.session, until);
    store_.putToken(Token{hashOf(ticketText), TokenKind::ticket, access.token.userId, access.token.client, room, until});
    return answer(200, json{{"ticket", ticketText}, {"expires_in", RelayLimits::ticketSeconds}});
}

std::vector<std::string> RelayAccounts::roomsRegisteredLately() {
    // Stamped by the registering instance's clock, which may be behind.
    return store_.roomsRegisteredSince(seconds() - 2 * RelayLimits::proofWindowSeconds, RelayLimits::maxRoomsLately);
}

HostAdmission RelayAccounts::admitHost(const std::string& room, const std::string& helloHeader) {
    HostAdmission out;
    try {
        const auto host = isRoom(room) ? store_.hostByRoom(room) : std::nullopt;
        if (!host) return HostAdmission{410, "not on an account", {}, {}};
        const auto key = RelayBytes::fromB64u(host->publicKey);
        const auto parts = split(helloHeader, '.');
        if (!key || parts.size() != 4 || parts[0] != "v1" || parts[1].empty() || parts[1].size() > 19 ||
            parts[1].find_first_not_of("0123456789") != std::string::npos)
            return HostAdmission{401, "malformed hello", {}, {}};
        const auto ts = std::stoull(parts[1]);
        const auto nonce = RelayBytes::fromB64u(parts[2]);
        const auto sig = RelayBytes::fromB64u(parts[3]);
        const auto now = seconds();
        if (!nonce || nonce->size() < 16 || nonce->size() > 64 || !sig) return HostAdmission{401, "malformed hello", {}, {}};
        if (!within(ts, now)) return HostAdmission{401, "clock off", {}, {}};
        const auto roomBytes = SecureChannel::roomID(*key);
        if (!RelaySigned::verify(*key, RelaySigned::helloMessage(roomBytes, ts, *nonce), *sig))
            return HostAdmission{401, "bad signature", {}, {}};
        if (!store_.useNonce("hello " + room + " " + parts[2], now + 2 * RelayLimits::proofWindowSeconds + 1, now))
            return HostAdmission{401, "replayed hello", {}, {}};
        out.publicKey = *key;
        out.name = host->name;
        out.userId = host->userId;
        return out;
    } catch (const RelayStoreError& error) {
        storeFailed(error);
        return HostAdmission{503, "store failed", {}, {}};
    }
}

DeviceAdmission RelayAccounts::admitDevice(const std::string& room, const std::string& ticketText) {
    try {
        const auto sessionID = tokenSession(ticketText);
        const auto stored = sessionID.empty() ? std::nullopt : store_.token(hashOf(ticketText));
        if (!stored || stored->kind != TokenKind::ticket || stored->room != room || stored->expiresAt <= seconds() ||
            revoked(sessionID) || !store_.deleteToken(stored->hash))
            return refusedDevice(RelayDeviceClose::ticketRefused);
        const auto host = store_.hostByRoom(room);
        if (!host || host->userId != stored->userId) return refusedDevice(RelayDeviceClose::unknownHost);
        const auto holder = store_.presenceHolder(room, RelayLimits::presenceFreshSeconds);
        return DeviceAdmission{0, "", stored->userId, sessionID, holder.value_or("")};
    } catch (const RelayStoreError& error) {
        storeFailed(error);
        return refusedDevice(RelayDeviceClose::tryLater);
    }
}

std::vector<WorkLane> AccountGate::storeLanes(std::size_t maxWaiting) {
    const auto share = [maxWaiting](std::size_t eighths) { return std::max<std::size_t>(1, maxWaiting * eighths / 8); };
    return {{"sign-ins", share(3)},
            {"sign-ins for codes not sent from here", share(1)},
            {"unproven calls", share(1)},
            {"code requests", share(1)}};
}

AccountGate::AccountGate(WallClock now, RelayLog log, bool mailConfigured, std::string seal, std::size_t maxClients,
                         AccountList accounts)
    : now_(std::move(now)),
      log_(std::move(log)),
      mailConfigured_(mailConfigured),
      seal_(std::move(seal)),
      accounts_(std::move(accounts)),
      callsPerClient_(RelayLimits::callsPerClientMinute, 60, maxClients, full("calls per client")),
      codesPerClient_(RelayLimits::codesPerClient, RelayLimits::codeWindowSeconds, maxClients, full("codes per client")),
      codesPerAddress_(RelayLimits::codesPerAddress, RelayLimits::codeWindowSeconds, maxClients,
                       full("codes per address")),
      verifiesPerClient_(RelayLimits::verifiesPerClient, RelayLimits::codeWindowSeconds, maxClients,
                         full("sign-ins per client")),
      askers_(maxClients),
      verdicts_(RelayLimits::maxCodeVerdicts, RelayLimits::codeVerdictMillis),
      rooms_(RelayLimits::maxKnownRooms) {}

std::function<void(std::size_t)> AccountGate::full(const std::string& what) {
    return [log = log_, what](std::size_t keys) {
        log.warning("the count of " + what + " is full (" + std::to_string(keys) +
                    "): the oldest counts are forgotten to make room for new ones");
    };
}

std::int64_t AccountGate::seconds() const {
    const auto millis = now_();
    return millis < 0 ? 0 : millis / 1000;
}

AccountGate::Pass AccountGate::refused(std::int64_t wait, const std::string& why) {
    refusals_.say(log_, Severity::warning, "refused " + why, now_());
    return Pass{refuse(429, RelayError::tryLater, wait), knownLane};
}

AccountGate::Pass AccountGate::notInvited(const std::string& what) {
    uninvited_.say(log_, Severity::warning, "refused " + what + ": not on the accounts list", now_());
    return Pass{refuse(403, RelayError::notInvited), knownLane};
}

bool AccountGate::hold(Pass& pass, std::vector<HeldPlaces::Claim> claims, const std::vector<std::string>& networks,
                       const std::string& what) {
    for (std::size_t level = 0; level < networks.size(); ++level)
        claims.push_back({"network " + networks[level], RelayLimits::placesPerNetwork << level});
    const auto full = places_.take(claims);
    if (!full) {
        for (const auto& claim : claims) pass.places.push_back(claim.key);
        return true;
    }
    giveBack(pass);
    const auto kind = full->starts_with("asked by ") ? std::string("code's asker") : full->substr(0, full->find(' '));
    pass = refused(1, what + ": " + std::to_string(places_.held(*full)) + " calls of its " + kind +
                          " wait for the store");
    return false;
}

namespace {

// The widest network a caller is counted under: whose turn a call takes.
std::string widest(const std::vector<std::string>& networks) { return networks.empty() ? "" : networks.back(); }

}  // namespace

void AccountGate::placeToken(Pass& pass, TokenKind kind, const std::string& token,
                             const std::vector<std::string>& networks, const std::string& what,
                             std::optional<AccountAnswer> expired) {
    const auto issued = seal_.issued(kind, token);
    if (!issued) {
        pass.lane = unprovenLane;
        pass.turn = widest(networks);
        hold(pass, {}, networks, what);
        return;
    }
    if (expired && issued->expiresAt <= seconds()) {
        pass.refusal = std::move(expired);
        return;
    }
    pass.lane = knownLane;
    hold(pass, {{"sign-in " + issued->session, RelayLimits::placesPerSignIn}}, {}, what);
}

AccountGate::Pass AccountGate::check(const AccountCall& call) {
    const auto now = seconds();
    Pass pass;
    // Counts one event under key, or answers the refusal.
    const auto take = [&](RateWindow& window, const std::string& key, const std::string& why) {
        if (const auto wait = window.take(key, now)) {
            giveBack(pass);
            pass = refused(*wait, why);
            return false;
        }
        pass.counted.emplace_back(&window, key);
        return true;
    };
    const auto rule = ruleOf(call.endpoint);
    if (rule.countedPerMinute &&
        !take(callsPerClient_, call.client, "an account call: too many calls from " + call.client))
        return pass;
    const auto email = normalizeAddress(text(call.body, "email").value_or(""));
    const auto loginId = text(call.body, "login_id").value_or("");
    const auto code = email.value_or("") + " " + loginId;
    switch (call.endpoint) {
    case AccountEndpoint::code:
        pass.lane = codeLane;
        pass.turn = widest(call.networks);
        if (email && !accounts_.admits(*email)) return notInvited("a code for " + *email);
        // Counted as the accounts count them: only what they would send.
        if (email && !loginId.empty() && loginId.size() <= 64 && mailConfigured_) {
            if (!take(codesPerClient_, call.client, "a code for " + *email + ": too many codes from " + call.client) ||
                !take(codesPerAddress_, *email, "a code for " + *email + ": too many codes for the address"))
                return pass;
            askers_.put(code, Asker{call.networks, now + RelayLimits::codeLifetimeSeconds});
            verdicts_.forget(code);
        }
        hold(pass, {{"code " + code, RelayLimits::placesPerCode}}, call.networks, "a code for " + code);
        return pass;
    case AccountEndpoint::verify: {
        pass.lane = signInLane;
        pass.turn = widest(call.networks);
        std::vector<HeldPlaces::Claim> claims{{"code " + code, RelayLimits::placesPerCode}};
        const auto kind = text(call.body, "client").value_or("");
        if (email && (kind == "mac" || kind == "web")) {
            if (!accounts_.admits(*email)) return notInvited("a sign-in for " + *email);
            if (!take(verifiesPerClient_, call.client,
                      "a sign-in for " + *email + ": too many tries from " + call.client))
                return pass;
            const auto* asker = askers_.find(code);
            if (asker && asker->until > now) {
                // Its tries count against the network that asked for the
                // code too, and take that network's turn.
                for (std::size_t level = 0; level < asker->networks.size(); ++level)
                    claims.push_back({"asked by " + asker->networks[level], RelayLimits::placesPerNetwork << level});
                if (!asker->networks.empty()) pass.turn = widest(asker->networks);
            } else {
                pass.lane = strangerLane;
            }
            if (auto told = verdicts_.told(code, now_())) {
                // While a try of the code waits for the store, that answer
                // will tell.
                if (!told->stale || places_.held("code " + code) > 0) {
                    pass.refusal = answer(400, std::move(told->body));
                    return pass;
                }
                // Counted once, when it is judged after the store's answer.
                giveBack(pass);
                pass.counted.clear();
                pass.code = code;
                pass.stale = std::move(told->body);
                return pass;
            }
            pass.code = code;
        }
        hold(pass, std::move(claims), call.networks, "a sign-in for " + code);
        return pass;
    }
    case AccountEndpoint::refresh:
        placeToken(pass, TokenKind::refresh, text(call.body, "refresh_token").value_or(""), call.networks,
                   "a refresh", refuse(401, RelayError::invalidToken));
        return pass;
    case AccountEndpoint::signOut:
        // A sign-out is done whatever its token's age.
        placeToken(pass, TokenKind::refresh, text(call.body, "refresh_token").value_or(""), call.networks,
                   "a sign-out", std::nullopt);
        return pass;
    default:
        placeToken(pass, TokenKind::access, rule.bearer ? call.bearer : "", call.networks, "an account call",
                   refuse(401, RelayError::unauthorized));
        return pass;
    }
}

AccountGate::Pass AccountGate::checkTicket(const std::string& ticket, const std::vector<std::string>& networks) {
    Pass pass;
    placeToken(pass, TokenKind::ticket, ticket, networks, "a device", refuse(401, RelayError::unauthorized));
    return pass;
}

AccountGate::Pass AccountGate::checkLink(const std::string& room, const std::vector<std::string>& networks) {
    Pass pass;
    if (!rooms_.find(room)) {
        pass.lane = unprovenLane;
        pass.turn = widest(networks);
        hold(pass, {}, networks, "a link for room " + room.substr(0, 32));
        return pass;
    }
    hold(pass, {{"room " + room, RelayLimits::placesPerRoom}}, {}, "a link for room " + room);
    return pass;
}

namespace {

// A place in one of the gate's waits for the store, and one under each of
// the caller's networks: at most a few per network, `most` in all.
std::vector<HeldPlaces::Claim> waitClaims(const std::string& wait, std::size_t most,
                                          const std::vector<std::string>& networks) {
    std::vector<HeldPlaces::Claim> claims{{wait, static_cast<int>(most)}};
    for (std::size_t level = 0; level < networks.size(); ++level)
        claims.push_back({wait + " by network " + networks[level], RelayLimits::placesPerNetwork << level});
    return claims;
}

}  // namespace

AccountGate::StoreWait AccountGate::StoreQuestion::join(Waiter waiter) {
    (asking ? next : asked).push_back(std::move(waiter));
    if (asking) return StoreWait::wait;
    asking = true;
    return StoreWait::ask;
}

bool AccountGate::StoreQuestion::answered(HeldPlaces& places, bool answer) {
    auto answering = std::move(asked);
    asked = std::move(next);
    next.clear();
    asking = !asked.empty();
    const bool again = asking;
    for (auto& waiter : answering) {
        places.release(waiter.places);
        waiter.then(answer);
    }
    return again;
}

std::optional<AccountGate::Waiter> AccountGate::waitPlaces(const std::string& wait, std::size_t most,
                                                           const std::vector<std::string>& networks,
                                                           std::function<void(bool answered)> then) {
    auto claims = waitClaims(wait, most, networks);
    if (places_.take(claims)) return std::nullopt;
    Waiter waiter{{}, std::move(then)};
    for (auto& claim : claims) waiter.places.push_back(std::move(claim.key));
    return waiter;
}

AccountGate::StoreWait AccountGate::awaitRooms(const std::vector<std::string>& networks, std::function<void()> then) {
    auto waiter = waitPlaces("rooms asked", RelayLimits::maxRoomWaiters, networks,
                             [then = std::move(then)](bool) { then(); });
    return waiter ? roomsAsked_.join(std::move(*waiter)) : StoreWait::judge;
}

bool AccountGate::roomsAnswered(const std::optional<std::vector<std::string>>& rooms) {
    if (rooms) knowRooms(*rooms);
    return roomsAsked_.answered(places_, true);
}

AccountGate::StoreWait AccountGate::awaitVerdict(const Pass& pass, const std::vector<std::string>& networks,
                                                 std::function<void(bool)> then) {
    auto waiter = waitPlaces("verdicts asked", RelayLimits::maxVerdictWaiters, networks, std::move(then));
    if (!waiter) return StoreWait::judge;
    auto& codes = verdictsAsked_.asking ? toCheck_ : checking_;
    if (std::find(codes.begin(), codes.end(), pass.code) == codes.end()) codes.push_back(pass.code);
    return verdictsAsked_.join(std::move(*waiter));
}

bool AccountGate::verdictsAnswered(const std::optional<std::vector<std::optional<json>>>& answers) {
    const auto nowMillis = now_();
    if (answers && answers->size() == checking_.size())
        for (std::size_t i = 0; i < checking_.size(); ++i) verdicts_.confirm(checking_[i], (*answers)[i], nowMillis);
    checking_ = std::move(toCheck_);
    toCheck_.clear();
    return verdictsAsked_.answered(places_, answers.has_value());
}

void AccountGate::knowRooms(const std::vector<std::string>& rooms) {
    // The newest last, to be forgotten last.
    for (auto it = rooms.rbegin(); it != rooms.rend(); ++it) rooms_.put(*it, true);
}

void AccountGate::answered(const Pass& pass, const std::optional<AccountAnswer>& answer) {
    places_.release(pass.places);
    if (!answer || answer->status == 503) return giveBack(pass);
    if (!pass.code.empty()) verdicts_.learn(pass.code, answer->status, answer->body, now_());
    // A computer registered through here.
    if ((answer->status == 200 || answer->status == 201) && answer->body.contains("host")) {
        const auto room = answer->body["host"].value("room", "");
        if (!room.empty()) rooms_.put(room, true);
    }
}

void AccountGate::linkAnswered(const Pass& pass, const std::string& room, std::optional<int> status) {
    places_.release(pass.places);
    if (status == 0) rooms_.put(room, true);
    if (status == 410) rooms_.erase(room);
}

void AccountGate::giveBack(const Pass& pass) {
    const auto now = seconds();
    for (const auto& [window, key] : pass.counted) window->giveBack(key, now);
}

void AccountGate::purge() {
    const auto now = seconds();
    for (auto* window : {&callsPerClient_, &codesPerClient_, &codesPerAddress_, &verifiesPerClient_})
        window->purge(now);
}

AccountAnswer storeTryLater() { return refuse(503, RelayError::tryLater, 30); }

namespace {

// One question at a time for every verify whose code's verdict is stale.
void askVerdicts(AccountGate& gate, WorkQueue& store, RelayAccounts& accounts) {
    store.run<std::vector<std::optional<json>>>(
        [&accounts, codes = gate.verdictQuestion()] { return accounts.deadCodes(codes); },
        [&gate, &store, &accounts](std::optional<std::vector<std::optional<json>>> verdicts) {
            if (gate.verdictsAnswered(verdicts)) askVerdicts(gate, store, accounts);
        });
}

}  // namespace

void queueAccountCall(AccountGate& gate, WorkQueue& store, RelayAccounts& accounts, AccountCall call,
                      std::function<void(AccountAnswer)> done) {
    auto pass = gate.check(call);
    if (pass.refusal) return done(std::move(*pass.refusal));
    if (pass.stale) {
        // Judged again once the store has said whether a new code was asked.
        const auto networks = call.networks;
        auto again = [&gate, &store, &accounts, call = std::move(call), done](bool answered) mutable {
            if (!answered) return done(storeTryLater());
            queueAccountCall(gate, store, accounts, std::move(call), std::move(done));
        };
        switch (gate.awaitVerdict(pass, networks, std::move(again))) {
        case AccountGate::StoreWait::ask:
            return askVerdicts(gate, store, accounts);
        case AccountGate::StoreWait::wait:
            return;
        case AccountGate::StoreWait::judge:
            return done(answer(400, std::move(*pass.stale)));
        }
        return;
    }
    const auto lane = pass.lane;
    const auto turn = pass.turn;
    store.run<AccountAnswer>([&accounts, call = std::move(call)] { return accounts.handle(call); },
                             [&gate, pass = std::move(pass), done = std::move(done)](std::optional<AccountAnswer> answer) {
                                 gate.answered(pass, answer);
                                 done(answer ? std::move(*answer) : storeTryLater());
                             },
                             lane, turn);
}

namespace {

// One question at a time for every link whose room is not known here.
void askRooms(AccountGate& gate, WorkQueue& store, RelayAccounts& accounts) {
    store.run<std::vector<std::string>>([&accounts] { return accounts.roomsRegisteredLately(); },
                                        [&gate, &store, &accounts](std::optional<std::vector<std::string>> rooms) {
                                            if (gate.roomsAnswered(rooms)) askRooms(gate, store, accounts);
                                        });
}

void judgeLink(AccountGate& gate, WorkQueue& store, RelayAccounts& accounts, const std::string& room,
               const std::string& hello, const std::vector<std::string>& networks,
               std::function<void(HostAdmission)> done) {
    auto pass = gate.checkLink(room, networks);
    if (pass.refusal) return done(HostAdmission{503, "too many links of its network or room wait for the store", {}, {}});
    const auto lane = pass.lane;
    const auto turn = pass.turn;
    store.run<HostAdmission>([&accounts, room, hello] { return accounts.admitHost(room, hello); },
                             [&gate, pass = std::move(pass), room, done = std::move(done)](std::optional<HostAdmission> admission) {
                                 gate.linkAnswered(pass, room, admission ? std::optional(admission->status) : std::nullopt);
                                 done(admission ? std::move(*admission)
                                                : HostAdmission{503, "the store did not answer in time", {}, {}});
                             },
                             lane, turn);
}

}  // namespace

void queueHostAdmission(AccountGate& gate, WorkQueue& store, RelayAccounts& accounts, const std::string& room,
                        const std::string& hello, const std::vector<std::string>& networks,
                        std::function<void(HostAdmission)> done) {
    if (gate.knowsRoom(room)) return judgeLink(gate, store, accounts, room, hello, networks, std::move(done));
    // Not known yet: its computer may have registered through another
    // instance since the rooms were last read, so the store is asked
    // before the link is judged with the strangers' calls.
    auto judge = [&gate, &store, &accounts, room, hello, networks, done = std::move(done)]() mutable {
        judgeLink(gate, store, accounts, room, hello, networks, std::move(done));
    };
    auto shared = std::make_shared<decltype(judge)>(std::move(judge));
    switch (gate.awaitRooms(networks, [shared] { (*shared)(); })) {
    case AccountGate::StoreWait::ask:
        return askRooms(gate, store, accounts);
    case AccountGate::StoreWait::wait:
        return;
    case AccountGate::StoreWait::judge:
        return (*shared)();
    }
}

void queueDeviceAdmission(AccountGate& gate, WorkQueue& store, RelayAccounts& accounts, const std::string& room,
                          const std::string& ticket, const std::vector<std::string>& networks,
                          std::function<void(DeviceAdmission)> done) {
    auto pass = gate.checkTicket(ticket, networks);
    if (pass.refusal)
        return done(refusedDevice(pass.refusal->status == 401 ? RelayDeviceClose::ticketRefused : RelayDeviceClose::tryLater));
    const auto lane = pass.lane;
    const auto turn = pass.turn;
    store.run<DeviceAdmission>([&accounts, room, ticket] { return accounts.admitDevice(room, ticket); },
                               [&gate, pass = std::move(pass), done = std::move(done)](std::optional<DeviceAdmission> admission) {
                                   gate.answered(pass, AccountAnswer{});
                                   done(admission ? std::move(*admission) : refusedDevice(RelayDeviceClose::tryLater));
                               },
                               lane, turn);
}

void RelayAccounts::purge() {
    const auto now = seconds();
    try {
        store_.purgeExpired(now);
    } catch (const RelayStoreError& error) {
        storeFailed(error);
    }
}

}  // namespace morvane::relay_service

#include "relay_service/relay_accounts.h"

#include <algorithm>
#include <limits>

#include "core/secure.h"
#include "relay/relay_bytes.h"
#include "relay/relay_signed.h"
#include "relay/relay_words.h"
#include "relay_service/detail/account_answers.h"
#include "relay_service/network_scale.h"
#include "relay_service/relay_limits.h"
#include "secure/secure_channel.h"

namespace morvane::relay_service {

using json = nlohmann::json;
using account_detail::answer;
using account_detail::refuse;
using account_detail::refusedDevice;
using account_detail::split;
using account_detail::text;

namespace {

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

// What signed in or out, for the log: the wire calls a computer "mac".
std::string clientName(const std::string& kind) {
    if (kind == "mac") return "computer";
    if (kind == "web") return "page";
    return kind;
}

}  // namespace

std::string tokenSession(const std::string& token) {
    if (token.size() != sessionChars + secretChars || !RelayBytes::fromB64u(token.substr(0, sessionChars)) ||
        !RelayBytes::fromB64u(token.substr(sessionChars)))
        return "";
    return token.substr(0, sessionChars);
}

RelayAccounts::RelayAccounts(RelayStore& store, Hooks hooks, bool mailConfigured, AccountList accounts)
    : store_(store),
      hooks_(std::move(hooks)),
      mailConfigured_(mailConfigured),
      accounts_(std::make_shared<const AccountList>(std::move(accounts))),
      seal_(store.sealKey()),
      mailed_(RelayLimits::maxCountedClients) {}

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

bool RelayAccounts::listed(const std::string& userId) {
    std::shared_ptr<const AccountList> list;
    {
        const std::lock_guard lock(accountsLock_);
        list = accounts_;
    }
    if (list->open()) return true;
    const auto account = store_.account(userId);
    return account && list->admits(account->email);
}

std::int64_t RelayAccounts::seconds() const {
    const auto millis = hooks_.now();
    return millis < 0 ? 0 : millis / 1000;
}

bool RelayAccounts::revoked(const std::string& sessionID) { return store_.signedOut(sessionID, seconds()); }

AccountAnswer RelayAccounts::handle(const AccountCall& call, CodeAsk ask) {
    try {
        std::optional<Bearer> access;
        if (ruleOf(call.endpoint).bearer) {
            access = bearer(call.bearer);
            if (!access) return refuse(401, RelayError::unauthorized);
            if (!listed(access->token.userId)) return refuse(403, RelayError::notInvited);
        }
        switch (call.endpoint) {
        case AccountEndpoint::code:
            return code(call.body, call.client, NetworkScale::asking(call.networks, call.client), ask);
        case AccountEndpoint::verify: return verify(call.body, call.client, NetworkScale::asking(call.networks, call.client), ask);
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

AccountAnswer RelayAccounts::code(const json& body, const std::string& client, const std::string& network,
                                  CodeAsk ask) {
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
    // At home the address's own count below is the person's: a client's
    // count would hold the person on one IPv4 address to fewer.
    if (const auto wait = ask.atHome ? std::nullopt
                                     : store_.countRate("code-client " + client, RelayLimits::codesPerClient,
                                                        RelayLimits::codeWindowSeconds, now)) {
        refusedCode(*email + ": too many codes from " + client);
        return refuse(429, RelayError::tryLater, *wait);
    }
    // Counted per asking network: strangers asking for the address
    // elsewhere leave its owner theirs.
    if (const auto wait = store_.countRate((ask.atHome ? "code-home " : "code-address ") + *email + " from " + network,
                                           ask.atHome ? RelayLimits::codesPerAddressAtHome : RelayLimits::codesPerAddress,
                                           RelayLimits::codeWindowSeconds, now)) {
        refusedCode(*email + ": too many codes for the address from " + network);
        return refuse(429, RelayError::tryLater, *wait);
    }
    SignInCode stored;
    stored.email = *email;
    stored.loginId = loginId;
    stored.salt = Secure::hex(Secure::randomBytes(16));
    stored.triesLeft = RelayLimits::codeTries;
    // Past the mailbox's mails, through every instance, and the relay's
    // in the hour, nothing is mailed.
    std::optional<AccountAnswer> unmailed;
    if (!ask.mailed) {
        unmailed = refuse(429, RelayError::tryLater, RelayLimits::codeWindowSeconds);
    } else if (const auto wait = store_.countRate("code-mailbox " + mailboxOf(*email), RelayLimits::mailsPerMailbox,
                                                  RelayLimits::codeWindowSeconds, now)) {
        refusedCode(*email + ": the mailbox was mailed " + std::to_string(RelayLimits::mailsPerMailbox) +
                    " codes in the window");
        unmailed = refuse(429, RelayError::tryLater, *wait);
    } else if (const auto hour = store_.countRate("code-mail", RelayLimits::mailsPerHour, RelayLimits::mailHourSeconds,
                                                  now)) {
        mailBound_.say(hooks_.log, Severity::error,
                       "the relay has mailed " + std::to_string(RelayLimits::mailsPerHour) +
                           " codes this hour, its bound: codes asked are not mailed for " + std::to_string(*hour) +
                           " s (a code for " + *email + " among them)",
                       hooks_.now());
        unmailed = refuse(503, RelayError::tryLater, *hour);
    }
    // The code in the address's mailbox signs this login in too, until it
    // expires; nothing is mailed, and the answer says so.
    if (const auto* newest = unmailed ? mailed_.find(*email) : nullptr; newest && newest->expiresAt > now) {
        stored.codeHash = codeHash(stored.salt, newest->digits);
        stored.expiresAt = newest->expiresAt;
        store_.putCode(stored);
        givenAgain_.say(hooks_.log, Severity::info,
                        "a code for " + *email + " asked from " + network + " is the one mailed last", hooks_.now());
        return answer(200, json{{"ok", true}, {RelayCodeSent::sent, false}});
    }
    if (unmailed) return std::move(*unmailed);
    // Six digits, uniform: 0 to 999,999 from a random 32-bit draw with the
    // biased top rejected.
    std::uint32_t draw = 0;
    do {
        const auto bytes = Secure::randomBytes(4);
        draw = RelayBytes::readU32(bytes);
    } while (draw >= 4'294'000'000u);
    std::string digits = std::to_string(draw % 1'000'000);
    digits.insert(0, 6 - digits.size(), '0');
    stored.codeHash = codeHash(stored.salt, digits);
    stored.expiresAt = now + RelayLimits::codeLifetimeSeconds;
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
        // It lives from when it was made, a moment before.
        mailed_.put(delivery.email, Mailed{delivery.code, seconds() + RelayLimits::codeLifetimeSeconds - 1});
        return answer(200, json{{"ok", true}, {RelayCodeSent::sent, true}});
    } catch (const RelayStoreError& failure) {
        storeFailed(failure);
        return refuse(503, RelayError::tryLater, 30);
    }
}

AccountAnswer RelayAccounts::verify(const json& body, const std::string& client, const std::string& network,
                                    CodeAsk ask) {
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
    // Away from the address's homes, the guesses each network may have at
    // its codes, through every instance: its own, never the owner's.
    if (const auto wait = ask.atHome ? std::nullopt
                                     : store_.countRate("code-guess " + *email + " from " + network,
                                                        RelayLimits::guessesAwayPerDay, RelayLimits::guessWindowSeconds,
                                                        now)) {
        refusedSignIn(*email + ": too many guesses at the address's codes from " + network);
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
        if (!listed(host->userId)) return HostAdmission{403, "its account is off the accounts list", {}, {}};
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
        if (!listed(host->userId)) return refusedDevice(RelayDeviceClose::ticketRefused);
        const auto holder = store_.presenceHolder(room, RelayLimits::presenceFreshSeconds);
        return DeviceAdmission{0, "", stored->userId, sessionID, holder.value_or("")};
    } catch (const RelayStoreError& error) {
        storeFailed(error);
        return refusedDevice(RelayDeviceClose::tryLater);
    }
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

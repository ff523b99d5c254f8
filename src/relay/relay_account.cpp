#include "relay/relay_account.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>

#include "core/secure.h"
#include "relay/relay_bytes.h"
#include "relay/relay_socket.h"
#include "relay/relay_tls.h"
#include "relay/relay_words.h"

namespace morvane {

using nlohmann::json;

namespace {

bool isBlank(char32_t c) {
    // White space and line breaks as trimming understands them.
    return c == 0x20 || (c >= 0x09 && c <= 0x0d) || c == 0x85 || c == 0xa0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f || c == 0x205f || c == 0x3000;
}

std::string_view trimASCII(std::string_view text) {
    auto blank = [](char c) { return c == ' ' || (c >= 0x09 && c <= 0x0d); };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

std::vector<std::string_view> split(std::string_view text, char by) {
    std::vector<std::string_view> parts;
    std::size_t from = 0;
    for (;;) {
        const auto at = text.find(by, from);
        parts.push_back(text.substr(from, at == std::string_view::npos ? std::string_view::npos : at - from));
        if (at == std::string_view::npos) return parts;
        from = at + 1;
    }
}

bool isLowerHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

}  // namespace

std::string RelayAccountFailure::describe() const {
    std::string words;
    switch (kind) {
        case Kind::refused: words = error.empty() ? "refused" : error; break;
        case Kind::unreachable: words = "unreachable"; break;
        case Kind::untrusted: words = "untrusted"; break;
        case Kind::badAnswer: words = "an answer that could not be read"; break;
        case Kind::cancelled: words = "cancelled"; break;
    }
    std::string text = why.empty() ? words : words + ": " + why;
    if (kind == Kind::untrusted) text += std::string(". ") + untrustedCertificateAdvice;
    return text;
}

std::string RelayAccountTexts::text(const RelayAccountFailure& failure, Step step, const std::string& address) {
    const std::string error = failure.kind == RelayAccountFailure::Kind::refused ? failure.error : "";
    const int status = failure.kind == RelayAccountFailure::Kind::refused ? failure.status : 0;
    const std::string at = address.empty() ? "" : " at " + address;
    const std::string signIn = "Could not reach the sign-in service" + at + ". Check your connection, then try again.";
    const std::string relay = "Could not reach the relay" + at + ". Check your connection, then try again.";
    if (error == "not-invited" && (step == Step::code || step == Step::verify))
        return "This relay's owner has not let this address sign in. Ask them to add it, or use another.";
    if (failure.kind == RelayAccountFailure::Kind::untrusted)
        return "This computer does not trust the certificate of the relay" + at + ", so nothing was sent to it. " +
               untrustedCertificateAdvice + ". " + untrustedLog;
    switch (step) {
        case Step::code:
            if (error == "invalid-email") return badEmail;
            if (status == 429) return "Too many codes were requested. Wait a few minutes, then try again.";
            if (error == "try-later" && status == 503) return "The relay cannot send more codes right now. Try again later.";
            if (error == "not-configured") return "Sign-in is not available on this relay.";
            return signIn;
        case Step::verify:
            if (error == "invalid-code") return wrongCode;
            if (error == "invalid-email") return badEmail;
            if (status == 429) return "Too many tries. Wait a few minutes, then try again.";
            if (error == "not-configured") return "Sign-in is not available on this relay.";
            return signIn;
        case Step::registration:
        case Step::remove:
            if (error == "host-limit") return hostLimit;
            if (error == "bad-proof") return badClock;
            if (status == 429) return "Too many tries. Wait a few minutes, then try again.";
            if (error == "not-configured") return "This relay is not set up yet.";
            return relay;
    }
    return relay;
}

std::unique_ptr<RelayAccount> RelayAccount::create(std::string_view origin, std::shared_ptr<RelayHttpTransport> transport,
                                                   WallClock now) {
    auto url = parseRelayURL(origin);
    if (!url || (url->path != "" && url->path != "/") || url->hasQuery || url->hasFragment || url->hasUser) return nullptr;
    const bool loopback = url->host == "127.0.0.1" || url->host == "localhost";
    if (url->scheme != "https" && !(url->scheme == "http" && loopback)) return nullptr;
    if (!transport) return nullptr;
    return std::make_unique<RelayAccount>(std::move(*url), std::move(transport), std::move(now));
}

RelayAccount::RelayAccount(RelayURL origin, std::shared_ptr<RelayHttpTransport> transport, WallClock now)
    : origin_(std::move(origin)), apiPath_("/v1"), transport_(std::move(transport)), now_(std::move(now)) {}

std::string RelayAccount::newLoginID() { return RelayBytes::b64u(Secure::randomBytes(16)); }

std::optional<std::string> RelayAccount::normalizeEmail(std::string_view raw) {
    std::string text(trimASCII(raw));
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
        return c < 0x80 ? static_cast<char>(std::tolower(c)) : static_cast<char>(c);
    });
    if (text.empty() || text.size() > 254) return std::nullopt;
    for (unsigned char c : text)
        if (c < 33 || c > 126) return std::nullopt;
    const auto pieces = split(text, '@');
    if (pieces.size() != 2) return std::nullopt;
    const auto local = pieces[0], domain = pieces[1];
    static constexpr std::string_view localChars = "abcdefghijklmnopqrstuvwxyz0123456789!#$%&'*+/=?^_`{|}~-";
    if (local.empty() || local.size() > 64) return std::nullopt;
    for (auto piece : split(local, '.'))
        if (piece.empty() || piece.find_first_not_of(localChars) != std::string_view::npos) return std::nullopt;
    if (domain.size() > 253) return std::nullopt;
    const auto labels = split(domain, '.');
    if (labels.size() < 2) return std::nullopt;
    for (auto label : labels) {
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-' ||
            label.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") != std::string_view::npos)
            return std::nullopt;
    }
    return text;
}

std::optional<std::string> RelayAccount::normalizeCode(std::string_view text) {
    // White space and line breaks anywhere, and "-", are left out.
    icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    std::string digits;
    for (int32_t i = 0; i < unicode.length();) {
        const UChar32 c = unicode.char32At(i);
        i += U16_LENGTH(c);
        if (c == '-' || isBlank(static_cast<char32_t>(c))) continue;
        if (c < '0' || c > '9') return std::nullopt;
        digits += static_cast<char>(c);
        if (digits.size() > 6) return std::nullopt;
    }
    if (digits.size() != 6) return std::nullopt;
    return digits;
}

std::string RelayAccount::cleanHostName(std::string_view name) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(icu::StringPiece(name.data(), static_cast<int32_t>(name.size())));
    if (U_SUCCESS(status) && nfc) {
        icu::UnicodeString composed = nfc->normalize(text, status);
        if (U_SUCCESS(status)) text = composed;
    }
    std::vector<char32_t> scalars;
    for (int32_t i = 0; i < text.length();) {
        const UChar32 c = text.char32At(i);
        i += U16_LENGTH(c);
        const bool dropped = c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029 ||
                             (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069) ||
                             (c >= 0xd800 && c <= 0xdfff);
        if (!dropped) scalars.push_back(static_cast<char32_t>(c));
    }
    auto trim = [&] {
        while (!scalars.empty() && isBlank(scalars.front())) scalars.erase(scalars.begin());
        while (!scalars.empty() && isBlank(scalars.back())) scalars.pop_back();
    };
    trim();
    if (scalars.size() > 64) scalars.resize(64);
    trim();
    if (scalars.empty()) return "Computer";
    icu::UnicodeString out;
    for (char32_t c : scalars) out.append(static_cast<UChar32>(c));
    std::string utf8;
    out.toUTF8String(utf8);
    return utf8;
}

bool RelayAccount::isUserId(std::string_view text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < 36; ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !isLowerHexDigit(text[i])) return false;
    }
    return true;
}

std::uint64_t RelayAccount::unixSeconds() const {
    const auto ms = now_();
    return ms < 0 ? 0 : static_cast<std::uint64_t>(ms / 1000);
}

std::optional<RelayHttpRequest> RelayAccount::request(const std::string& path, const json& body,
                                                      const std::optional<std::string>& bearer) const {
    std::string text;
    try {
        text = body.dump();  // keys come out sorted
    } catch (const json::exception&) {
        return std::nullopt;
    }
    if (text.size() > maxBodyBytes) return std::nullopt;
    RelayHttpRequest r;
    r.url = origin_;
    r.target = apiPath_ + path;
    r.headers = {{"Content-Type", "application/json"}, {"Accept", "application/json"}};
    if (bearer) r.headers.emplace_back("Authorization", "Bearer " + *bearer);
    r.body = std::move(text);
    r.timeoutMillis = static_cast<std::int64_t>(requestTimeout * 1000);
    return r;
}

RelayAccountResult<json> RelayAccount::read(int status, const std::optional<Bytes>& data) {
    const bool success = status >= 200 && status <= 299;
    if (data && data->size() <= maxAnswerBytes) {
        auto object = json::parse(data->begin(), data->end(), nullptr, false);
        if (!object.is_discarded() && object.is_object()) {
            if (success) return object;
            std::string error;
            if (auto it = object.find("error"); it != object.end() && it->is_string()) error = it->get<std::string>();
            std::optional<std::int64_t> retryAfter;
            if (auto it = object.find("retry_after"); it != object.end() && it->is_number()) {
                const double v = it->get<double>();
                if (std::isfinite(v) && std::fabs(v) < 9.0e18) retryAfter = static_cast<std::int64_t>(v);
            }
            return RelayAccountFailure::refused(status, std::move(error), retryAfter);
        }
    }
    if (success) return RelayAccountFailure::of(RelayAccountFailure::Kind::badAnswer);
    return RelayAccountFailure::refused(status, "", std::nullopt);
}

std::optional<RelayAccountSession> RelayAccount::session(const json& object, const std::string& email) {
    auto text = [&](const json& from, const char* key) -> const std::string* {
        const auto it = from.find(key);
        return it != from.end() && it->is_string() ? &it->get_ref<const std::string&>() : nullptr;
    };
    const auto* access = text(object, "access_token");
    const auto* refresh = text(object, "refresh_token");
    if (!access || access->empty() || access->size() > 4'096) return std::nullopt;
    if (!refresh || refresh->empty() || refresh->size() > 512) return std::nullopt;
    const auto user = object.find("user");
    if (user == object.end() || !user->is_object()) return std::nullopt;
    const auto* id = text(*user, "id");
    if (!id || !isUserId(*id)) return std::nullopt;
    std::string address = email;
    if (const auto* given = text(*user, "email"))
        if (auto normal = normalizeEmail(*given)) address = *normal;
    return RelayAccountSession{*access, *refresh, *id, address};
}

json RelayAccount::registerBody(const RelayIdentity& identity, const std::string& userId, const std::string& name) const {
    const auto ts = unixSeconds();
    const auto nonce = Secure::randomBytes(16);
    return json{{"public_key", identity.hostPublicKeyText()},
                {"name", cleanHostName(name)},
                {"ts", ts},
                {"nonce", RelayBytes::b64u(nonce)},
                {"sig", identity.registerProof(userId, ts, nonce)}};
}

json RelayAccount::removeBody(const RelayIdentity& identity) const {
    const auto ts = unixSeconds();
    const auto nonce = Secure::randomBytes(16);
    return json{{"public_key", identity.hostPublicKeyText()},
                {"ts", ts},
                {"nonce", RelayBytes::b64u(nonce)},
                {"sig", identity.removeProof(ts, nonce)}};
}

RelayAccount::Task RelayAccount::post(std::optional<RelayHttpRequest> request,
                                      std::function<void(RelayAccountResult<json>, int status)> done) {
    if (!request) {
        done(RelayAccountFailure::of(RelayAccountFailure::Kind::badAnswer), 0);
        return nullptr;
    }
    const std::string address = relayAddressText(origin_);
    return transport_->post(std::move(*request), [done = std::move(done), address](RelayHttpAnswer answer) {
        switch (answer.kind) {
            case RelayHttpAnswer::Kind::cancelled: return done(RelayAccountFailure::of(RelayAccountFailure::Kind::cancelled), 0);
            case RelayHttpAnswer::Kind::unreachable:
                return done(RelayAccountFailure::of(RelayAccountFailure::Kind::unreachable,
                                                    answer.why.empty() ? address : answer.why),
                            0);
            case RelayHttpAnswer::Kind::untrusted:
                return done(RelayAccountFailure::of(RelayAccountFailure::Kind::untrusted,
                                                    answer.why.empty() ? address : answer.why),
                            0);
            case RelayHttpAnswer::Kind::answered: {
                auto result = read(answer.status, answer.body);
                if (auto* failure = std::get_if<RelayAccountFailure>(&result))
                    failure->why = address + " answered with HTTP " + std::to_string(answer.status);
                return done(std::move(result), answer.status);
            }
        }
    });
}

namespace {
// Passes a failure on, or hands the object to `then`.
template <class T>
void settle(const RelayAccountResult<json>& result, const std::function<void(RelayAccountResult<T>)>& done,
            const std::function<std::optional<T>(const json&)>& then) {
    if (const auto* failure = std::get_if<RelayAccountFailure>(&result)) return done(*failure);
    auto value = then(std::get<json>(result));
    if (!value) return done(RelayAccountFailure::of(RelayAccountFailure::Kind::badAnswer));
    done(std::move(*value));
}

std::optional<std::monostate> okIsTrue(const json& object) {
    const auto it = object.find("ok");
    if (it != object.end() && it->is_boolean() && it->get<bool>()) return std::monostate{};
    return std::nullopt;
}
}  // namespace

RelayAccount::Task RelayAccount::sendCode(const std::string& email, const std::string& loginId, Done<bool> done) {
    return post(request("/auth/code", json{{"email", email}, {"login_id", loginId}}, std::nullopt),
                [done = std::move(done)](RelayAccountResult<json> result, int) {
                    settle<bool>(result, done, [](const json& object) -> std::optional<bool> {
                        if (!okIsTrue(object)) return std::nullopt;
                        // A relay that does not say mailed one.
                        const auto sent = object.find(RelayCodeSent::sent);
                        return !(sent != object.end() && sent->is_boolean() && !sent->get<bool>());
                    });
                });
}

RelayAccount::Task RelayAccount::verify(const std::string& email, const std::string& loginId, const std::string& code,
                                        Done<RelayAccountSession> done) {
    json body{{"email", email}, {"login_id", loginId}, {"code", code}, {"client", "mac"}};
    return post(request("/auth/verify", body, std::nullopt),
                [done = std::move(done), email](RelayAccountResult<json> result, int) {
                    settle<RelayAccountSession>(result, done, [&](const json& o) { return session(o, email); });
                });
}

RelayAccount::Task RelayAccount::registerHost(const RelayIdentity& identity, const RelayAccountSession& account,
                                              const std::string& name, Done<bool> done) {
    std::optional<RelayHttpRequest> built;
    if (isUserId(account.userId)) {
        try {
            built = request("/hosts", registerBody(identity, account.userId, name), account.accessToken);
        } catch (const std::exception&) {
            built.reset();
        }
    }
    return post(std::move(built), [done = std::move(done)](RelayAccountResult<json> result, int status) {
        settle<bool>(result, done, [status](const json& o) -> std::optional<bool> {
            const auto host = o.find("host");
            if (host == o.end() || !host->is_object()) return std::nullopt;
            return status == 201;
        });
    });
}

RelayAccount::Task RelayAccount::removeSelf(const RelayIdentity& identity, Done<std::monostate> done) {
    std::optional<RelayHttpRequest> built;
    try {
        built = request("/hosts/self/delete", removeBody(identity), std::nullopt);
    } catch (const std::exception&) {
        built.reset();
    }
    return post(std::move(built), [done = std::move(done)](RelayAccountResult<json> result, int) {
        settle<std::monostate>(result, done, okIsTrue);
    });
}

RelayAccount::Task RelayAccount::signOut(const std::string& refreshToken, Done<std::monostate> done) {
    return post(request("/auth/signout", json{{"refresh_token", refreshToken}}, std::nullopt),
                [done = std::move(done)](RelayAccountResult<json> result, int) {
                    settle<std::monostate>(result, done, [](const json&) { return std::optional<std::monostate>(std::monostate{}); });
                });
}

RelayWaitOutcome decideRelayWait(bool ownerCancelled, bool answered, bool discardable) {
    if (answered) return ownerCancelled && discardable ? RelayWaitOutcome::discard : RelayWaitOutcome::use;
    return discardable ? RelayWaitOutcome::abandon : RelayWaitOutcome::cancel;
}

}  // namespace morvane

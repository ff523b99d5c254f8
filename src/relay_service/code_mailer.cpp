#include "relay_service/code_mailer.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>

namespace morvane::relay_service {

namespace {

// Long enough for a slow submission server, short enough that a dead one
// does not hold a sign-in request for minutes.
constexpr long connectTimeoutSeconds = 10;
constexpr long wholeTimeoutSeconds = 30;
constexpr std::size_t maxReasonBytes = 300;

bool isCodeText(const std::string& code) {
    if (code.empty() || code.size() > 32) return false;
    for (char c : code) {
        bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!ok) return false;
    }
    return true;
}

std::string rfc5322Date(std::int64_t unixSeconds) {
    static constexpr std::array<const char*, 7> days{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr std::array<const char*, 12> months{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    // Names from our own tables: strftime's would follow the process locale.
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d +0000", days[tm.tm_wday], tm.tm_mday,
                  months[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::string randomMessageId() {
    std::random_device rd;
    static constexpr char hex[] = "0123456789abcdef";
    std::string id;
    for (int i = 0; i < 4; ++i) {
        std::uint32_t v = rd();
        for (int j = 0; j < 8; ++j) id += hex[(v >> (4 * j)) & 0xF];
    }
    return id;
}

// One line of printable ASCII, bounded, with the secrets cut out: a server's
// answer may echo what it was given.
std::string oneLine(std::string text, const std::string& password, const std::string& code) {
    for (const std::string* secret : {&password, &code}) {
        if (secret->size() < 4) continue;
        for (std::size_t at; (at = text.find(*secret)) != std::string::npos;) text.replace(at, secret->size(), "***");
    }
    std::string out;
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        char clean = (u < 0x20 || u >= 0x7F) ? ' ' : c;
        if (clean == ' ' && (out.empty() || out.back() == ' ')) continue;
        out += clean;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    if (out.size() > maxReasonBytes) out.resize(maxReasonBytes);
    return out;
}

struct Transfer {
    std::string payload;
    std::size_t sent = 0;
    std::string lastRefusal;
};

std::size_t readPayload(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    std::size_t n = std::min(size * count, t->payload.size() - t->sent);
    std::memcpy(buffer, t->payload.data() + t->sent, n);
    t->sent += n;
    return n;
}

// Keeps the server's last refusal (4xx or 5xx), which names why ("550 5.1.1
// No such user"): the answer to QUIT comes after it. Nothing else of the
// conversation is kept or printed.
int keepServerLine(CURL*, curl_infotype type, char* data, std::size_t size, void* user) {
    if (type != CURLINFO_HEADER_IN) return 0;
    std::string line(data, size);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (!line.empty() && (line[0] == '4' || line[0] == '5')) static_cast<Transfer*>(user)->lastRefusal = line;
    return 0;
}

bool hasSmtpScheme(const std::string& url) {
    return url.starts_with("smtp://") || url.starts_with("smtps://");
}

bool hasUserInfo(const std::string& url) {
    std::size_t start = url.find("://") + 3;
    std::size_t end = url.find('/', start);
    return url.substr(start, end == std::string::npos ? std::string::npos : end - start).find('@') !=
           std::string::npos;
}

class SmtpMailer final : public CodeMailer {
public:
    explicit SmtpMailer(SmtpConfig config) : config_(std::move(config)) {}

    std::optional<std::string> send(const std::string& email, const std::string& code) override {
        if (!hasSmtpScheme(config_.url))
            return "The mail server's address must start with smtp:// or smtps://";
        if (hasUserInfo(config_.url))
            return "The mail server's address must not hold a user name or password: give them as user and password";
        if (!isMailAddress(config_.from))
            return "The relay's sender address (from) is not a plain e-mail address";
        if (!isMailAddress(email)) return "That is not a plain e-mail address";
        if (!isCodeText(code)) return "The sign-in code is not letters and digits";

        Transfer transfer;
        transfer.payload =
            composeCodeMessage(config_.from, email, code, static_cast<std::int64_t>(std::time(nullptr)), randomMessageId());

        std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
        if (!curl) return "Could not start sending the e-mail (out of memory)";
        curl_slist* rcpt = curl_slist_append(nullptr, ("<" + email + ">").c_str());
        std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> rcptOwner(rcpt, curl_slist_free_all);
        char errors[CURL_ERROR_SIZE] = {};
        std::string mailFrom = "<" + config_.from + ">";

        CURL* c = curl.get();
        curl_easy_setopt(c, CURLOPT_URL, config_.url.c_str());
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, connectTimeoutSeconds);
        curl_easy_setopt(c, CURLOPT_TIMEOUT, wholeTimeoutSeconds);
        curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errors);
        // A code is a key to an account: it never crosses the network in
        // plain text unless the admin turned TLS off for a local server.
        curl_easy_setopt(c, CURLOPT_USE_SSL, config_.startTls ? static_cast<long>(CURLUSESSL_ALL)
                                                               : static_cast<long>(CURLUSESSL_NONE));
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!config_.user.empty()) {
            curl_easy_setopt(c, CURLOPT_USERNAME, config_.user.c_str());
            curl_easy_setopt(c, CURLOPT_PASSWORD, config_.password.c_str());
        }
        curl_easy_setopt(c, CURLOPT_MAIL_FROM, mailFrom.c_str());
        curl_easy_setopt(c, CURLOPT_MAIL_RCPT, rcpt);
        curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(c, CURLOPT_READFUNCTION, readPayload);
        curl_easy_setopt(c, CURLOPT_READDATA, &transfer);
        curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, keepServerLine);
        curl_easy_setopt(c, CURLOPT_DEBUGDATA, &transfer);
        curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);

        CURLcode result = curl_easy_perform(c);
        if (result == CURLE_OK) return std::nullopt;
        long status = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
        return oneLine(reason(result, status, errors, transfer.lastRefusal), config_.password, code);
    }

private:
    static std::string reason(CURLcode result, long status, const char* errors, const std::string& serverLine) {
        std::string detail = errors[0] ? errors : curl_easy_strerror(result);
        switch (result) {
        case CURLE_COULDNT_RESOLVE_HOST: return "The mail server's name could not be resolved (" + detail + ")";
        case CURLE_COULDNT_CONNECT: return "Could not connect to the mail server (" + detail + ")";
        case CURLE_OPERATION_TIMEDOUT: return "The mail server did not answer in time (" + detail + ")";
        case CURLE_USE_SSL_FAILED:
            return "The mail server does not offer STARTTLS, and codes are sent only over TLS";
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CACERT_BADFILE:
            return "The mail server's TLS could not be verified (" + detail + ")";
        case CURLE_LOGIN_DENIED:
            return "The mail server refused the relay's user name or password" +
                   (serverLine.empty() ? std::string() : " (" + serverLine + ")");
        default: break;
        }
        if (status >= 400 && !serverLine.empty()) return "The mail server refused the message: " + serverLine;
        return "Sending the e-mail failed (" + detail + ")";
    }

    SmtpConfig config_;
};

class LogMailer final : public CodeMailer {
public:
    explicit LogMailer(std::function<void(const std::string&)> log) : log_(std::move(log)) {}

    std::optional<std::string> send(const std::string& email, const std::string& code) override {
        // The address comes from outside: checked, it cannot forge a second log line.
        if (!isMailAddress(email)) return "That is not a plain e-mail address";
        if (!isCodeText(code)) return "The sign-in code is not letters and digits";
        log_("Sign-in code for " + email + ": " + code);
        return std::nullopt;
    }

private:
    std::function<void(const std::string&)> log_;
};

}  // namespace

bool isMailAddress(std::string_view address) {
    if (address.empty() || address.size() > 254) return false;
    std::size_t at = address.find('@');
    if (at == std::string_view::npos || at == 0 || at + 1 == address.size() || at > 64) return false;
    if (address.find('@', at + 1) != std::string_view::npos) return false;
    static constexpr std::string_view special = "()<>[]:;,\\\"";
    for (char c : address) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || special.find(c) != std::string_view::npos) return false;
    }
    std::string_view local = address.substr(0, at), domain = address.substr(at + 1);
    for (std::string_view part : {local, domain}) {
        if (part.front() == '.' || part.back() == '.' || part.find("..") != std::string_view::npos) return false;
    }
    for (char c : domain) {
        bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '.';
        if (!ok) return false;
    }
    return true;
}

std::string composeCodeMessage(const std::string& from, const std::string& to, const std::string& code,
                               std::int64_t unixSeconds, const std::string& messageId) {
    std::string domain = from.substr(from.find('@') + 1);
    std::string minutes = std::to_string(signInCodeLifetimeMinutes);
    std::string m;
    m += "Date: " + rfc5322Date(unixSeconds) + "\r\n";
    m += "Message-ID: <" + messageId + "@" + domain + ">\r\n";
    m += "From: Morvane <" + from + ">\r\n";
    m += "To: <" + to + ">\r\n";
    m += "Subject: Your Morvane sign-in code\r\n";
    m += "MIME-Version: 1.0\r\n";
    m += "Content-Type: text/plain; charset=us-ascii\r\n";
    m += "Content-Transfer-Encoding: 7bit\r\n";
    m += "Auto-Submitted: auto-generated\r\n";
    m += "\r\n";
    m += "Your Morvane sign-in code is " + code + "\r\n";
    m += "\r\n";
    m += "Enter it where you asked for it. It lasts " + minutes + " minutes.\r\n";
    m += "\r\n";
    m += "If you did not ask for a code, ignore this e-mail: nobody can sign in\r\n";
    m += "to your account without it.\r\n";
    return m;
}

std::unique_ptr<CodeMailer> makeSmtpMailer(const SmtpConfig& config) {
    // libcurl's global set-up is not safe to race with other threads' use
    // of it; the first mailer does it once for the process.
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    return std::make_unique<SmtpMailer>(config);
}

std::unique_ptr<CodeMailer> makeLogMailer(std::function<void(const std::string&)> log) {
    return std::make_unique<LogMailer>(std::move(log));
}

}  // namespace morvane::relay_service

#pragma once
// How the relay hands a sign-in code to the person who asked for it: by
// e-mail over SMTP (libcurl), or, for a private relay whose admin is its only
// user, as one line in the relay's own log.
//
// `send` blocks for the length of one SMTP conversation (bounded by
// time-outs), so the service calls it off its network queue; the SMTP
// mailer's `send` may run on several threads at once (each call has its own
// connection). It returns nothing on success, else one line a person can act
// on; that line never holds the password or the code.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace morvane::relay_service {

// How long a sign-in code is accepted: the service expires codes after it,
// and the e-mail tells the reader so.
inline constexpr int signInCodeLifetimeMinutes = 10;

struct SmtpConfig {
    std::string url;  // smtp://host:port (STARTTLS when startTls) or smtps://host:port
    std::string from, user, password;
    bool startTls = true;
};

class CodeMailer {
public:
    virtual ~CodeMailer() = default;
    virtual std::optional<std::string> send(const std::string& email, const std::string& code) = 0;
};

std::unique_ptr<CodeMailer> makeSmtpMailer(const SmtpConfig&);
std::unique_ptr<CodeMailer> makeLogMailer(std::function<void(const std::string&)> log);

// True for a plain addr-spec (local@domain) in printable ASCII that can be
// written into a header or an SMTP command as it is: no spaces, line breaks,
// angle brackets, quotes, commas or comments.
bool isMailAddress(std::string_view address);

// The whole message, CRLF line ends, as it goes after DATA. `unixSeconds` is
// the Date header; `messageId` the part of the Message-ID before the '@'.
std::string composeCodeMessage(const std::string& from, const std::string& to, const std::string& code,
                               std::int64_t unixSeconds, const std::string& messageId);

}  // namespace morvane::relay_service

#pragma once
// A small SMTP server on 127.0.0.1 for the mailer's tests: it takes
// connections one after another on its own thread, answers as a plain
// submission server would (no STARTTLS), refuses the one command the test
// names, and records the commands and the messages it was given.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace morvane::relay_service::test {

class SmtpSink {
public:
    struct Script {
        std::string refuseVerb;  // "MAIL", "RCPT", "DATA" (after the message) or "AUTH"; empty: accept all
        std::string refusal = "550 5.1.1 No such user";
        bool offerAuth = false;
    };

    SmtpSink() : SmtpSink(Script{}) {}
    explicit SmtpSink(Script script) : script_(std::move(script)) {
        listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listen_, 4) != 0 ||
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            throw std::runtime_error("smtp sink: cannot listen on 127.0.0.1");
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~SmtpSink() { finish(); }

    int port() const { return port_; }
    std::string url() const { return "smtp://127.0.0.1:" + std::to_string(port_); }

    // Stops taking connections and waits for the one being served to end
    // (the mailer closes it before `send` returns). Then the records are read.
    void finish() {
        if (!thread_.joinable()) return;
        ::shutdown(listen_, SHUT_RDWR);
        thread_.join();
        ::close(listen_);
    }

    int connections = 0;
    std::vector<std::string> commands;  // every line the client sent outside DATA
    std::vector<std::string> messages;  // each message exactly as sent after DATA, dot line removed

private:
    void serve() {
        for (;;) {
            int fd = ::accept(listen_, nullptr, nullptr);
            if (fd < 0) return;
            ++connections;
            converse(fd);
            ::close(fd);
        }
    }

    void converse(int fd) {
        std::string in;
        auto say = [fd](const std::string& line) { std::string l = line + "\r\n"; ::send(fd, l.data(), l.size(), MSG_NOSIGNAL); };
        auto readUntil = [&](const std::string& end, std::string& out) {
            for (;;) {
                if (auto at = in.find(end); at != std::string::npos) {
                    out = in.substr(0, at);
                    in.erase(0, at + end.size());
                    return true;
                }
                char buf[4096];
                ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0) return false;
                in.append(buf, static_cast<std::size_t>(n));
            }
        };
        auto refuses = [this](const std::string& verb) { return script_.refuseVerb == verb; };
        say("220 sink ESMTP");
        for (std::string line; readUntil("\r\n", line);) {
            commands.push_back(line);
            std::string verb = line.substr(0, 4);
            if (verb == "EHLO") {
                if (script_.offerAuth) say("250-sink");
                say(script_.offerAuth ? "250 AUTH PLAIN LOGIN" : "250 sink");
            } else if (verb == "AUTH") {
                // "AUTH PLAIN" alone: the credentials follow on the next line.
                if (line.find(' ', 5) == std::string::npos) {
                    say("334 ");
                    if (!readUntil("\r\n", line)) return;
                }
                say(refuses("AUTH") ? script_.refusal : "235 2.7.0 Accepted");
            } else if (verb == "MAIL" || verb == "RCPT") {
                say(refuses(verb) ? script_.refusal : "250 2.1.0 Ok");
            } else if (verb == "DATA") {
                say("354 End data with <CR><LF>.<CR><LF>");
                std::string message;
                if (!readUntil("\r\n.\r\n", message)) return;
                messages.push_back(message + "\r\n");
                say(refuses("DATA") ? script_.refusal : "250 2.0.0 Queued");
            } else if (verb == "QUIT") {
                say("221 2.0.0 Bye");
                return;
            } else {
                say("502 5.5.1 Unknown command");
            }
        }
    }

    Script script_;
    int listen_ = -1;
    int port_ = 0;
    std::thread thread_;
};

}  // namespace morvane::relay_service::test

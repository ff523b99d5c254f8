#include "relay_service/relay_server.h"

#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "protocol/http_response.h"
#include "relay_service/relay_accounts.h"
#include "relay_service/relay_hub.h"
#include "relay_service/relay_limits.h"
#include "relay_service/web/relay_web.h"

namespace morvane::relay_service {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ws = beast::websocket;
using tcp = asio::ip::tcp;

bool isLoopbackAddress(const std::string& address) {
    if (address == "localhost") return true;
    boost::system::error_code ec;
    const auto parsed = asio::ip::make_address(address, ec);
    return !ec && parsed.is_loopback();
}

namespace {

constexpr auto handshakeTime = std::chrono::seconds(15);
constexpr std::size_t maxPending = 64;  // codes waiting for the mail thread

struct PageFile {
    std::string type;
    std::string bytes;
};

std::string mediaType(const std::string& name) {
    const auto dot = name.rfind('.');
    const auto ext = dot == std::string::npos ? std::string() : name.substr(dot + 1);
    if (ext == "html") return "text/html; charset=utf-8";
    if (ext == "js") return "text/javascript; charset=utf-8";
    if (ext == "css") return "text/css; charset=utf-8";
    if (ext == "webmanifest") return "application/manifest+json";
    if (ext == "svg") return "image/svg+xml";
    if (ext == "png") return "image/png";
    if (ext == "json") return "application/json";
    return "application/octet-stream";
}

// Request path to file: "/" is the first file (the page), every other file
// at "/<name>".
std::map<std::string, PageFile> pageFiles() {
    std::map<std::string, PageFile> out;
    bool first = true;
    for (const auto& row : RelayWeb::files()) {
        PageFile file{mediaType(std::string(row.name)), std::string(row.bytes)};
        if (first) out["/"] = file;
        first = false;
        out["/" + std::string(row.name)] = std::move(file);
    }
    return out;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::shared_ptr<asio::ssl::context> makeTls(const std::string& certificateFile, const std::string& keyFile) {
    auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
    context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                         asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1 |
                         asio::ssl::context::single_dh_use);
    const auto certificate = readFile(certificateFile);
    const auto key = readFile(keyFile);
    try {
        context->use_certificate_chain(asio::buffer(certificate));
    } catch (const boost::system::system_error&) {
        throw std::runtime_error("no certificate in " + certificateFile);
    }
    try {
        context->use_private_key(asio::buffer(key), asio::ssl::context::pem);
    } catch (const boost::system::system_error&) {
        throw std::runtime_error("no private key for the certificate in " + keyFile);
    }
    return context;
}

// The names in a Sec-WebSocket-Protocol list.
bool offers(std::string_view list, std::string_view wanted) {
    std::size_t from = 0;
    while (from <= list.size()) {
        auto comma = list.find(',', from);
        if (comma == std::string_view::npos) comma = list.size();
        auto item = list.substr(from, comma - from);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
        if (item == wanted) return true;
        from = comma + 1;
    }
    return false;
}

std::string queryValue(std::string_view target, std::string_view name) {
    const auto mark = target.find('?');
    if (mark == std::string_view::npos) return "";
    auto query = target.substr(mark + 1);
    while (!query.empty()) {
        const auto amp = query.find('&');
        const auto pair = query.substr(0, amp);
        const auto eq = pair.find('=');
        if (eq != std::string_view::npos && pair.substr(0, eq) == name) return std::string(pair.substr(eq + 1));
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return "";
}

}  // namespace

struct RelayServer::Impl : std::enable_shared_from_this<RelayServer::Impl> {
    asio::io_context& io;
    RelayServerOptions options;
    RelayAccounts& accounts;
    RelayHub& hub;
    std::function<void(const std::string&)> log;
    std::shared_ptr<asio::ssl::context> tls;
    std::unique_ptr<tcp::acceptor> acceptor;
    std::map<std::string, PageFile> page = pageFiles();
    // Set when the server stops: the accounts and the hub may be gone while
    // handlers of its sockets still come in, and those touch neither.
    bool stopped = false;

    // The mail thread.
    CodeSender sender;
    std::mutex mailLock;
    std::condition_variable mailWake;
    std::deque<std::function<void()>> mailJobs;
    bool mailStop = false;
    std::thread mailThread;

    Impl(asio::io_context& io, RelayServerOptions options, RelayAccounts& accounts, RelayHub& hub, CodeSender sender,
         std::function<void(const std::string&)> log)
        : io(io), options(std::move(options)), accounts(accounts), hub(hub), log(std::move(log)), sender(std::move(sender)) {
        mailThread = std::thread([this] {
            std::unique_lock guard(mailLock);
            while (true) {
                mailWake.wait(guard, [&] { return mailStop || !mailJobs.empty(); });
                if (mailJobs.empty()) return;
                auto job = std::move(mailJobs.front());
                mailJobs.pop_front();
                guard.unlock();
                job();
                guard.lock();
            }
        });
    }

    ~Impl() {
        {
            std::lock_guard guard(mailLock);
            mailStop = true;
            mailJobs.clear();
        }
        mailWake.notify_all();
        mailThread.join();
    }

    bool secure() const { return !options.certificateFile.empty(); }

    // Sends the code off this thread; `done` comes back on it.
    bool deliver(const CodeDelivery& delivery, std::function<void(std::optional<std::string>)> done) {
        std::lock_guard guard(mailLock);
        if (mailJobs.size() >= maxPending) return false;
        mailJobs.push_back([this, delivery, done = std::move(done)]() mutable {
            std::optional<std::string> error;
            try {
                error = sender(delivery.email, delivery.code);
            } catch (const std::exception& failure) {
                error = failure.what();
            }
            asio::post(io, [this, done = std::move(done), error] {
                if (!stopped) done(error);
            });
        });
        mailWake.notify_one();
        return true;
    }

    void accept();
};

namespace {

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

Response jsonAnswer(const AccountAnswer& answer, unsigned version, bool keepAlive) {
    Response response{static_cast<http::status>(answer.status), version};
    response.set(http::field::content_type, "application/json");
    for (const auto& [name, value] : HTTPResponse::securityHeaders()) response.set(name, value);
    response.body() = HTTPResponse::jsonText(answer.body);
    response.keep_alive(keepAlive);
    response.prepare_payload();
    return response;
}

// One upgraded socket: a host's link or a device's connection.
template <class Next>
class Socket final : public RelayPeer, public std::enable_shared_from_this<Socket<Next>> {
public:
    Socket(std::shared_ptr<RelayServer::Impl> server, Next next, bool host, std::string room)
        : server_(std::move(server)), ws_(std::move(next)), host_(host), room_(std::move(room)) {}

    void accept(const Request& request, std::function<void(const std::shared_ptr<Socket>&)> opened) {
        ws_.set_option(ws::stream_base::timeout{handshakeTime, std::chrono::seconds(60), true});
        ws_.set_option(ws::stream_base::decorator([](ws::response_type& response) {
            response.set(http::field::sec_websocket_protocol, "morvane.v1");
            response.set(http::field::cache_control, "no-store");
        }));
        // A host's records toward a device may fill a whole fragment; a
        // device's records are counted as they come.
        ws_.read_message_max(RelayLimits::maxHostFrameBytes);
        ws_.async_accept(request, [self = this->shared_from_this(), opened = std::move(opened)](beast::error_code ec) {
            if (ec || self->server_->stopped) return;
            opened(self);
            self->read();
        });
    }

    void sendText(std::string text) override { enqueue(true, Bytes(text.begin(), text.end())); }
    void sendBinary(Bytes data) override { enqueue(false, std::move(data)); }
    void close(int code, std::string reason) override {
        if (closing_) return;
        closing_ = true;
        closeCode_ = code;
        closeReason_ = std::move(reason);
        pump();
    }

private:
    void enqueue(bool text, Bytes data) {
        if (closing_) return;
        queued_ += data.size();
        outbox_.emplace_back(text, std::move(data));
        if (queued_ > RelayLimits::maxQueuedBytes) {
            // A peer that does not read cannot hold the relay's memory. The
            // hub hears of it on the next turn, not inside its own call.
            outbox_.clear();
            queued_ = 0;
            closing_ = true;
            closeCode_ = 1008;
            closeReason_ = "slow";
            asio::post(server_->io, [self = this->shared_from_this()] {
                if (self->server_->stopped) return;
                self->server_->hub.ended(self.get(), "it stopped reading");
                self->pump();
            });
            return;
        }
        pump();
    }

    void pump() {
        if (writing_) return;
        if (outbox_.empty()) {
            if (closing_ && !closeSent_) {
                closeSent_ = true;
                writing_ = true;
                ws_.async_close(ws::close_reason(static_cast<ws::close_code>(closeCode_), closeReason_),
                                [self = this->shared_from_this()](beast::error_code) { self->writing_ = false; });
            }
            return;
        }
        writing_ = true;
        auto& [text, data] = outbox_.front();
        ws_.text(text);
        ws_.async_write(asio::buffer(data), [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            self->writing_ = false;
            if (self->outbox_.empty()) return;
            self->queued_ -= self->outbox_.front().second.size();
            self->outbox_.pop_front();
            if (ec) {
                self->outbox_.clear();
                self->queued_ = 0;
                return;
            }
            self->pump();
        });
    }

    void read() {
        if (host_) {
            ws_.async_read(buffer_, [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                if (self->server_->stopped) return;
                if (ec) return self->finished(ec);
                const auto data = self->buffer_.cdata();
                const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(data.data()), data.size());
                if (self->ws_.got_text())
                    self->server_->hub.hostText(self.get(),
                                                std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
                else
                    self->server_->hub.hostBinary(self.get(), bytes);
                self->buffer_.consume(self->buffer_.size());
                self->read();
            });
            return;
        }
        // A device's message is read in pieces so that one over the record
        // limit is caught with at most one byte too many held.
        const auto room = RelayLimits::maxDeviceRecordBytes + 1 - buffer_.size();
        ws_.async_read_some(buffer_, room, [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            if (self->server_->stopped) return;
            if (ec) return self->finished(ec);
            const bool done = self->ws_.is_message_done();
            const bool over = self->buffer_.size() > RelayLimits::maxDeviceRecordBytes;
            if (!done && !over) return self->read();
            const auto data = self->buffer_.cdata();
            const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(data.data()), data.size());
            self->server_->hub.deviceMessage(self.get(), self->ws_.got_text(), bytes);
            self->buffer_.consume(self->buffer_.size());
            if (over) return;  // closed by the hub; nothing more is read
            self->read();
        });
    }

    void finished(beast::error_code ec) {
        std::string why;
        if (ec == ws::error::closed) {
            const auto& reason = ws_.reason();
            why = "closed with " + std::to_string(reason.code);
        } else if (ec == beast::error::timeout) {
            why = "timed out";
        } else if (ec == ws::error::message_too_big || ec == ws::error::buffer_overflow) {
            why = "a message over the limit";
        } else {
            why = ec.message();
        }
        server_->hub.ended(this, why);
    }

    std::shared_ptr<RelayServer::Impl> server_;
    ws::stream<Next> ws_;
    bool host_;
    std::string room_;
    beast::flat_buffer buffer_;
    std::deque<std::pair<bool, Bytes>> outbox_;
    std::size_t queued_ = 0;
    bool writing_ = false;
    bool closing_ = false;
    bool closeSent_ = false;
    int closeCode_ = 1000;
    std::string closeReason_;
};

template <class Next>
class Session final : public std::enable_shared_from_this<Session<Next>> {
public:
    Session(std::shared_ptr<RelayServer::Impl> server, Next next, std::string peer)
        : server_(std::move(server)), next_(std::move(next)), peer_(std::move(peer)) {}

    void start() {
        beast::get_lowest_layer(next_).expires_after(handshakeTime);
        if constexpr (std::is_same_v<Next, beast::ssl_stream<beast::tcp_stream>>) {
            next_.async_handshake(asio::ssl::stream_base::server, [self = this->shared_from_this()](beast::error_code ec) {
                if (!ec) self->readRequest();
            });
        } else {
            readRequest();
        }
    }

private:
    void readRequest() {
        parser_.emplace();
        parser_->header_limit(8192);
        parser_->body_limit(RelayLimits::maxRequestBodyBytes);
        beast::get_lowest_layer(next_).expires_after(handshakeTime);
        http::async_read(next_, buffer_, *parser_, [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) {
                if (ec == http::error::body_limit || ec == http::error::header_limit) {
                    AccountAnswer tooLarge{413, {{"error", "bad-request"}}, std::nullopt};
                    self->respond(jsonAnswer(tooLarge, 11, false));
                }
                return;
            }
            if (self->server_->stopped) return;
            self->route(self->parser_->release());
        });
    }

    std::string clientAddress(const Request& request) const {
        // Behind a proxy on this machine, the client is the last address
        // the proxy added; nobody else can reach a loopback listener.
        if (!server_->secure()) {
            const std::string forwarded(request["X-Forwarded-For"]);
            if (!forwarded.empty()) {
                auto last = forwarded.substr(forwarded.rfind(',') == std::string::npos ? 0 : forwarded.rfind(',') + 1);
                while (!last.empty() && last.front() == ' ') last.erase(0, 1);
                while (!last.empty() && last.back() == ' ') last.pop_back();
                if (!last.empty() && last.size() <= 64) return last;
            }
        }
        return peer_;
    }

    void route(Request request) {
        const std::string target(request.target());
        const std::string path = target.substr(0, target.find('?'));
        if (ws::is_upgrade(request)) return upgrade(std::move(request), path);
        if (path.starts_with("/v1/")) {
            AccountRequest call;
            call.method = std::string(request.method_string());
            call.target = target;
            call.contentType = std::string(request[http::field::content_type]);
            call.authorization = std::string(request[http::field::authorization]);
            call.body = request.body();
            call.client = clientAddress(request);
            auto answer = server_->accounts.handle(call);
            const auto version = request.version();
            const bool keepAlive = request.keep_alive();
            if (!answer.delivery) return respond(jsonAnswer(answer, version, keepAlive));
            const auto delivery = *answer.delivery;
            const bool queued = server_->deliver(
                delivery, [self = this->shared_from_this(), delivery, version, keepAlive](std::optional<std::string> error) {
                    self->respond(jsonAnswer(self->server_->accounts.delivered(delivery, error), version, keepAlive));
                });
            if (!queued)
                respond(jsonAnswer(server_->accounts.delivered(delivery, std::string("too many codes waiting to be sent")),
                                   version, keepAlive));
            return;
        }
        const auto file = server_->page.find(path);
        if (file == server_->page.end() || (request.method() != http::verb::get && request.method() != http::verb::head)) {
            Response response{file == server_->page.end() ? http::status::not_found : http::status::method_not_allowed,
                              request.version()};
            response.set(http::field::content_type, "text/plain; charset=utf-8");
            for (const auto& [name, value] : HTTPResponse::securityHeaders()) response.set(name, value);
            response.body() = file == server_->page.end() ? "Not Found\n" : "Method Not Allowed\n";
            response.keep_alive(request.keep_alive());
            response.prepare_payload();
            return respond(std::move(response));
        }
        Response response{http::status::ok, request.version()};
        response.set(http::field::content_type, file->second.type);
        for (const auto& [name, value] : HTTPResponse::securityHeaders()) response.set(name, value);
        if (server_->secure()) response.set(HTTPResponse::strictTransport().first, HTTPResponse::strictTransport().second);
        response.body() = request.method() == http::verb::head ? std::string() : file->second.bytes;
        response.keep_alive(request.keep_alive());
        response.prepare_payload();
        if (request.method() == http::verb::head) response.content_length(file->second.bytes.size());
        respond(std::move(response));
    }

    void upgrade(Request request, const std::string& path) {
        static const std::string hostPrefix = "/relay/v1/host/", devicePrefix = "/relay/v1/device/";
        const bool host = path.starts_with(hostPrefix);
        if (!host && !path.starts_with(devicePrefix)) return refuseUpgrade(request, 404, "not-found");
        const auto room = path.substr(host ? hostPrefix.size() : devicePrefix.size());
        const auto offered = request[http::field::sec_websocket_protocol];
        if (!offers(std::string_view(offered.data(), offered.size()), "morvane.v1"))
            return refuseUpgrade(request, 400, "subprotocol");
        beast::get_lowest_layer(next_).expires_never();
        if (host) {
            const auto admission =
                server_->accounts.admitHost(room, std::string(request["X-Morvane-Host-Auth"]));
            if (admission.status != 0) {
                server_->log("refused link for room " + (room.size() <= 64 ? room : room.substr(0, 64)) + " from " +
                             peer_ + ": " + admission.reason);
                return refuseUpgrade(request, admission.status, admission.status == 410 ? "not-on-account" : "refused");
            }
            auto socket = std::make_shared<Socket<Next>>(server_, std::move(next_), true, room);
            socket->accept(request, [server = server_, room, key = admission.publicKey, name = admission.name,
                                     from = peer_](const std::shared_ptr<Socket<Next>>& opened) {
                server->log("link for room " + room + " (\"" + name + "\") from " + from + ", proving");
                server->hub.hostOpened(opened, room, key);
            });
            return;
        }
        // A device's socket is accepted before its ticket is judged, so that
        // the page reads why in the close code.
        const auto target = request.target();
        const std::string ticket = queryValue(std::string_view(target.data(), target.size()), "ticket");
        auto socket = std::make_shared<Socket<Next>>(server_, std::move(next_), false, room);
        socket->accept(request, [server = server_, room, ticket](const std::shared_ptr<Socket<Next>>& opened) {
            const auto admission = server->accounts.admitDevice(room, ticket);
            if (admission.closeCode != 0) {
                server->log("refused a device for room " + (room.size() <= 64 ? room : room.substr(0, 64)) + ": " +
                            admission.reason);
                opened->close(admission.closeCode, admission.reason);
                return;
            }
            server->hub.deviceOpened(opened, room, admission.userId, admission.session);
        });
    }

    void refuseUpgrade(const Request& request, int status, const std::string& word) {
        AccountAnswer refusal{status, {{"error", word}}, std::nullopt};
        respond(jsonAnswer(refusal, request.version(), false));
    }

    void respond(Response response) {
        auto shared = std::make_shared<Response>(std::move(response));
        beast::get_lowest_layer(next_).expires_after(handshakeTime);
        http::async_write(next_, *shared, [self = this->shared_from_this(), shared](beast::error_code ec, std::size_t) {
            if (ec) return;
            if (shared->keep_alive()) return self->readRequest();
            beast::error_code ignored;
            beast::get_lowest_layer(self->next_).socket().shutdown(tcp::socket::shutdown_send, ignored);
        });
    }

    std::shared_ptr<RelayServer::Impl> server_;
    Next next_;
    std::string peer_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
};

}  // namespace

void RelayServer::Impl::accept() {
    acceptor->async_accept([self = shared_from_this()](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !self->acceptor) return;
        if (!ec) {
            beast::error_code ignored;
            const auto remote = socket.remote_endpoint(ignored);
            const auto peer = ignored ? std::string("?") : remote.address().to_string();
            socket.set_option(tcp::no_delay(true), ignored);
            if (self->tls) {
                std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(
                    self, beast::ssl_stream<beast::tcp_stream>(beast::tcp_stream(std::move(socket)), *self->tls), peer)
                    ->start();
            } else {
                std::make_shared<Session<beast::tcp_stream>>(self, beast::tcp_stream(std::move(socket)), peer)->start();
            }
        }
        self->accept();
    });
}

RelayServer::RelayServer(asio::io_context& io, RelayServerOptions options, RelayAccounts& accounts, RelayHub& hub,
                         CodeSender sender, std::function<void(const std::string&)> log)
    : impl_(std::make_shared<Impl>(io, std::move(options), accounts, hub, std::move(sender), std::move(log))) {}

RelayServer::~RelayServer() {
    impl_->stopped = true;
    if (impl_->acceptor) {
        beast::error_code ignored;
        impl_->acceptor->close(ignored);
    }
}

void RelayServer::start() {
    auto& options = impl_->options;
    if (options.certificateFile.empty() != options.keyFile.empty())
        throw std::runtime_error("TLS needs both a certificate file and a key file");
    if (impl_->secure())
        impl_->tls = makeTls(options.certificateFile, options.keyFile);
    else if (!isLoopbackAddress(options.address))
        throw std::runtime_error("plain HTTP listens on loopback only (" + options.address +
                                 " is not); give a certificate and key, or put a proxy that ends TLS in front");
    tcp::resolver resolver(impl_->io);
    boost::system::error_code ec;
    const auto found = resolver.resolve(options.address, std::to_string(options.port), ec);
    if (ec || found.empty()) throw std::runtime_error("cannot resolve the listen address " + options.address);
    const tcp::endpoint at = found.begin()->endpoint();
    if (!impl_->secure() && !at.address().is_loopback())
        throw std::runtime_error("plain HTTP listens on loopback only");
    auto acceptor = std::make_unique<tcp::acceptor>(impl_->io);
    acceptor->open(at.protocol(), ec);
    if (!ec) acceptor->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor->bind(at, ec);
    if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec)
        throw std::runtime_error("cannot listen on " + at.address().to_string() + ":" + std::to_string(at.port()) + ": " +
                                 ec.message());
    impl_->acceptor = std::move(acceptor);
    impl_->accept();
}

std::uint16_t RelayServer::port() const {
    return impl_->acceptor ? impl_->acceptor->local_endpoint().port() : 0;
}

bool RelayServer::reloadCertificate() {
    if (!impl_->secure()) return true;
    try {
        impl_->tls = makeTls(impl_->options.certificateFile, impl_->options.keyFile);
        impl_->log("certificate reloaded from " + impl_->options.certificateFile);
        return true;
    } catch (const std::exception& error) {
        impl_->log(std::string("certificate not reloaded, the old one stays: ") + error.what());
        return false;
    }
}

void RelayServer::stop() {
    if (impl_->acceptor) {
        beast::error_code ignored;
        impl_->acceptor->close(ignored);
        impl_->acceptor.reset();
    }
    if (!impl_->stopped) impl_->hub.shutDown();
    impl_->stopped = true;
}

}  // namespace morvane::relay_service

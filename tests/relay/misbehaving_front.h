// A relay that misbehaves as morvane-relay never does, for the host's link
// and account client to meet: the test's own TLS front before the relay
// service (plain HTTP on loopback), which refuses links or account calls
// with a status, answers a link's upgrade with another subprotocol or none,
// or holds what the relay sends a link after its upgrade. Everything else
// goes through as it came. The relay itself reads no fault: what it does
// wrong here is done outside it, on its wire.
//
// One io_context on a thread of its own; gone with the front.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace morvane::testing {

struct FrontFaults {
    // Every link's upgrade is answered with this status.
    std::optional<int> refuseLinks;
    // Every account call is answered with this status and no word.
    std::optional<int> refuseAccountCalls;
    // A link's upgrade is answered with this subprotocol ("": none) in
    // place of the relay's own.
    std::optional<std::string> linkSubprotocol;
    // What the relay sends a link once it upgraded (its challenge first)
    // reaches it only this long after: a relay that says nothing, or is
    // slow to.
    std::optional<std::chrono::milliseconds> holdLinks;
};

class MisbehavingFront {
public:
    MisbehavingFront(const std::string& certificatePem, const std::string& keyPem, std::uint16_t relayPort,
                     FrontFaults faults)
        : faults_(std::move(faults)), relayPort_(relayPort) {
        tls_.use_certificate_chain(boost::asio::buffer(certificatePem));
        tls_.use_private_key(boost::asio::buffer(keyPem), boost::asio::ssl::context::pem);
        acceptor_.open(tcp::v4());
        acceptor_.set_option(tcp::acceptor::reuse_address(true));
        acceptor_.bind({boost::asio::ip::make_address("127.0.0.1"), 0});
        acceptor_.listen();
        accept();
        thread_ = std::thread([this] { io_.run(); });
    }
    ~MisbehavingFront() {
        io_.stop();
        thread_.join();
    }
    MisbehavingFront(const MisbehavingFront&) = delete;
    MisbehavingFront& operator=(const MisbehavingFront&) = delete;

    std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

private:
    using tcp = boost::asio::ip::tcp;
    struct Connection : std::enable_shared_from_this<Connection> {
        Connection(MisbehavingFront& front, tcp::socket socket)
            : front(front), client(std::move(socket), front.tls_), relay(front.io_), hold(front.io_) {}

        void start() {
            client.async_handshake(boost::asio::ssl::stream_base::server, [self = shared_from_this()](auto ec) {
                if (ec) return;
                boost::beast::http::async_read(self->client, self->fromClient, self->request,
                                               [self](auto ec, std::size_t) {
                                                   if (!ec) self->decide();
                                               });
            });
        }

        void decide() {
            const std::string target(request.target());
            const bool link = target.starts_with("/relay/v1/host/");
            const auto& faults = front.faults_;
            if (link && faults.refuseLinks) return answer(*faults.refuseLinks, R"({"error":"refused"})");
            if (target.starts_with("/v1/") && faults.refuseAccountCalls) return answer(*faults.refuseAccountCalls, "");
            relay.async_connect({boost::asio::ip::make_address("127.0.0.1"), front.relayPort_},
                                [self = shared_from_this(), link](auto ec) {
                                    if (ec) return;
                                    boost::beast::http::async_write(self->relay, self->request, [self, link](auto ec, std::size_t) {
                                        if (ec) return;
                                        if (link) return self->upgrade();
                                        self->flowBoth();
                                    });
                                });
        }

        void answer(int status, std::string body) {
            namespace http = boost::beast::http;
            auto response = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(status), 11);
            response->set(http::field::content_type, "application/json");
            response->keep_alive(false);
            response->body() = std::move(body);
            response->prepare_payload();
            http::async_write(client, *response, [self = shared_from_this(), response](auto, std::size_t) {
                self->client.async_shutdown([self](auto) {});
            });
        }

        // The relay's answer to the upgrade, changed as the faults say, then
        // what follows it, held as they say.
        void upgrade() {
            namespace http = boost::beast::http;
            http::async_read_header(relay, fromRelay, upgradeAnswer, [self = shared_from_this()](auto ec, std::size_t) {
                if (ec) return;
                auto& header = self->upgradeAnswer.get();
                if (const auto& word = self->front.faults_.linkSubprotocol) {
                    if (word->empty())
                        header.erase(http::field::sec_websocket_protocol);
                    else
                        header.set(http::field::sec_websocket_protocol, *word);
                }
                http::async_write(self->client, header, [self](auto ec, std::size_t) {
                    if (ec) return;
                    self->hold.expires_after(self->front.faults_.holdLinks.value_or(std::chrono::milliseconds(0)));
                    self->hold.async_wait([self](auto ec) {
                        if (!ec) self->flowBoth();
                    });
                });
            });
        }

        // Bytes either way as they come, what was read past the request and
        // its answer first.
        void flowBoth() {
            flow(fromClient, [this]() -> auto& { return client; }, [this]() -> auto& { return relay; });
            flow(fromRelay, [this]() -> auto& { return relay; }, [this]() -> auto& { return client; });
        }
        template <class From, class To>
        void flow(boost::beast::flat_buffer& buffer, From from, To to) {
            if (buffer.size() > 0) {
                boost::asio::async_write(to(), buffer.data(), [self = shared_from_this(), &buffer, from, to](auto ec, std::size_t n) {
                    if (ec) return self->end();
                    buffer.consume(n);
                    self->flow(buffer, from, to);
                });
                return;
            }
            from().async_read_some(buffer.prepare(16 << 10), [self = shared_from_this(), &buffer, from, to](auto ec, std::size_t n) {
                if (ec) return self->end();
                buffer.commit(n);
                self->flow(buffer, from, to);
            });
        }
        void end() {
            boost::system::error_code ignored;
            relay.close(ignored);
            client.next_layer().close(ignored);
        }

        MisbehavingFront& front;
        boost::asio::ssl::stream<tcp::socket> client;
        tcp::socket relay;
        boost::asio::steady_timer hold;
        boost::beast::flat_buffer fromClient, fromRelay;
        boost::beast::http::request<boost::beast::http::string_body> request;
        boost::beast::http::response_parser<boost::beast::http::empty_body> upgradeAnswer;
    };

    void accept() {
        acceptor_.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
            if (ec) return;
            std::make_shared<Connection>(*this, std::move(socket))->start();
            accept();
        });
    }

    FrontFaults faults_;
    std::uint16_t relayPort_;
    // Outlives the connections the io_context still holds as it goes.
    boost::asio::ssl::context tls_{boost::asio::ssl::context::tls_server};
    boost::asio::io_context io_;
    tcp::acceptor acceptor_{io_};
    std::thread thread_;
};

}  // namespace morvane::testing

#include "relay_service/relay_listener.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>

#include "core/clock.h"

#include "relay_service/client_address.h"
#include "relay_service/relay_limits.h"

namespace morvane::relay_service {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

int connectionsWithin(std::uint64_t descriptorLimit) {
    const auto room = descriptorLimit > RelayLimits::reservedDescriptors
                          ? descriptorLimit - RelayLimits::reservedDescriptors
                          : 1;
    return static_cast<int>(std::min<std::uint64_t>(room, 1u << 30));
}

RelayListener::RelayListener(Acceptor acceptor, Options options, std::shared_ptr<ConnectionCounts> counts,
                             Accepted accepted)
    : acceptor_(std::move(acceptor)),
      backOff_(acceptor_.get_executor()),
      options_(std::move(options)),
      accepted_(std::move(accepted)),
      counts_(std::move(counts)) {}

void RelayListener::start() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const int most = connectionsWithin(limit.rlim_cur);
        const auto wanted = counts_->limits().connections;
        if (most < wanted) {
            counts_->capTotal(most);
            options_.log.warning("at most " + std::to_string(most) + " connections (limits.connections is " +
                                 std::to_string(wanted) + "): the descriptor limit is " +
                                 std::to_string(limit.rlim_cur) + "; raise it (LimitNOFILE, ulimit -n) to allow more");
        }
    }
    accept();
}

void RelayListener::stop() {
    stopped_ = true;
    boost::system::error_code ignored;
    backOff_.cancel();
    acceptor_.close(ignored);
}

std::uint16_t RelayListener::port() const {
    boost::system::error_code ec;
    const auto at = acceptor_.local_endpoint(ec);
    return ec ? 0 : at.port();
}

void RelayListener::accept() {
    acceptor_.async_accept([self = shared_from_this()](boost::system::error_code ec, Socket socket) {
        if (self->stopped_ || ec == asio::error::operation_aborted) return;
        if (!ec) {
            if (self->starved_) {
                self->starved_ = false;
                self->options_.log.info("accepting connections again");
            }
            if (self->admit(std::move(socket))) return self->takeWaiting();
            return self->accept();
        }
        // A client that gave up before it was accepted costs nothing.
        if (ec == asio::error::connection_aborted) return self->accept();
        // Anything else (no descriptors, no memory) would fail again at
        // once: wait a moment, and say so once.
        if (!self->starved_) {
            self->starved_ = true;
            const bool descriptors = ec == asio::error::no_descriptors || ec.value() == ENFILE;
            self->options_.log.warning(std::string(descriptors ? "out of file descriptors" : "cannot accept") +
                                       " (" + ec.message() + "): new connections wait");
        }
        self->backOff_.expires_after(std::chrono::milliseconds(RelayLimits::acceptBackOffMillis));
        self->backOff_.async_wait([self](boost::system::error_code waited) {
            if (!waited && !self->stopped_) self->accept();
        });
    });
}

// Everything else the kernel holds for us is taken in within this turn,
// ahead of any handshake's: whose handshake goes first can only be decided
// among clients the relay has accepted. At most a backlog's worth, so that
// a flood of connects still leaves the loop its other work, and none past
// one refused for the total (those behind it would be refused too).
void RelayListener::takeWaiting() {
    boost::system::error_code ec;
    acceptor_.non_blocking(true, ec);
    for (int taken = 1; !ec && taken < RelayLimits::listenBacklog; ++taken) {
        Socket socket(acceptor_.get_executor());
        acceptor_.accept(socket, ec);
        if (ec == asio::error::connection_aborted) {
            ec = {};
        } else if (!ec && !admit(std::move(socket))) {
            break;
        }
    }
    // Nothing more waits, or accepting failed: the asynchronous accept
    // waits for the next, or says why and backs off.
    accept();
}

void ConnectionSlot::idle() {
    if (counts_) counts_->idle(id_, nowMillis());
}

bool ConnectionSlot::answer(std::size_t bytes, std::function<void()> start) {
    if (counts_) return counts_->answer(id_, bytes, std::move(start), nowMillis());
    start();
    return false;
}

void ConnectionSlot::took() {
    if (counts_) counts_->took(id_, nowMillis());
}

void ConnectionSlot::answered() {
    if (counts_) counts_->answered(id_, nowMillis());
}

void ConnectionSlot::give() {
    if (counts_) counts_->release(id_, nowMillis());
    counts_.reset();
}

void ConnectionSlot::closing() {
    if (counts_) counts_->closing(id_, nowMillis());
}

bool RelayListener::admit(Socket socket) {
    boost::system::error_code ec;
    const auto remote = socket.remote_endpoint(ec);
    if (ec) return true;  // gone already
    const auto address = remote.address();
    // A trusted proxy's connections carry many clients: only the total
    // counts them.
    const bool perAddress = !(options_.trusted && options_.trusted(address));
    const auto now = nowMillis();
    const auto networks = perAddress ? clientNetworks(address) : std::vector<std::string>{};
    const auto admission = counts_->admit(networks, now);
    for (const auto id : admission.shed)
        if (const auto close = counts_->takeShed(id)) close();
    const auto shed = admission.shed.empty() ? std::nullopt
                                             : shed_.due(now, static_cast<std::int64_t>(admission.shed.size()));
    if (shed)
        options_.log.warning("closed " + std::to_string(*shed) + " idle connection" + (*shed == 1 ? "" : "s") +
                             " to let new ones in: " + std::to_string(counts_->open()) + " are open (" +
                             std::to_string(counts_->fresh()) + " yet to complete a request, at most " +
                             std::to_string(counts_->freshLimit()) + "), the most the relay may have is " +
                             std::to_string(counts_->limits().connections));
    if (admission.verdict != ConnectionCounts::Verdict::admitted) {
        // Refused at once: a close is the politest answer a client that has
        // not spoken yet can get.
        socket.close(ec);
        if (admission.verdict == ConnectionCounts::Verdict::addressFull) {
            const auto level = static_cast<std::size_t>(
                std::find(networks.begin(), networks.end(), admission.network) - networks.begin());
            const auto slash = admission.network.rfind('/');
            const auto what = level == 0 || slash == std::string::npos ? std::string("address")
                                                                      : admission.network.substr(slash);
            refusedNetwork_.say(options_.log, Severity::warning,
                                "refusing connections from " + admission.network + ": " +
                                    std::to_string(counts_->limitAt(level)) + " are open, the most one " + what +
                                    " may have",
                                now);
        } else {
            refusedTotal_.say(options_.log, Severity::warning,
                              "refusing connections: " + std::to_string(counts_->limits().connections) +
                                  " are open, none of them idle, the most the relay may have",
                              now);
        }
        return admission.verdict == ConnectionCounts::Verdict::addressFull;
    }
    socket.set_option(tcp::no_delay(true), ec);
    // Small until the connection upgrades: an answer its client does not
    // read holds no more of the kernel's memory than this.
    socket.set_option(asio::socket_base::send_buffer_size(RelayLimits::answerSendBufferBytes), ec);
    accepted_(std::move(socket), ConnectionSlot(counts_, admission.id));
    return true;
}

}  // namespace morvane::relay_service

#include "server/remote_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cstdio>
#include <limits>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/post.hpp>

#include "server/remote_connection.h"

namespace morvane {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {
constexpr std::int64_t idleMillis = static_cast<std::int64_t>(WSLimits::idleSeconds * 1000);
constexpr int keepaliveIdleSeconds = 20;

bool transientAcceptError(const boost::system::error_code& ec) {
    return ec == asio::error::connection_aborted || ec == asio::error::no_descriptors ||
           ec == asio::error::no_buffer_space || ec == asio::error::no_memory ||
           ec == boost::system::errc::too_many_files_open_in_system || ec == asio::error::interrupted ||
           ec == asio::error::try_again;
}
}  // namespace

std::shared_ptr<RemoteServer> RemoteServer::create(Setup setup) {
    return std::shared_ptr<RemoteServer>(new RemoteServer(std::move(setup)));
}

RemoteServer::RemoteServer(Setup setup)
    : port_(setup.port),
      site_(std::move(setup.site)),
      store_(*setup.store),
      frames_(setup.frames),
      input_(setup.input),
      clipboard_(setup.clipboard),
      fileAccess_(setup.files),
      effects_(setup.effects),
      statusProvider_(std::move(setup.status)),
      main_(setup.mainQueue),
      clock_(std::move(setup.clock)),
      queue_(std::make_unique<ServerQueue>("mac-remote.server")),
      policy_(setup.port, std::move(setup.tailnet)),
      paused_(setup.paused),
      pausedMirror_(setup.paused) {
    if (!setup.store || !frames_ || !input_ || !main_) throw std::invalid_argument("the server needs its collaborators");
    if (!statusProvider_) statusProvider_ = [] { return HostStatus{}; };
    if (!clock_) clock_ = [] { return nowMillis(); };
}

RemoteServer::~RemoteServer() {
    // The loop stops first so no completion runs into freed state; the
    // sockets and timers go while their context still exists.
    queue_->shutdown();
    controller_.reset();
    connections_.clear();
    listener_.reset();
    timer_.reset();
    queue_.reset();
}

void RemoteServer::runOnQueue(const std::function<void()>& work) { runSync(*queue_, work); }

void RemoteServer::onMain(std::function<void()> work) { main_->post(std::move(work)); }

// ---- Lifecycle ----

void RemoteServer::start() {
    if (port_ == 0) throw StartError::invalidPort();
    std::optional<StartError> failure;
    runOnQueue([&] {
        if (listener_) {
            failure = StartError::alreadyRunning();
            return;
        }
        auto acceptor = std::make_unique<tcp::acceptor>(queue_->context());
        boost::system::error_code ec;
        tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port_);
        acceptor->open(endpoint.protocol(), ec);
        if (!ec) acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
        if (!ec) acceptor->bind(endpoint, ec);
        if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
        if (ec) {
            failure = StartError::bindFailed(ec.message());
            return;
        }
        listener_ = std::move(acceptor);
        accept();
        timer_ = std::make_unique<asio::steady_timer>(queue_->context());
        timer_->expires_after(std::chrono::milliseconds(tickMillis));
        scheduleTick();
    });
    if (failure) throw *failure;
    installSourceCallbacks();
}

void RemoteServer::installSourceCallbacks() {
    std::weak_ptr<RemoteServer> weak = weak_from_this();
    // Pictures, video and the display list reach the server through the
    // delivery and display features; until they exist a source's output has
    // nowhere to go.
    frames_->setOnStoppedByOwner([weak] {
        if (auto self = weak.lock()) self->queue_->post([weak] {
                if (auto s = weak.lock()) s->applyPause(PauseCause::stopSharing);
            });
    });
}

void RemoteServer::accept() {
    if (!listener_) return;
    auto socket = std::make_shared<tcp::socket>(queue_->context());
    std::weak_ptr<RemoteServer> weak = weak_from_this();
    auto* listener = listener_.get();
    listener_->async_accept(*socket, [weak, socket, listener](const boost::system::error_code& ec) {
        auto self = weak.lock();
        if (!self) {
            boost::system::error_code ignored;
            socket->close(ignored);
            return;
        }
        if (self->listener_.get() != listener) return;  // stopped, or a newer listener
        if (ec == asio::error::operation_aborted) return;
        if (ec && transientAcceptError(ec)) {
            // The listener itself is fine; the machine is short of something
            // for a moment.
            self->queue_->postAfter(100, [weak] {
                if (auto s = weak.lock()) s->accept();
            });
            return;
        }
        if (ec) {
            std::string text = ec.message();
            boost::system::error_code ignored;
            self->listener_->close(ignored);
            self->listener_.reset();
            std::fprintf(stderr, "RemoteServer: listener stopped: %s\n", text.c_str());
            std::fflush(stderr);
            self->shutDownConnections(nullptr);
            self->onMain([weak, text] {
                if (auto s = weak.lock(); s && s->onListenerFailure) s->onListenerFailure(text);
            });
            return;
        }
        self->newConnection(socket);
        self->accept();
    });
}

bool RemoteServer::makeRoom() {
    if (connections_.size() < static_cast<std::size_t>(HTTPLimits::maxConnections)) return true;
    for (auto& [serial, connection] : connections_) {  // ascending serial: oldest first
        auto phase = connection->phase();
        if (phase == ConnectionPhase::http || phase == ConnectionPhase::awaitingAuth) {
            auto victim = connection;
            victim->hardClose();
            return true;
        }
    }
    return false;
}

void RemoteServer::newConnection(std::shared_ptr<tcp::socket> socket) {
    boost::system::error_code ec;
    if (!makeRoom()) {
        socket->close(ec);
        return;
    }
    socket->set_option(tcp::no_delay(true), ec);
    socket->set_option(asio::socket_base::keep_alive(true), ec);
    int idle = keepaliveIdleSeconds;
    ::setsockopt(socket->native_handle(), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    auto connection = std::make_shared<RemoteConnection>(socket, weak_from_this(), ++nextSerial_, now());
    connections_[connection->serial()] = connection;
    connection->start();
}

void RemoteServer::scheduleTick() {
    std::weak_ptr<RemoteServer> weak = weak_from_this();
    timer_->async_wait([weak](const boost::system::error_code& ec) {
        if (ec) return;
        auto self = weak.lock();
        if (!self || !self->timer_) return;
        // Scheduled from the previous deadline so the rhythm does not drift.
        self->timer_->expires_at(self->timer_->expiry() + std::chrono::milliseconds(tickMillis));
        self->tick();
        if (self->timer_) self->scheduleTick();
    });
}

void RemoteServer::tick() {
    if (effects_) {
        auto* effects = effects_;
        onMain([effects] { effects->keepAlive(); });
    }
    if (!controller_) return;
    if (now() - controller_->lastReceive() > idleMillis) {
        auto c = controller_;
        c->bye("timeout");
        return;
    }
    if (auto& device = controller_->device()) {
        bool present = false;
        for (const auto& d : store_.devices()) present = present || d.id == device->id;
        if (!present) {
            auto c = controller_;
            c->bye("revoked");
            return;
        }
    }
    // Video, clipboard expiry, display-switch settling, display effects and
    // file transfers take their turn here, in that order, once they exist.
    pollStatus();
}

void RemoteServer::stop() {
    bool hadController = false;
    struct Done {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
    };
    auto done = std::make_shared<Done>();
    runOnQueue([&] {
        boost::system::error_code ec;
        if (listener_) {
            listener_->close(ec);
            listener_.reset();
        }
        if (timer_) {
            timer_->cancel();
            timer_.reset();
        }
        hadController = controller_ != nullptr;
        shutDownConnections([done] {
            std::lock_guard lock(done->m);
            done->done = true;
            done->cv.notify_all();
        });
    });
    frames_->setOnFrame(nullptr);
    frames_->setOnVideoFrame(nullptr);
    frames_->setOnVideoFailure(nullptr);
    frames_->setOnStoppedByOwner(nullptr);
    frames_->setOnDisplaysChanged(nullptr);
    {
        std::unique_lock lock(done->m);
        done->cv.wait_for(lock, std::chrono::milliseconds(500), [&] { return done->done; });
    }
    auto* input = input_;
    auto* effects = effects_;
    auto restore = [hadController, input, effects] {
        if (hadController) input->releaseEverything();
        if (effects) effects->restoreAll(std::numeric_limits<std::int64_t>::max());
    };
    if (main_->isCurrent())
        restore();
    else
        main_->post(restore);
}

void RemoteServer::shutDownConnections(std::function<void()> completion) {
    auto all = connections_;
    for (auto& [serial, connection] : all) {
        if (connection != controller_) connection->hardClose();
    }
    if (controller_) {
        auto c = controller_;
        c->setOnFinished(std::move(completion));
        c->bye("host-quit");
    } else if (completion) {
        completion();
    }
}

void RemoteServer::connectionFinished(RemoteConnection& connection) { connections_.erase(connection.serial()); }

// ---- Sessions ----

bool RemoteServer::isController(const RemoteConnection& connection) const { return controller_.get() == &connection; }

void RemoteServer::setController(const std::optional<PairedDevice>& device, std::optional<ConnectionRoute> route) {
    std::lock_guard lock(nameLock_);
    currentName_ = device ? std::optional(device->name) : std::nullopt;
    currentDeviceID_ = device ? std::optional(device->id) : std::nullopt;
    currentViaTailnet_ = route == ConnectionRoute::tailnet;
    currentRoute_ = route;
}

std::int64_t RemoteServer::endSessionEffects() { return ++fxEpoch_; }

void RemoteServer::admit(const std::shared_ptr<RemoteConnection>& connection, const PairedDevice& device) {
    auto previous = controller_;
    connection->becomeController(device);
    controller_ = connection;
    // Video, clipboard and display-switch state of the session would be
    // reset here; nothing of it exists yet.
    bool videoWasActive = false;
    std::int64_t epoch = endSessionEffects();
    std::optional<std::string> previousID;
    if (previous && previous->device()) previousID = previous->device()->id;
    std::string routeWord(recordName(connection->route()));
    if (previous) previous->bye("taken-over");
    setController(device, connection->route());
    if (relayObserver_) relayObserver_(RelayServerEvent::controllerConnected);
    lastStatus_.reset();
    bool wasCapturing = capturing_;
    capturing_ = true;
    if (connection->phase() == ConnectionPhase::controller)
        connection->sendJSON({{"t", "ready"}, {"device", device.name}, {"version", protocolVersion}});

    std::weak_ptr<RemoteServer> weak = weak_from_this();
    bool hadPrevious = previous != nullptr;
    onMain([weak, hadPrevious, epoch, videoWasActive, wasCapturing, previousID, device, routeWord] {
        auto self = weak.lock();
        if (!self) return;
        if (hadPrevious) self->input_->releaseEverything();
        if (self->effects_) self->effects_->restoreAll(epoch);
        if (videoWasActive) self->frames_->stopVideo();
        if (wasCapturing) {
            self->frames_->selectDisplay(std::nullopt);
            self->frames_->requestFrame();
        } else if (!self->isPaused()) {
            self->frames_->start();
        }
        if (self->onControllerChange) self->onControllerChange(device.name);
        if (previousID && self->onSession) self->onSession(session_event::Ended{*previousID, true});
        if (self->onSession) self->onSession(session_event::Started{device.id, device.name, routeWord});
    });
    pollStatus();
}

void RemoteServer::connectionStoppedServing(RemoteConnection& connection) {
    if (!isController(connection)) return;
    auto gone = controller_;
    controller_.reset();
    capturing_ = false;
    lastStatus_.reset();
    bool videoWasActive = false;
    setController(std::nullopt, std::nullopt);
    std::int64_t epoch = endSessionEffects();
    std::optional<std::string> deviceID;
    if (gone->device()) deviceID = gone->device()->id;
    std::weak_ptr<RemoteServer> weak = weak_from_this();
    onMain([weak, epoch, videoWasActive, deviceID] {
        auto self = weak.lock();
        if (!self) return;
        self->input_->releaseEverything();
        if (self->effects_) self->effects_->restoreAll(epoch);
        if (videoWasActive) self->frames_->stopVideo();
        self->frames_->stop();
        if (self->onControllerChange) self->onControllerChange(std::nullopt);
        if (deviceID && self->onSession) self->onSession(session_event::Ended{*deviceID, false});
    });
}

void RemoteServer::reportPairAttempt(bool viaTailnet, PairAttempt attempt) {
    std::weak_ptr<RemoteServer> weak = weak_from_this();
    onMain([weak, viaTailnet, attempt] {
        if (auto self = weak.lock(); self && self->onPairAttempt) self->onPairAttempt(viaTailnet, attempt);
    });
}

void RemoteServer::disconnectController(const std::string& reason) {
    std::string word = reason == "revoked" ? "revoked" : "disconnected-by-host";
    runOnQueue([&] {
        if (auto c = controller_) c->bye(word);
    });
}

// ---- Messages ----

void RemoteServer::handle(const ClientMessage& message, RemoteConnection& connection) {
    if (!isController(connection)) return;
    auto* frames = frames_;
    std::visit(
        [&](const auto& m) {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, ClientMessage::Ping>) {
                connection.sendJSON({{"t", "pong"}, {"id", m.id}});
            } else if constexpr (std::is_same_v<T, ClientMessage::Input>) {
                handleInput(m.event);
            } else if constexpr (std::is_same_v<T, ClientMessage::Quality>) {
                auto q = m.quality;
                onMain([frames, q] { frames->setQuality(q); });
            } else if constexpr (std::is_same_v<T, ClientMessage::Refresh>) {
                // Pictures only until video exists, and a picture may be asked
                // for as often as the device likes.
                onMain([frames] { frames->requestFrame(); });
            } else {
                // Authentication after admission, and the video, keyframe,
                // clipboard, display, file, sound and display-effects requests:
                // nothing to do until their features exist.
            }
        },
        message.value);
}

void RemoteServer::handleBinary(const Bytes& /*data*/, RemoteConnection& /*connection*/) {
    // Uploaded file chunks belong to the file-transfer engine.
}

void RemoteServer::handleInput(const InputEvent& event) {
    std::weak_ptr<RemoteServer> weak = weak_from_this();
    onMain([weak, event] {
        auto self = weak.lock();
        if (!self || self->isPaused()) return;
        self->input_->handle(event);
    });
}

void RemoteServer::pollStatus() {
    if (!controller_) return;
    std::weak_ptr<RemoteConnection> target = controller_;
    std::weak_ptr<RemoteServer> weak = weak_from_this();
    onMain([weak, target] {
        auto self = weak.lock();
        if (!self) return;
        HostStatus host = self->statusProvider_();
        std::string capture = self->frames_->state();
        self->queue_->post([weak, target, host, capture] {
            auto s = weak.lock();
            auto c = target.lock();
            if (!s || !c || s->controller_ != c) return;
            auto fresh = std::make_pair(host, capture);
            if (s->lastStatus_ && *s->lastStatus_ == fresh) return;
            s->lastStatus_ = fresh;
            c->sendJSON({{"t", "status"},
                         {"capture", capture},
                         {"input", host.input},
                         {"locked", host.locked},
                         {"sleepDisabled", host.sleepDisabled},
                         {"lidClosed", host.lidClosed}});
        });
    });
}

// ---- Pause, tailnet, relay ----

void RemoteServer::applyPause(PauseCause cause) {
    if (paused_) return;
    paused_ = true;
    {
        std::lock_guard lock(nameLock_);
        pausedMirror_ = true;
    }
    store_.closePairingWindow();
    if (cause == PauseCause::stopSharing) {
        std::weak_ptr<RemoteServer> weak = weak_from_this();
        onMain([weak] {
            if (auto self = weak.lock(); self && self->onStoppedOnMac) self->onStoppedOnMac();
        });
    }
    if (auto c = controller_) c->bye(std::string(byeReason(cause)));
    if (relayObserver_) relayObserver_(RelayServerEvent::paused);
}

void RemoteServer::pause(PauseCause cause) {
    std::int64_t epoch = 0;
    runOnQueue([&] {
        applyPause(cause);
        epoch = fxEpoch_;
    });
    if (!effects_) return;
    auto* effects = effects_;
    if (main_->isCurrent())
        effects->restoreAll(epoch);
    else
        main_->post([effects, epoch] { effects->restoreAll(epoch); });
}

void RemoteServer::resume() {
    runOnQueue([&] {
        paused_ = false;
        std::lock_guard lock(nameLock_);
        pausedMirror_ = false;
    });
}

bool RemoteServer::isPaused() const {
    std::lock_guard lock(nameLock_);
    return pausedMirror_;
}

std::optional<TailnetAccess> RemoteServer::tailnetAccess() {
    std::optional<TailnetAccess> copy;
    runOnQueue([&] { copy = policy_.tailnet; });
    return copy;
}

void RemoteServer::setTailnetAccess(std::optional<TailnetAccess> access) {
    runOnQueue([&] {
        if (policy_.tailnet == access) return;
        policy_.tailnet = std::move(access);
        auto all = connections_;
        for (auto& [serial, connection] : all) {
            if (connection->route() != ConnectionRoute::tailnet) continue;
            if (isController(*connection) && connection->phase() == ConnectionPhase::controller) {
                connection->sendJSON({{"t", "bye"}, {"reason", "disconnected-by-host"}});
                connection->closeWebSocket(1000);
            } else {
                connection->hardClose();
            }
        }
    });
}

void RemoteServer::closeRelayed(const std::string& reason) {
    runOnQueue([&] { closeRelayedOnQueue(reason); });
}

void RemoteServer::closeRelayedOnQueue(const std::string& reason) {
    std::string word = reason == "mac-offline" ? "mac-offline" : "disconnected-by-host";
    auto all = connections_;
    for (auto& [serial, connection] : all) {
        if (connection->route() != ConnectionRoute::relay) continue;
        if (isController(*connection)) {
            if (connection->phase() == ConnectionPhase::controller) {
                connection->sendJSON({{"t", "bye"}, {"reason", word}});
                connection->closeWebSocket(1000);
            } else {
                connection->hardClose();
            }
        } else if (connection->phase() != ConnectionPhase::closing) {
            connection->hardClose();
        }
    }
}

void RemoteServer::setRelayObserver(std::function<void(RelayServerEvent)> observer) {
    runOnQueue([&] { relayObserver_ = std::move(observer); });
}

std::optional<RelayedConnection> RemoteServer::acceptRelayed(std::shared_ptr<ConnectionWire> wire,
                                                             const std::string& deviceID) {
    if (!listener_) return std::nullopt;
    if (!makeRoom()) return std::nullopt;
    auto connection = std::make_shared<RemoteConnection>(std::move(wire), deviceID, weak_from_this(), ++nextSerial_, now());
    connections_[connection->serial()] = connection;
    connection->start();
    std::weak_ptr<RemoteConnection> weak = connection;
    RelayedConnection entries;
    entries.receive = [weak](WSOpcode opcode, const Bytes& data) {
        if (auto c = weak.lock()) c->receiveRelayed(opcode, data);
    };
    entries.peerClosed = [weak] {
        if (auto c = weak.lock(); c && (c->phase() == ConnectionPhase::awaitingAuth ||
                                        c->phase() == ConnectionPhase::controller))
            c->closeWebSocket(1000);
    };
    entries.transportLost = [weak] {
        if (auto c = weak.lock()) c->hardClose();
    };
    entries.bye = [weak](const std::string& reason) {
        if (auto c = weak.lock()) c->bye(reason);
    };
    return entries;
}

// ---- Mirrors ----

std::optional<std::string> RemoteServer::controllerName() const {
    std::lock_guard lock(nameLock_);
    return currentName_;
}

std::optional<std::string> RemoteServer::controllerDeviceID() const {
    std::lock_guard lock(nameLock_);
    return currentDeviceID_;
}

bool RemoteServer::controllerViaTailnet() const {
    std::lock_guard lock(nameLock_);
    return currentViaTailnet_;
}

std::optional<ConnectionRoute> RemoteServer::controllerRoute() const {
    std::lock_guard lock(nameLock_);
    return currentRoute_;
}

}  // namespace morvane

#include "server/remote_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>

#include <cstdio>
#include <limits>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/post.hpp>

#include "capture/display_choice.h"
#include "server/audio_relay.h"
#include "server/clipboard_display_relay.h"
#include "server/effects_relay.h"
#include "server/remote_connection.h"
#include "server/video_relay.h"

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

// Linux hands some errors of the new connection to accept(); they concern
// only that connection.
bool connectionLevelAcceptErrno(int e) {
    return e == ECONNABORTED || e == EPROTO || e == ENETDOWN || e == ENOPROTOOPT || e == EHOSTDOWN ||
           e == ENONET || e == EHOSTUNREACH || e == EOPNOTSUPP || e == ENETUNREACH || e == EPERM;
}

// The listener is opened close-on-exec: a child the host starts (a browser,
// a locker, the relaunch) must not inherit it and keep the port busy after
// the host has quit.
boost::system::error_code openListener(tcp::acceptor& acceptor) {
    boost::system::error_code ec;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return boost::system::error_code(errno, boost::system::system_category());
    acceptor.assign(tcp::v4(), fd, ec);
    if (ec) ::close(fd);
    return ec;
}
}  // namespace

std::shared_ptr<RemoteServer> RemoteServer::create(Setup setup) {
    auto server = std::shared_ptr<RemoteServer>(new RemoteServer(std::move(setup)));
    std::weak_ptr<RemoteServer> weak = server;
    server->fileEngine_->onFinished = [weak](const FileTransferReport& report) {
        auto self = weak.lock();
        if (!self) return;
        self->onMain([weak, report] {
            if (auto s = weak.lock(); s && s->onFileTransfer) s->onFileTransfer(report);
        });
    };
    server->desk_->setOnShown([weak](const DisplayListing& listing, bool changed) {
        auto self = weak.lock();
        if (!self) return;
        if (changed) self->fx_->feed(fx_machine_event::DisplayChanged{});
        if (auto shown = EffectsRelay::shownOf(listing)) self->fx_->feed(*shown);
    });
    if (server->effects_) {
        // The driver reports from the main queue; its events are the
        // machine's to judge on the server queue.
        server->effects_->setOnEvent([weak](const DisplayEffectsEvent& event) {
            auto self = weak.lock();
            if (!self) return;
            self->queue_->post([weak, event] {
                if (auto s = weak.lock()) s->fx_->feed(fx_machine_event::Seam{event});
            });
        });
    }
    server->desk_->setOnTransfer([weak](ClipboardDirection direction) {
        if (auto s = weak.lock(); s && s->onClipboardTransfer) s->onClipboardTransfer(direction);
    });
    return server;
}

RemoteServer::RemoteServer(Setup setup)
    : port_(setup.port),
      site_(std::move(setup.site)),
      store_(*setup.store),
      frames_(setup.frames),
      input_(setup.input),
      fileAccess_(setup.files),
      effects_(setup.effects),
      statusProvider_(std::move(setup.status)),
      main_(setup.mainQueue),
      clock_(std::move(setup.clock)),
      queue_(std::make_unique<ServerQueue>("mac-remote.server")),
      policy_(setup.port, std::move(setup.tailnet)),
      paused_(setup.paused),
      pausedMirror_(setup.paused) {
    if (!setup.store || !frames_ || !input_ || !main_ || (fileAccess_ && !setup.fileQueue))
        throw std::invalid_argument("the server needs its collaborators");
    if (!statusProvider_) statusProvider_ = [] { return HostStatus{}; };
    if (!clock_) clock_ = [] { return nowMillis(); };
    // The engine is asked from its disk queue; it goes before the rest of
    // the server (see the destructor), so the server is there to answer.
    // Without files the engine answers every request itself and never
    // touches a disk queue.
    fileEngine_ = FileTransferEngine::create(fileAccess_, *queue_, setup.fileQueue ? *setup.fileQueue : *queue_,
                                             [this] { return isPaused(); }, clock_);
    video_ = VideoRelay::create(*queue_, *main_, *frames_, clock_);
    // The relay's main-queue work runs only while the relay lives, and the
    // server outlives it.
    desk_ = ClipboardDisplayRelay::create(*queue_, *main_, setup.clipboard, *frames_, [this] { return isPaused(); },
                                          clock_);
    fx_ = EffectsRelay::create(*queue_, *main_, effects_, *frames_, [this] { return isPaused(); }, clock_,
                               setup.effectsIdleSeconds);
}

RemoteServer::~RemoteServer() {
    // The file engine finishes its disk work while the queue it reports to
    // still exists. Then the loop stops so no completion runs into freed
    // state; the sockets and timers go while their context still exists.
    fileEngine_.reset();
    queue_->shutdown();
    // The source may outlive the server: it must stop calling into it.
    if (audioRelay_) audioRelay_->attach(nullptr);
    audioRelay_.reset();
    video_.reset();
    desk_.reset();
    fx_.reset();
    controller_.reset();
    connections_.clear();
    listener_.reset();
    queue_.reset();
}

void RemoteServer::runOnQueue(const std::function<void()>& work) { runSync(*queue_, work); }

void RemoteServer::onMain(std::function<void()> work) { main_->post(std::move(work)); }

// ---- Lifecycle ----

void RemoteServer::start() {
    if (port_ == 0) throw StartError::invalidPort();
    frameObserver_ = std::make_shared<SourceObserver>(weak_from_this());
    std::optional<StartError> failure;
    runOnQueue([&] {
        if (listener_) {
            failure = StartError::alreadyRunning();
            return;
        }
        auto acceptor = std::make_unique<tcp::acceptor>(queue_->context());
        tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port_);
        boost::system::error_code ec = openListener(*acceptor);
        if (!ec) acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
        if (!ec) acceptor->bind(endpoint, ec);
        if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
        if (!ec) acceptor->non_blocking(true, ec);
        if (ec) {
            failure = StartError::bindFailed(ec.message());
            return;
        }
        listener_ = std::move(acceptor);
        accept();
        ticking_ = true;
        nextTick_ = now() + tickMillis;
        scheduleTick(++tickGeneration_, tickMillis);
    });
    if (failure) throw *failure;
}

// Hands what the screen source delivers to the server until the server stops.
class RemoteServer::SourceObserver final : public FrameObserver {
public:
    explicit SourceObserver(std::weak_ptr<RemoteServer> server) : server_(std::move(server)) {}
    void detach() {
        std::lock_guard lock(m_);
        server_.reset();
    }
    void onFrame(const Bytes& jpeg, int width, int height) override {
        if (auto self = server()) self->ingestFrame(jpeg, width, height);
    }
    void onVideoFrame(const EncodedVideoFrame& frame) override {
        if (auto self = server()) self->ingestVideo(frame);
    }
    void onVideoFailure() override {
        if (auto self = server()) self->queue_->post([weak = std::weak_ptr<RemoteServer>(self)] {
                if (auto s = weak.lock()) s->video_->sourceFailed();
            });
    }
    void onDisplaysChanged(const DisplayListing& listing) override {
        if (auto self = server()) self->queue_->post([weak = std::weak_ptr<RemoteServer>(self), listing] {
                if (auto s = weak.lock()) s->desk_->displaysChanged(listing);
            });
    }
    void onStoppedByOwner() override {
        if (auto self = server()) self->queue_->post([weak = std::weak_ptr<RemoteServer>(self)] {
                if (auto s = weak.lock()) s->applyPause(PauseCause::stopSharing);
            });
    }

private:
    std::shared_ptr<RemoteServer> server() {
        std::lock_guard lock(m_);
        return server_.lock();
    }
    std::mutex m_;
    std::weak_ptr<RemoteServer> server_;
};

void RemoteServer::accept() {
    if (!listener_) return;
    std::weak_ptr<RemoteServer> weak = weak_from_this();
    auto* listener = listener_.get();
    // Asio's own accept makes inheritable sockets, so the connection is
    // taken with accept4 once the listener is readable.
    listener_->async_wait(tcp::acceptor::wait_read, [weak, listener](const boost::system::error_code& waitError) {
        auto self = weak.lock();
        if (!self) return;
        if (self->listener_.get() != listener) return;  // stopped, or a newer listener
        if (waitError == asio::error::operation_aborted) return;
        boost::system::error_code ec = waitError;
        int fd = -1;
        if (!ec) {
            fd = ::accept4(listener->native_handle(), nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                int e = errno;
                if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR || connectionLevelAcceptErrno(e)) {
                    self->accept();
                    return;
                }
                ec = boost::system::error_code(e, boost::system::system_category());
            }
        }
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
        auto socket = std::make_shared<tcp::socket>(self->queue_->context());
        boost::system::error_code assignError;
        socket->assign(tcp::v4(), fd, assignError);
        if (assignError)
            ::close(fd);
        else
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
    addConnection(std::make_shared<RemoteConnection>(socket, weak_from_this(), ++nextSerial_, now()));
}

std::shared_ptr<RemoteConnection> RemoteServer::addConnection(std::shared_ptr<RemoteConnection> connection) {
    connections_[connection->serial()] = connection;
    connectionCount_ = connections_.size();
    connection->start();
    return connection;
}

void RemoteServer::scheduleTick(std::uint64_t generation, std::int64_t delayMillis) {
    std::weak_ptr<RemoteServer> weak = weak_from_this();
    queue_->postAfter(delayMillis, [weak, generation] {
        auto self = weak.lock();
        if (!self || !self->ticking_ || self->tickGeneration_ != generation) return;
        // Scheduled from the previous deadline so the rhythm does not drift;
        // seconds missed while the queue was held up are not made up in a
        // burst, which would count idle and settle seconds that never passed.
        // A clock that stands still or goes back still gets a tick a second.
        std::int64_t t = self->now();
        std::int64_t next = self->nextTick_ + tickMillis;
        if (next <= t || next - t > tickMillis) next = t + tickMillis;
        self->nextTick_ = next;
        self->tick();
        if (self->ticking_ && self->tickGeneration_ == generation) self->scheduleTick(generation, next - t);
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
    video_->tick(lastStatus_ && lastStatus_->second == "ok");
    desk_->tick();
    fx_->tick();
    if (controller_) fileEngine_->tick();
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
        ticking_ = false;
        ++tickGeneration_;
        hadController = controller_ != nullptr;
        shutDownConnections([done] {
            std::lock_guard lock(done->m);
            done->done = true;
            done->cv.notify_all();
        });
    });
    if (frameObserver_) frameObserver_->detach();
    {
        std::unique_lock lock(done->m);
        done->cv.wait_for(lock, std::chrono::milliseconds(500), [&] { return done->done; });
    }
    // A partial upload of the session that just ended is removed before
    // the process may go.
    fileEngine_->drain();
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

void RemoteServer::finished(RemoteConnection& connection) {
    expectOn(*queue_, __func__);
    connections_.erase(connection.serial());
    connectionCount_ = connections_.size();
}

std::size_t RemoteServer::connectionCount() const { return connectionCount_.load(); }

// ---- Sessions ----

bool RemoteServer::isController(const RemoteConnection& connection) const { return controller_.get() == &connection; }

void RemoteServer::setController(const std::optional<PairedDevice>& device, std::optional<ConnectionRoute> route) {
    std::lock_guard lock(nameLock_);
    currentName_ = device ? std::optional(device->name) : std::nullopt;
    currentDeviceID_ = device ? std::optional(device->id) : std::nullopt;
    currentViaTailnet_ = route == ConnectionRoute::tailnet;
    currentRoute_ = route;
}

void RemoteServer::admit(const std::shared_ptr<RemoteConnection>& connection, const PairedDevice& device) {
    expectOn(*queue_, __func__);
    auto previous = controller_;
    connection->becomeController(device);
    controller_ = connection;
    bool videoWasActive = video_->attach(connection);
    desk_->attach(connection);
    // Sound ends without a word to the device that is leaving.
    audio().reset();
    auto fxEnded = fx_->endSession(connection);
    std::int64_t epoch = fxEnded.epoch;
    bool hadMatch = fxEnded.hadMatch;
    std::optional<std::string> previousID;
    if (previous && previous->device()) previousID = previous->device()->id;
    std::string routeWord(recordName(connection->route()));
    attachFiles(connection);
    if (previous) previous->bye("taken-over");
    setController(device, connection->route());
    if (relayObserver_) relayObserver_(RelayServerEvent::controllerConnected);
    lastStatus_.reset();
    bool wasCapturing = previous != nullptr;
    if (connection->phase() == ConnectionPhase::controller)
        connection->sendJSON({{"t", "ready"}, {"device", device.name}, {"version", protocolVersion}});

    std::weak_ptr<RemoteServer> weak = weak_from_this();
    std::weak_ptr<RemoteConnection> admitted = connection;
    bool hadPrevious = previous != nullptr;
    onMain([weak, admitted, hadPrevious, epoch, hadMatch, videoWasActive, wasCapturing, previousID, device,
            routeWord] {
        auto self = weak.lock();
        if (!self) return;
        if (hadPrevious) self->input_->releaseEverything();
        if (self->effects_) self->effects_->restoreAll(epoch);
        if (hadMatch && wasCapturing) self->frames_->displayModeChanged();
        if (videoWasActive) self->frames_->stopVideo();
        if (wasCapturing) {
            self->frames_->selectDisplay(std::nullopt);
            self->frames_->requestFrame();
        } else if (!self->isPaused()) {
            self->frames_->start(self->frameObserver_);
        }
        if (self->onControllerChange) self->onControllerChange(device.name);
        if (previousID && self->onSession) self->onSession(session_event::Ended{*previousID, true});
        if (self->onSession) self->onSession(session_event::Started{device.id, device.name, routeWord});
        self->desk_->sendDisplays(admitted);
    });
    pollStatus();
}

void RemoteServer::stoppedServing(RemoteConnection& connection) {
    expectOn(*queue_, __func__);
    if (!isController(connection)) return;
    auto gone = controller_;
    controller_.reset();
    lastStatus_.reset();
    bool videoWasActive = video_->detach();
    desk_->detach();
    audio().reset();
    fileEngine_->detach();
    setController(std::nullopt, std::nullopt);
    std::int64_t epoch = fx_->endSession(nullptr).epoch;
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

void RemoteServer::pairAttempted(bool viaTailnet, const PairAttempt& attempt) {
    expectOn(*queue_, __func__);
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

void RemoteServer::received(const ClientMessage& message, RemoteConnection& connection) {
    expectOn(*queue_, __func__);
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
                video_->refresh(false);
            } else if constexpr (std::is_same_v<T, ClientMessage::Keyframe>) {
                video_->refresh(true);
            } else if constexpr (std::is_same_v<T, ClientMessage::Video>) {
                if (auto h264 = std::get_if<video_request::H264>(&m.request))
                    video_->requestH264(h264->maxWidth, h264->maxHeight);
                else
                    video_->requestJPEG();
            } else if constexpr (std::is_same_v<T, ClientMessage::Clipboard>) {
                desk_->handleClipboard(m.request);
            } else if constexpr (std::is_same_v<T, ClientMessage::Display>) {
                desk_->selectDisplay(m.request.id);
            } else if constexpr (std::is_same_v<T, ClientMessage::File>) {
                fileEngine_->handle(m.request);
            } else if constexpr (std::is_same_v<T, ClientMessage::Audio>) {
                audio().handle(m.request, connection.shared_from_this());
            } else if constexpr (std::is_same_v<T, ClientMessage::Fx>) {
                if (auto request = FxMessage::parse(m.type, m.object)) fx_->handle(*request, desk_->switching());
            } else {
                // Authentication after admission is ignored.
            }
        },
        message.value);
}

void RemoteServer::receivedBinary(const Bytes& data, RemoteConnection& connection) {
    expectOn(*queue_, __func__);
    // Uploaded file chunks: the engine ignores whatever it cannot use.
    if (isController(connection)) fileEngine_->handleBinary(data);
}

// ---- Files ----

void RemoteServer::attachFiles(const std::shared_ptr<RemoteConnection>& connection) {
    std::weak_ptr<RemoteConnection> weak = connection;
    FileTransferEngine::Peer peer;
    peer.send = [weak](const nlohmann::json& message) {
        auto c = weak.lock();
        if (c && c->phase() == ConnectionPhase::controller) c->sendJSON(message);
    };
    peer.offer = [weak](Bytes chunk) {
        if (auto c = weak.lock()) c->offerFile(chunk);
    };
    peer.dropPending = [weak] {
        auto c = weak.lock();
        return c ? c->dropPendingFile() : false;
    };
    fileEngine_->attach(std::move(peer));
}

void RemoteServer::videoWritten(RemoteConnection& connection) {
    expectOn(*queue_, __func__);
    if (isController(connection)) video_->writeCompleted();
}

void RemoteServer::fileChunkWritten(RemoteConnection& connection) {
    expectOn(*queue_, __func__);
    // Only the current controller's chunks move the download on: a chunk of
    // a connection that was taken over belongs to a transfer that ended.
    if (isController(connection)) fileEngine_->chunkSent();
}

void RemoteServer::ingestFrame(const Bytes& jpeg, int width, int height) { video_->ingestFrame(jpeg, width, height); }

void RemoteServer::ingestVideo(const EncodedVideoFrame& frame) { video_->ingestVideo(frame); }

void RemoteServer::handleInput(const InputEvent& event) {
    // While the capture moves to another display or a new mode settles, a
    // pointer position would land in the wrong place.
    if ((desk_->switching() || fx_->gateActive()) && DisplaySwitchGate::drops(event)) return;
    if (!std::holds_alternative<input::Lock>(event)) fx_->input();
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
            s->fx_->status(host.locked, capture);
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
        epoch = fx_->epoch();
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

void RemoteServer::setEffectsAllowed(bool match, bool hide, bool locksOnDisconnect) {
    fx_->setAllowed(match, hide, locksOnDisconnect);
}

std::pair<bool, bool> RemoteServer::effectsActive() const { return fx_->active(); }

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
    expectOn(*queue_, __func__);
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
    // The relay host sets and clears it from its own steps on this queue.
    if (queue_->isCurrent()) {
        relayObserver_ = std::move(observer);
        return;
    }
    runOnQueue([&] { relayObserver_ = std::move(observer); });
}

std::optional<RelayedConnection> RemoteServer::acceptRelayed(std::shared_ptr<ConnectionWire> wire,
                                                             const std::string& deviceID) {
    expectOn(*queue_, __func__);
    if (!listener_) return std::nullopt;
    if (!makeRoom()) return std::nullopt;
    auto connection =
        addConnection(std::make_shared<RemoteConnection>(std::move(wire), deviceID, weak_from_this(), ++nextSerial_, now()));
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

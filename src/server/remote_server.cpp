#include "server/remote_server.h"

#include <future>

#include "core/heap.h"
#include "server/audio_relay.h"
#include "server/clipboard_display_relay.h"
#include "server/control_text.h"
#include "server/effects_relay.h"
#include "server/lock_relay.h"
#include "server/loopback_listener.h"
#include "server/remote_connection.h"
#include "server/server_assembly.h"
#include "server/status_relay.h"
#include "server/video_relay.h"

namespace morvane {

namespace {
constexpr std::int64_t idleMillis = static_cast<std::int64_t>(WSLimits::idleSeconds * 1000);

const RemoteServer::Setup& complete(const RemoteServer::Setup& setup) {
    if (!setup.store || !setup.frames || !setup.input || !setup.mainQueue || (setup.files && !setup.fileQueue))
        throw std::invalid_argument("the server needs its collaborators");
    return setup;
}
}  // namespace

std::shared_ptr<RemoteServer> RemoteServer::create(Setup setup) {
    auto server = std::shared_ptr<RemoteServer>(new RemoteServer(std::move(setup)));
    std::weak_ptr<RemoteServer> weak = server;
    server->fileEngine_->onFinished = [weak](const FileTransferReport& report) {
        if (auto self = weak.lock()) self->onMain([report](RemoteServer& s) {
                if (s.onFileTransfer) s.onFileTransfer(report);
            });
    };
    server->desk_->setOnTransfer([weak](ClipboardDirection direction) {
        if (auto s = weak.lock(); s && s->onClipboardTransfer) s->onClipboardTransfer(direction);
    });
    server->audio_ = AudioRelay::create(
        *server->queue_, *server->main_,
        [weak] {
            auto self = weak.lock();
            return !self || self->isPaused();
        },
        server->clock_);
    // The owner stopping the sound capture pauses the host as the screen's
    // own stop does.
    server->audio_->setOnOwnerStopped([weak] {
        if (auto self = weak.lock()) self->applyPause(PauseCause::stopSharing);
    });
    return server;
}

RemoteServer::RemoteServer(Setup setup)
    : port_(complete(setup).port),
      site_(std::move(setup.site)),
      store_(*setup.store),
      frames_(setup.frames),
      main_(setup.mainQueue),
      clock_(setup.clock ? std::move(setup.clock) : [] { return nowMillis(); }),
      stage_(*setup.input, *setup.frames, setup.effects, [this] { return isPaused(); }, onControllerChange,
             onSession),
      queue_(std::make_unique<ServerQueue>("morvane.server")),
      policy_(setup.port, std::move(setup.tailnet)),
      ticker_(std::make_unique<RepeatingTimer>(*queue_, clock_, tickMillis)),
      paused_(setup.paused),
      mirror_(setup.paused) {
    // The relays' main-queue work runs only while they live, and the server
    // outlives them. The file engine is asked from its disk queue; it goes
    // before the rest of the server (see the destructor), so the server is
    // there to answer.
    auto relays = assembleRelays(setup, *queue_, [this] { return isPaused(); }, clock_);
    fileEngine_ = std::move(relays.files);
    video_ = std::move(relays.video);
    desk_ = std::move(relays.desk);
    fx_ = std::move(relays.fx);
    status_ = std::move(relays.status);
    lock_ = std::make_unique<LockRelay>(*queue_);
}

RemoteServer::~RemoteServer() {
    // The file engine finishes its disk work while the queue it reports to
    // still exists. Then the loop stops so no completion runs into freed
    // state; the sockets and timers go while their context still exists.
    fileEngine_.reset();
    queue_->shutdown();
    // The source may outlive the server: it must stop calling into it.
    audio_->attach(nullptr);
    audio_.reset();
    video_.reset();
    desk_.reset();
    fx_.reset();
    status_.reset();
    lock_.reset();
    controller_.reset();
    connections_.clear();
    listener_.reset();
    ticker_.reset();
    queue_.reset();
}

void RemoteServer::runOnQueue(const std::function<void()>& work) { runSync(*queue_, work); }

void RemoteServer::onMain(std::function<void(RemoteServer&)> work) {
    std::weak_ptr<RemoteServer> weak = weak_from_this();
    main_->post([weak, work = std::move(work)] {
        if (auto self = weak.lock()) work(*self);
    });
}

// ---- Lifecycle ----

void RemoteServer::start() {
    if (port_ == 0) throw StartError::invalidPort();
    std::weak_ptr<RemoteServer> owner = weak_from_this();
    frameObserver_ = std::make_shared<ScreenSourceObserver>(
        owner, *queue_, *video_,
        ScreenSourceObserver::Hooks{[owner](const DisplayListing& listing) {
                                        if (auto s = owner.lock()) s->desk_->displaysChanged(listing);
                                    },
                                    [owner] {
                                        if (auto s = owner.lock()) s->applyPause(PauseCause::stopSharing);
                                    }});
    std::optional<StartError> failure;
    runOnQueue([&] {
        if (listener_) {
            failure = StartError::alreadyRunning();
            return;
        }
        boost::system::error_code ec;
        listener_ = LoopbackListener::open(*queue_, port_, ec);
        if (!listener_) {
            failure = ec == boost::asio::error::address_in_use ? StartError::portInUse(port_)
                                                                 : StartError::bindFailed(ec.message());
            return;
        }
        std::weak_ptr<RemoteServer> weak = weak_from_this();
        listener_->start(
            [weak](std::shared_ptr<LoopbackListener::Socket> socket) {
                auto self = weak.lock();
                if (!self) return;
                if (!self->makeRoom()) return;  // the socket closes as it goes
                self->addConnection(
                    std::make_shared<RemoteConnection>(std::move(socket), weak, ++self->nextSerial_, self->now()));
            },
            [weak](const std::string& text) {
                auto self = weak.lock();
                if (!self) return;
                self->listener_.reset();
                self->shutDownConnections(nullptr);
                self->onMain([text](RemoteServer& s) {
                    if (s.onListenerFailure) s.onListenerFailure(text);
                });
            });
        // A beat holds the server while it runs, as every other queue task does.
        ticker_->start([weak] {
            if (auto self = weak.lock()) self->tick();
        });
    });
    if (failure) throw *failure;
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

void RemoteServer::addConnection(std::shared_ptr<RemoteConnection> connection) {
    connections_[connection->serial()] = connection;
    connectionCount_ = connections_.size();
    connection->start();
}

void RemoteServer::tick() {
    onMain([](RemoteServer& s) { s.stage_.keepAlive(); });
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
    video_->tick(status_->captureOK());
    desk_->tick();
    fx_->tick();
    if (controller_) fileEngine_->tick();
    status_->poll();
    // During a session the heap's free stretches (encoded frames, messages
    // and buffers under the mapping threshold, freed out of order) hold
    // about 4 MB at 1080p that would otherwise stay resident. Handing them
    // back once a beat costs well under a millisecond a second.
    heap::giveBackFreed();
}

void RemoteServer::stop() {
    bool hadController = false;
    // The controller's bye is given a moment to leave before the process may go.
    auto done = std::make_shared<std::promise<void>>();
    auto byeSent = done->get_future();
    runOnQueue([&] {
        if (listener_) listener_->close();
        listener_.reset();
        ticker_->stop();
        hadController = controller_ != nullptr;
        shutDownConnections([done] { done->set_value(); });
    });
    if (frameObserver_) frameObserver_->detach();
    byeSent.wait_for(std::chrono::milliseconds(500));
    // A partial upload of the session that just ended is removed before
    // the process may go.
    fileEngine_->drain();
    if (main_->isCurrent())
        stage_.stopped(hadController);
    else
        onMain([hadController](RemoteServer& s) { s.stage_.stopped(hadController); });
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

// ---- Sessions ----

void RemoteServer::admit(const std::shared_ptr<RemoteConnection>& connection, const PairedDevice& device) {
    expectOn(*queue_, __func__);
    auto previous = controller_;
    connection->becomeController(device);
    controller_ = connection;
    SessionStage::Started started;
    started.deviceID = device.id;
    started.name = device.name;
    started.route = recordName(connection->route());
    started.tookOver = previous != nullptr;
    if (previous && previous->device()) started.previousID = previous->device()->id;
    started.videoWasActive = video_->attach(connection);
    desk_->attach(connection);
    status_->attach(connection);
    // Sound ends without a word to the device that is leaving.
    audio_->reset();
    auto fxEnded = fx_->endSession(connection);
    started.epoch = fxEnded.epoch;
    started.hadMatch = fxEnded.hadMatch;
    started.observer = frameObserver_;
    attachFiles(connection);
    if (previous) previous->bye("taken-over");
    mirror_.setController(device, connection->route());
    if (relayObserver_) relayObserver_(RelayServerEvent::controllerConnected);
    if (connection->phase() == ConnectionPhase::controller)
        connection->sendJSON({{"t", "ready"}, {"device", device.name}, {"version", protocolVersion}});
    // After "ready": the page takes a session's messages only from then on.
    lock_->attach(connection);
    std::weak_ptr<RemoteConnection> admitted = connection;
    onMain([started, admitted](RemoteServer& s) {
        s.stage_.started(started);
        s.desk_->sendDisplays(admitted);
    });
    status_->poll();
}

void RemoteServer::stoppedServing(RemoteConnection& connection) {
    expectOn(*queue_, __func__);
    if (!isController(connection)) return;
    auto gone = controller_;
    controller_.reset();
    SessionStage::Ended ended;
    ended.videoWasActive = video_->detach();
    desk_->detach();
    status_->detach();
    lock_->detach();
    audio_->reset();
    fileEngine_->detach();
    mirror_.setController(std::nullopt, std::nullopt);
    ended.epoch = fx_->endSession(nullptr).epoch;
    if (gone->device()) ended.deviceID = gone->device()->id;
    onMain([ended](RemoteServer& s) { s.stage_.ended(ended); });
}

void RemoteServer::pairAttempted(bool viaTailnet, const PairAttempt& attempt) {
    expectOn(*queue_, __func__);
    onMain([viaTailnet, attempt](RemoteServer& s) {
        if (s.onPairAttempt) s.onPairAttempt(viaTailnet, attempt);
    });
}

void RemoteServer::setLockFacts(const LockFacts& facts) {
    std::weak_ptr<RemoteServer> weak = weak_from_this();
    queue_->post([weak, facts] {
        if (auto self = weak.lock()) self->lock_->setFacts(facts);
    });
}

void RemoteServer::lockAnswered(std::uint64_t ask, bool locked) {
    std::weak_ptr<RemoteServer> weak = weak_from_this();
    queue_->post([weak, ask, locked] {
        if (auto self = weak.lock()) self->lock_->answered(ask, locked);
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
    std::visit(
        [&](const auto& m) {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, ClientMessage::Ping>) {
                connection.sendText(ControlText::pong(m.id));
            } else if constexpr (std::is_same_v<T, ClientMessage::Input>) {
                // While the capture moves to another display or a new mode
                // settles, a pointer position would land in the wrong place.
                if (desk_->holdsBack(m.event, fx_->gateActive())) return;
                if (!std::holds_alternative<input::Lock>(m.event)) {
                    fx_->input();
                    onMain([event = m.event](RemoteServer& s) { s.stage_.input(event); });
                    return;
                }
                // The shell judges whether the lock happened, and the
                // session is told; a tap while an ask waits joins it.
                const auto ask = lock_->tapped(now());
                if (!ask) return;
                onMain([event = m.event, ask = *ask](RemoteServer& s) {
                    s.stage_.input(event);
                    if (s.onLockAsked) s.onLockAsked(ask);
                });
            } else if constexpr (std::is_same_v<T, ClientMessage::Quality>) {
                onMain([q = m.quality](RemoteServer& s) { s.frames_->setQuality(q); });
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
                audio_->handle(m.request, connection.shared_from_this());
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
    peer.origin = connection->pageOrigin();
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

// ---- Pause, effects, sound ----

void RemoteServer::applyPause(PauseCause cause) {
    if (paused_) return;
    paused_ = true;
    mirror_.setPaused(true);
    store_.closePairingWindow();
    if (cause == PauseCause::stopSharing) onMain([](RemoteServer& s) {
            if (s.onStoppedOnMac) s.onStoppedOnMac();
        });
    if (auto c = controller_) c->bye(std::string(byeReason(cause)));
    if (relayObserver_) relayObserver_(RelayServerEvent::paused);
}

void RemoteServer::pause(PauseCause cause) {
    std::int64_t epoch = 0;
    runOnQueue([&] {
        applyPause(cause);
        epoch = fx_->epoch();
    });
    if (main_->isCurrent())
        stage_.restore(epoch);
    else
        onMain([epoch](RemoteServer& s) { s.stage_.restore(epoch); });
}

void RemoteServer::resume() {
    runOnQueue([&] {
        paused_ = false;
        mirror_.setPaused(false);
    });
}

void RemoteServer::setEffectsAllowed(bool match, bool hide, bool locksOnDisconnect) {
    fx_->setAllowed(match, hide, locksOnDisconnect);
}

std::pair<bool, bool> RemoteServer::effectsActive() const { return fx_->active(); }

std::shared_ptr<AudioSource> RemoteServer::audioSource() {
    std::shared_ptr<AudioSource> source;
    runOnQueue([&] { source = audio_->attached(); });
    return source;
}

void RemoteServer::setAudioSource(std::shared_ptr<AudioSource> source) {
    runOnQueue([&] { audio_->attach(std::move(source)); });
}

RemoteServer::AudioSessionHandler RemoteServer::onAudioSession() {
    AudioSessionHandler handler;
    runOnQueue([&] { handler = audio_->onSession(); });
    return handler;
}

void RemoteServer::setOnAudioSession(AudioSessionHandler handler) {
    runOnQueue([&] { audio_->setOnSession(std::move(handler)); });
}

// ---- Routes: tailnet and relay ----

std::optional<TailnetAccess> RemoteServer::tailnetAccess() {
    std::optional<TailnetAccess> copy;
    runOnQueue([&] { copy = policy_.tailnet; });
    return copy;
}

void RemoteServer::setTailnetAccess(std::optional<TailnetAccess> access) {
    runOnQueue([&] {
        if (policy_.tailnet == access) return;
        policy_.tailnet = std::move(access);
        endRoute(ConnectionRoute::tailnet, "disconnected-by-host", false);
    });
}

void RemoteServer::endRoute(ConnectionRoute route, const std::string& word, bool letClosingFinish) {
    auto all = connections_;
    for (auto& [serial, connection] : all) {
        if (connection->route() != route) continue;
        bool controls = isController(*connection);
        if (controls && connection->phase() == ConnectionPhase::controller) {
            connection->sendJSON({{"t", "bye"}, {"reason", word}});
            connection->closeWebSocket(1000);
        } else if (controls || !letClosingFinish || connection->phase() != ConnectionPhase::closing) {
            connection->hardClose();
        }
    }
}

void RemoteServer::closeRelayed(const std::string& reason) {
    runOnQueue([&] { closeRelayedOnQueue(reason); });
}

void RemoteServer::closeRelayedOnQueue(const std::string& reason) {
    expectOn(*queue_, __func__);
    endRoute(ConnectionRoute::relay, reason == "mac-offline" ? "mac-offline" : "disconnected-by-host", true);
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
    if (!listener_ || !makeRoom()) return std::nullopt;
    auto connection =
        std::make_shared<RemoteConnection>(std::move(wire), deviceID, weak_from_this(), ++nextSerial_, now());
    addConnection(connection);
    return RelayedConnection::bridge(connection);
}

}  // namespace morvane

// What the relay host needs of the local server, as an interface so the
// host can be driven in tests without sockets. RemoteServerRelayPort is the
// one implementation the application uses.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/executor.h"
#include "server/remote_server.h"

namespace morvane {

class RelayServerPort {
public:
    virtual ~RelayServerPort() = default;
    virtual Executor& sessionQueue() = 0;
    // The remaining operations are called on the session queue.
    virtual void setRelayObserver(std::function<void(RelayServerEvent)> observer) = 0;
    virtual std::optional<RelayedConnection> acceptRelayed(std::shared_ptr<ConnectionWire> wire,
                                                           const std::string& deviceID) = 0;
    virtual void closeRelayedOnQueue(const std::string& reason) = 0;
    // Not on the session queue: waits for it.
    virtual void closeRelayed(const std::string& reason) = 0;
    // Any thread.
    virtual bool isPaused() const = 0;
    virtual std::optional<std::string> controllerName() const = 0;
};

class RemoteServerRelayPort final : public RelayServerPort {
public:
    explicit RemoteServerRelayPort(std::shared_ptr<RemoteServer> server) : server_(std::move(server)) {}
    Executor& sessionQueue() override { return server_->sessionQueue(); }
    void setRelayObserver(std::function<void(RelayServerEvent)> observer) override {
        server_->setRelayObserver(std::move(observer));
    }
    std::optional<RelayedConnection> acceptRelayed(std::shared_ptr<ConnectionWire> wire,
                                                   const std::string& deviceID) override {
        return server_->acceptRelayed(std::move(wire), deviceID);
    }
    void closeRelayedOnQueue(const std::string& reason) override { server_->closeRelayedOnQueue(reason); }
    void closeRelayed(const std::string& reason) override { server_->closeRelayed(reason); }
    bool isPaused() const override { return server_->isPaused(); }
    std::optional<std::string> controllerName() const override { return server_->controllerName(); }

private:
    std::shared_ptr<RemoteServer> server_;
};

}  // namespace morvane

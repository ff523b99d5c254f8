// The shell's view of the server: what it asks of the session table
// (pause, the controller, locking and display-effect facts) passed on as is.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app/shell.h"
#include "server/lock_relay.h"
#include "server/remote_server.h"

namespace morvane {

class ServerForShell : public ShellServer {
public:
    explicit ServerForShell(std::shared_ptr<RemoteServer> server) : server_(std::move(server)) {}
    void pause(PauseCause cause) override { server_->pause(cause); }
    void resume() override { server_->resume(); }
    void disconnectController(const std::string& reason) override { server_->disconnectController(reason); }
    void setEffectsAllowed(bool match, bool hide, bool locksOnDisconnect) override {
        server_->setEffectsAllowed(match, hide, locksOnDisconnect);
    }
    EffectsActive effectsActive() const override {
        auto [matched, hidden] = server_->effectsActive();
        return {matched, hidden};
    }
    void setLockFacts(bool canLock, bool onDisconnect) override { server_->setLockFacts({canLock, onDisconnect}); }
    void lockAnswered(std::uint64_t ask, bool locked) override { server_->lockAnswered(ask, locked); }
    bool isPaused() const override { return server_->isPaused(); }
    std::optional<std::string> controllerName() const override { return server_->controllerName(); }
    std::optional<ConnectionRoute> controllerRoute() const override { return server_->controllerRoute(); }
    bool controllerViaTailnet() const override { return server_->controllerViaTailnet(); }

private:
    std::shared_ptr<RemoteServer> server_;
};

}  // namespace morvane

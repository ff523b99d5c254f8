// A server for the shell that serves no one: never paused, no controller.
// Tests that watch one call override just that one.
#pragma once

#include <optional>
#include <string>

#include "app/shell.h"

namespace morvane::testing {

struct IdleServer : ShellServer {
    void pause(PauseCause) override {}
    void resume() override {}
    void disconnectController(const std::string&) override {}
    bool isPaused() const override { return false; }
    std::optional<std::string> controllerName() const override { return std::nullopt; }
    std::optional<ConnectionRoute> controllerRoute() const override { return std::nullopt; }
    bool controllerViaTailnet() const override { return false; }
};

}  // namespace morvane::testing

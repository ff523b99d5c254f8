// What the shell and the relay may read of the server from any thread: the
// pause and who controls, as the server queue last set them.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "core/types.h"

namespace morvane {

class ServerMirror {
public:
    explicit ServerMirror(bool paused) : paused_(paused) {}

    void setPaused(bool paused) {
        std::lock_guard lock(m_);
        paused_ = paused;
    }
    void setController(const std::optional<PairedDevice>& device, std::optional<ConnectionRoute> route) {
        std::lock_guard lock(m_);
        name_ = device ? std::optional(device->name) : std::nullopt;
        deviceID_ = device ? std::optional(device->id) : std::nullopt;
        route_ = route;
    }

    bool paused() const {
        std::lock_guard lock(m_);
        return paused_;
    }
    std::optional<std::string> name() const {
        std::lock_guard lock(m_);
        return name_;
    }
    std::optional<std::string> deviceID() const {
        std::lock_guard lock(m_);
        return deviceID_;
    }
    std::optional<ConnectionRoute> route() const {
        std::lock_guard lock(m_);
        return route_;
    }

private:
    mutable std::mutex m_;
    bool paused_;
    std::optional<std::string> name_;
    std::optional<std::string> deviceID_;
    std::optional<ConnectionRoute> route_;
};

}  // namespace morvane

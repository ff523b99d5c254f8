#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/types.h"

namespace morvane {

// The platform side of resolution matching and screen hiding. Calls that
// start an effect carry the session epoch that asked; the driver refuses
// epochs below its floor.
class DisplayEffects {
public:
    virtual ~DisplayEffects() = default;
    using EventHandler = std::function<void(const DisplayEffectsEvent&)>;
    virtual EventHandler onEvent() const = 0;
    virtual void setOnEvent(EventHandler handler) = 0;

    struct Modes {
        std::vector<DisplayModeInfo> all;
        DisplayModeInfo current;
    };
    virtual std::optional<Modes> modes(std::uint32_t display) = 0;
    virtual int otherActiveDisplays(std::uint32_t than) = 0;
    virtual bool secureInputOn() const = 0;
    virtual bool restoreOwed() const = 0;
    virtual bool setMode(std::int32_t mode, std::uint32_t display, std::int64_t epoch) = 0;
    virtual bool restoreMode(std::uint32_t display) = 0;
    virtual void forgetMode(std::uint32_t display) = 0;
    virtual void cover(std::uint32_t display, const std::string& text, std::int64_t epoch,
                       std::function<void(bool)> done) = 0;
    virtual void uncover() = 0;
    virtual EscapeArm armEscape(std::int64_t epoch) = 0;
    virtual void disarmEscape() = 0;
    virtual void restoreAll(std::int64_t epoch) = 0;
    virtual void keepAlive() = 0;
    virtual void recoverAtLaunch() = 0;
};

}  // namespace morvane

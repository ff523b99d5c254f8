// A relay controller with a real link over fake sockets, a real host on a
// manual session queue, settings in memory and hooks the test answers.
#pragma once

#include <map>
#include <variant>

#include "../devices/test_support.h"
#include "relay/relay_bytes.h"
#include "relay/relay_controller.h"
#include "relay_fakes.h"
#include "relay_link_fakes.h"

namespace morvane::testing {

using Lines = std::vector<std::string>;
using Items = std::vector<RelayMenuItem>;


class MemorySettings final : public RelaySettings {
public:
    std::optional<bool> boolValue(const std::string& key) const override {
        auto it = values.find(key);
        if (it == values.end() || !std::holds_alternative<bool>(it->second)) return std::nullopt;
        return std::get<bool>(it->second);
    }
    std::optional<std::string> stringValue(const std::string& key) const override {
        auto it = values.find(key);
        if (it == values.end() || !std::holds_alternative<std::string>(it->second)) return std::nullopt;
        return std::get<std::string>(it->second);
    }
    std::optional<std::int64_t> intValue(const std::string& key) const override {
        auto it = values.find(key);
        if (it == values.end() || !std::holds_alternative<std::int64_t>(it->second)) return std::nullopt;
        return std::get<std::int64_t>(it->second);
    }
    void setBool(const std::string& key, bool value) override { values[key] = value; }
    void setString(const std::string& key, const std::string& value) override { values[key] = value; }
    void setInt(const std::string& key, std::int64_t value) override { values[key] = value; }
    void remove(const std::string& key) override { values.erase(key); }

    std::map<std::string, std::variant<bool, std::string, std::int64_t>> values;
};

// A controller with a real link over fake sockets, a real host on the
// manual session queue, and hooks whose answers the test sets.
struct ControllerRig {
    static constexpr std::int64_t noon = 1'780'000'000'000;
    using AccountMaker = std::function<std::unique_ptr<RelayAccount>(const std::string&)>;

    explicit ControllerRig(bool hardened = true, std::optional<std::string> configured = std::nullopt,
                           AccountMaker makeAccount = nullptr, std::string builtIn = "relay.example.com") {
        server = std::make_shared<FakeServer>(queue);
        identities = std::make_shared<RelayIdentityStore>(identityItem);
        RelayController::Setup setup;
        setup.server = server;
        setup.store = &store;
        setup.log = [this](const std::string& tag, const std::string& text) {
            log.push_back(tag == "relay" ? text : tag + ": " + text);
        };
        setup.hardened = hardened;
        setup.hooks.blocked = [this] { return blocked; };
        setup.hooks.paused = [this] { return paused; };
        setup.hooks.authenticating = [] { return false; };
        setup.hooks.authenticate = [this](const std::string& action, const std::string&, std::function<void()> ok,
                                          std::function<void()>) {
            asked.push_back(action);
            if (ownerAgrees) ok();
        };
        setup.hooks.runAlert = [this](const RelayAlert& alert, std::function<bool()> closeWhen) {
            alerts.push_back(alert);
            return answer ? answer(alert, closeWhen) : RelayResponse::abort;
        };
        setup.settings = &settings;
        setup.identities = identities;
        setup.makeLink = [this](const std::string& base, const RelayIdentity& identity) {
            HostRelayLink::Options o{.baseURL = base, .identity = identity, .queue = &queue};
            o.counters = counters;
            o.sockets = sockets;
            o.now = [this] { return wall(); };
            o.monotonicMillis = [this] { return queue.now(); };
            o.random = [] { return 1.0; };
            return HostRelayLink::create(std::move(o));
        };
        setup.makeHost = [this](const RelayIdentity& identity, std::shared_ptr<RelayLinkTransport> link) {
            auto h = RelayHost::setupFor(identity, server, store, std::move(link), main);
            h.clock = [this] { return static_cast<double>(queue.now()) / 1000.0; };
            return RelayHost::create(std::move(h));
        };
        setup.hooks.fieldText = [this] { return typed; };
        setup.makeAccount = std::move(makeAccount);
        setup.computerName = [] { return std::string("Work Laptop"); };
        setup.workingWindowDelaySeconds = 0;
        setup.builtInAddress = builtIn;
        setup.configuredAddress = configured;
        setup.wallClock = [this] { return wall(); };
        controller = RelayController::create(std::move(setup));
    }

    std::int64_t wall() const { return noon + queue.now(); }
    // Settings of a machine that was set up and left on.
    void setUpBefore(bool on = true) {
        identities->create(noon);
        settings.setInt(RelayController::versionKey, 2);
        settings.setString(RelayController::emailKey, "owner@example.com");
        settings.setBool(RelayController::enabledKey, on);
    }
    void bringUp(const std::string& devices = "[]") {
        queue.runAll();
        auto& socket = sockets->last();
        socket.handlers.opened("morvane.v1");
        socket.handlers.text(R"({"t":"challenge","nonce":")" + RelayBytes::b64u(Bytes(32, 5)) + "\"}");
        socket.handlers.text(R"({"t":"welcome","room":")" + RelayBytes::hex(controller->identity()->roomID()) +
                             R"(","devices":)" + devices + "}");
        queue.runAll();
    }
    // A record from a device on the relay, behind its connection id.
    void fromDevice(std::uint32_t id, const Bytes& record) {
        Bytes frame{static_cast<std::uint8_t>(id >> 24), static_cast<std::uint8_t>(id >> 16),
                    static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id)};
        frame.insert(frame.end(), record.begin(), record.end());
        sockets->last().handlers.binary(frame);
        queue.runAll();
        main.runAll();
    }
    // Records the host sent to a device since the last call.
    std::vector<Bytes> toDevice() {
        auto& socket = sockets->last();
        socket.completeSends(true);
        std::vector<Bytes> out;
        for (auto& frame : socket.binaries) out.emplace_back(frame.begin() + 4, frame.end());
        socket.binaries.clear();
        queue.runAll();
        return out;
    }
    Items titles(bool held = false) { return controller->menuSection(held); }
    bool logged(const std::string& line) const { return std::find(log.begin(), log.end(), line) != log.end(); }

    ManualExecutor queue;
    ManualExecutor main;
    std::shared_ptr<FakeServer> server;
    std::shared_ptr<MemoryStorage> identityItem = std::make_shared<MemoryStorage>();
    std::shared_ptr<RelayIdentityStore> identities;
    std::shared_ptr<MemoryStorage> storage = std::make_shared<MemoryStorage>();
    DeviceStore store{storage};
    MemorySettings settings;
    std::shared_ptr<FakeRelaySocketFactory> sockets = std::make_shared<FakeRelaySocketFactory>();
    // The link's daily counters, kept across links as the settings file does.
    std::shared_ptr<MemoryCounterStorage> counters = std::make_shared<MemoryCounterStorage>();
    std::shared_ptr<RelayController> controller;
    Lines log;
    Lines asked;
    std::vector<RelayAlert> alerts;
    std::function<int(const RelayAlert&, std::function<bool()>)> answer;
    bool blocked = false;
    bool paused = false;
    bool ownerAgrees = true;
    std::string typed;
};

}  // namespace morvane::testing

// The one live object of the tailnet road. Every 30 seconds it reads the
// Tailscale tool's status and serve status on a queue of its own
// ("morvane.tailscale"), decides, tells the server which tailnet name and
// owner login it may accept, keeps a snapshot for the menu and the guide,
// and logs each change of state once. It also carries out the owner's two
// commands, publishing the local server on port 443 of the tailnet name or
// removing exactly that publication, each guarded by a fresh read just
// before the tool runs. Everything but the reads and the tool runs happens
// on the main queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/executor.h"
#include "protocol/host_policy.h"
#include "tailnet/tailnet_decision.h"
#include "tailnet/trusted_cli.h"

namespace morvane {

class TailscaleControl : public std::enable_shared_from_this<TailscaleControl> {
public:
    struct Snapshot {
        TrustedCLI::Lookup cli = cli_lookup::NotInstalled{};
        TailnetDecision decision = tailnet_decision::Unreadable{TailnetTexts::checking};
        std::optional<TailnetAccess> access;     // what the server was last given
        std::optional<std::string> actionError;  // why the last command failed
        bool busy = false;                       // a command is running
        bool published = false;                  // the last serve status showed this host's entry
        bool operator==(const Snapshot&) const = default;
    };

    struct Setup {
        std::uint16_t port = 8722;
        // The server's setTailnetAccess; none withdraws tailnet access.
        std::function<void(std::optional<TailnetAccess>)> setAccess;
        std::function<void(const std::string& tag, const std::string& text)> log;
        Executor* main = nullptr;
        Executor* queue = nullptr;  // serial; runs every read and every command
        std::shared_ptr<TrustedCLI::Tool> cli;
        double statusTimeoutSeconds = 8.0;
        double actionTimeoutSeconds = 20.0;
    };

    static constexpr std::int64_t refreshMillis = 30'000;
    static constexpr int unreadableLimit = 3;

    static std::shared_ptr<TailscaleControl> create(Setup setup);
    TailscaleControl(const TailscaleControl&) = delete;
    TailscaleControl& operator=(const TailscaleControl&) = delete;

    // Main queue. A read now, then one every 30 seconds.
    void start();
    void refresh();
    const Snapshot& snapshot() const { return snapshot_; }
    void turnOn();
    void turnOff();
    // Called after every change of the snapshot.
    std::function<void()> onChange;

    // The first line of tool output worth showing: cleaned, at most 160
    // characters, or "no output".
    static std::string firstLine(std::string_view text);

private:
    struct Read {
        TrustedCLI::Lookup lookup;
        TailnetDecision decision;
        std::optional<TailscaleServeState> serve;
    };

    explicit TailscaleControl(Setup setup) : d_(std::move(setup)) {}
    void scheduleRefresh();
    Read read();  // on the queue
    void applyRead(const Read& fresh);
    void apply(const TrustedCLI::Lookup& lookup, const TailnetDecision& decision);
    void withdraw();
    void log(const std::string& tag, const std::string& text) const {
        if (d_.log) d_.log(tag, text);
    }
    void runAction(const std::string& name, std::vector<std::string> arguments,
                   std::function<std::optional<std::string>(TailscaleControl&)> precondition);

    Setup d_;
    Snapshot snapshot_;
    std::optional<std::string> lastLogged_;
    int unreadableStreak_ = 0;
    std::optional<std::string> lastLoggedCLI_;
    bool started_ = false;
};

}  // namespace morvane

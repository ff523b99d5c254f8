// Whether sleep is switched off, asked of the system bus instead of by
// starting systemctl and loginctl every few seconds while a device is
// connected. systemd offers change signals (Reloading, UnitFilesChanged, the
// units' PropertiesChanged), so the sleep targets' LoadState is read once
// and again only after one of them; logind says nothing when an inhibitor
// comes or goes, so its BlockInhibited is read at every check, by a bus
// call. Where a service does not answer, its reads are absent and the
// caller falls back to the command-line tool.
//
// Lives on the Qt thread, whose loop delivers the signals; the reads may be
// made from any thread and stay usable after the watch has gone (they then
// no longer keep systemd's answer).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QDBusConnection;

namespace morvane {

class SleepBusWatch {
public:
    // `bus` is the system bus (a private one in tests).
    explicit SleepBusWatch(const QDBusConnection& bus);
    ~SleepBusWatch();
    SleepBusWatch(const SleepBusWatch&) = delete;
    SleepBusWatch& operator=(const SleepBusWatch&) = delete;

    // The LoadState of sleep.target and suspend.target.
    std::function<std::optional<std::vector<std::string>>()> targetStates() const;
    // logind's BlockInhibited.
    std::function<std::optional<std::string>()> blockInhibited() const;
    // systemd has taken our subscription, so its answer is kept until it
    // signals a change.
    bool following() const;

    struct Shared;
    class Listener;

private:
    std::shared_ptr<Shared> shared_;
    std::unique_ptr<Listener> listener_;
};

}  // namespace morvane

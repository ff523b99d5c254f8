// Where the relay controller meets the shell: its settings kept in the
// shell's settings file, and its menu lines drawn as the tray's items.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/menu_model.h"
#include "app/settings_store.h"
#include "relay/relay_controller.h"

namespace morvane {

class SettingsRelaySettings final : public RelaySettings {
public:
    explicit SettingsRelaySettings(SettingsStore& store) : store_(store) {}
    std::optional<bool> boolValue(const std::string& key) const override { return store_.boolValue(key); }
    std::optional<std::string> stringValue(const std::string& key) const override { return store_.stringValue(key); }
    std::optional<std::int64_t> intValue(const std::string& key) const override { return store_.intValue(key); }
    // A failed write is logged by the store itself.
    void setBool(const std::string& key, bool value) override { store_.setBool(key, value); }
    void setString(const std::string& key, const std::string& value) override { store_.setString(key, value); }
    void setInt(const std::string& key, std::int64_t value) override { store_.setInt(key, value); }
    void remove(const std::string& key) override { store_.remove(key); }

private:
    SettingsStore& store_;
};

// The name this computer offers when it registers with the relay: the
// PRETTY_HOSTNAME of the machine-info file, else the host name.
std::string computerName(const std::filesystem::path& machineInfo = "/etc/machine-info");
// The PRETTY_HOSTNAME value of a machine-info text (shell-style quoting).
std::optional<std::string> prettyHostname(std::string_view machineInfo);

// Labels stay disabled lines, warnings red ones, and each action an item
// whose payload names it for the controller.
std::vector<MenuItem> relayMenuItems(const std::vector<RelayMenuItem>& lines);

}  // namespace morvane

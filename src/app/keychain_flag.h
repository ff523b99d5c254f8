// One on/off setting kept as a private item rather than in the settings file.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "devices/keychain_device_storage.h"

namespace morvane {

class KeychainFlag {
public:
    static constexpr const char* hideScreenAccount = "allow-hide-screen";
    static constexpr const char* hideScreenLabel = "Morvane: devices may hide this screen";

    using Log = std::function<void(const std::string& tag, const std::string& text)>;

    // Touches no item. `folder` as for KeychainDeviceStorage.
    KeychainFlag(std::string account, std::string label,
                 std::optional<std::filesystem::path> folder = std::nullopt, Log log = nullptr);

    // True only when the item holds exactly "on"; anything else, a missing
    // item or an unreadable one is off. An item that cannot be read (a FIFO
    // or a socket in its place, say: left as it is) is said in one "error"
    // line, once for as long as the reason stays the same.
    bool isOn();
    // Stores "on" or "off"; false when the item could not be written.
    bool set(bool on);

private:
    KeychainDeviceStorage storage_;
    std::string label_;
    Log log_;
    std::string saidWhy_;
};

}  // namespace morvane

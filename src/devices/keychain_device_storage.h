// One private item per (service, account): a file under the application
// support folder's "keychain" folder, readable only by this user, never
// followed through a symbolic link, replaced atomically. Stands in for a
// login-keychain item and reports the same sentences for the same
// situations. Also keeps the relay identity and the screen-hiding flag.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "devices/device_storage.h"

namespace morvane {

class KeychainDeviceStorage final : public DeviceStorage {
public:
    static constexpr const char* defaultService = "local.morvane.host";
    static constexpr const char* defaultAccount = "paired-devices";
    static constexpr const char* defaultLabel = "Morvane paired devices";
    static constexpr const char* itemComment =
        "Hashes of the device tokens that may control this computer. Managed by Morvane.";
    // Status words of the situations the item's errors name.
    static constexpr std::int32_t itemNotFound = -25300;
    static constexpr std::int32_t interactionNotAllowed = -25308;
    static constexpr std::int32_t authFailed = -25293;

    // `folder` is where the items live; absent means appSupportFolder() +
    // "keychain" (resolved at each operation).
    KeychainDeviceStorage(std::string service, std::string account, std::string label = defaultLabel,
                          std::optional<std::filesystem::path> folder = std::nullopt);

    const std::string& service() const { return service_; }
    const std::string& account() const { return account_; }
    const std::string& label() const { return label_; }

    // The item's file; "private item " + service + "/" + account without a
    // home folder.
    std::string summary() const override;
    // Also removes the item's temporary files that crashed saves left.
    std::optional<Bytes> load() override;
    void save(std::span<const std::uint8_t> data) override;
    void remove() override;
    // Empty files beside the item (see private_file::recordRevoked).
    void recordRevoked(const std::string& id) override;
    std::vector<std::string> recordedRevocations() override;
    void forgetRevocations() override;

    // The file name of an item: service and account with every byte other
    // than letters, digits, ".", "_" and "-" written as %XX, joined by "@".
    static std::string itemFileName(const std::string& service, const std::string& account);
    // appSupportFolder() + "keychain", absent without a home folder.
    static std::optional<std::filesystem::path> defaultFolder();

private:
    std::string service_, account_, label_;
    std::optional<std::filesystem::path> folder_;
};

// Readable text of a status: an errno (positive) or one of the item
// statuses above gives its message and the number in parentheses; any other
// value "OSStatus " + the number.
namespace TrustedCLI {
std::string describe(std::int32_t status);
}

}  // namespace morvane

#include "app/keychain_flag.h"

namespace morvane {

namespace {
const Bytes onBytes{'o', 'n'};
const Bytes offBytes{'o', 'f', 'f'};
}  // namespace

KeychainFlag::KeychainFlag(std::string account, std::string label, std::optional<std::filesystem::path> folder)
    : storage_(KeychainDeviceStorage::defaultService, std::move(account), std::move(label), std::move(folder)) {}

bool KeychainFlag::isOn() {
    try {
        auto data = storage_.load();
        return data && *data == onBytes;
    } catch (const DeviceStorageError&) {
        return false;
    }
}

bool KeychainFlag::set(bool on) {
    try {
        storage_.save(on ? onBytes : offBytes);
        return true;
    } catch (const DeviceStorageError&) {
        return false;
    }
}

}  // namespace morvane

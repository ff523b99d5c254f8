#include "app/keychain_flag.h"

namespace morvane {

namespace {
const Bytes onBytes{'o', 'n'};
const Bytes offBytes{'o', 'f', 'f'};
}  // namespace

KeychainFlag::KeychainFlag(std::string account, std::string label, std::optional<std::filesystem::path> folder,
                           Log log)
    : storage_(KeychainDeviceStorage::defaultService, std::move(account), label, std::move(folder)),
      label_(std::move(label)),
      log_(std::move(log)) {}

bool KeychainFlag::isOn() {
    try {
        auto data = storage_.load();
        saidWhy_.clear();
        return data && *data == onBytes;
    } catch (const DeviceStorageError& e) {
        if (log_ && saidWhy_ != e.what())
            log_("error", "\"" + label_ + "\" could not be read, so it is off: " + e.what());
        saidWhy_ = e.what();
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

// Pairs one device with the real host before it starts, the way its menu
// would: the device goes into the keychain folder under $XDG_DATA_HOME
// (a private one for the benchmark) and its token is printed for the page.
#include <cstdio>
#include <exception>
#include <memory>

#include "devices/device_store.h"
#include "devices/keychain_device_storage.h"

int main() {
    using namespace morvane;
    try {
        DeviceStore store(std::make_shared<KeychainDeviceStorage>(KeychainDeviceStorage::defaultService,
                                                                  KeychainDeviceStorage::defaultAccount));
        const auto paired = store.pair(store.openPairingWindow(), "memory benchmark");
        store.waitForSaves();
        if (!paired || store.lastSaveFailure()) {
            std::fprintf(stderr, "the device could not be paired\n");
            return 1;
        }
        std::printf("%s\n", paired->token.c_str());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}

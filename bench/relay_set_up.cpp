// Sets up the real host's relay before it starts, as its menu would have
// left it, for the relay soak: makes the relay identity in the keychain
// folder under $XDG_DATA_HOME (a private one), signs in at the relay with the
// code it reads from its input and registers the computer, then adds the
// page's device key to the paired devices, as an approved enrolment does.
//
//   morvane_relay_set_up ORIGIN EMAIL COMPUTER-NAME
//
// It prints "room <hex>" and "mac-key <b64u>" (the computer's static key the
// page keeps), then "code-sent" and reads the code; prints "registered" and
// reads "<device key b64u> <device name>"; prints "enrolled" and ends.
#include <cstdio>
#include <exception>
#include <future>
#include <iostream>
#include <memory>
#include <string>

#include "core/clock.h"
#include "devices/device_store.h"
#include "devices/keychain_device_storage.h"
#include "relay/relay_account.h"
#include "relay/relay_bytes.h"
#include "relay/relay_http.h"
#include "relay/relay_identity.h"

namespace {

using namespace morvane;

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string line() {
    std::string text;
    if (!std::getline(std::cin, text)) throw std::runtime_error("the input ended");
    return text;
}

// Runs one account call and waits for its answer; a refusal ends the run.
template <class T, class Call>
T answer(const char* step, Call call) {
    std::promise<RelayAccountResult<T>> done;
    auto task = call([&](RelayAccountResult<T> result) { done.set_value(std::move(result)); });
    auto result = done.get_future().get();
    if (auto failure = std::get_if<RelayAccountFailure>(&result))
        throw std::runtime_error(std::string(step) + ": " + failure->describe());
    return std::get<T>(std::move(result));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: morvane_relay_set_up ORIGIN EMAIL COMPUTER-NAME\n");
        return 2;
    }
    const std::string origin = argv[1], email = argv[2], computer = argv[3];
    try {
        RelayIdentityStore identities(std::make_shared<KeychainDeviceStorage>(
            KeychainDeviceStorage::defaultService, RelayIdentityStore::account, RelayIdentityStore::label));
        const RelayIdentity identity = identities.create(systemWallMillis());
        say("room " + RelayBytes::hex(identity.roomID()));
        say("mac-key " + RelayBytes::b64u(identity.noiseKey.publicKeyBytes()));

        auto account = RelayAccount::create(origin, std::make_shared<BeastRelayHttp>(RelayAccount::maxAnswerBytes),
                                            systemWallMillis);
        if (!account) throw std::runtime_error("not a relay origin: " + origin);
        const std::string login = RelayAccount::newLoginID();
        answer<bool>("code", [&](auto done) { return account->sendCode(email, login, done); });
        say("code-sent");
        const std::string code = line();
        const auto session = answer<RelayAccountSession>(
            "sign-in", [&](auto done) { return account->verify(email, login, code, done); });
        answer<bool>("registration",
                     [&](auto done) { return account->registerHost(identity, session, computer, done); });
        say("registered");

        const std::string device = line();
        const auto space = device.find(' ');
        const auto key = RelayBytes::fromB64u(device.substr(0, space));
        DeviceStore store(std::make_shared<KeychainDeviceStorage>(KeychainDeviceStorage::defaultService,
                                                                  KeychainDeviceStorage::defaultAccount));
        const auto added =
            key ? store.enrolRelayDevice(*key, space == std::string::npos ? "Phone" : device.substr(space + 1))
                : std::nullopt;
        store.waitForSaves();
        if (!added || store.lastSaveFailure()) throw std::runtime_error("the device could not be added");
        say("enrolled");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "morvane_relay_set_up: %s\n", e.what());
        return 1;
    }
}

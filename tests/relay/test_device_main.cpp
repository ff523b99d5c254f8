// morvane-test-device: a phone-like device on the relay, for trying relayed
// sessions by hand.
//
//   morvane-test-device --relay ORIGIN --room HEX [--access TOKEN] [--name NAME] [--state FILE] [--seconds N]
//
// ORIGIN is the relay's origin ("https://localhost:8443"; a certificate of
// a CA of your own must be in SSL_CERT_FILE), HEX the computer's room as
// its registration in the relay's log says. TOKEN is an access token of the
// computer's account (what "POST /v1/auth/verify" answers): the device asks
// the relay for a ticket with it each time it opens the room. Without a usable state
// file the device enrols first: start "Add Device Over Relay…" on the
// computer, then run this; it prints the code it derived, which the
// computer's approval dialog must show. With --state the device's key and
// the computer's key are kept in FILE, so a later run connects at once.
// It then opens a session, says hello, prints every message it receives
// (texts whole, binary ones by tag and size), moves the pointer to the
// middle of the screen and to a quarter of it, puts a text on the
// clipboard, and closes after N seconds (10 by default).
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "relay/relay_bytes.h"
#include "relay_test_device.h"
#include "test_device.h"

namespace {

using namespace std::chrono_literals;
using morvane::Bytes;
using morvane::testing::RelayTestDevice;
using morvane::testing::TestDevice;

struct Options {
    std::string relay;
    std::string room;
    std::string name = "Test Device";
    std::optional<std::string> state;
    std::string access;
    int seconds = 10;
};

// The room's path on the device side, with a fresh ticket when signed in.
std::string target(const Options& options) {
    if (options.access.empty()) return options.room;
    const auto answer = morvane::testing::exchange(options.relay, "POST", "/v1/hosts/" + options.room + "/ticket", "{}",
                                                   options.access);
    const auto body = nlohmann::json::parse(answer.body, nullptr, false);
    if (answer.status != 200 || !body.contains("ticket")) throw std::runtime_error("no ticket: " + answer.body);
    return options.room + "?ticket=" + body["ticket"].get<std::string>();
}

std::optional<Bytes> fromHex(const std::string& text) {
    if (text.size() % 2 != 0) return std::nullopt;
    Bytes out;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = text.substr(i, 2);
        const long value = std::strtol(pair.c_str(), &end, 16);
        if (end != pair.c_str() + 2) return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(value));
    }
    return out;
}

// The state file: the device's private key and the computer's public key,
// in hex, one a line.
struct State {
    Bytes deviceKey;
    Bytes macKey;
};

std::optional<State> readState(const std::string& path) {
    std::ifstream in(path);
    std::string device, mac;
    if (!std::getline(in, device) || !std::getline(in, mac)) return std::nullopt;
    auto d = fromHex(device);
    auto m = fromHex(mac);
    if (!d || !m || d->size() != 32 || m->size() != 65) return std::nullopt;
    return State{*d, *m};
}

void describe(const TestDevice::Received& message) {
    switch (message.kind) {
    case TestDevice::Received::Kind::text:
        std::cout << "text " << message.text() << "\n";
        break;
    case TestDevice::Received::Kind::binary:
        std::cout << "binary tag " << (message.data.empty() ? -1 : int(message.data[0])) << ", "
                  << message.data.size() << " bytes\n";
        break;
    case TestDevice::Received::Kind::close:
        std::cout << "closed by the computer\n";
        break;
    }
    std::cout.flush();
}

int run(const Options& options) {
    const auto room = fromHex(options.room);
    if (!room || room->size() != 16) {
        std::cerr << "morvane-test-device: the room is 32 hex digits\n";
        return 2;
    }
    const auto saved = options.state ? readState(*options.state) : std::nullopt;
    const auto key = saved ? morvane::P256PrivateKey::fromRawBytes(saved->deviceKey) : morvane::P256PrivateKey::generate();
    TestDevice device(options.name, *room, key);
    std::optional<Bytes> macKey = saved ? std::optional(saved->macKey) : std::nullopt;

    if (!macKey) {
        RelayTestDevice socket(options.relay, target(options));
        socket.send(device.enrolMessage1());
        auto second = socket.receive(10s);
        if (!second) {
            std::cerr << "morvane-test-device: no answer to the enrolment; is the computer waiting for a device?\n";
            return 1;
        }
        socket.send(device.enrolMessage3(*second));
        std::cout << "code " << *device.code() << "\n" << std::flush;
        auto enrolled = socket.receive(70s);
        if (!enrolled || !device.readEnrolled(*enrolled)) {
            std::cerr << "morvane-test-device: not enrolled\n";
            return 1;
        }
        std::cout << "enrolled\n" << std::flush;
        macKey = device.macKey();
        if (options.state) {
            std::ofstream out(*options.state, std::ios::trunc);
            out << morvane::RelayBytes::hex(key.rawBytes()) << "\n" << morvane::RelayBytes::hex(*macKey) << "\n";
        }
    }

    RelayTestDevice socket(options.relay, target(options));
    socket.send(device.sessionMessage1(macKey));
    auto second = socket.receive(10s);
    if (!second) {
        std::cerr << "morvane-test-device: the computer did not answer the session handshake (revoked?)\n";
        return 1;
    }
    device.sessionMessage2(*second);
    socket.send(device.hello());
    std::cout << "session open, hello sent\n" << std::flush;

    const char* inputs[] = {
        R"({"t":"mm","x":0.5,"y":0.5})",
        R"({"t":"mm","x":0.25,"y":0.25})",
        R"({"t":"clip-put","id":1,"n":1,"len":25})",
        R"({"t":"clip-chunk","id":1,"i":0,"s":"hello from a test device."})",
    };
    bool ready = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(options.seconds);
    while (std::chrono::steady_clock::now() < end) {
        auto record = socket.receive(200ms);
        if (!record) {
            if (socket.closedWith()) {
                std::cout << "the relay closed the connection (" << *socket.closedWith() << ")\n";
                return 0;
            }
            continue;
        }
        auto message = device.receive(*record);
        if (!message) continue;
        describe(*message);
        if (message->kind == TestDevice::Received::Kind::close) return 0;
        socket.send(device.creditAll());
        if (!ready && message->kind == TestDevice::Received::Kind::text &&
            message->text().find(R"("t":"ready")") != std::string::npos) {
            ready = true;
            for (const char* input : inputs) {
                socket.send(device.text(input));
                std::cout << "sent " << input << "\n";
            }
            std::cout.flush();
        }
    }
    socket.send(device.close());
    std::cout << "closed the session\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--relay" && hasValue) {
            options.relay = argv[++i];
        } else if (arg == "--room" && hasValue) {
            options.room = argv[++i];
        } else if (arg == "--name" && hasValue) {
            options.name = argv[++i];
        } else if (arg == "--access" && hasValue) {
            options.access = argv[++i];
        } else if (arg == "--state" && hasValue) {
            options.state = argv[++i];
        } else if (arg == "--seconds" && hasValue) {
            options.seconds = std::atoi(argv[++i]);
        } else {
            options.relay.clear();
            break;
        }
    }
    if (options.relay.empty() || options.room.empty() || options.seconds < 1) {
        std::cerr << "usage: morvane-test-device --relay ORIGIN --room HEX [--access TOKEN] [--name NAME] [--state FILE] [--seconds N]\n";
        return 2;
    }
    try {
        return run(options);
    } catch (const std::exception& error) {
        std::cerr << "morvane-test-device: " << error.what() << "\n";
        return 1;
    }
}

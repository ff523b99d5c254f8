// A whole session, stateful across messages: the real server with stand-in
// screen, input, clipboard and files, reached by a relayed connection whose
// wire writes down what it is sent. Each input is one connection of an
// enrolled device; a message's kind says what arrives: 0 a text message, 1 a
// binary one, 2 the device closing, 3 the transport lost. Whatever arrives,
// the server answers only with JSON objects that name their type, binary
// messages and close codes in range, and once the connection has ended no
// session is left controlling. (The HTTP request, the upgrade and the frames
// before a session are the router's and the parsers' targets.)
#include <memory>

#include "fuzz_support.h"
#include "server_stand_ins.h"

using namespace morvane;
using morvane::fuzz::require;

namespace {

// One server for the whole run: starting one per input would cost a thread
// and a listener each time. It lives until the process ends.
struct World : fuzz::ServerStandIns {
    World() {
        Bytes key(65, 1);
        key[0] = 0x04;
        device = *store.enrolRelayDevice(key, "Phone");
        server = RemoteServer::create(setup(testing::freePort()));
        server->start();
    }
    PairedDevice device;
    std::shared_ptr<RemoteServer> server;
};

World& world() {
    static World* const w = new World;
    return *w;
}

void checkSent(const std::string& line) {
    if (line.starts_with("binary ")) return;
    if (line.starts_with("close ")) {
        const int code = std::stoi(line.substr(6));
        require(code >= 1000 && code <= 4999);
        return;
    }
    const auto message = nlohmann::json::parse(line, nullptr, false);
    require(message.is_object() && message.contains("t") && message["t"].is_string());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    World& w = world();
    Executor& queue = w.server->sessionQueue();
    auto wire = std::make_shared<testing::FakeWire>(queue);
    std::optional<RelayedConnection> entries;
    runSync(queue, [&] { entries = w.server->acceptRelayed(wire, w.device.id); });
    require(entries.has_value());

    fuzz::Messages messages({data, size});
    fuzz::Message m;
    while (messages.next(m)) {
        const Bytes bytes(m.bytes.begin(), m.bytes.end());
        switch (m.kind % 4) {
            case 0: queue.post([&entries, bytes] { entries->receive(WSOpcode::text, bytes); }); break;
            case 1: queue.post([&entries, bytes] { entries->receive(WSOpcode::binary, bytes); }); break;
            case 2: queue.post([&entries] { entries->peerClosed(); }); break;
            default: queue.post([&entries] { entries->transportLost(); }); break;
        }
    }
    queue.post([&entries] { entries->transportLost(); });
    // Write completions and the steps of ending come back through the queue.
    for (int turn = 0; turn < 100 && w.server->controllerDeviceID(); ++turn) runSync(queue, [] {});
    runSync(queue, [] {});
    w.main.drain();
    require(!w.server->controllerDeviceID().has_value());
    for (const auto& line : wire->sent.lines()) checkSent(line);
    // The stand-ins write down what they were asked; one input's lines
    // are of no use to the next and would grow without end.
    w.journal.clear();
    return 0;
}

// A whole local connection from raw bytes: the HTTP request, the upgrade,
// then WebSocket frames and the session messages they carry, fed to one
// connection of the real server (stand-in screen, input, clipboard and
// files) through a transport kept in memory. Each input is one connection;
// a message's kind says what happens next:
//   0  raw bytes arrive, as they are;
//   1  one client frame arrives, built from the message: byte 0 is the
//      frame's first byte (FIN, reserved bits, opcode), byte 1 chooses
//      bit 0 no mask, bit 1 delivery one byte at a time, bit 2 the 64-bit
//      length form; the rest is the payload, where "@token@" stands for the
//      token of the paired device;
//   2  the device stops or starts reading what the host writes;
//   3  the next write fails;
//   4  the clock moves on by the message's first byte in seconds.
// Whatever arrives, the host
//   - writes one thing at a time and nothing once the transport is ended;
//   - answers nothing before the request is whole, unless the bytes are
//     already no request (400, 413, 431), answers once, and after an answer
//     other than the upgrade writes nothing more;
//   - writes only final, unmasked frames of known opcodes that fill their
//     write, text frames holding a JSON object naming its type, and nothing
//     after its close frame, whose code is one it uses;
//   - closes a frame that breaks the protocol with 1002 (1009 over the size
//     limit) once a device controls, and denies it (1008) before; closes a
//     device's close with 1000 and never a sound frame with 1002 or 1009;
//   - holds no more than a request's limits before answering, and no more
//     than the pre-authentication budget before a device is admitted;
//   - lets go of the connection and the session once the transport is lost.
#include <cstring>
#include <deque>
#include <memory>

#include "fuzz_support.h"
#include "server_stand_ins.h"
#include "protocol/http_request.h"
#include "protocol/ws_codec.h"
#include "server/remote_connection.h"

using namespace morvane;
using morvane::fuzz::require;

namespace {

constexpr std::uint16_t port = 8722;
constexpr std::uint16_t protocolError = 1002;
constexpr std::uint16_t invalidData = 1007;
constexpr std::uint16_t policyViolation = 1008;
constexpr std::uint16_t tooBig = 1009;
constexpr std::uint16_t normal = 1000;

// One server for the whole run, never started: connections reach it as
// their host, not through a listener. It lives until the process ends.
struct World : fuzz::ServerStandIns {
    World() {
        auto code = store.openPairingWindow();
        token = std::get<pair_outcome::Paired>(store.attemptPair(code, "Laptop")).token;
        auto s = setup(port);
        s.clock = [this] { return clock.load(); };
        server = RemoteServer::create(std::move(s));
    }
    std::string token;
    std::atomic<std::int64_t> clock{1'000'000};
    std::shared_ptr<RemoteServer> server;
    std::uint64_t serial = std::uint64_t{1} << 40;
};

World& world() {
    static World* const w = new World;
    return *w;
}

std::uint16_t bigEndian16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

// The device's side of the transport, in memory: every write is checked as
// it is made and completes when the device reads. All of it on the server
// queue.
class MemoryWire final : public ConnectionWire {
public:
    Bytes encode(WSOpcode opcode, std::span<const std::uint8_t> payload) override {
        return WSCodec::frame(opcode, payload);
    }
    Bytes encodeClose(std::uint16_t code) override { return WSCodec::closeFrame(code); }
    void write(Bytes data, std::function<void(bool)> completion) override {
        require(!cancelled && pending.empty());
        require(!data.empty());
        if (!answered)
            checkAnswer(data);
        else
            checkFrames(data);
        pending.push_back(std::move(completion));
    }
    void cancel() override { cancelled = true; }
    void releaseHold() override {}

    // The device reads what waits, as long as it reads; a write may lead to
    // the next, but never without end.
    void settle() {
        for (int turn = 0; reading && !pending.empty(); ++turn) {
            require(turn < 100'000);
            auto completion = std::move(pending.front());
            pending.pop_front();
            const bool ok = !failNext;
            failNext = false;
            if (!ok) writeFailed = true;
            completion(ok);
        }
    }

    // What the device sent while the host was reading a request.
    Bytes request;
    bool reading = true;
    bool failNext = false;
    bool writeFailed = false;
    bool cancelled = false;
    bool answered = false;
    bool upgraded = false;
    bool denied = false;
    std::optional<std::uint16_t> closeCode;
    std::deque<std::function<void(bool)>> pending;

private:
    bool requestWhole() const {
        static constexpr char blank[] = "\r\n\r\n";
        auto end = std::search(request.begin(), request.end(), blank, blank + 4);
        if (end == request.end()) return false;
        // A body announced in the head must be there too; the parser
        // refuses a head that announces it in any other way.
        std::string head(request.begin(), end);
        for (auto& ch : head) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        auto field = head.find("\r\ncontent-length:");
        if (field == std::string::npos) return true;
        auto value = std::strtoull(head.c_str() + field + 17, nullptr, 10);
        return static_cast<std::size_t>(request.end() - end) >= 4 + value;
    }

    void checkAnswer(const Bytes& data) {
        answered = true;
        std::string text(data.begin(), data.end());
        require(text.starts_with("HTTP/1.1 ") && text.size() > 12);
        const int status = std::atoi(text.substr(9, 3).c_str());
        if (!requestWhole()) require(status == 400 || status == 413 || status == 431);
        auto end = text.find("\r\n\r\n");
        require(end != std::string::npos);
        if (status == 101) {
            upgraded = true;
            checkFrames(std::span<const std::uint8_t>(data).subspan(end + 4));
            return;
        }
        // The body is exactly what the head announces.
        std::string head = text.substr(0, end);
        auto field = head.find("\r\nContent-Length: ");
        require(field != std::string::npos);
        require(std::strtoull(head.c_str() + field + 18, nullptr, 10) == text.size() - end - 4);
    }

    // A write may gather several frames; each must fill its place exactly.
    void checkFrames(std::span<const std::uint8_t> data) {
        while (!data.empty()) data = data.subspan(checkFrame(data));
    }

    std::size_t checkFrame(std::span<const std::uint8_t> data) {
        require(upgraded && !closeCode);
        require(data.size() >= 2);
        const std::uint8_t opcode = data[0] & 0x0F;
        require((data[0] & 0xF0) == 0x80);
        require(opcode == 0x1 || opcode == 0x2 || opcode == 0x8 || opcode == 0xA);
        require((data[1] & 0x80) == 0);
        std::size_t length = data[1] & 0x7F;
        std::size_t header = 2;
        if (length == 126) {
            require(data.size() >= 4);
            length = bigEndian16(&data[2]);
            header = 4;
        } else if (length == 127) {
            require(data.size() >= 10);
            length = 0;
            for (int i = 0; i < 8; ++i) length = length << 8 | data[2 + i];
            header = 10;
        }
        require(length <= data.size() - header);
        const auto payload = data.subspan(header, length);
        if (opcode == 0x1) {
            auto message = nlohmann::json::parse(payload.begin(), payload.end(), nullptr, false);
            require(message.is_object() && message.contains("t") && message["t"].is_string());
            if (message["t"] == "denied") denied = true;
        } else if (opcode == 0x8) {
            require(length == 2);
            const std::uint16_t code = bigEndian16(payload.data());
            require(code == normal || code == protocolError || code == invalidData || code == policyViolation ||
                    code == tooBig);
            // Only a denial closes with the policy code.
            require(code != policyViolation || denied);
            closeCode = code;
        }
        return header + length;
    }
};

// The frame a kind-1 message describes, and the close codes a connection
// may answer it with according to the framing rules alone (none when the
// frame breaks none of them).
struct Built {
    Bytes bytes;
    bool split = false;
    std::vector<std::uint16_t> verdicts;
};

// What the frames built so far leave open: whether a fragmented message is
// being received, and how many bytes it holds.
struct Fragments {
    bool open = false;
    std::size_t bytes = 0;
};

std::string withToken(std::string text, const std::string& token) {
    static constexpr std::string_view placeholder = "@token@";
    for (auto at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + token.size()))
        text.replace(at, placeholder.size(), token);
    return text;
}

Built build(const fuzz::Message& m, const std::string& token, Fragments& fragments) {
    Built built;
    if (m.bytes.size() < 2) return built;
    const std::uint8_t first = m.bytes[0];
    const std::uint8_t choice = m.bytes[1];
    const std::string text = withToken(std::string(m.bytes.begin() + 2, m.bytes.end()), token);
    const Bytes payload(text.begin(), text.end());
    const bool masked = !(choice & 1);
    built.split = choice & 2;

    Bytes& out = built.bytes;
    out.push_back(first);
    const std::uint8_t maskBit = masked ? 0x80 : 0;
    if (choice & 4) {
        out.push_back(maskBit | 127);
        for (int i = 7; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(std::uint64_t{payload.size()} >> (8 * i)));
    } else if (payload.size() > 125) {
        out.push_back(maskBit | 126);
        out.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
        out.push_back(static_cast<std::uint8_t>(payload.size()));
    } else {
        out.push_back(static_cast<std::uint8_t>(maskBit | payload.size()));
    }
    const std::uint8_t key[4] = {0x5a, 0x13, choice, 0xc7};
    if (masked) out.insert(out.end(), key, key + 4);
    for (std::size_t i = 0; i < payload.size(); ++i) out.push_back(masked ? payload[i] ^ key[i % 4] : payload[i]);

    // The framing rules, each with the code that answers its breach.
    const bool fin = first & 0x80;
    const std::uint8_t opcode = first & 0x0F;
    const bool control = opcode & 0x08;
    const bool data = opcode == 0x1 || opcode == 0x2;
    const std::size_t length = payload.size();
    auto breach = [&](bool broken, std::uint16_t code) {
        if (broken) built.verdicts.push_back(code);
    };
    breach(first & 0x70, protocolError);
    breach(!masked, protocolError);
    breach((opcode >= 0x3 && opcode <= 0x7) || opcode >= 0xB, protocolError);
    breach(control && (!fin || length > 125), protocolError);
    // An empty fragment that is not the last would let a device keep a
    // message open for ever at no cost.
    breach(!control && !fin && length == 0, protocolError);
    breach(opcode == 0x0 && !fragments.open, protocolError);
    breach(data && fragments.open, protocolError);
    breach(!control && length > WSLimits::maxMessageBytes, tooBig);
    // Every frame within a fragmented message counts against its budget.
    breach(fragments.open && fragments.bytes + length > WSLimits::maxMessageBytes, tooBig);
    if (built.verdicts.empty() && !control) {
        fragments.open = !fin;
        fragments.bytes = fin ? 0 : fragments.bytes + length;
    }
    return built;
}

// One connection's run.
class Run {
public:
    explicit Run(World& w) : w_(w), wire_(std::make_shared<MemoryWire>()) {}

    void open() {
        std::shared_ptr<ConnectionHost> host = w_.server;
        connection_ = std::make_shared<RemoteConnection>(wire_, host, ++w_.serial, w_.clock.load());
        connection_->start();
    }

    void step(const fuzz::Message& m) {
        switch (m.kind % 5) {
            case 0: arrive(m.bytes, false, true); break;
            case 1: {
                const auto phase = connection_->phase();
                const bool judged = atBoundary_ && wire_->reading && !wire_->writeFailed && !wire_->failNext &&
                                    (phase == ConnectionPhase::awaitingAuth || phase == ConnectionPhase::controller);
                auto built = build(m, w_.token, fragments_);
                if (built.bytes.empty()) return;
                const bool closedBefore = wire_->closeCode.has_value();
                const bool isClose = (m.bytes[0] & 0x0F) == 0x8;
                const std::size_t before = sinceUpgrade_;
                arrive(built.bytes, built.split, false);
                if (!judged || closedBefore) return;
                wire_->settle();
                if (!built.verdicts.empty()) {
                    require(wire_->closeCode.has_value());
                    if (phase == ConnectionPhase::awaitingAuth) {
                        require(*wire_->closeCode == policyViolation);
                    } else {
                        bool named = false;
                        for (auto code : built.verdicts) named = named || code == *wire_->closeCode;
                        require(named);
                    }
                } else if (wire_->closeCode) {
                    require(*wire_->closeCode != protocolError && *wire_->closeCode != tooBig);
                    // A device's close is answered in kind, unless the bytes
                    // before an admission ran over their budget.
                    const bool overBudget = phase == ConnectionPhase::awaitingAuth &&
                                            before + built.bytes.size() > WSLimits::maxPreAuthBytes;
                    if (isClose && !overBudget) require(*wire_->closeCode == normal);
                }
                return;
            }
            case 2: wire_->reading = !wire_->reading; break;
            case 3: wire_->failNext = true; break;
            default: w_.clock += m.bytes.empty() ? 1000 : std::int64_t{m.bytes[0]} * 1000; break;
        }
    }

    void settle() { wire_->settle(); }

    // The device goes away: whatever the host still writes completes, the
    // transport is lost.
    std::weak_ptr<RemoteConnection> lose() {
        wire_->reading = true;
        wire_->settle();
        connection_->hardClose();
        require(connection_->phase() == ConnectionPhase::closed && wire_->cancelled);
        while (!wire_->pending.empty()) {
            auto completion = std::move(wire_->pending.front());
            wire_->pending.pop_front();
            completion(false);
        }
        std::weak_ptr<RemoteConnection> weak = connection_;
        connection_.reset();
        return weak;
    }

private:
    // Raw bytes may leave a frame half received: the framing rules are
    // judged only on frames that start at a boundary.
    void arrive(std::span<const std::uint8_t> bytes, bool oneAtATime, bool raw) {
        if (bytes.empty()) return;
        const auto phase = connection_->phase();
        if (phase == ConnectionPhase::http) {
            wire_->request.insert(wire_->request.end(), bytes.begin(), bytes.end());
        } else {
            sinceUpgrade_ += bytes.size();
            if (raw) atBoundary_ = false;
        }
        if (oneAtATime) {
            for (std::size_t i = 0; i < bytes.size(); ++i) connection_->ingest(bytes.subspan(i, 1));
        } else {
            connection_->ingest(bytes);
        }
        const auto now = connection_->phase();
        if (now == ConnectionPhase::http)
            require(wire_->request.size() <= HTTPLimits::maxHeaderBytes + HTTPLimits::maxBodyBytes);
        if (now == ConnectionPhase::awaitingAuth) require(sinceUpgrade_ <= WSLimits::maxPreAuthBytes);
        if (phase == ConnectionPhase::http && now == ConnectionPhase::awaitingAuth) {
            // The upgrade stands alone: frames start at a boundary.
            atBoundary_ = true;
            fragments_ = {};
        }
    }

    World& w_;
    std::shared_ptr<MemoryWire> wire_;
    std::shared_ptr<RemoteConnection> connection_;
    std::size_t sinceUpgrade_ = 0;
    bool atBoundary_ = false;
    Fragments fragments_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    World& w = world();
    Executor& queue = w.server->sessionQueue();
    Run run(w);
    runSync(queue, [&] { run.open(); });

    fuzz::Messages messages({data, size});
    fuzz::Message m;
    while (messages.next(m)) {
        runSync(queue, [&] {
            run.step(m);
            run.settle();
        });
        // What the session hands the main queue may come back with more to
        // write.
        w.main.drain();
        runSync(queue, [&] { run.settle(); });
    }
    std::weak_ptr<RemoteConnection> gone;
    runSync(queue, [&] { gone = run.lose(); });
    w.main.drain();
    runSync(queue, [] {});
    require(gone.expired());
    require(!w.server->controllerDeviceID().has_value());
    // The stand-ins write down what they were asked; one connection's
    // lines are of no use to the next.
    w.journal.clear();
    return 0;
}

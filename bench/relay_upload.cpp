// Uploads through morvane-relay at the speed the host's file window allows:
// morvane-relay on loopback (plain, or TLS from a throw-away CA), the test
// host linked to it and keeping what it receives in a folder, and a
// phone-like device signed in to the same account that enrols, opens a
// session and uploads a file of random bytes, sending each chunk as soon as
// the host's window of acknowledged chunks lets it. Each run prints whether
// the session stayed, the file's SHA-256 against what arrived, the time and
// the rate, and the relay's lines about the device.
//
//   morvane_relay_upload [--tls] [--megabytes N (64)] [--runs N (3)] [--relay PATH]
//
// `--relay` runs another build of morvane-relay (one before a change).
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/secure.h"
#include "harness/harness_process.h"
#include "relay/relay_bytes.h"
#include "relay/relay_test_device.h"
#include "relay/test_certificates.h"
#include "relay/test_device.h"
#include "transfer/file_protocol.h"

namespace {

using namespace morvane;
using namespace morvane::testing;
using json = nlohmann::json;
using Steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string email = "owner@example.com";

void write(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path) << text;
    ::chmod(path.c_str(), 0600);
}

struct Outcome {
    bool stayed = false;
    bool whole = false;
    std::uint64_t sent = 0;
    double seconds = 0;
    std::optional<int> closedWith;
    std::vector<std::string> relayLines;
};

class Run {
public:
    Run(const std::string& relayPath, bool tls, std::uint64_t bytes) : tls_(tls), bytes_(bytes) {
        std::filesystem::create_directories(folder_ / "files");
        std::filesystem::create_directories(folder_ / "host");
        port_ = freePort();
        std::vector<std::string> args;
        if (tls) {
            const auto issued = authority().issue({"localhost"}, {"127.0.0.1"});
            write(folder_ / "cert.pem", issued.certificatePem);
            write(folder_ / "key.pem", issued.keyPem);
            const json config{{"listen", "127.0.0.1:" + std::to_string(port_)},
                              {"data_dir", (folder_ / "data").string()},
                              {"codes_in_log", true},
                              {"tls", {{"certificate", (folder_ / "cert.pem").string()},
                                       {"key", (folder_ / "key.pem").string()}}}};
            write(folder_ / "relay.json", config.dump());
            args = {"--config", (folder_ / "relay.json").string()};
            origin_ = "https://localhost:" + std::to_string(port_);
        } else {
            args = {"--listen", "127.0.0.1:" + std::to_string(port_), "--data", (folder_ / "data").string(),
                    "--codes-in-log"};
            origin_ = "http://127.0.0.1:" + std::to_string(port_);
        }
        relay_ = std::make_unique<HarnessProcess>(relayPath, args, folder_, /*errorsToo=*/true);
        if (!relay_->waitLineWith("listening on", 10'000)) throw std::runtime_error("morvane-relay did not start");
    }
    ~Run() {
        host_.reset();
        if (relay_) relay_->signal(SIGTERM);
        relay_.reset();
        std::filesystem::remove_all(folder_);
    }

    Outcome go() {
        host_ = std::make_unique<HarnessProcess>(MORVANE_BUILT_HARNESS,
                                                 std::vector<std::string>{"--port", std::to_string(freePort()), "--files",
                                                                          (folder_ / "files").string(), "--relay", origin_},
                                                 folder_ / "host");
        if (!host_->waitLine("relay-code-sent", 15'000)) throw std::runtime_error("the host did not sign in");
        host_->command(nextCode());
        if (!host_->waitLineWith("link: up", 15'000)) throw std::runtime_error("the host's link did not come up");
        const auto room = roomHex();
        signIn();
        TestDevice device("Upload Phone", *fromHex(room));

        // Enrolment, approved on the host.
        host_->command("relay-enrol");
        if (!host_->waitLine("ok", 5'000)) throw std::runtime_error("no enrolment window");
        join(room);
        socket_->send(device.enrolMessage1());
        const auto second = socket_->receive(10s);
        if (!second) throw std::runtime_error("no enrolment answer");
        socket_->send(device.enrolMessage3(*second));
        if (!host_->waitLineWith("\"relay-code\"", 10'000)) throw std::runtime_error("no code on the host");
        host_->command("relay-approve");
        const auto enrolled = socket_->receive(10s);
        if (!enrolled || !device.readEnrolled(*enrolled)) throw std::runtime_error("not enrolled");

        // A session.
        join(room);
        socket_->send(device.sessionMessage1());
        const auto answer = socket_->receive(10s);
        if (!answer) throw std::runtime_error("no session answer");
        device.sessionMessage2(*answer);
        socket_->send(device.hello());
        if (!nextOfType(device, "ready", 10s)) throw std::runtime_error("no ready");

        Bytes data = Secure::randomBytes(bytes_);
        const auto digest = Secure::sha256Hex(std::span<const std::uint8_t>(data));
        socket_->send(device.text(json{{"t", "file-put"}, {"id", 1}, {"name", "upload.bin"}, {"size", bytes_}}.dump()));
        if (!nextOfType(device, "file-put-ready", 10s)) throw std::runtime_error("no file-put-ready");

        Outcome outcome;
        const auto window = static_cast<std::uint64_t>(FileLimits::uploadChunkBytes * FileLimits::uploadWindowChunks);
        std::uint64_t acked = 0;
        const auto start = Steady::now();
        std::optional<json> result;
        while (!result) {
            while (outcome.sent < bytes_ && outcome.sent - acked < window) {
                const auto n = std::min<std::uint64_t>(FileLimits::uploadChunkBytes, bytes_ - outcome.sent);
                const auto frame = FileChunk::encode(FileChunk::uploadTag, 1, static_cast<std::int64_t>(outcome.sent),
                                                     std::span(data).subspan(outcome.sent, n));
                socket_->send(device.binary(*frame));
                outcome.sent += n;
                if (outcome.sent == bytes_)
                    socket_->send(device.text(json{{"t", "file-put-end"}, {"id", 1}, {"sha256", digest}}.dump()));
            }
            const auto message = next(device, 30s);
            if (!message || message->kind == TestDevice::Received::Kind::close) break;
            if (message->kind != TestDevice::Received::Kind::text) continue;
            const auto j = json::parse(message->text(), nullptr, false);
            if (j.value("t", "") == "file-ack") acked = j.value("n", acked);
            if (j.value("t", "") == "file-put-result") result = j;
        }
        outcome.seconds = std::chrono::duration<double>(Steady::now() - start).count();
        outcome.closedWith = socket_->closedWith();
        outcome.stayed = !socket_->ended();
        if (result && result->value("ok", false)) {
            std::ifstream in(folder_ / "files" / result->value("name", ""), std::ios::binary);
            const Bytes arrived{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            outcome.whole = Secure::sha256Hex(std::span<const std::uint8_t>(arrived)) == digest;
        }
        for (const auto& line : relay_->lines())
            if (line.find("closed device") != std::string::npos || line.find("device 1 left") != std::string::npos)
                outcome.relayLines.push_back(line);
        return outcome;
    }

private:
    static std::optional<Bytes> fromHex(const std::string& text) {
        Bytes out;
        for (std::size_t i = 0; i + 1 < text.size(); i += 2)
            out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
        return out;
    }
    std::string nextCode() {
        const std::string prefix = "Sign-in code for " + email + ": ";
        const auto until = Steady::now() + 10s;
        while (Steady::now() < until) {
            std::size_t seen = 0;
            for (const auto& line : relay_->lines())
                if (const auto at = line.find(prefix); at != std::string::npos && seen++ == codesTaken_) {
                    ++codesTaken_;
                    return line.substr(at + prefix.size());
                }
            std::this_thread::sleep_for(20ms);
        }
        throw std::runtime_error("no code in the relay's log");
    }
    std::string roomHex() {
        const auto line = relay_->waitLineWith("registered room ", 10'000);
        if (!line) throw std::runtime_error("no registration in the relay's log");
        return line->substr(line->find("registered room ") + 16, 32);
    }
    void signIn() {
        exchange(origin_, "POST", "/v1/auth/code", json{{"email", email}, {"login_id", "phone"}}.dump());
        const auto verified = exchange(origin_, "POST", "/v1/auth/verify",
                                       json{{"email", email}, {"login_id", "phone"}, {"code", nextCode()}, {"client", "web"}}.dump());
        access_ = json::parse(verified.body, nullptr, false).value("access_token", "");
        if (access_.empty()) throw std::runtime_error("the phone did not sign in: " + verified.body);
    }
    void join(const std::string& room) {
        socket_.reset();
        const auto ticket = exchange(origin_, "POST", "/v1/hosts/" + room + "/ticket", "{}", access_);
        const auto value = json::parse(ticket.body, nullptr, false).value("ticket", "");
        socket_ = std::make_unique<RelayTestDevice>(origin_, room + "?ticket=" + value);
    }
    // The next whole message; everything received is credited as it goes.
    std::optional<TestDevice::Received> next(TestDevice& device, std::chrono::milliseconds wait) {
        const auto until = Steady::now() + wait;
        while (Steady::now() < until) {
            const auto record =
                socket_->receive(std::chrono::duration_cast<std::chrono::milliseconds>(until - Steady::now()));
            if (!record) return std::nullopt;
            if (auto message = device.receive(*record)) {
                if (message->kind != TestDevice::Received::Kind::close) socket_->send(device.creditAll());
                return message;
            }
        }
        return std::nullopt;
    }
    bool nextOfType(TestDevice& device, const std::string& type, std::chrono::milliseconds wait) {
        const auto until = Steady::now() + wait;
        while (Steady::now() < until) {
            const auto message =
                next(device, std::chrono::duration_cast<std::chrono::milliseconds>(until - Steady::now()));
            if (!message || message->kind == TestDevice::Received::Kind::close) return false;
            if (message->kind == TestDevice::Received::Kind::text &&
                json::parse(message->text(), nullptr, false).value("t", "") == type)
                return true;
        }
        return false;
    }

    static TestCertificateAuthority& authority() {
        static TestCertificateAuthority ca;
        static const bool trusted = (ca.trustThroughEnvironment(), true);
        (void)trusted;
        return ca;
    }

    bool tls_;
    std::uint64_t bytes_;
    std::filesystem::path folder_ = std::filesystem::temp_directory_path() /
                                    ("morvane-relay-upload-" + std::to_string(::getpid()) + "-" +
                                     std::to_string(Steady::now().time_since_epoch().count()));
    std::uint16_t port_ = 0;
    std::string origin_;
    std::string access_;
    std::size_t codesTaken_ = 0;
    std::unique_ptr<HarnessProcess> relay_;
    std::unique_ptr<HarnessProcess> host_;
    std::unique_ptr<RelayTestDevice> socket_;
};

}  // namespace

int main(int argc, char** argv) {
    bool tls = false;
    std::uint64_t megabytes = 64;
    int runs = 3;
    std::string relay = MORVANE_RELAY_PROGRAM;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--tls") {
            tls = true;
        } else if (arg == "--megabytes" && i + 1 < argc) {
            megabytes = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--runs" && i + 1 < argc) {
            runs = std::atoi(argv[++i]);
        } else if (arg == "--relay" && i + 1 < argc) {
            relay = argv[++i];
        } else {
            std::fprintf(stderr, "usage: morvane_relay_upload [--tls] [--megabytes N] [--runs N] [--relay PATH]\n");
            return 2;
        }
    }
    int whole = 0;
    for (int run = 1; run <= runs; ++run) {
        try {
            Run one(relay, tls, megabytes * 1'000'000);
            const auto outcome = one.go();
            whole += outcome.stayed && outcome.whole ? 1 : 0;
            std::printf("run %d (%s): %s, %s; %.1f MB sent in %.2f s, %.1f MiB/s%s\n", run, tls ? "TLS" : "plain",
                        outcome.stayed ? "the session stayed" : "the session ended",
                        outcome.whole ? "the file arrived whole (SHA-256)" : "the file did not arrive",
                        static_cast<double>(outcome.sent) / 1e6, outcome.seconds,
                        static_cast<double>(outcome.sent) / outcome.seconds / (1 << 20),
                        outcome.closedWith ? (", closed with " + std::to_string(*outcome.closedWith)).c_str() : "");
            for (const auto& line : outcome.relayLines) std::printf("    relay: %s\n", line.c_str());
        } catch (const std::exception& error) {
            std::printf("run %d: %s\n", run, error.what());
        }
        std::fflush(stdout);
    }
    std::printf("%d of %d uploads arrived whole with their session kept\n", whole, runs);
    return whole == runs ? 0 : 1;
}

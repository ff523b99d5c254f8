// File transfers over a whole session: requests, upload chunks, time, sent
// chunks and pauses in any order, carried out by the transfer engine (and
// its upload and download machines) on files held in memory. A message's
// kind says what it is: 0 a text message read by the message catalogue, 1 a
// binary frame, 2 time passing (its bytes as milliseconds) and a tick, 3 the
// peer taking a download chunk, 4 pause switched on or off. Every kept file
// has the size announced and the hash the device vouched for, nothing is
// left half-written when the session ends, every message sent is a file
// message, and every download chunk carries the outbox file's own bytes.
#include <map>
#include <set>

#include "fuzz_support.h"
#include "core/secure.h"
#include "server/client_message.h"
#include "transfer/file_transfer_engine.h"
#include "../tests/app/manual_executor.h"

using namespace morvane;
using morvane::fuzz::require;

namespace {

// Uploads and the outbox in memory; called on the engine's disk queue and
// read after the queue has drained.
class MemoryFiles final : public FileAccess {
public:
    struct Upload {
        std::string name;
        std::int64_t size = 0;
        Bytes bytes;
        bool committed = false, discarded = false;
    };
    std::vector<std::shared_ptr<Upload>> uploads;
    std::map<std::string, Bytes> outbox;

    std::unique_ptr<IncomingFile> beginIncoming(const std::string& name, std::int64_t size) override {
        auto upload = std::make_shared<Upload>(Upload{name, size, {}, false, false});
        uploads.push_back(upload);
        return std::make_unique<Incoming>(upload);
    }
    std::vector<OutboxEntry> listOutbox() override {
        std::vector<OutboxEntry> entries;
        for (const auto& [name, bytes] : outbox) entries.push_back({name, static_cast<std::int64_t>(bytes.size()), 1000});
        return entries;
    }
    std::unique_ptr<OutgoingFile> openOutbox(const std::string& name) override {
        const auto it = outbox.find(name);
        if (it == outbox.end()) return nullptr;
        return std::make_unique<Outgoing>(it->second);
    }

private:
    struct Incoming final : IncomingFile {
        explicit Incoming(std::shared_ptr<Upload> u) : upload(std::move(u)) {}
        bool write(const Bytes& data) override {
            require(!upload->committed && !upload->discarded);
            upload->bytes.insert(upload->bytes.end(), data.begin(), data.end());
            return true;
        }
        std::optional<Committed> commit() override {
            upload->committed = true;
            return Committed{upload->name, false};
        }
        void discard() override { upload->discarded = true; }
        std::shared_ptr<Upload> upload;
    };
    struct Outgoing final : OutgoingFile {
        explicit Outgoing(const Bytes& b) : bytes(b) {}
        std::int64_t size() const override { return static_cast<std::int64_t>(bytes.size()); }
        std::optional<Bytes> read(std::int64_t upTo) override {
            const auto n = std::min<std::size_t>(static_cast<std::size_t>(upTo), bytes.size() - at);
            Bytes out(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
            at += n;
            return out;
        }
        void close() override {}
        const Bytes& bytes;
        std::size_t at = 0;
    };
};

Bytes pattern(std::size_t size, std::uint8_t seed) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemoryFiles files;
    files.outbox["report.pdf"] = pattern(70'000, 3);
    files.outbox["a.txt"] = pattern(10, 9);
    testing::ManualExecutor queue;
    std::int64_t now = 100'000;
    bool paused = false;
    std::vector<nlohmann::json> sent;
    std::vector<Bytes> offered;
    std::set<std::string> vouched;             // hashes the device sent at the end of uploads
    std::map<std::int64_t, std::string> gets;  // download id -> name asked for

    auto engine = FileTransferEngine::create(&files, queue, [&] { return paused; }, [&] { return now; });
    engine->attach({[&](const nlohmann::json& m) { sent.push_back(m); }, [&](Bytes f) { offered.push_back(std::move(f)); },
                    [] { return false; }});
    // Lets disk work and the answers it posts run until nothing is left.
    const auto settle = [&] {
        for (int quiet = 0; quiet < 2;) {
            while (!engine->drain()) {
            }
            quiet = queue.runOneTurn() == 0 ? quiet + 1 : 0;
        }
    };

    fuzz::Messages messages({data, size});
    fuzz::Message m;
    while (messages.next(m)) {
        switch (m.kind % 5) {
            case 0: {
                const auto message = ClientMessage::parse(m.bytes);
                const auto* file = message.get<ClientMessage::File>();
                if (!file) continue;
                if (const auto* end = std::get_if<file_request::PutEnd>(&file->request.value)) vouched.insert(end->sha256);
                if (const auto* get = std::get_if<file_request::Get>(&file->request.value)) gets[get->id] = get->name;
                engine->handle(file->request);
                break;
            }
            case 1: engine->handleBinary(m.bytes); break;
            case 2: {
                std::int64_t step = 0;
                for (auto b : m.bytes.first(std::min<std::size_t>(m.bytes.size(), 3))) step = step * 256 + b;
                now += step;
                engine->tick();
                break;
            }
            case 3: engine->chunkSent(); break;
            default: paused = !paused; break;
        }
        settle();
    }
    engine->detach();
    settle();

    for (const auto& upload : files.uploads) {
        require(upload->committed != upload->discarded);  // kept or gone, never left half-written
        if (!upload->committed) continue;
        require(static_cast<std::int64_t>(upload->bytes.size()) == upload->size);
        require(vouched.contains(Secure::sha256Hex(upload->bytes)));
    }
    for (const auto& message : sent) {
        require(message.is_object() && message.contains("t") && message["t"].is_string());
        require(message["t"].get<std::string>().starts_with("file-"));
    }
    for (const auto& frame : offered) {
        const auto chunk = FileChunk::decode(FileChunk::downloadTag, frame, FileLimits::downloadChunkBytes);
        require(chunk.has_value());
        const auto name = gets.find(chunk->id);
        require(name != gets.end() && files.outbox.contains(name->second));
        const Bytes& whole = files.outbox.at(name->second);
        require(chunk->offset >= 0 && static_cast<std::size_t>(chunk->offset) + chunk->data.size() <= whole.size());
        require(std::equal(chunk->data.begin(), chunk->data.end(), whole.begin() + chunk->offset));
    }
    return 0;
}

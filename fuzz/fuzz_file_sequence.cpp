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
#include "../tests/transfer/memory_files.h"

using namespace morvane;
using morvane::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    testing::MemoryFiles files;
    files.outbox["report.pdf"] = testing::pattern(70'000);
    files.outbox["a.txt"] = testing::pattern(10);
    testing::ManualExecutor queue;
    testing::ManualExecutor disk;
    std::int64_t now = 100'000;
    bool paused = false;
    std::vector<nlohmann::json> sent;
    std::vector<Bytes> offered;
    std::set<std::string> vouched;             // hashes the device sent at the end of uploads
    // Download id -> every name asked for under it: a repeated id may name another file.
    std::multimap<std::int64_t, std::string> gets;

    auto engine = FileTransferEngine::create(&files, queue, disk, [&] { return paused; }, [&] { return now; });
    engine->attach({[&](const nlohmann::json& m) { sent.push_back(m); }, [&](Bytes f) { offered.push_back(std::move(f)); },
                    [] { return false; }});
    // Lets disk work and the answers it posts run until nothing is left.
    const auto settle = [&] {
        while (disk.runOneTurn() + queue.runOneTurn() > 0) {
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
                if (const auto* get = std::get_if<file_request::Get>(&file->request.value)) gets.emplace(get->id, get->name);
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
        require(upload->savedAs.has_value() != upload->discarded);  // kept or gone, never left half-written
        if (!upload->savedAs) continue;
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
        // Every chunk is a true part of a file asked for under its id.
        bool part = false;
        for (auto [at, end] = gets.equal_range(chunk->id); at != end && !part; ++at) {
            const auto file = files.outbox.find(at->second);
            if (file == files.outbox.end()) continue;
            const Bytes& whole = file->second;
            part = chunk->offset >= 0 &&
                   static_cast<std::size_t>(chunk->offset) + chunk->data.size() <= whole.size() &&
                   std::equal(chunk->data.begin(), chunk->data.end(), whole.begin() + chunk->offset);
        }
        require(part);
    }
    return 0;
}

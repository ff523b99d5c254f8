// The server's side of file transfers: requests and chunks of the controller
// reach the engine, download chunks leave one at a time through the file
// slot, reports reach the shell, and stopping waits for the disk.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>

#include "transfer/file_protocol.h"
#include "media_fixture.h"

namespace morvane {
namespace {

using testing::eventually;
using testing::MediaSession;

// A store in memory whose removal of a partial upload takes a while, as a
// slow disk's would.
class SlowFiles : public FileAccess {
public:
    struct State {
        std::mutex m;
        Bytes written;
        std::atomic<bool> discarded{false};
    };

    std::unique_ptr<IncomingFile> beginIncoming(const std::string&, std::int64_t, const std::string&) override {
        class In : public IncomingFile {
        public:
            explicit In(std::shared_ptr<State> s) : s_(std::move(s)) {}
            bool write(const Bytes& data) override {
                std::lock_guard lock(s_->m);
                s_->written.insert(s_->written.end(), data.begin(), data.end());
                return true;
            }
            std::optional<Committed> commit() override { return Committed{"in.bin", false}; }
            void discard() override {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                s_->discarded = true;
            }

        private:
            std::shared_ptr<State> s_;
        };
        return std::make_unique<In>(incoming);
    }
    std::vector<OutboxEntry> listOutbox() override { return {{"a.bin", static_cast<std::int64_t>(outbox.size()), 1}}; }
    std::unique_ptr<OutgoingFile> openOutbox(const std::string& name) override {
        class Out : public OutgoingFile {
        public:
            explicit Out(const Bytes& b) : b_(b) {}
            std::int64_t size() const override { return static_cast<std::int64_t>(b_.size()); }
            std::optional<Bytes> read(std::int64_t upTo) override {
                auto n = std::min<std::size_t>(static_cast<std::size_t>(upTo), b_.size() - at_);
                Bytes out(b_.begin() + static_cast<std::ptrdiff_t>(at_), b_.begin() + static_cast<std::ptrdiff_t>(at_ + n));
                at_ += n;
                return out;
            }
            void close() override {}

        private:
            const Bytes& b_;
            std::size_t at_ = 0;
        };
        if (name != "a.bin") return nullptr;
        return std::make_unique<Out>(outbox);
    }

    Bytes outbox;
    std::shared_ptr<State> incoming = std::make_shared<State>();
};

class FileWiring : public MediaSession {
protected:
    FileWiring() {
        disk.outbox.resize(80'000);
        for (std::size_t i = 0; i < disk.outbox.size(); ++i) disk.outbox[i] = static_cast<std::uint8_t>(i * 7);
        files = &disk;
    }
    void sendBinary(const Bytes& frame) {
        runSync(server->sessionQueue(), [&] { entries->receive(WSOpcode::binary, frame); });
    }
    std::vector<Bytes> downloadChunks() {
        std::vector<Bytes> out;
        for (auto& b : wire->binaries())
            if (!b.empty() && b[0] == FileChunk::downloadTag) out.push_back(b);
        return out;
    }

    SlowFiles disk;
};

TEST_F(FileWiring, ADownloadLeavesChunkByChunkAndItsReportReachesTheShell) {
    admit();
    // A request the file side cannot read is passed over, not answered.
    send(R"({"t":"file-get","id":"7","name":"a.bin"})");
    send(R"({"t":"file-get","id":7,"name":"a.bin"})");
    ASSERT_TRUE(eventuallySent({{"t", "file-get-ready"}, {"id", 7}, {"size", 80'000}, {"chunk", 32'768}}));
    ASSERT_TRUE(eventually([&] { return sentCount(R"("t":"file-get-result")") == 1; }));
    EXPECT_EQ(sentCount(R"("t":"file-get)"), 2) << "the unreadable request got no answer";

    auto chunks = downloadChunks();
    ASSERT_EQ(chunks.size(), 3u);
    Bytes joined;
    for (auto& c : chunks) {
        auto decoded = FileChunk::decode(FileChunk::downloadTag, c, 1 << 20);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->id, 7);
        EXPECT_EQ(decoded->offset, static_cast<std::int64_t>(joined.size()));
        joined.insert(joined.end(), decoded->data.begin(), decoded->data.end());
    }
    EXPECT_EQ(joined, disk.outbox);
    EXPECT_TRUE(eventually([&] {
        main.drain();
        return shell.contains("download: 80000 of 80000 bytes, ok");
    }));
}

TEST_F(FileWiring, UploadChunksCountOnlyFromTheControllerAndStopWaitsForThePartialToGo) {
    admit();
    // Before any upload, a chunk is ignored and the session stays.
    Bytes early = *FileChunk::encode(FileChunk::uploadTag, 1, 0, Bytes(10, 1));
    sendBinary(early);
    send(R"({"t":"file-put","id":1,"name":"in.bin","size":40000})");
    ASSERT_TRUE(eventuallySent(FileMessage::putReady(1)));
    sendBinary(*FileChunk::encode(FileChunk::uploadTag, 1, 0, Bytes(16'000, 2)));
    ASSERT_TRUE(eventuallySent(FileMessage::ack(1, 16'000)));
    {
        std::lock_guard lock(disk.incoming->m);
        EXPECT_EQ(disk.incoming->written, Bytes(16'000, 2));
    }
    EXPECT_FALSE(sent({{"t", "bye"}, {"reason", "taken-over"}}));

    // Stopping ends the session; the slow removal of the partial file is
    // over by the time stop() returns.
    server->stop();
    EXPECT_TRUE(disk.incoming->discarded);
    main.drain();
    EXPECT_TRUE(shell.contains("upload of \"in.bin\": 16000 of 40000 bytes, session-ended"));
    server.reset();
}

}  // namespace
}  // namespace morvane

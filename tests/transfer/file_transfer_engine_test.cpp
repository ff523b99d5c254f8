#include "transfer/file_transfer_engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>

#include "../app/manual_executor.h"
#include "core/secure.h"
#include "memory_files.h"

namespace morvane {
namespace {

using nlohmann::json;
using testing::MemoryFiles;
using testing::pattern;

Bytes uploadFrame(std::int64_t id, std::int64_t offset, const Bytes& file, std::int64_t count) {
    const auto piece = std::span<const std::uint8_t>(file).subspan(static_cast<std::size_t>(offset),
                                                                  static_cast<std::size_t>(count));
    return *FileChunk::encode(FileChunk::uploadTag, id, offset, piece);
}

class FileTransferEngineTest : public ::testing::Test {
protected:
    void SetUp() override { make(&files); }
    void TearDown() override {
        if (engine) run([&] { engine->detach(); });
        settle();
        engine.reset();
    }

    void make(FileAccess* access) {
        engine = FileTransferEngine::create(access, queue, disk, [this] { return paused.load(); },
                                            [this] { return now.load(); });
        engine->onFinished = [this](const FileTransferReport& r) { reports.push_back(r); };
    }
    FileTransferEngine::Peer peer() {
        return {[this](const json& m) { sent.push_back(m); },
                [this](Bytes frame) { offered.push_back(std::move(frame)); },
                [this] { return takeBack; }, ""};
    }
    // The test is the session queue's turn.
    void run(const std::function<void()>& work) { work(); }
    // Lets disk work and its answers run until nothing is left.
    void settle() {
        while (disk.runOneTurn() + queue.runOneTurn() > 0) {
        }
    }
    void request(FileRequest::Value value) {
        run([&] { engine->handle(FileRequest{std::move(value)}); });
        settle();
    }
    void binary(const Bytes& frame) {
        run([&] { engine->handleBinary(frame); });
        settle();
    }
    void chunkSent() {
        run([&] { engine->chunkSent(); });
        settle();
    }
    void tick() {
        run([&] { engine->tick(); });
        settle();
    }
    std::vector<std::string> types() const {
        std::vector<std::string> out;
        for (const auto& m : sent) out.push_back(m["t"]);
        return out;
    }

    testing::ManualExecutor queue;
    testing::ManualExecutor disk;
    MemoryFiles files;
    std::atomic<bool> paused{false};
    std::atomic<std::int64_t> now{100'000};
    bool takeBack = true;
    std::shared_ptr<FileTransferEngine> engine;
    std::vector<json> sent;
    std::vector<Bytes> offered;
    std::vector<FileTransferReport> reports;
};

using Report = FileTransferReport;
using Dir = FileTransferReport::Direction;

TEST_F(FileTransferEngineTest, AnUploadIsWrittenInOrderVerifiedAndSavedUnderItsCleanName) {
    run([&] { engine->attach(peer()); });
    const Bytes file = pattern(20000);
    request(file_request::Put{1, "dir/a: b.bin", 20000});
    ASSERT_EQ(sent.back(), FileMessage::putReady(1));
    binary(uploadFrame(1, 0, file, 16000));
    binary(uploadFrame(1, 16000, file, 4000));
    request(file_request::PutEnd{1, Secure::sha256Hex(file)});
    EXPECT_EQ(sent, (std::vector<json>{FileMessage::putReady(1), FileMessage::ack(1, 16000), FileMessage::ack(1, 20000),
                                       FileMessage::putDone(1, "a- b.bin")}));
    ASSERT_EQ(files.uploads.size(), 1u);
    EXPECT_EQ(files.uploads[0]->bytes, file);
    EXPECT_EQ(files.uploads[0]->savedAs, "a- b.bin");
    EXPECT_EQ(reports, (std::vector<Report>{{Dir::toMac, 20000, 20000, "ok", false, "a- b.bin"}}));
}

TEST_F(FileTransferEngineTest, AFailedUploadDeletesItsPartialFileAndSaysWhy) {
    run([&] { engine->attach(peer()); });
    const Bytes file = pattern(100);
    request(file_request::Put{1, "f.bin", 100});
    binary(uploadFrame(1, 0, file, 100));
    request(file_request::PutEnd{1, std::string(64, '0')});
    EXPECT_EQ(sent.back(), FileMessage::failure("file-put-result", 1, "hash-mismatch"));
    EXPECT_TRUE(files.uploads[0]->discarded);
    EXPECT_FALSE(files.uploads[0]->savedAs);
    EXPECT_EQ(reports, (std::vector<Report>{{Dir::toMac, 100, 100, "hash-mismatch", std::nullopt, "f.bin"}}));

    // A disk that fails mid-way.
    now += 1000;
    files.failWritesAfter = 1;
    const Bytes big = pattern(40000);
    request(file_request::Put{2, "g.bin", 40000});
    binary(uploadFrame(2, 0, big, 16000));
    binary(uploadFrame(2, 16000, big, 16000));
    EXPECT_EQ(sent.back(), FileMessage::failure("file-put-result", 2, "write-failed"));
    EXPECT_TRUE(files.uploads[1]->discarded);
    EXPECT_EQ(reports.back(), (Report{Dir::toMac, 16000, 40000, "write-failed", std::nullopt, "g.bin"}));

    // A store that cannot make the file; then a store that is paused.
    now += 1000;
    files.failWritesAfter = -1;
    files.refuseIncoming = true;
    request(file_request::Put{3, "h.bin", 10});
    EXPECT_EQ(sent.back(), FileMessage::failure("file-put-result", 3, "write-failed"));
    files.refuseIncoming = false;
    now += 1000;
    request(file_request::Put{4, "i.bin", 10});
    paused = true;
    binary(uploadFrame(4, 0, pattern(10), 10));
    EXPECT_EQ(sent.back(), FileMessage::failure("file-put-result", 4, "write-failed"));
    EXPECT_TRUE(files.uploads.back()->discarded);
    EXPECT_TRUE(files.uploads.back()->bytes.empty());
}

TEST_F(FileTransferEngineTest, TheSessionsEndStopsEveryTransferSilently) {
    run([&] { engine->attach(peer()); });
    files.outbox["d.bin"] = pattern(50000);
    const Bytes file = pattern(40000);
    request(file_request::Put{1, "u.bin", 40000});
    binary(uploadFrame(1, 0, file, 16000));
    request(file_request::Get{1, "d.bin"});
    ASSERT_EQ(offered.size(), 1u);
    const auto before = sent.size();

    run([&] { engine->detach(); });
    settle();
    EXPECT_EQ(sent.size(), before);
    EXPECT_TRUE(files.uploads[0]->discarded);
    EXPECT_EQ(files.openDownloads, 0);
    EXPECT_EQ(reports, (std::vector<Report>{{Dir::toMac, 16000, 40000, "session-ended", std::nullopt, "u.bin"},
                                            {Dir::fromMac, 0, 50000, "session-ended", std::nullopt, {}}}));

    // Without a controller nothing is heard; a new one starts ids afresh.
    request(file_request::List{9});
    binary(uploadFrame(1, 16000, file, 16000));
    EXPECT_EQ(sent.size(), before);
    run([&] { engine->attach(peer()); });
    now += 1000;
    request(file_request::Put{1, "again.bin", 5});
    EXPECT_EQ(sent.back(), FileMessage::putReady(1));
}

TEST_F(FileTransferEngineTest, ADownloadOffersOneChunkAtATimeAndEndsWithTheDigest) {
    run([&] { engine->attach(peer()); });
    const Bytes file = pattern(40000);
    files.outbox["d.bin"] = file;
    request(file_request::Get{3, "d.bin"});
    EXPECT_EQ(sent, (std::vector<json>{FileMessage::getReady(3, 40000)}));
    ASSERT_EQ(offered.size(), 1u);
    const auto first = FileChunk::decode(FileChunk::downloadTag, offered[0], 32768);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->id, 3);
    EXPECT_EQ(first->offset, 0);
    EXPECT_EQ(first->data.size(), 32768u);

    tick();  // nothing moves until the frame is written
    EXPECT_EQ(offered.size(), 1u);
    chunkSent();
    ASSERT_EQ(offered.size(), 2u);
    const auto second = FileChunk::decode(FileChunk::downloadTag, offered[1], 32768);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->offset, 32768);
    Bytes joined(first->data.begin(), first->data.end());
    joined.insert(joined.end(), second->data.begin(), second->data.end());
    EXPECT_EQ(joined, file);
    chunkSent();
    EXPECT_EQ(sent.back(), FileMessage::getDone(3, Secure::sha256Hex(file)));
    EXPECT_EQ(reports, (std::vector<Report>{{Dir::fromMac, 40000, 40000, "ok", std::nullopt, {}}}));
    EXPECT_EQ(files.openDownloads, 0);
    chunkSent();  // a confirmation too many changes nothing
    EXPECT_EQ(reports.size(), 1u);

    now += 1000;
    request(file_request::Get{4, "missing.bin"});
    EXPECT_EQ(sent.back(), FileMessage::failure("file-get-result", 4, "not-found"));
    now += 1000;
    files.outbox["shrinks.bin"] = pattern(40000);
    files.shrinkTo = 100;
    request(file_request::Get{5, "shrinks.bin"});
    EXPECT_EQ(sent.back(), FileMessage::failure("file-get-result", 5, "read-failed"));
    EXPECT_EQ(reports.back(), (Report{Dir::fromMac, 0, 40000, "read-failed", std::nullopt, {}}));
}

TEST_F(FileTransferEngineTest, ACancelledDownloadsLateFrameDoesNotAdvanceTheNextOne) {
    run([&] { engine->attach(peer()); });
    files.outbox["a.bin"] = pattern(70000);
    files.outbox["b.bin"] = pattern(70000);

    // Taken back before its write started: nothing more is expected.
    request(file_request::Get{1, "a.bin"});
    request(file_request::Cancel{1});
    EXPECT_EQ(sent.back(), FileMessage::failure("file-get-result", 1, "cancelled"));
    now += 1000;
    request(file_request::Get{2, "b.bin"});
    ASSERT_EQ(offered.size(), 2u);
    chunkSent();
    EXPECT_EQ(offered.size(), 3u);

    // Already being written: its confirmation is not the next download's.
    takeBack = false;
    request(file_request::Cancel{2});
    now += 1000;
    request(file_request::Get{3, "a.bin"});
    ASSERT_EQ(offered.size(), 4u);
    chunkSent();  // the cancelled download's frame
    EXPECT_EQ(offered.size(), 4u);
    chunkSent();  // the new download's first frame
    EXPECT_EQ(offered.size(), 5u);
    const auto frame = FileChunk::decode(FileChunk::downloadTag, offered[4], 32768);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->id, 3);
    EXPECT_EQ(frame->offset, 32768);

    // A cancel for an id that is neither transfer's is ignored.
    const auto before = sent.size();
    request(file_request::Cancel{77});
    EXPECT_EQ(sent.size(), before);
}

TEST_F(FileTransferEngineTest, ListingsAreOneAtATimeOncePerSecondAndSilentWhilePaused) {
    run([&] { engine->attach(peer()); });
    files.outbox["x.txt"] = pattern(3);
    request(file_request::List{1});
    EXPECT_EQ(sent.back(), FileMessage::list(1, {{"x.txt", 3, 1000}}));
    request(file_request::List{2});
    EXPECT_EQ(sent.back(), FileMessage::failure("file-list-result", 2, "too-soon"));

    // Two at once: the second finds the first still being made.
    now += 1000;
    run([&] {
        engine->handle(FileRequest{file_request::List{3}});
        engine->handle(FileRequest{file_request::List{4}});
    });
    settle();
    EXPECT_EQ(sent[sent.size() - 2], FileMessage::failure("file-list-result", 4, "busy"));
    EXPECT_EQ(sent.back(), FileMessage::list(3, {{"x.txt", 3, 1000}}));

    now += 1000;
    paused = true;
    const auto before = sent.size();
    request(file_request::List{5});
    EXPECT_EQ(sent.size(), before);
    EXPECT_EQ(files.listings, 2);
    paused = false;
    now += 1000;
    request(file_request::List{6});
    EXPECT_EQ(sent.back(), FileMessage::list(6, {{"x.txt", 3, 1000}}));
}

TEST_F(FileTransferEngineTest, StalledTransfersTimeOutOnTheTick) {
    run([&] { engine->attach(peer()); });
    files.outbox["d.bin"] = pattern(40000);
    request(file_request::Put{1, "u.bin", 40000});
    request(file_request::Get{1, "d.bin"});
    now += 29'999;
    tick();
    EXPECT_TRUE(reports.empty());
    now += 1;
    tick();
    EXPECT_EQ(reports, (std::vector<Report>{{Dir::toMac, 0, 40000, "timeout", std::nullopt, "u.bin"},
                                            {Dir::fromMac, 0, 40000, "timeout", std::nullopt, {}}}));
    EXPECT_EQ(sent[sent.size() - 2], FileMessage::failure("file-put-result", 1, "timeout"));
    EXPECT_EQ(sent.back(), FileMessage::failure("file-get-result", 1, "timeout"));
    EXPECT_TRUE(files.uploads[0]->discarded);
}

TEST_F(FileTransferEngineTest, WithoutAStoreRequestsAreAnsweredUnavailable) {
    run([&] { engine->detach(); });
    settle();
    make(nullptr);
    run([&] { engine->attach(peer()); });
    request(file_request::List{1});
    request(file_request::Put{2, "a", 1});
    request(file_request::Get{3, "a"});
    request(file_request::PutEnd{2, std::string(64, 'a')});
    request(file_request::Cancel{2});
    binary(uploadFrame(2, 0, pattern(1), 1));
    EXPECT_EQ(sent, (std::vector<json>{FileMessage::failure("file-list-result", 1, "unavailable"),
                                       FileMessage::failure("file-put-result", 2, "unavailable"),
                                       FileMessage::failure("file-get-result", 3, "unavailable")}));
    EXPECT_TRUE(reports.empty());
}

}  // namespace
}  // namespace morvane

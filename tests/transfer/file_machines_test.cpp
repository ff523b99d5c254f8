#include <gtest/gtest.h>

#include "transfer/file_download_machine.h"
#include "transfer/file_upload_machine.h"

namespace morvane {
namespace {

using U = FileUploadMachine;
using D = FileDownloadMachine;
const std::string digest(64, 'd');

// An upload of `size` bytes accepted at time 0 and opened.
U receiving(std::int64_t size, std::int64_t id = 1) {
    U m;
    EXPECT_EQ(m.begin(id, "file.bin", size, 0), (U::Effects{U::Open{id, "file.bin", size}}));
    EXPECT_EQ(m.opened(true, 0), (U::Effects{U::Ready{id}}));
    return m;
}

TEST(FileUploadMachine, StartsAreRefusedInOrderWithoutDisturbingTheRunningOne) {
    U m;
    EXPECT_EQ(m.begin(0, "a", 5, 0), (U::Effects{U::Refuse{0, "bad-id"}}));
    EXPECT_EQ(m.begin(1000000, "a", 5, 0), (U::Effects{U::Refuse{1000000, "bad-id"}}));
    EXPECT_EQ(m.begin(1, "a", 0, 0), (U::Effects{U::Refuse{1, "empty"}}));
    EXPECT_EQ(m.begin(1, "a", 209715201, 0), (U::Effects{U::Refuse{1, "too-large"}}));
    EXPECT_EQ(m.begin(1, "..", 5, 0), (U::Effects{U::Refuse{1, "bad-name"}}));
    // None of these used up the second; the name is cleaned on acceptance.
    EXPECT_EQ(m.begin(7, "dir/a: b.txt", 209715200, 0), (U::Effects{U::Open{7, "a- b.txt", 209715200}}));
    EXPECT_EQ(m.begin(8, "b", 5, 5000), (U::Effects{U::Refuse{8, "busy"}}));
    EXPECT_TRUE(m.isActive());
    EXPECT_EQ(m.cancel(7), (U::Effects{U::Fail{7, "cancelled", 0, 209715200}}));

    // Ids only rise within a session; a start within a second is early even
    // though the first one already ended.
    EXPECT_EQ(m.begin(7, "b", 5, 5000), (U::Effects{U::Refuse{7, "bad-id"}}));
    EXPECT_EQ(m.begin(3, "b", 5, 5000), (U::Effects{U::Refuse{3, "bad-id"}}));
    EXPECT_EQ(m.begin(8, "b", 5, 999), (U::Effects{U::Refuse{8, "too-soon"}}));
    EXPECT_EQ(m.begin(8, "b", 5, 1000), (U::Effects{U::Open{8, "b", 5}}));

    // The session's end fails the running one unsent and lets ids start again.
    EXPECT_EQ(m.reset(), (U::Effects{U::Fail{8, "session-ended", 0, 5}}));
    EXPECT_EQ(m.reset(), U::Effects{});
    EXPECT_EQ(m.begin(1, "b", 5, 2000), (U::Effects{U::Open{1, "b", 5}}));
}

TEST(FileUploadMachine, ChunksMustArriveWholeInOrderAndOnlyTheLastMayBeShort) {
    U m = receiving(16001);
    EXPECT_EQ(m.chunk(1, 0, 16000, 1), (U::Effects{U::Write{16000}}));
    EXPECT_EQ(m.chunk(2, 16000, 1, 1), U::Effects{});  // another id is ignored
    EXPECT_EQ(m.chunk(1, 16000, 1, 1), (U::Effects{U::Write{1}}));
    U one = receiving(1);
    EXPECT_EQ(one.chunk(1, 0, 1, 1), (U::Effects{U::Write{1}}));

    // Each case ends a 24000-byte upload whose first chunk was taken.
    struct Case {
        std::int64_t offset, count;
        const char* what;
    };
    for (const Case c : {Case{16000, 100, "short, not the last"}, Case{0, 16000, "repeated"},
                         Case{20000, 4000, "skipped"}, Case{16000, 0, "empty"}, Case{16000, 16000, "past the end"}}) {
        U t = receiving(24000);
        t.chunk(1, 0, 16000, 1);
        EXPECT_EQ(t.chunk(1, c.offset, c.count, 1), (U::Effects{U::Fail{1, "bad-chunk", 0, 24000}})) << c.what;
    }
    U early;
    early.begin(1, "f", 40000, 0);
    EXPECT_EQ(early.chunk(1, 0, 16000, 1), (U::Effects{U::Fail{1, "bad-chunk", 0, 40000}}));  // before ready
}

TEST(FileUploadMachine, TheDeviceMayRunAtMostEightChunksAheadOfTheDisk) {
    U m = receiving(16000 * 20);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(m.chunk(1, i * 16000, 16000, 1), (U::Effects{U::Write{16000}}));
    {
        U ahead = m;
        EXPECT_EQ(ahead.chunk(1, 8 * 16000, 16000, 1), (U::Effects{U::Fail{1, "flow", 0, 16000 * 20}}));
    }
    EXPECT_EQ(m.wrote(16000, true, 2), (U::Effects{U::Ack{1, 16000}}));
    EXPECT_EQ(m.chunk(1, 8 * 16000, 16000, 2), (U::Effects{U::Write{16000}}));
    // A disk that claims more than was received, or fails, ends it.
    U overrun = m;
    EXPECT_EQ(overrun.wrote(16000 * 9, true, 3), (U::Effects{U::Fail{1, "write-failed", 16000, 16000 * 20}}));
    EXPECT_EQ(m.wrote(16000, false, 3), (U::Effects{U::Fail{1, "write-failed", 16000, 16000 * 20}}));
}

TEST(FileUploadMachine, VerificationStartsOnceAllBytesAreWrittenAndTheDigestIsKnown) {
    {  // digest before the last write is confirmed
        U m = receiving(100);
        EXPECT_EQ(m.chunk(1, 0, 100, 1), (U::Effects{U::Write{100}}));
        EXPECT_EQ(m.end(1, digest, 1), U::Effects{});
        EXPECT_EQ(m.wrote(100, true, 2), (U::Effects{U::Ack{1, 100}, U::Verify{1, digest}}));
        EXPECT_EQ(m.end(1, digest, 3), (U::Effects{U::Fail{1, "bad-chunk", 100, 100}}));
    }
    {  // digest after
        U m = receiving(100);
        m.chunk(1, 0, 100, 1);
        EXPECT_EQ(m.wrote(100, true, 2), (U::Effects{U::Ack{1, 100}}));
        EXPECT_EQ(m.end(1, digest, 3), (U::Effects{U::Verify{1, digest}}));
        EXPECT_EQ(m.chunk(1, 100, 1, 3), (U::Effects{U::Fail{1, "bad-chunk", 100, 100}}));
    }
    {  // a second digest while writes are outstanding
        U m = receiving(100);
        m.chunk(1, 0, 100, 1);
        EXPECT_EQ(m.end(1, digest, 1), U::Effects{});
        EXPECT_EQ(m.end(1, digest, 1), (U::Effects{U::Fail{1, "bad-chunk", 0, 100}}));
    }
    {  // bytes missing
        U m = receiving(20000);
        m.chunk(1, 0, 16000, 1);
        EXPECT_EQ(m.end(1, digest, 1), (U::Effects{U::Fail{1, "size-mismatch", 0, 20000}}));
    }
    const auto verifying = [] {
        U m = receiving(100);
        m.chunk(1, 0, 100, 1);
        m.wrote(100, true, 2);
        m.end(1, digest, 3);
        return m;
    };
    {
        U m = verifying();
        EXPECT_EQ(m.verified(U::Saved{"file (2).bin"}), (U::Effects{U::Done{1, "file (2).bin", 100}}));
        EXPECT_FALSE(m.isActive());
        EXPECT_EQ(m.verified(U::Saved{"x"}), U::Effects{});
    }
    {
        U m = verifying();
        EXPECT_EQ(m.verified(U::HashMismatch{}), (U::Effects{U::Fail{1, "hash-mismatch", 100, 100}}));
    }
    {
        U m = verifying();
        EXPECT_EQ(m.verified(U::Failed{}), (U::Effects{U::Fail{1, "write-failed", 100, 100}}));
    }
    {
        U m;
        m.begin(1, "f", 10, 0);
        EXPECT_EQ(m.opened(false, 1), (U::Effects{U::Fail{1, "write-failed", 0, 10}}));
        EXPECT_EQ(m.opened(true, 1), U::Effects{});
    }
}

TEST(FileUploadMachine, NoProgressForThirtySecondsTimesOutInEveryPhase) {
    {
        U m;
        m.begin(1, "f", 10, 1000);
        EXPECT_EQ(m.expire(30999), U::Effects{});
        EXPECT_EQ(m.expire(31000), (U::Effects{U::Fail{1, "timeout", 0, 10}}));
    }
    {
        U m = receiving(32000);
        m.chunk(1, 0, 16000, 20000);  // progress moves the deadline
        EXPECT_EQ(m.expire(49999), U::Effects{});
        m.wrote(16000, true, 40000);
        EXPECT_EQ(m.expire(69999), U::Effects{});
        EXPECT_EQ(m.expire(70000), (U::Effects{U::Fail{1, "timeout", 16000, 32000}}));
    }
    {
        U m = receiving(10);
        m.chunk(1, 0, 10, 0);
        m.wrote(10, true, 0);
        m.end(1, digest, 0);
        EXPECT_EQ(m.expire(30000), (U::Effects{U::Fail{1, "timeout", 10, 10}}));
    }
}

TEST(FileDownloadMachine, SendsOneChunkAtATimeUpToTheSizeAtOpening) {
    D m;
    EXPECT_EQ(m.begin(1, "f.bin", 0), (D::Effects{D::Open{1, "f.bin"}}));
    EXPECT_EQ(m.opened(32769, 10), (D::Effects{D::Ready{1, 32769}, D::Read{32768}}));
    EXPECT_EQ(m.readDone(32768), (D::Effects{D::Offer{1, 0}}));
    EXPECT_EQ(m.chunkSent(20), (D::Effects{D::Read{1}}));
    EXPECT_EQ(m.readDone(1), (D::Effects{D::Offer{1, 32768}}));
    EXPECT_EQ(m.chunkSent(30), (D::Effects{D::Finish{1, 32769}}));
    EXPECT_EQ(m.chunkSent(30), D::Effects{});
    EXPECT_TRUE(m.isActive());
    EXPECT_EQ(m.finished(), D::Effects{});
    EXPECT_FALSE(m.isActive());

    D one;
    one.begin(1, "f", 0);
    EXPECT_EQ(one.opened(32768, 0), (D::Effects{D::Ready{1, 32768}, D::Read{32768}}));
    one.readDone(32768);
    EXPECT_EQ(one.chunkSent(0), (D::Effects{D::Finish{1, 32768}}));

    // A file that shrank gives a short read.
    D shrank;
    shrank.begin(1, "f", 0);
    shrank.opened(70000, 0);
    shrank.readDone(32768);
    shrank.chunkSent(0);
    EXPECT_EQ(shrank.readDone(100), (D::Effects{D::Fail{1, "read-failed", 32768, 70000}}));
    D failed;
    failed.begin(1, "f", 0);
    failed.opened(10, 0);
    EXPECT_EQ(failed.readDone(std::nullopt), (D::Effects{D::Fail{1, "read-failed", 0, 10}}));
}

TEST(FileDownloadMachine, RefusalsAndFailuresCarryTheirWords) {
    D m;
    EXPECT_EQ(m.begin(1, ".hidden", 0), (D::Effects{D::Refuse{1, "bad-name"}}));
    EXPECT_EQ(m.begin(1, "a/b", 0), (D::Effects{D::Refuse{1, "bad-name"}}));
    EXPECT_EQ(m.begin(0, "a", 0), (D::Effects{D::Refuse{0, "bad-id"}}));
    EXPECT_EQ(m.begin(5, "a", 0), (D::Effects{D::Open{5, "a"}}));
    EXPECT_EQ(m.begin(6, "b", 2000), (D::Effects{D::Refuse{6, "busy"}}));
    EXPECT_EQ(m.opened(std::nullopt, 0), (D::Effects{D::Fail{5, "not-found", 0, 0}}));
    EXPECT_EQ(m.begin(5, "a", 2000), (D::Effects{D::Refuse{5, "bad-id"}}));
    EXPECT_EQ(m.begin(6, "a", 500), (D::Effects{D::Refuse{6, "too-soon"}}));
    EXPECT_EQ(m.begin(6, "a", 2000), (D::Effects{D::Open{6, "a"}}));
    EXPECT_EQ(m.opened(0, 0), (D::Effects{D::Fail{6, "empty", 0, 0}}));
    m.begin(7, "a", 4000);
    EXPECT_EQ(m.opened(209715201, 0), (D::Effects{D::Fail{7, "too-large", 0, 0}}));
    m.begin(8, "a", 6000);
    m.opened(100, 6000);
    EXPECT_EQ(m.cancel(9), D::Effects{});
    EXPECT_EQ(m.expire(35999), D::Effects{});
    EXPECT_EQ(m.expire(36000), (D::Effects{D::Fail{8, "timeout", 0, 100}}));
    m.begin(9, "a", 8000);
    EXPECT_EQ(m.cancel(9), (D::Effects{D::Fail{9, "cancelled", 0, 0}}));
    m.begin(10, "a", 10000);
    EXPECT_EQ(m.reset(), (D::Effects{D::Fail{10, "session-ended", 0, 0}}));
    EXPECT_EQ(m.begin(1, "a", 12000), (D::Effects{D::Open{1, "a"}}));
}

}  // namespace
}  // namespace morvane

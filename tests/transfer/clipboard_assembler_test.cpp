#include "transfer/clipboard_assembler.h"

#include <gtest/gtest.h>

namespace morvane {
namespace {

using clipboard_outcome::Complete;
using clipboard_outcome::Failed;
using clipboard_outcome::None;
using Outcome = ClipboardAssembler::Outcome;

Outcome failed(int id, std::string_view word) { return Failed{id, std::string(word)}; }

TEST(ClipboardRateLimiter, AllowsOncePerSecondAndWhenTheClockGoesBack) {
    ClipboardRateLimiter limiter;
    EXPECT_TRUE(limiter.allow(5000));
    EXPECT_FALSE(limiter.allow(5999));
    EXPECT_FALSE(limiter.allow(5000));
    EXPECT_TRUE(limiter.allow(6000));
    EXPECT_TRUE(limiter.allow(10));  // backwards
    EXPECT_FALSE(limiter.allow(500));
}

TEST(ClipboardAssembler, AnnouncementsThatDoNotFitAreRefusedWithTheirWord) {
    ClipboardAssembler a;
    EXPECT_EQ(a.begin(5, 2, 8193, 0), failed(5, "bad-size"));
    EXPECT_EQ(a.begin(5, 3, 2, 0), failed(5, "bad-size"));
    EXPECT_EQ(a.begin(5, 129, 200, 0), failed(5, "bad-size"));
    EXPECT_EQ(a.begin(5, 0, 1, 0), failed(5, "bad-size"));
    EXPECT_EQ(a.begin(5, 128, 100'001, 0), failed(5, "too-large"));
    EXPECT_EQ(a.begin(5, 1, 100'001, 0), failed(5, "too-large"));
    EXPECT_EQ(a.begin(0, 1, 1, 0), failed(0, "bad-id"));
    EXPECT_EQ(a.begin(1'000'000, 1, 1, 0), failed(1'000'000, "bad-id"));
    // None of the refusals used up the rate limit.
    EXPECT_EQ(a.begin(5, 2, 8192, 0), Outcome(None{}));
    EXPECT_TRUE(a.inProgress());
    EXPECT_EQ(a.begin(6, 1, 1, 5000), failed(6, "busy"));
}

TEST(ClipboardAssembler, CompletesWhenEveryChunkArrivesInOrder) {
    ClipboardAssembler a;
    EXPECT_EQ(a.begin(7, 3, 9, 1000), Outcome(None{}));
    EXPECT_EQ(a.chunk(7, 0, "abc"), Outcome(None{}));
    EXPECT_EQ(a.heldCharacters(), 3);
    EXPECT_EQ(a.chunk(7, 1, "d\xF0\x9F\x98\x80"), Outcome(None{}));  // 3 units
    EXPECT_EQ(a.chunk(7, 2, "efg"), Outcome(Complete{7, "abcd\xF0\x9F\x98\x80" "efg"}));
    EXPECT_FALSE(a.inProgress());
    EXPECT_EQ(a.heldCharacters(), 0);

    // Ids must rise; a put within a second of the last accepted one is early.
    EXPECT_EQ(a.begin(7, 1, 1, 5000), failed(7, "bad-id"));
    EXPECT_EQ(a.begin(3, 1, 1, 5000), failed(3, "bad-id"));
    EXPECT_EQ(a.begin(8, 1, 1, 1999), failed(8, "too-soon"));
    EXPECT_EQ(a.begin(8, 1, 1, 2000), Outcome(None{}));
}

TEST(ClipboardAssembler, ChunksOutOfStepEndTheTransferAndAreAnsweredOnce) {
    ClipboardAssembler a;
    std::int64_t now = 0;
    auto next = [&] { return now += 1000; };

    ASSERT_EQ(a.begin(1, 3, 3, next()), Outcome(None{}));
    EXPECT_EQ(a.chunk(1, 0, "a"), Outcome(None{}));
    EXPECT_EQ(a.chunk(1, 2, "c"), failed(1, "out-of-order"));
    EXPECT_FALSE(a.inProgress());
    EXPECT_EQ(a.chunk(1, 1, "b"), Outcome(None{}));  // the rest of a refused put is ignored
    EXPECT_EQ(a.chunk(1, 2, "c"), Outcome(None{}));

    ASSERT_EQ(a.begin(2, 3, 3, next()), Outcome(None{}));
    EXPECT_EQ(a.chunk(2, 0, "a"), Outcome(None{}));
    EXPECT_EQ(a.chunk(2, 1, "b"), Outcome(None{}));
    EXPECT_EQ(a.chunk(2, 1, "b"), failed(2, "duplicate-chunk"));
    EXPECT_EQ(a.chunk(2, 2, "c"), Outcome(None{}));

    // A last chunk one unit short, and a chunk passing the length.
    ASSERT_EQ(a.begin(3, 2, 4, next()), Outcome(None{}));
    EXPECT_EQ(a.chunk(3, 0, "ab"), Outcome(None{}));
    EXPECT_EQ(a.chunk(3, 1, "c"), failed(3, "length-mismatch"));
    ASSERT_EQ(a.begin(4, 2, 4, next()), Outcome(None{}));
    EXPECT_EQ(a.chunk(4, 0, "abcde"), failed(4, "length-mismatch"));

    // An unknown id is answered once per id in a row; a live transfer of
    // another id goes on meanwhile.
    ASSERT_EQ(a.begin(5, 2, 2, next()), Outcome(None{}));
    EXPECT_EQ(a.chunk(9, 0, "x"), failed(9, "unknown-transfer"));
    EXPECT_EQ(a.chunk(9, 1, "x"), Outcome(None{}));
    EXPECT_TRUE(a.inProgress());
    EXPECT_EQ(a.chunk(5, 0, "a"), Outcome(None{}));
    EXPECT_EQ(a.chunk(5, 1, "b"), Outcome(Complete{5, "ab"}));
    EXPECT_EQ(a.chunk(5, 2, "c"), failed(5, "unknown-transfer"));
}

TEST(ClipboardAssembler, TransferTimesOutThirtySecondsAfterItsAnnouncement) {
    ClipboardAssembler a;
    ASSERT_EQ(a.begin(1, 2, 2, 10'000), Outcome(None{}));
    EXPECT_EQ(a.chunk(1, 0, "a"), Outcome(None{}));
    EXPECT_EQ(a.expire(39'999), Outcome(None{}));
    EXPECT_EQ(a.expire(40'000), failed(1, "timeout"));
    EXPECT_FALSE(a.inProgress());
    EXPECT_EQ(a.expire(90'000), Outcome(None{}));
    EXPECT_EQ(a.chunk(1, 1, "b"), Outcome(None{}));  // late chunk of the timed-out put
}

TEST(ClipboardAssembler, ResetForgetsIdsButNotTheRateLimit) {
    ClipboardAssembler a;
    ASSERT_EQ(a.begin(50, 1, 1, 0), Outcome(None{}));
    a.reset();
    EXPECT_FALSE(a.inProgress());
    EXPECT_EQ(a.begin(1, 1, 1, 500), failed(1, "too-soon"));
    EXPECT_EQ(a.begin(1, 1, 1, 1000), Outcome(None{}));
    EXPECT_EQ(a.chunk(1, 0, "z"), Outcome(Complete{1, "z"}));
}

}  // namespace
}  // namespace morvane

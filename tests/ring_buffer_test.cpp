#include <gtest/gtest.h>

#include "KwRingBuffer.h"
#include "KwSrvrStatsCount.h"
#include "LogCapture.h"

namespace {

typedef KwRingBuffer<KwSrvrStatsCount> Ring;

KwSrvrStatsCount Counts(unsigned int dimension, KwUlong32 value) {
    KwSrvrStatsCount counts(dimension);
    for (unsigned int i = 0; i < dimension; ++i) {
        counts[i] = value + i;
    }
    return counts;
}

KwSrvrStatsCount Sum(const Ring& ring, unsigned int dimension) {
    KwSrvrStatsCount sum(dimension);
    ring.GetSum(sum);
    return sum;
}

}  // namespace

TEST(KwRingBufferTest, SumsHeldElementsOldestFirst) {
    Ring ring(60, 2, true);
    EXPECT_EQ(Sum(ring, 2)[1], 0u);  // empty: the prepared zeros stay
    KwSrvrStatsCount a = Counts(2, 1), b = Counts(2, 10), c = Counts(2, 100);
    EXPECT_TRUE(ring.PushHead(a));
    EXPECT_TRUE(ring.PushHead(b));
    EXPECT_TRUE(ring.PushHead(c));
    EXPECT_EQ(ring.Count(), 3u);
    KwSrvrStatsCount sum = Sum(ring, 2);
    EXPECT_EQ(sum[0], 111u);
    EXPECT_EQ(sum[1], 114u);
    EXPECT_EQ(a[0], 1u);  // pushes store copies
}

TEST(KwRingBufferTest, OverwritingRingDropsTheOldestPush) {
    Ring ring(60, 1, true);
    for (KwUlong32 push = 1; push <= 61; ++push) {
        KwSrvrStatsCount counts(1);
        counts[0] = push;
        EXPECT_TRUE(ring.PushHead(counts));
    }
    EXPECT_EQ(ring.Count(), 60u);
    EXPECT_EQ(ring.Head(), 1u);
    EXPECT_EQ(ring.Tail(), 1u);
    EXPECT_EQ(ring.At(0)[0], 2u);
    EXPECT_EQ(ring.At(59)[0], 61u);
    // 2 + 3 + ... + 61, without the first push.
    EXPECT_EQ(Sum(ring, 1)[0], 61u * 62u / 2u - 1u);
}

TEST(KwRingBufferTest, RefusingRingKeepsItsElementsWhenFull) {
    LogCapture capture;
    Ring ring(2, 1, false);
    KwSrvrStatsCount one = Counts(1, 1), two = Counts(1, 2), three = Counts(1, 3);
    EXPECT_TRUE(ring.PushHead(one));
    EXPECT_TRUE(ring.PushHead(two));
    EXPECT_FALSE(ring.PushHead(three));
    EXPECT_EQ(capture.Count(4, "KwRingBuffer.h", "PushHead: buffer full, data not saved."), 1u);
    EXPECT_EQ(ring.Count(), 2u);
    EXPECT_EQ(Sum(ring, 1)[0], 3u);
}

TEST(KwRingBufferTest, ResetEmptiesAndTheNextPushGoesToSlotZero) {
    Ring ring(5, 1, true);
    for (KwUlong32 push = 1; push <= 7; ++push) {
        KwSrvrStatsCount counts = Counts(1, push);
        ring.PushHead(counts);
    }
    ring.Reset();
    KwSrvrStatsCount untouched = Counts(1, 42);
    ring.GetSum(untouched);
    EXPECT_EQ(untouched[0], 42u);
    KwSrvrStatsCount fresh = Counts(1, 9);
    ring.PushHead(fresh);
    EXPECT_EQ(ring.Count(), 1u);
    EXPECT_EQ(ring.Tail(), 0u);
    EXPECT_EQ(ring.Head(), 1u);
    EXPECT_EQ(Sum(ring, 1)[0], 9u);
}

TEST(KwRingBufferTest, MixedDimensionsFollowTheFirstElement) {
    LogCapture capture;
    Ring smallFirst(4, 2, true);
    KwSrvrStatsCount small = Counts(2, 1), large = Counts(3, 10);
    smallFirst.PushHead(small);
    smallFirst.PushHead(large);
    KwSrvrStatsCount sum(5);
    smallFirst.GetSum(sum);
    EXPECT_EQ(sum.Size(), 2u);  // takes the first element's dimension
    EXPECT_EQ(sum[0], 11u);
    EXPECT_EQ(sum[1], 13u);
    EXPECT_TRUE(capture.Entries().empty());

    Ring largeFirst(4, 2, true);
    largeFirst.PushHead(large);
    largeFirst.PushHead(small);
    largeFirst.PushHead(small);
    largeFirst.GetSum(sum);
    EXPECT_EQ(sum.Size(), 3u);
    EXPECT_EQ(sum[0], 10u);  // the smaller elements were skipped
    EXPECT_EQ(capture.Count(3, "KwSrvrStatsCount.cpp",
                            "operator+=: attempt to operate on arrays with different dimensions "
                            "(add Item[2] to this[3])."),
              2u);
}

TEST(KwRingBufferTest, DepthZeroRefusesEveryPush) {
    LogCapture capture;
    Ring none(0, 1, true);
    KwSrvrStatsCount counts = Counts(1, 5);
    EXPECT_FALSE(none.PushHead(counts));
    KwSrvrStatsCount sum = Counts(1, 3);
    none.GetSum(sum);
    EXPECT_EQ(sum[0], 3u);
    EXPECT_EQ(capture.Count(4, "KwRingBuffer.h", "PushHead: buffer full, data not saved."), 1u);
}

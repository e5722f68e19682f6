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

}  // namespace

TEST(KwRingBufferTest, OverwritingRingKeepsTheLastPushesOldestFirst) {
    Ring ring(60, 2, true);
    KwSrvrStatsCount sum = Counts(2, 42);
    ring.GetSum(sum);
    EXPECT_EQ(sum[0], 42u);  // empty: the argument is left alone
    for (KwUlong32 push = 1; push <= 61; ++push) {
        KwSrvrStatsCount counts = Counts(2, push);
        EXPECT_TRUE(ring.PushHead(counts));
        counts[0] = 0;  // pushes store copies
    }
    EXPECT_EQ(std::vector<unsigned int>({ring.Count(), ring.Head(), ring.Tail()}),
              std::vector<unsigned int>({60, 1, 1}));
    EXPECT_EQ(ring.At(0)[0], 2u);
    EXPECT_EQ(ring.At(59)[0], 61u);
    ring.GetSum(sum);
    EXPECT_EQ(sum[0], 61u * 62u / 2u - 1u);  // 2 + ... + 61
    EXPECT_EQ(sum[1], 61u * 62u / 2u - 1u + 60u);
    ring.Reset();
    sum = Counts(1, 42);
    ring.GetSum(sum);
    EXPECT_EQ(sum[0], 42u);
    ring.PushHead(sum);
    EXPECT_EQ(std::vector<unsigned int>({ring.Count(), ring.Head(), ring.Tail()}),
              std::vector<unsigned int>({1, 1, 0}));
}

// A refusing ring and a ring of depth 0 keep what they hold; a sum takes the
// first element's dimension and skips elements of another.
TEST(KwRingBufferTest, RefusalsAndMixedDimensions) {
    LogCapture capture;
    Ring ring(2, 1, false), none(0, 1, true);
    KwSrvrStatsCount one = Counts(1, 1), two = Counts(1, 2);
    EXPECT_TRUE(ring.PushHead(one));
    EXPECT_TRUE(ring.PushHead(two));
    EXPECT_FALSE(ring.PushHead(one));
    EXPECT_FALSE(none.PushHead(one));
    EXPECT_EQ(ring.Count() + none.Count(), 2u);
    KwSrvrStatsCount sum(1);
    ring.GetSum(sum);
    EXPECT_EQ(sum[0], 3u);
    EXPECT_EQ(capture.Count(4, "KwRingBuffer.h", "PushHead: buffer full, data not saved."), 2u);

    Ring smallFirst(4, 2, true), largeFirst(4, 2, true);
    KwSrvrStatsCount small = Counts(2, 1), large = Counts(3, 10);
    smallFirst.PushHead(small);
    smallFirst.PushHead(large);
    sum = Counts(5, 0);
    smallFirst.GetSum(sum);
    EXPECT_EQ(sum.Size(), 2u);
    EXPECT_EQ(sum[0], 11u);
    EXPECT_EQ(sum[1], 13u);
    EXPECT_EQ(capture.Entries().size(), 2u);
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

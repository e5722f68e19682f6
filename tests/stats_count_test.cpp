#include <gtest/gtest.h>

#include "KwSrvrStatsCount.h"
#include "LogCapture.h"

namespace {

const char kFile[] = "KwSrvrStatsCount.cpp";

KwSrvrStatsCount Make(std::initializer_list<KwUlong32> values) {
    KwSrvrStatsCount counts(static_cast<unsigned int>(values.size()));
    unsigned int i = 0;
    for (KwUlong32 value : values) {
        counts[i++] = value;
    }
    return counts;
}

std::vector<KwUlong32> Values(const KwSrvrStatsCount& counts) {
    std::vector<KwUlong32> values;
    for (unsigned int i = 0; i < counts.Size(); ++i) {
        values.push_back(counts[i]);
    }
    return values;
}

typedef std::vector<KwUlong32> V;

}  // namespace

TEST(KwSrvrStatsCountTest, StartsAtZeroAndWrapsModulo2To32) {
    KwSrvrStatsCount counts(3);
    EXPECT_EQ(counts.Size(), 3u);
    EXPECT_EQ(Values(counts), V({0, 0, 0}));
    counts[1] = 4294967295u;
    ++counts[1];
    EXPECT_EQ(counts[1], 0u);
    --counts[2];
    EXPECT_EQ(counts[2], 4294967295u);
    counts.Reset();
    EXPECT_EQ(Values(counts), V({0, 0, 0}));
}

TEST(KwSrvrStatsCountTest, OutOfRangeIndexIsReducedAndLogged) {
    LogCapture capture;
    KwSrvrStatsCount counts = Make({10, 11, 12, 13, 14});
    counts[7] = 99;  // read-write, reduced to 2
    EXPECT_EQ(counts[2], 99u);
    EXPECT_EQ(capture.Count(4, kFile,
                            "operator[]: attempt to rw access arrays outside allowed size, 7 will "
                            "be modulated to 2."),
              1u);
    counts[5] = 50;  // index equal to the dimension goes to 0
    EXPECT_EQ(counts[0], 50u);
    EXPECT_EQ(capture.Count(4, kFile,
                            "operator[]: attempt to rw access arrays outside allowed size, 5 will "
                            "be modulated to 0."),
              1u);

    const KwSrvrStatsCount four = Make({1, 2, 3, 4});
    EXPECT_EQ(four[4294967295u], 4u);  // printed as -1, reduced to 3
    EXPECT_EQ(capture.Count(4, kFile,
                            "operator[]: attempt to ro access arrays outside allowed size, -1 will "
                            "be modulated to 3."),
              1u);
    EXPECT_EQ(four[4], 1u);  // equal to the dimension: reduced to 0
    EXPECT_EQ(capture.Count(4, kFile,
                            "operator[]: attempt to ro access arrays outside allowed size, 4 will "
                            "be modulated to 0."),
              1u);
    EXPECT_EQ(capture.Entries().size(), 4u);
}

TEST(KwSrvrStatsCountTest, DimensionZeroTouchesNothingOutsideTheArray) {
    LogCapture capture;
    KwSrvrStatsCount empty(0);
    empty[0] = 5;
    EXPECT_EQ(empty[3], 0u);  // the write above went nowhere
    const KwSrvrStatsCount& readOnly = empty;
    EXPECT_EQ(readOnly[1], 0u);
    EXPECT_EQ(empty.Size(), 0u);
    EXPECT_EQ(capture.CountContaining("of size 0"), 3u);
}

TEST(KwSrvrStatsCountTest, AdditionAcceptsALargerRightSideOnly) {
    LogCapture capture;
    KwSrvrStatsCount three = Make({1, 2, 3});
    three += Make({10, 20, 30, 40, 50});
    EXPECT_EQ(Values(three), V({11, 22, 33}));
    EXPECT_TRUE(capture.Entries().empty());

    KwSrvrStatsCount five = Make({1, 2, 3, 4, 5});
    five += Make({10, 20, 30});
    EXPECT_EQ(Values(five), V({1, 2, 3, 4, 5}));
    EXPECT_EQ(capture.Count(3, kFile,
                            "operator+=: attempt to operate on arrays with different dimensions "
                            "(add Item[3] to this[5])."),
              1u);

    KwSrvrStatsCount high = Make({4294967295u, 1});
    high += Make({2, 1});
    EXPECT_EQ(Values(high), V({1, 2}));
}

TEST(KwSrvrStatsCountTest, SubtractionAcceptsALargerRightSideOnlyAndWraps) {
    LogCapture capture;
    KwSrvrStatsCount five = Make({9, 9, 9, 9, 9});
    five -= Make({1, 2, 3});
    EXPECT_EQ(Values(five), V({9, 9, 9, 9, 9}));
    EXPECT_EQ(capture.Count(3, kFile,
                            "operator-=: attempt to operate on arrays with different dimensions."),
              1u);

    KwSrvrStatsCount three = Make({2, 10, 0});
    three -= Make({5, 3, 1, 7, 7});
    EXPECT_EQ(Values(three), V({4294967293u, 7, 4294967295u}));
    EXPECT_EQ(capture.Entries().size(), 1u);
}

TEST(KwSrvrStatsCountTest, CopiesAreDeepAndAssignmentTakesTheSourceDimension) {
    KwSrvrStatsCount four = Make({1, 2, 3, 4});
    KwSrvrStatsCount copy(four);
    copy[0] = 100;
    EXPECT_EQ(Values(copy), V({100, 2, 3, 4}));
    EXPECT_EQ(four[0], 1u);

    KwSrvrStatsCount target = Make({7, 7, 7, 7});
    target = Make({5, 6});
    EXPECT_EQ(Values(target), V({5, 6}));
    KwSrvrStatsCount small = Make({1, 1});
    small = four;
    EXPECT_EQ(Values(small), V({1, 2, 3, 4}));
    small[3] = 40;
    EXPECT_EQ(four[3], 4u);

    KwSrvrStatsCount& alias = small;
    small = alias;
    EXPECT_EQ(Values(small), V({1, 2, 3, 40}));
}

#include <gtest/gtest.h>

#include "KwSrvrStatsCount.h"
#include "LogCapture.h"

namespace {

typedef std::vector<KwUlong32> V;

KwSrvrStatsCount Make(const V& values) {
    KwSrvrStatsCount counts(static_cast<unsigned int>(values.size()));
    for (unsigned int i = 0; i < values.size(); ++i) {
        counts[i] = values[i];
    }
    return counts;
}

V Values(const KwSrvrStatsCount& counts) {
    V values;
    for (unsigned int i = 0; i < counts.Size(); ++i) {
        values.push_back(counts[i]);
    }
    return values;
}

}  // namespace

TEST(KwSrvrStatsCountTest, ElementsWrapModulo2To32AndOutOfRangeIndexesAreReduced) {
    LogCapture capture;
    KwSrvrStatsCount counts(5);
    EXPECT_EQ(Values(counts), V({0, 0, 0, 0, 0}));
    counts[1] = 4294967295u;
    ++counts[1];
    --counts[2];
    counts[7] = 99;  // read-write: reduced to 2
    counts[5] = 50;  // equal to the dimension: reduced to 0
    EXPECT_EQ(Values(counts), V({50, 0, 99, 0, 0}));
    const KwSrvrStatsCount& readOnly = counts;
    EXPECT_EQ(readOnly[4294967295u], 50u);  // printed as -1, reduced to 0
    EXPECT_EQ(readOnly[6], 0u);
    EXPECT_EQ(readOnly[5], 50u);
    KwSrvrStatsCount empty(0);  // touches nothing outside the array
    empty[0] = 5;
    EXPECT_EQ(empty[3], 0u);
    EXPECT_EQ(static_cast<const KwSrvrStatsCount&>(empty)[1], 0u);
    std::vector<std::string> warnings;
    for (const LogEntry& entry : capture.Entries()) {
        warnings.push_back(std::to_string(entry.level) + " " + entry.file + " " + entry.text);
    }
    const std::string attempt = "4 KwSrvrStatsCount.cpp operator[]: attempt to ";
    EXPECT_EQ(warnings,
              std::vector<std::string>(
                  {attempt + "rw access arrays outside allowed size, 7 will be modulated to 2.",
                   attempt + "rw access arrays outside allowed size, 5 will be modulated to 0.",
                   attempt + "ro access arrays outside allowed size, -1 will be modulated to 0.",
                   attempt + "ro access arrays outside allowed size, 6 will be modulated to 1.",
                   attempt + "ro access arrays outside allowed size, 5 will be modulated to 0.",
                   attempt + "rw access an array of size 0, index 0 ignored.",
                   attempt + "rw access an array of size 0, index 3 ignored.",
                   attempt + "ro access an array of size 0, index 1 ignored."}));
    counts.Reset();
    EXPECT_EQ(Values(counts), V({0, 0, 0, 0, 0}));
}

// Arithmetic takes a right side at least as long, and wraps; copies are deep
// and assignment takes the source's dimension.
TEST(KwSrvrStatsCountTest, ArithmeticAndCopies) {
    LogCapture capture;
    KwSrvrStatsCount three = Make({4294967295u, 2, 3});
    three += Make({2, 20, 30, 40, 50});
    EXPECT_EQ(Values(three), V({1, 22, 33}));
    three -= Make({5, 3, 1, 7});
    EXPECT_EQ(Values(three), V({4294967292u, 19, 32}));
    EXPECT_TRUE(capture.Entries().empty());
    KwSrvrStatsCount five = Make({1, 2, 3, 4, 5});
    five += three;
    five -= three;
    EXPECT_EQ(Values(five), V({1, 2, 3, 4, 5}));
    EXPECT_EQ(capture.Count(3, "KwSrvrStatsCount.cpp",
                            "operator+=: attempt to operate on arrays with different dimensions "
                            "(add Item[3] to this[5])."),
              1u);
    EXPECT_EQ(capture.Count(3, "KwSrvrStatsCount.cpp",
                            "operator-=: attempt to operate on arrays with different dimensions."),
              1u);

    KwSrvrStatsCount copy(five);
    copy[0] = 100;
    EXPECT_EQ(Values(copy), V({100, 2, 3, 4, 5}));
    EXPECT_EQ(five[0], 1u);
    three = copy;
    three[4] = 40;
    EXPECT_EQ(Values(three), V({100, 2, 3, 4, 40}));
    EXPECT_EQ(copy[4], 5u);
    three = Make({5, 6});
    KwSrvrStatsCount& alias = three;
    three = alias;
    EXPECT_EQ(Values(three), V({5, 6}));
}

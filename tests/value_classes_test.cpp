// The value classes: elapsed time, the largest value with its time, the
// counter array and the ring of counter arrays.
#include <gtest/gtest.h>

#include <cstring>
#include <new>

#include "CountValues.h"
#include "KwMaxValue.h"
#include "KwRingBuffer.h"
#include "KwSrvrStatsCount.h"
#include "KwTimeConvert.h"
#include "KwTimeTracker.h"
#include "LogCapture.h"
#include "TestTime.h"

namespace {

typedef KwRingBuffer<KwSrvrStatsCount> Ring;

// Every captured line as "<level> <file> <text>".
std::vector<std::string> Lines(const LogCapture& capture) {
    std::vector<std::string> lines;
    for (const LogEntry& entry : capture.Entries()) {
        lines.push_back(std::to_string(entry.level) + " " + entry.file + " " + entry.text);
    }
    return lines;
}

}  // namespace

// Start, end, and the result with the refusal logged for it ("" for none).
TEST(KwTimeTrackerTest, TenthsOfAMillisecondOrTheReasonForMinusOne) {
    const struct {
        timespec start, end;
        KwLong32 tenths;
        const char* reason;
    } rows[] = {
        {{10, 500}, {10, 500}, 0, ""},
        {{10, 500}, {10, 500 + 99999}, 0, ""},  // truncated, never raised
        {{10, 500}, {10, 500 + 100000}, 1, ""},
        {{10, 500}, {11, 499}, 9999, ""},               // 1 ns short of a second
        {{10, 500000000}, {12, 200000000}, 17000, ""},  // a second borrowed
        {{10, 999999999}, {11, 100000}, 1, ""},
        {{0, 1}, {100, 0}, 999999, ""},  // a start of 1 ns is a start
        {{1, 0}, {1 + 214748, 0}, 2147480000, ""},
        {{1, 0}, {1 + 214749, 0}, 2147483647, ""},  // beyond 32 bits: saturated
        {{1, 0}, {1 + 1000000, 0}, 2147483647, ""},
        {{10, 1500000000}, {11, 0}, -1, ""},  // not normalised: a negative span
        {{10, 5}, {9, 5}, -1, "Can not calculate correctly because start time > end time(in sec)"},
        {{10, 5}, {10, 4}, -1, "Can not calculate correctly because start time > end time(in ns)"},
        {{0, 0}, {100, 0}, -1, "start time has not been set correctly"},  // no start held
    };
    for (const auto& row : rows) {
        LogCapture capture;
        KwTimeTracker tracker;
        timespec start = row.start, end = row.end;
        tracker.Set(start);
        EXPECT_EQ(tracker.GetElapsedTenthms(end), row.tenths) << row.end.tv_sec;
        EXPECT_EQ(tracker.GetElapsedTenthms(end), row.tenths);  // a start holds for every end
        EXPECT_EQ(end.tv_nsec, row.end.tv_nsec);                // arguments are not changed
        std::string line = std::string("3 KwTimeTracker.cpp GetElapsedTenthms: ") + row.reason;
        EXPECT_EQ(Lines(capture),
                  *row.reason ? std::vector<std::string>(2, line) : std::vector<std::string>());
    }
}

TEST(KwMaxValueTest, KeepsTheLargestUnsignedValueWithTheSecondItWasReached) {
    LogCapture capture;
    alignas(KwMaxValue) unsigned char raw[sizeof(KwMaxValue)];
    std::memset(raw, 0xff, sizeof raw);  // a member the constructor leaves unset shows
    KwMaxValue& max = *new (raw) KwMaxValue;
    EXPECT_EQ(max.GetValueWithStamp(), "0,-");
    EXPECT_EQ(max.GetTimeTicks(), 0);
    EXPECT_FALSE(max.UpdateIfLarger(0));
    long before = WallSeconds();
    EXPECT_TRUE(max.UpdateIfLarger(2147483648u));  // above 2^31: compared unsigned
    long stamp = max.GetTimeTicks();
    EXPECT_TRUE(stamp >= before && stamp <= WallSeconds()) << stamp;
    KwTimeConvert::KwTimeZones utc = static_cast<KwTimeConvert::KwTimeZones>(0);
    EXPECT_EQ(max.GetValueWithStamp(),
              "2147483648, " + KwTimeConvert::ConvertUtcTicksToStr(utc, stamp));
    EXPECT_FALSE(max.UpdateIfLarger(2147483648u) || max.UpdateIfLarger(3));
    EXPECT_TRUE(max.UpdateIfLarger(4294967295u));
    EXPECT_EQ(max.GetValue(), 4294967295u);
    max.Reset();
    EXPECT_EQ(max.GetValueWithStamp(), "0,-");
    EXPECT_EQ(max.GetTimeTicks(), 0);
    max.~KwMaxValue();
    EXPECT_TRUE(capture.Entries().empty());
}

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
    // 4294967295 is printed as -1 and reduced to 0.
    EXPECT_EQ(V({readOnly[4294967295u], readOnly[6], readOnly[5]}), V({50, 0, 50}));
    KwSrvrStatsCount empty(0);  // touches nothing outside the array
    empty[0] = 5;
    EXPECT_EQ(V({empty[3], static_cast<const KwSrvrStatsCount&>(empty)[1]}), V({0, 0}));
    const std::string attempt = "4 KwSrvrStatsCount.cpp operator[]: attempt to ";
    EXPECT_EQ(Lines(capture),
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
    KwSrvrStatsCount five = Make({1, 2, 3, 4, 5});
    five += three;
    five -= three;
    EXPECT_EQ(Values(five), V({1, 2, 3, 4, 5}));
    EXPECT_EQ(Lines(capture), std::vector<std::string>(
                                  {"3 KwSrvrStatsCount.cpp operator+=: attempt to operate on "
                                   "arrays with different dimensions (add Item[3] to this[5]).",
                                   "3 KwSrvrStatsCount.cpp operator-=: attempt to operate on "
                                   "arrays with different dimensions."}));
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

TEST(KwRingBufferTest, OverwritingRingKeepsTheLastPushesOldestFirst) {
    Ring ring(60, 2, true);
    KwSrvrStatsCount sum = Make({42, 43});
    ring.GetSum(sum);
    EXPECT_EQ(Values(sum), V({42, 43}));  // empty: the argument is left alone
    for (KwUlong32 push = 1; push <= 61; ++push) {
        KwSrvrStatsCount counts = Make({push, push + 1});
        EXPECT_TRUE(ring.PushHead(counts));
        counts[0] = 0;  // pushes store copies
    }
    EXPECT_EQ(V({ring.Count(), ring.Head(), ring.Tail()}), V({60, 1, 1}));
    EXPECT_EQ(V({ring.At(0)[0], ring.At(59)[0]}), V({2, 61}));
    ring.GetSum(sum);
    EXPECT_EQ(Values(sum), V({61 * 62 / 2 - 1, 61 * 62 / 2 - 1 + 60}));  // 2 + ... + 61
    ring.Reset();
    sum = Make({42});
    ring.GetSum(sum);
    EXPECT_EQ(Values(sum), V({42}));
    ring.PushHead(sum);
    EXPECT_EQ(V({ring.Count(), ring.Head(), ring.Tail()}), V({1, 1, 0}));
}

// A refusing ring and a ring of depth 0 keep what they hold; a sum takes the
// first element's dimension and skips elements of another.
TEST(KwRingBufferTest, RefusalsAndMixedDimensions) {
    LogCapture capture;
    Ring ring(2, 1, false), none(0, 1, true);
    KwSrvrStatsCount one = Make({1}), two = Make({2});
    EXPECT_EQ(std::vector<bool>(
                  {ring.PushHead(one), ring.PushHead(two), ring.PushHead(one), none.PushHead(one)}),
              std::vector<bool>({true, true, false, false}));
    EXPECT_EQ(ring.Count() + none.Count(), 2u);
    KwSrvrStatsCount sum(1);
    ring.GetSum(sum);
    EXPECT_EQ(Values(sum), V({3}));

    Ring smallFirst(4, 2, true), largeFirst(4, 2, true);
    KwSrvrStatsCount small = Make({1, 2}), large = Make({10, 11, 12});
    smallFirst.PushHead(small);
    smallFirst.PushHead(large);
    sum = Make({0, 0, 0, 0, 0});
    smallFirst.GetSum(sum);
    EXPECT_EQ(Values(sum), V({11, 13}));
    largeFirst.PushHead(large);
    largeFirst.PushHead(small);
    largeFirst.PushHead(small);
    largeFirst.GetSum(sum);
    EXPECT_EQ(Values(sum), V({10, 11, 12}));  // the smaller elements were skipped
    const std::string full = "4 KwRingBuffer.h PushHead: buffer full, data not saved.";
    const std::string add =
        "3 KwSrvrStatsCount.cpp operator+=: attempt to operate on arrays with different "
        "dimensions (add Item[2] to this[3]).";
    EXPECT_EQ(Lines(capture), std::vector<std::string>({full, full, add, add}));
}

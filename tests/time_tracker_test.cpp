#include <gtest/gtest.h>
#include <time.h>

#include "KwTimeTracker.h"
#include "LogCapture.h"
#include "TestTime.h"

namespace {

const char kFile[] = "KwTimeTracker.cpp";
const char kNotSet[] = "GetElapsedTenthms: start time has not been set correctly";
const char kBeforeSec[] =
    "GetElapsedTenthms: Can not calculate correctly because start time > end time(in sec)";
const char kBeforeNs[] =
    "GetElapsedTenthms: Can not calculate correctly because start time > end time(in ns)";

KwLong32 Elapsed(timespec start, timespec end) {
    KwTimeTracker tracker;
    tracker.Set(start);
    return tracker.GetElapsedTenthms(end);
}

}  // namespace

TEST(KwTimeTrackerTest, TruncatesToWholeTenthsOfAMillisecond) {
    LogCapture capture;
    EXPECT_EQ(Elapsed(At(10, 500), At(10, 500)), 0);
    EXPECT_EQ(Elapsed(At(10, 500), At(10, 500 + 99999)), 0);
    EXPECT_EQ(Elapsed(At(10, 500), At(10, 500 + 100000)), 1);
    EXPECT_EQ(Elapsed(At(10, 500), At(11, 499)), 9999);  // 1 ns short of a second
    EXPECT_EQ(Elapsed(At(10, 0), At(11, 0)), 10000);
    EXPECT_TRUE(capture.Entries().empty());
}

TEST(KwTimeTrackerTest, BorrowsASecondWhenTheEndNanosecondsAreSmaller) {
    EXPECT_EQ(Elapsed(At(10, 500000000), At(12, 200000000)), 17000);
    EXPECT_EQ(Elapsed(At(10, 999999999), At(11, 0)), 0);
    EXPECT_EQ(Elapsed(At(10, 999999999), At(11, 100000)), 1);
}

TEST(KwTimeTrackerTest, RefusesAnEndBeforeTheStartWithTheReason) {
    LogCapture capture;
    EXPECT_EQ(Elapsed(At(10, 5), At(9, 5)), -1);
    EXPECT_EQ(Elapsed(At(10, 5), At(10, 4)), -1);
    EXPECT_EQ(capture.Count(3, kFile, kBeforeSec), 1u);
    EXPECT_EQ(capture.Count(3, kFile, kBeforeNs), 1u);
    EXPECT_EQ(capture.Entries().size(), 2u);
}

TEST(KwTimeTrackerTest, ZeroStampMeansNoStartTimeHeld) {
    LogCapture capture;
    KwTimeTracker tracker;
    timespec zero = At(0, 0);
    tracker.Set(zero);
    timespec end = At(100, 0);
    EXPECT_EQ(tracker.GetElapsedTenthms(end), -1);
    EXPECT_EQ(tracker.GetElapsedTenthms(end), -1);  // stays unset
    EXPECT_EQ(capture.Count(3, kFile, kNotSet), 2u);

    timespec oneNano = At(0, 1);
    tracker.Set(oneNano);
    EXPECT_EQ(tracker.GetElapsedTenthms(end), 1000000 - 1);
    EXPECT_EQ(capture.Entries().size(), 2u);
}

TEST(KwTimeTrackerTest, StartHoldsForSeveralEndsUntilSetAgain) {
    KwTimeTracker tracker;
    timespec start = At(50, 0);
    tracker.Set(start);
    timespec first = At(50, 300000);
    timespec second = At(51, 0);
    EXPECT_EQ(tracker.GetElapsedTenthms(first), 3);
    EXPECT_EQ(tracker.GetElapsedTenthms(second), 10000);
    EXPECT_EQ(start.tv_sec, 50);  // arguments are not changed
    EXPECT_EQ(first.tv_nsec, 300000);
}

TEST(KwTimeTrackerTest, NewTrackerMeasuresFromItsConstruction) {
    timespec before;
    clock_gettime(CLOCK_MONOTONIC, &before);
    KwTimeTracker tracker;
    timespec after;
    clock_gettime(CLOCK_MONOTONIC, &after);
    KwLong32 sinceConstruction = tracker.GetElapsedTenthms(after);
    KwTimeTracker reference;
    reference.Set(before);
    EXPECT_GE(sinceConstruction, 0);
    EXPECT_LE(sinceConstruction, reference.GetElapsedTenthms(after));

    tracker.Reset();
    timespec past = before;
    past.tv_sec -= 1;
    EXPECT_EQ(tracker.GetElapsedTenthms(past), -1);
}

TEST(KwTimeTrackerTest, SpansBeyondThirtyTwoBitsSaturate) {
    // 214749 s is just over 2^31 tenths of a millisecond.
    EXPECT_EQ(Elapsed(At(1, 0), At(1 + 214748, 0)), 2147480000);
    EXPECT_EQ(Elapsed(At(1, 0), At(1 + 214749, 0)), 2147483647);
    EXPECT_EQ(Elapsed(At(1, 0), At(1 + 1000000, 0)), 2147483647);
}

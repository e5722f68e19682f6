#include <gtest/gtest.h>
#include <time.h>

#include "KwTimeTracker.h"
#include "LogCapture.h"
#include "TestTime.h"

namespace {
const char kFile[] = "KwTimeTracker.cpp";
const char kRefused[] = "GetElapsedTenthms: ";
}  // namespace

// Start, end, and the result with the refusal logged for it ("" for none).
TEST(KwTimeTrackerTest, TenthsOfAMillisecondOrTheReasonForMinusOne) {
    const struct {
        timespec start, end;
        KwLong32 tenths;
        const char* reason;
    } rows[] = {
        {At(10, 500), At(10, 500), 0, ""},
        {At(10, 500), At(10, 500 + 99999), 0, ""},  // truncated, never raised
        {At(10, 500), At(10, 500 + 100000), 1, ""},
        {At(10, 500), At(11, 499), 9999, ""},               // 1 ns short of a second
        {At(10, 500000000), At(12, 200000000), 17000, ""},  // a second borrowed
        {At(10, 999999999), At(11, 100000), 1, ""},
        {At(0, 1), At(100, 0), 999999, ""},  // a start of 1 ns is a start
        {At(1, 0), At(1 + 214748, 0), 2147480000, ""},
        {At(1, 0), At(1 + 214749, 0), 2147483647, ""},  // beyond 32 bits: saturated
        {At(1, 0), At(1 + 1000000, 0), 2147483647, ""},
        {At(10, 1500000000), At(11, 0), -1, ""},  // not normalised: a negative span
        {At(10, 5), At(9, 5), -1,
         "Can not calculate correctly because start time > end time(in sec)"},
        {At(10, 5), At(10, 4), -1,
         "Can not calculate correctly because start time > end time(in ns)"},
        {At(0, 0), At(100, 0), -1, "start time has not been set correctly"},  // no start held
    };
    for (const auto& row : rows) {
        LogCapture capture;
        KwTimeTracker tracker;
        timespec start = row.start, end = row.end;
        tracker.Set(start);
        EXPECT_EQ(tracker.GetElapsedTenthms(end), row.tenths) << row.end.tv_sec;
        EXPECT_EQ(tracker.GetElapsedTenthms(end), row.tenths);  // a start holds for every end
        EXPECT_EQ(end.tv_nsec, row.end.tv_nsec);                // arguments are not changed
        std::string reason = row.reason;
        EXPECT_EQ(capture.Count(3, kFile, kRefused + reason), reason.empty() ? 0u : 2u);
        EXPECT_EQ(capture.Entries().size(), reason.empty() ? 0u : 2u);
    }
}

TEST(KwTimeTrackerTest, NewTrackerMeasuresFromItsConstruction) {
    timespec before = Now();
    KwTimeTracker tracker;
    timespec after = Now();
    KwLong32 sinceConstruction = tracker.GetElapsedTenthms(after);
    EXPECT_GE(sinceConstruction, 0);
    EXPECT_LE(sinceConstruction, TenthsBetween(before, after));
    tracker.Reset();
    timespec past = before;
    past.tv_sec -= 1;
    EXPECT_EQ(tracker.GetElapsedTenthms(past), -1);
}

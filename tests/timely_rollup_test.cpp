// The timely roll-up alone: when the next second ends, which stamps are
// late, where a late report is counted, and when the peaks are due. Times
// are given, not waited for.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "CountValues.h"
#include "KwTimelyRollup.h"
#include "TestTime.h"

namespace {

typedef KwTimelyRollup::Ring Ring;

// Fired, now, and the milliseconds until the next second ends.
TEST(KwTimelyRollupTest, NextSecondEndsASecondAfterTheLastOne) {
    const struct {
        timespec fired, now;
        unsigned long ms;
    } rows[] = {
        {{0, 0}, {50, 0}, 1000},                  // when it fired is unknown
        {{0, 500}, {0, 300000500}, 700},          // known, in the clock's first second
        {{50, 0}, {0, 0}, 1000},                  // the present is unknown
        {{50, 0}, {50, 0}, 1000},                 // on time
        {{50, 500000000}, {50, 0}, 1000},         // a clock that went back
        {{50, 0}, {50, 300000000}, 700},          // 300 ms late
        {{50, 900000000}, {51, 200000000}, 700},  // a second borrowed
        {{50, 0}, {50, 999999999}, 1},            // 999 ms late
        {{50, 0}, {51, 0}, 1},                    // a whole second late: at once
        {{50, 0}, {55, 0}, 1},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(KwTimelyRollup::NextTimeoutMs(row.fired, row.now), row.ms)
            << row.fired.tv_sec << "." << row.fired.tv_nsec << " -> " << row.now.tv_sec << "."
            << row.now.tv_nsec;
    }
}

TEST(KwTimelyRollupTest, TheFiringIsNotedFromTheMonotonicClock) {
    timespec before = Now();
    KwTimelyRollup::NoteTimerFired();
    timespec after = Now();
    timespec fired = KwTimelyRollup::LastFiring();
    EXPECT_GE(TenthsBetween(before, fired), 0);
    EXPECT_GE(TenthsBetween(fired, after), 0);
    // Measured from it, the next second is no more than a second away.
    unsigned long ms = KwTimelyRollup::NextTimeoutMs(fired);
    EXPECT_GE(ms, 1u);
    EXPECT_LE(ms, 1000u);
}

// A second closed at 100.5 s: stamps up to that moment are late; a reset
// forgets it; a second closed at an unknown moment makes nothing late. The
// setting is off until set.
TEST(KwTimelyRollupTest, StampsUpToTheCloseAreLate) {
    KwTimelyRollup timely;
    EXPECT_FALSE(timely.On());
    timely.SetOn(true);
    EXPECT_TRUE(timely.On());
    timely.SetOn(false);
    EXPECT_FALSE(timely.On());
    EXPECT_FALSE(timely.Late({1, 0}));  // nothing closed yet
    timely.Closed({100, 500}, 0);
    const struct {
        timespec stamp;
        bool late;
    } rows[] = {
        {{0, 0}, true},     {{99, 999999999}, true}, {{100, 499}, true},
        {{100, 500}, true}, {{100, 501}, false},     {{101, 0}, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(timely.Late(row.stamp), row.late) << row.stamp.tv_sec << "." << row.stamp.tv_nsec;
    }
    timely.Forget();
    EXPECT_FALSE(timely.Late({99, 0}));
    timely.Closed({0, 0}, 0);
    EXPECT_FALSE(timely.Late({0, 0}));
}

// A late report counts in the closed second's entry of the minute ring, in
// the minute's and hour's entries when that second closed them, and not in
// the next second (the last roll-up's counts take it too). An event that
// keeps its peak per second has it raised to the closed second's count if
// that is larger.
TEST(KwTimelyRollupTest, ALateReportCountsWhereItsSecondClosed) {
    const struct {
        int periods;
        bool rated;
        KwUlong32 peakBefore;
        V minute, hour, day, last;
        KwUlong32 peakAfter;
    } rows[] = {
        {0, false, 0, {5, 1}, {7, 0}, {9, 0}, {3, 1}, 0},
        {0, true, 0, {5, 1}, {7, 0}, {9, 0}, {3, 1}, 1},
        {0, true, 4, {5, 1}, {7, 0}, {9, 0}, {3, 1}, 4},
        {1, false, 0, {5, 1}, {7, 1}, {9, 0}, {3, 1}, 0},
        {2, true, 0, {5, 1}, {7, 1}, {9, 1}, {3, 1}, 1},
    };
    for (const auto& row : rows) {
        Ring minute(60, 2, true), hour(60, 2, true), day(24, 2, true);
        KwSrvrStatsCount last(2);
        last[0] = 3;
        KwSrvrStatsCount entry(2);
        for (KwUlong32 value : {5u, 7u, 9u}) {
            entry[0] = value;
            (value == 5 ? minute : value == 7 ? hour : day).PushHead(entry);
        }
        KwMaxValue peak;
        peak.UpdateIfLarger(row.peakBefore);
        KwTimelyRollup timely;
        timely.Closed({100, 0}, row.periods);
        timely.CountLate(1, row.rated ? &peak : nullptr, last, minute, hour, day);
        EXPECT_EQ(Values(*minute.Newest()), row.minute) << row.periods;
        EXPECT_EQ(Values(*hour.Newest()), row.hour) << row.periods;
        EXPECT_EQ(Values(*day.Newest()), row.day) << row.periods;
        EXPECT_EQ(Values(last), row.last) << row.periods;
        EXPECT_EQ(peak.GetValue(), row.peakAfter) << row.periods;
    }
}

// After a reset the rings are empty: a late report has no second to count
// in, and its peak stays.
TEST(KwTimelyRollupTest, NothingToCountInAfterAReset) {
    Ring minute(60, 1, true), hour(60, 1, true), day(24, 1, true);
    KwSrvrStatsCount last(1);
    KwMaxValue peak;
    KwTimelyRollup timely;
    timely.Closed({100, 0}, 2);
    timely.CountLate(0, &peak, last, minute, hour, day);
    EXPECT_EQ(std::make_tuple(Values(last), peak.GetValue()), std::make_tuple(V({0}), 0u));
}

}  // namespace

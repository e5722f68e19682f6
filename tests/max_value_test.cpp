#include <gtest/gtest.h>
#include <time.h>

#include "KwMaxValue.h"
#include "KwTimeConvert.h"
#include "LogCapture.h"

namespace {
long WallSeconds() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long>(now.tv_sec);
}
std::string TimeText(long seconds) {
    KwTimeConvert::KwTimeZones zone = KwTimeConvert::KW_TZ_UTC;
    return KwTimeConvert::ConvertUtcTicksToStr(zone, seconds);
}
}  // namespace

TEST(KwMaxValueTest, EmptyUntilAValueAboveZeroIsStored) {
    KwMaxValue max;
    EXPECT_EQ(max.GetValue(), 0u);
    EXPECT_EQ(max.GetTimeTicks(), 0);
    EXPECT_EQ(max.GetValueWithStamp(), "0,-");
    EXPECT_FALSE(max.UpdateIfLarger(0));
    EXPECT_EQ(max.GetValueWithStamp(), "0,-");
    max.UpdateIfLarger(7);
    max.Reset();
    EXPECT_EQ(max.GetValue(), 0u);
    EXPECT_EQ(max.GetTimeTicks(), 0);
    EXPECT_TRUE(max.UpdateIfLarger(1));
}

TEST(KwMaxValueTest, StoresOnlyStrictlyLargerValuesWithTheirWallClockSecond) {
    LogCapture capture;
    KwMaxValue max;
    long before = WallSeconds();
    EXPECT_TRUE(max.UpdateIfLarger(12));
    long after = WallSeconds();
    EXPECT_EQ(max.GetValue(), 12u);
    EXPECT_GE(max.GetTimeTicks(), before);
    EXPECT_LE(max.GetTimeTicks(), after);
    EXPECT_EQ(max.GetValueWithStamp(), "12, " + TimeText(max.GetTimeTicks()));

    EXPECT_FALSE(max.UpdateIfLarger(12));
    EXPECT_FALSE(max.UpdateIfLarger(3));
    EXPECT_EQ(max.GetValue(), 12u);
    EXPECT_TRUE(capture.Entries().empty());
}

TEST(KwMaxValueTest, EqualValueKeepsTheEarlierStamp) {
    KwMaxValue max;
    max.UpdateIfLarger(5);
    long first = max.GetTimeTicks();
    // Wait for the wall clock to move on, so a wrongly taken new stamp shows.
    while (WallSeconds() == first) {
    }
    EXPECT_FALSE(max.UpdateIfLarger(5));
    EXPECT_EQ(max.GetTimeTicks(), first);
    EXPECT_TRUE(max.UpdateIfLarger(6));
    EXPECT_GT(max.GetTimeTicks(), first);
}

TEST(KwMaxValueTest, ComparesAsUnsigned32Bit) {
    KwMaxValue max;
    EXPECT_TRUE(max.UpdateIfLarger(4294967294u));
    EXPECT_TRUE(max.UpdateIfLarger(4294967295u));
    EXPECT_FALSE(max.UpdateIfLarger(2147483648u));
    EXPECT_EQ(max.GetValue(), 4294967295u);
    EXPECT_EQ(max.GetValueWithStamp().substr(0, 12), "4294967295, ");
}

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
}  // namespace

TEST(KwMaxValueTest, KeepsTheLargestUnsignedValueWithTheSecondItWasFirstReached) {
    LogCapture capture;
    KwMaxValue max;
    EXPECT_EQ(max.GetValueWithStamp(), "0,-");
    EXPECT_FALSE(max.UpdateIfLarger(0));
    long before = WallSeconds();
    EXPECT_TRUE(max.UpdateIfLarger(2147483648u));  // above 2^31: compared unsigned
    EXPECT_GE(max.GetTimeTicks(), before);
    EXPECT_LE(max.GetTimeTicks(), WallSeconds());
    KwTimeConvert::KwTimeZones zone = static_cast<KwTimeConvert::KwTimeZones>(0);
    EXPECT_EQ(max.GetValueWithStamp(),
              "2147483648, " + KwTimeConvert::ConvertUtcTicksToStr(zone, max.GetTimeTicks()));
    long first = max.GetTimeTicks();
    while (WallSeconds() == first) {  // a wrongly renewed stamp would show
    }
    EXPECT_FALSE(max.UpdateIfLarger(2147483648u));
    EXPECT_FALSE(max.UpdateIfLarger(3));
    EXPECT_EQ(max.GetTimeTicks(), first);
    EXPECT_TRUE(max.UpdateIfLarger(4294967295u));
    EXPECT_EQ(max.GetValue(), 4294967295u);
    EXPECT_GT(max.GetTimeTicks(), first);
    max.Reset();
    EXPECT_EQ(max.GetValue(), 0u);
    EXPECT_EQ(max.GetTimeTicks(), 0);
    EXPECT_EQ(max.GetValueWithStamp(), "0,-");
    EXPECT_TRUE(capture.Entries().empty());
}

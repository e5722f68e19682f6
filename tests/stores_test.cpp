// The statistics stores alone: made for the slots handed out, traded whole
// for what the collector's members point at.
#include <gtest/gtest.h>

#include <vector>

#include "KwStatsStores.h"

namespace {

TEST(KwStatsStoresTest, MadeForTheSlotsAndTradedWhole) {
    const KwStoreSizes sizes[] = {{3, 2, 1}, {0, 0, 0}};
    for (const KwStoreSizes& size : sizes) {
        KwStatsStores stores;
        ASSERT_TRUE(stores.Make(size));
        KwMaxValue *maxRates = nullptr, *waterMarks = nullptr;
        KwSrvrStatsCount *current = nullptr, *last = nullptr;
        KwStatsStores::Ring *minute = nullptr, *hour = nullptr, *day = nullptr;
        stores.Exchange(maxRates, waterMarks, current, last, minute, hour, day);
        ASSERT_TRUE(maxRates && waterMarks && current && last && minute && hour && day);
        const unsigned int dimension = static_cast<unsigned int>(size.count);
        EXPECT_EQ(std::vector<unsigned int>({current->Size(), last->Size(), minute->Capacity(),
                                             hour->Capacity(), day->Capacity(), minute->Count()}),
                  std::vector<unsigned int>({dimension, dimension, 60, 60, 24, 0}));
        // Overwriting: a full ring takes the 61st second.
        KwSrvrStatsCount second(dimension);
        for (int i = 0; i < 61; ++i) {
            ASSERT_TRUE(minute->PushHead(second));
        }
        // Traded for what held nothing: they come back whole, and stores
        // that hold them release them when they go.
        KwStatsStores other;
        KwSrvrStatsCount* const made = current;
        other.Exchange(maxRates, waterMarks, current, last, minute, hour, day);
        EXPECT_TRUE(!maxRates && !waterMarks && !current && !last && !minute && !hour && !day);
        other.Exchange(maxRates, waterMarks, current, last, minute, hour, day);
        EXPECT_EQ(current, made);
        EXPECT_EQ(minute->Count(), 60u);
        KwStatsStores released;
        released.Exchange(maxRates, waterMarks, current, last, minute, hour, day);
    }
}

}  // namespace

// Copying an event's figures out of the stores: the slots decide what is
// copied, the window sums are those of the rings, histories on request.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "CountValues.h"
#include "KwStatsCopier.h"

namespace {

typedef KwStatsCopier::Ring Ring;

TEST(KwStatsCopierTest, TheSlotsDecideWhatIsCopied) {
    KwSrvrStatsCount current(2), entry(2);
    current[0] = 40;
    current[1] = 41;
    Ring minute(60, 2, true), hour(60, 2, true), day(24, 2, true);
    for (KwUlong32 value : {1u, 2u, 3u}) {
        entry[1] = value;
        minute.PushHead(entry);
    }
    entry[1] = 20;
    hour.PushHead(entry);
    KwMaxValue rates[1], marks[2];
    rates[0].UpdateIfLarger(9);
    marks[1].UpdateIfLarger(127);
    KwStatsCopier copier(2, current, rates, marks, minute, hour, day);

    typedef KwStatsEventSnapshot E;
    const struct {
        int countSlot, rateSlot, waterMarkSlot;
        bool histories;
        bool counted;
        KwUlong32 minute, hour, day, total;
        V seconds, minutes;
        bool rated;
        KwUlong32 peak;
        E::Mark mark;
        KwUlong32 markValue;
    } rows[] = {
        {1, 0, -1, true, true, 6, 20, 0, 41, {1, 2, 3}, {20}, true, 9, E::NO_MARK, 0},
        {1, -1, 1, false, true, 6, 20, 0, 41, {}, {}, false, 0, E::LATENCY, 127},
        {0, -1, -1, true, true, 0, 0, 0, 40, {0, 0, 0}, {0}, false, 0, E::NO_MARK, 0},
        {-1, 0, 0, true, false, 0, 0, 0, 0, {}, {}, true, 9, E::WATER_MARK, 0},
        {-1, -1, 1, true, false, 0, 0, 0, 0, {}, {}, false, 0, E::WATER_MARK, 127},
        {-1, -1, -1, true, false, 0, 0, 0, 0, {}, {}, false, 0, E::NO_MARK, 0},
    };
    int n = 0;
    for (const auto& row : rows) {
        E copy;
        copier.Copy(row.countSlot, row.rateSlot, row.waterMarkSlot, row.histories, copy);
        EXPECT_EQ(std::make_tuple(copy.counted, copy.minute, copy.hour, copy.day, copy.total,
                                  copy.seconds, copy.minutes, copy.hours.size()),
                  std::make_tuple(row.counted, row.minute, row.hour, row.day, row.total,
                                  row.seconds, row.minutes, size_t{0}))
            << "row " << n;
        EXPECT_EQ(std::make_tuple(copy.rated, copy.peak, copy.mark, copy.markValue),
                  std::make_tuple(row.rated, row.peak, row.mark, row.markValue))
            << "row " << n;
        EXPECT_EQ(copy.peakTime != 0, row.peak != 0) << "row " << n;
        EXPECT_EQ(copy.markTime != 0, row.markValue != 0) << "row " << n;
        ++n;
    }
}

}  // namespace

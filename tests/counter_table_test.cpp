// The counters' cells alone: made once per event, opened and closed
// together, gathered into the running counts of the events registered.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "CountValues.h"
#include "KwStatsCounterTable.h"

namespace {

// An event's cells are made from the caller's spare once; later asks get
// the same cells and leave the spare to the caller.
TEST(KwStatsCounterTableTest, CellsAreMadeOncePerEvent) {
    KwStatsCounterTable table;
    std::unique_ptr<KwStatsCounterCells> made(new KwStatsCounterCells);
    KwStatsCounterCells* spare = made.get();
    KwStatsCounterCells* cells = table.CellsOf(255, 2, true, made);
    EXPECT_EQ(cells, spare);
    EXPECT_EQ(made, nullptr);
    EXPECT_TRUE(cells->open.load());
    made.reset(new KwStatsCounterCells);
    EXPECT_EQ(table.CellsOf(255, 2, false, made), cells);
    EXPECT_NE(made, nullptr);
    EXPECT_TRUE(cells->open.load());  // kept as it was
    EXPECT_FALSE(table.CellsOf(0, 0, false, made)->open.load());
}

// Gathering moves each event's adds into its slot, for the events asked
// for; closed cells count refusals, summed over the events.
TEST(KwStatsCounterTableTest, GatheredIntoTheSlotsOfTheEventsAskedFor) {
    KwStatsCounterTable table;
    const struct {
        int eventId;
        unsigned int slot;
        unsigned int added;
    } cells[] = {{0, 2, 5}, {2, 0, 7}, {3, 1, 11}};  // event 1 has none
    for (const auto& c : cells) {
        std::unique_ptr<KwStatsCounterCells> made(new KwStatsCounterCells);
        KwStatsCounterCells* cellsOf = table.CellsOf(c.eventId, c.slot, true, made);
        cellsOf->stripes[c.eventId % KwStatsCounterCells::kStripes].count += c.added;
        cellsOf->stripes[7].count += 1;
    }
    KwSrvrStatsCount counts(3);
    counts[2] = 100;
    table.Gather(3, counts);  // events 0 to 2: event 3's adds stay in its cells
    EXPECT_EQ(Values(counts), V({8, 0, 106}));
    table.Gather(4, counts);
    EXPECT_EQ(Values(counts), V({8, 12, 106}));
    table.Gather(4, counts);  // drained: nothing more
    EXPECT_EQ(Values(counts), V({8, 12, 106}));

    EXPECT_EQ(table.Refused(), 0u);
    table.Open(false);
    std::unique_ptr<KwStatsCounterCells> made(new KwStatsCounterCells);
    for (int id : {0, 2, 3}) {
        KwStatsCounterCells* c = table.CellsOf(id, 0, true, made);
        EXPECT_FALSE(c->open.load()) << id;
        c->refused += static_cast<uint32_t>(id + 1);
    }
    EXPECT_EQ(table.Refused(), 1u + 3u + 4u);
    table.Open(true);
    EXPECT_TRUE(table.CellsOf(3, 0, false, made)->open.load());
}

}  // namespace

// Registration of events: ids, slots, the 256-event limit and the state rule.
#include <algorithm>
#include <thread>

#include "CollectorHarness.h"

namespace {
const char kFile[] = "KwSrvrStatsCollector.cpp";
}

TEST_F(CollectorTest, SlotsAreNumberedPerKindInRegistrationOrder) {
    EXPECT_EQ(collector->RegisterEvent("A", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT), 0);
    EXPECT_EQ(collector->RegisterEvent("B", 0, STATS_DATA_WATER_MARK), 1);
    EXPECT_EQ(collector->RegisterEvent("C", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT), 2);
    EXPECT_EQ(collector->GetMonitoredEventNumber(), 3);

    KwSrvrStatsEvent a = Peer::Event(*collector, 0);
    KwSrvrStatsEvent b = Peer::Event(*collector, 1);
    KwSrvrStatsEvent c = Peer::Event(*collector, 2);
    EXPECT_EQ(a.name, "A");
    EXPECT_EQ(a.flags, STATS_FLAG_MAX_RATE);
    EXPECT_EQ(b.type, STATS_DATA_WATER_MARK);
    EXPECT_EQ(std::vector<int>({a.countSlot, a.rateSlot, a.waterMarkSlot}),
              std::vector<int>({0, 0, -1}));
    EXPECT_EQ(std::vector<int>({b.countSlot, b.rateSlot, b.waterMarkSlot}),
              std::vector<int>({-1, -1, 0}));
    EXPECT_EQ(std::vector<int>({c.countSlot, c.rateSlot, c.waterMarkSlot}),
              std::vector<int>({1, -1, 1}));
    EXPECT_EQ(Peer::SlotCounts(*collector), std::vector<int>({2, 1, 2}));
    EXPECT_EQ(Log().Count(7, kFile, "RegisterEvent: registered event C as 2"), 1u);
}

TEST_F(CollectorTest, UnusualCombinationsGetTheSlotsTheirKindImplies) {
    collector->RegisterEvent("markEnd", STATS_FLAG_LATENCY_END, STATS_DATA_WATER_MARK);
    collector->RegisterEvent("startEnd", STATS_FLAG_LATENCY_START | STATS_FLAG_LATENCY_END,
                             STATS_DATA_COUNT);
    collector->RegisterEvent("odd", 0, static_cast<StatsDataType>(7));
    collector->RegisterEvent("oddRated", STATS_FLAG_MAX_RATE | 0x100,
                             static_cast<StatsDataType>(9));
    collector->RegisterEvent("dup", 0, STATS_DATA_COUNT);
    collector->RegisterEvent("dup", 0, STATS_DATA_COUNT);

    KwSrvrStatsEvent markEnd = Peer::Event(*collector, 0);
    EXPECT_EQ(std::vector<int>({markEnd.countSlot, markEnd.rateSlot, markEnd.waterMarkSlot}),
              std::vector<int>({-1, -1, 0}));
    KwSrvrStatsEvent startEnd = Peer::Event(*collector, 1);
    EXPECT_EQ(std::vector<int>({startEnd.countSlot, startEnd.rateSlot, startEnd.waterMarkSlot}),
              std::vector<int>({0, -1, 1}));
    KwSrvrStatsEvent odd = Peer::Event(*collector, 2);
    EXPECT_EQ(std::vector<int>({odd.countSlot, odd.rateSlot, odd.waterMarkSlot}),
              std::vector<int>({-1, -1, -1}));
    KwSrvrStatsEvent oddRated = Peer::Event(*collector, 3);
    EXPECT_EQ(oddRated.flags, STATS_FLAG_MAX_RATE | 0x100);
    EXPECT_EQ(std::vector<int>({oddRated.countSlot, oddRated.rateSlot, oddRated.waterMarkSlot}),
              std::vector<int>({-1, 0, -1}));
    EXPECT_EQ(Peer::Event(*collector, 5).countSlot, 2);  // same name, another event
}

TEST_F(CollectorTest, ConcurrentRegistrationsGetDenseIdsAndTheLimitHolds) {
    const int threads = 4;
    std::vector<std::vector<int>> ids(threads);
    std::vector<std::thread> registrars;
    for (int t = 0; t < threads; ++t) {
        registrars.emplace_back([&, t] {
            for (int i = 0; i < 70; ++i) {
                std::string name = "ev" + std::to_string(t) + "_" + std::to_string(i);
                ids[t].push_back(
                    collector->RegisterEvent(name.c_str(), STATS_FLAG_MAX_RATE, STATS_DATA_COUNT));
            }
        });
    }
    for (std::thread& registrar : registrars) {
        registrar.join();
    }
    std::vector<int> all;
    for (const std::vector<int>& some : ids) {
        all.insert(all.end(), some.begin(), some.end());
    }
    std::sort(all.begin(), all.end());
    // 280 attempts: 24 refused, ids 0..255 handed out once each.
    EXPECT_EQ(std::count(all.begin(), all.end(), -1), 24);
    all.erase(std::remove(all.begin(), all.end(), -1), all.end());
    ASSERT_EQ(all.size(), 256u);
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(all[static_cast<size_t>(i)], i);
        EXPECT_EQ(Peer::Event(*collector, i).countSlot, i);
        EXPECT_EQ(Peer::Event(*collector, i).rateSlot, i);
    }
    EXPECT_EQ(collector->GetMonitoredEventNumber(), 256);
    EXPECT_EQ(Peer::SlotCounts(*collector), std::vector<int>({256, 256, 0}));
    EXPECT_EQ(Log().CountContaining("Maximum number of events can be monitored by this object has "
                                    "been reached"),
              24u);
}

TEST_F(CollectorTest, The257thRegistrationIsRefusedWithTheLimitLine) {
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(collector->RegisterEvent(("e" + std::to_string(i)).c_str(), 0, STATS_DATA_COUNT),
                  i);
    }
    EXPECT_EQ(collector->RegisterEvent("oneTooMany", 0, STATS_DATA_COUNT), -1);
    EXPECT_EQ(collector->RegisterEvent("twoTooMany", 0, STATS_DATA_WATER_MARK), -1);
    EXPECT_EQ(Log().Count(3, kFile,
                          "RegisterEvent: Maximum number of events can be monitored by this "
                          "object has been reached, the event oneTooMany is not to be monitored"),
              1u);
    EXPECT_EQ(Log().CountContaining("the event twoTooMany is not to be monitored"), 1u);
    EXPECT_EQ(Peer::SlotCounts(*collector), std::vector<int>({256, 0, 0}));
    EXPECT_EQ(collector->GetMonitoredEventNumber(), 256);
}

TEST_F(CollectorTest, RegistrationThatLosesTheRaceWithSizingIsRefused) {
    int result = 0;
    std::thread late;
    {
        KwMutexGuard hold(Peer::DataLock(*collector));
        late = std::thread([&] { result = collector->RegisterEvent("late", 0, STATS_DATA_COUNT); });
        // Past its first state test, it waits for the lock under which the
        // collection thread sizes the stores and leaves ST_INIT.
        ASSERT_TRUE(WaitUntil([&] { return Peer::DataLock(*collector).Waiters() == 1; }));
        Peer::SetState(*collector, KwSrvrStatsCollector::ST_COLLECTING);
    }
    late.join();
    Peer::SetState(*collector, KwSrvrStatsCollector::ST_INIT);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(collector->GetMonitoredEventNumber(), 0);
    EXPECT_EQ(Log().Count(3, kFile,
                          "RegisterEvent: Cannot register a new event for late if the collector "
                          "is not in ST_INIT state"),
              1u);
}

TEST_F(CollectorTest, NullNameIsRefused) {
    EXPECT_EQ(collector->RegisterEvent(nullptr, 0, STATS_DATA_COUNT), -1);
    EXPECT_EQ(collector->GetMonitoredEventNumber(), 0);
    EXPECT_EQ(collector->RegisterEvent("afterNull", 0, STATS_DATA_COUNT), 0);
}

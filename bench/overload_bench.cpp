// overload_bench: producers at full speed against the collector, on the
// real clock, with the RSS of the process sampled every second.
//
//   overload_bench [seconds (20)] [bound (100000; 0: unbounded)] [producers (2)]
//                  [payload bytes (0)] [timely roll-up (0: off, 1: on)]
//
// The producers also count what was accepted in each second by their own
// clock; the summary sets the largest of those against the largest second
// of the collector's minute history.
//
// At the end the producers stop, the collector drains what it accepted, and
// the run checks that every accepted report was counted and that accepted
// plus refused equals submitted (exit status 1 if not). It prints one line a
// second and a summary; the largest RSS is the figure to quote.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "KwSrvrStatsCollector.h"
#include "KwStatsSnapshot.h"
#include "KwTimerMgr.h"
#include "ace/Thread_Manager.h"
#include "dlog.h"

namespace {

double RssMb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            return atof(line.c_str() + 6) / 1024.0;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? atoi(argv[1]) : 20;
    unsigned int bound = argc > 2 ? static_cast<unsigned int>(atol(argv[2])) : 100000;
    int producers = argc > 3 ? atoi(argv[3]) : 2;
    int payload = argc > 4 ? atoi(argv[4]) : 0;
    bool timely = argc > 5 && atoi(argv[5]) != 0;
    dlog_set_threshold(2);  // the refusals' lines would cost more than the refusals

    static KwTimerMgr timer;
    KwSrvrStatsCollector& stats = KwSrvrStatsCollector::GetInstance();
    stats.SetTimerManager(timer);
    int id = stats.RegisterEvent("ev", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    stats.SetWaitingListBound(bound);
    stats.SetTimelyRollup(timely);
    stats.Start();
    stats.DoneInit();
    while (!stats.IsRunning()) {
        std::this_thread::yield();
    }

    std::atomic<bool> stop{false};
    std::vector<long> accepted(static_cast<size_t>(producers)), refused(accepted);
    // Accepted per second of the producers' clock, a row per producer.
    std::vector<std::vector<long>> acceptedPerSecond(
        static_cast<size_t>(producers), std::vector<long>(static_cast<size_t>(seconds) + 2));
    const auto begun = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < producers; ++t) {
        threads.emplace_back([&, t] {
            std::vector<char> data(static_cast<size_t>(payload));
            std::vector<long>& mine = acceptedPerSecond[static_cast<size_t>(t)];
            long ok = 0, no = 0;
            size_t second = 0;
            for (unsigned int n = 0; !stop.load(std::memory_order_relaxed); ++n) {
                if (n % 256 == 0) {  // the clock read now and then, not per call
                    second = std::min(
                        mine.size() - 1,
                        static_cast<size_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                                std::chrono::steady_clock::now() - begun)
                                                .count()));
                }
                if (stats.SetEvent(id, payload, data.data()) == 0) {
                    ++ok;
                    ++mine[second];
                } else {
                    ++no;
                }
            }
            accepted[static_cast<size_t>(t)] = ok;
            refused[static_cast<size_t>(t)] = no;
        });
    }
    double largest = 0;
    printf("second  rss_mb  waiting  total_counted  last_rollup_age_s\n");
    for (int second = 1; second <= seconds; ++second) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        double rss = RssMb();
        largest = std::max(largest, rss);
        KwStatsSnapshot snapshot;
        stats.GetStatsSnapshot(snapshot);
        printf("%6d  %6.1f  %7zu  %13lu  %d\n", second, rss, snapshot.waiting,
               static_cast<unsigned long>(snapshot.events[0].total),
               snapshot.lastRollupAt == 0 ? -1 : snapshot.takenAt - snapshot.lastRollupAt);
        fflush(stdout);
    }
    stop.store(true);
    for (std::thread& thread : threads) {
        thread.join();
    }
    long ok = 0, no = 0;
    for (int t = 0; t < producers; ++t) {
        ok += accepted[static_cast<size_t>(t)];
        no += refused[static_cast<size_t>(t)];
    }
    KwStatsSnapshot snapshot;
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stats.GetStatsSnapshot(snapshot);
    } while (snapshot.waiting != 0);
    const KwStatsEventSnapshot& ev = snapshot.events[0];
    unsigned long counted = ev.total;
    long mostInASecond = 0;  // whole seconds only: the last one is cut short
    for (size_t second = 0; second + 1 < static_cast<size_t>(seconds); ++second) {
        long sum = 0;
        for (const std::vector<long>& mine : acceptedPerSecond) {
            sum += mine[second];
        }
        mostInASecond = std::max(mostInASecond, sum);
    }
    printf("seconds of the minute history:");
    for (KwUlong32 count : ev.seconds) {
        printf(" %lu", static_cast<unsigned long>(count));
    }
    printf("\naccepted per second, producers' clock:");
    for (size_t second = 0; second < static_cast<size_t>(seconds); ++second) {
        long sum = 0;
        for (const std::vector<long>& mine : acceptedPerSecond) {
            sum += mine[second];
        }
        printf(" %ld", sum);
    }
    printf("\n");
    KwUlong32 largestSecond = 0;
    for (KwUlong32 count : ev.seconds) {
        largestSecond = std::max(largestSecond, count);
    }
    unsigned long long perSecond = 0;
    for (KwUlong32 count : ev.seconds) {
        perSecond += count;
    }
    printf(
        "bound %u, %d producers, %d s: submitted %ld, accepted %ld, refused %ld (snapshot: %lu), "
        "counted %lu; largest RSS %.1f MB; %zu roll-ups, peak %lu/s, mean over them %.0f/s\n",
        bound, producers, seconds, ok + no, ok, no,
        static_cast<unsigned long>(snapshot.refusedFull), counted, largest, ev.seconds.size(),
        static_cast<unsigned long>(ev.peak),
        ev.seconds.empty() ? 0.0 : static_cast<double>(perSecond) / ev.seconds.size());
    // The collector's own figures: what it counted and what it says it
    // refused make up every call the producers made.
    bool right = counted == static_cast<unsigned long>(ok) &&
                 counted + snapshot.refusedFull == static_cast<unsigned long>(ok + no);
    printf(
        "timely roll-up %s: largest second of the minute history %lu, most accepted in one "
        "second by the producers' clock %ld (ratio %.3f)\n",
        timely ? "on" : "off", static_cast<unsigned long>(largestSecond), mostInASecond,
        mostInASecond == 0 ? 0.0 : static_cast<double>(largestSecond) / mostInASecond);
    printf("%s\n",
           right ? "counted = accepted, and counted + refused (snapshot) = submitted" : "MISMATCH");
    stats.Stop();
    ACE_Thread_Manager::instance()->wait();
    return right ? 0 : 1;
}

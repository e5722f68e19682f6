// The smallest host that embeds the collector (the README quotes it).
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include "KwSrvrStatsCollector.h"
#include "KwTimerMgr.h"
#include "ace/Thread_Manager.h"

int main() {
    static KwTimerMgr timerMgr;  // the host's own; it outlives the collector
    KwSrvrStatsCollector& stats = KwSrvrStatsCollector::GetInstance();
    stats.SetTimerManager(timerMgr);
    int requests = stats.RegisterEvent("requests", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    int depth = stats.RegisterEvent("queueDepth", 0, STATS_DATA_WATER_MARK);
    stats.Start();
    stats.DoneInit();
    while (!stats.IsRunning()) {
        usleep(1000);
    }

    stats.SetEvent(requests, 0, nullptr);  // from any thread
    uint32_t queued = 42;
    stats.SetEvent(depth, sizeof queued, &queued);

    usleep(1100 * 1000);  // let one second roll up
    printf("%s\n", stats.GetStatsReport().c_str());
    fflush(stdout);

    stats.Stop();
    ACE_Thread_Manager::instance()->wait();  // the collection thread ends
    return 0;
}

// Hot counts in a host (docs/counters-and-overload.md quotes it): a
// KwStatsCounter costs a counting thread one atomic add.
#include <stdio.h>
#include <unistd.h>

#include "KwSrvrStatsCollector.h"
#include "KwStatsCounter.h"
#include "KwTimerMgr.h"
#include "ace/Thread_Manager.h"

int main() {
    static KwTimerMgr timerMgr;  // the host's own; it outlives the collector
    KwSrvrStatsCollector& stats = KwSrvrStatsCollector::GetInstance();
    stats.SetTimerManager(timerMgr);
    int rx = stats.RegisterEvent("rxPackets", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    static KwStatsCounter rxPackets(rx);  // any time after the registration
    stats.Start();
    stats.DoneInit();
    while (!stats.IsRunning()) {
        usleep(1000);
    }

    for (int packet = 0; packet < 1000; ++packet) {
        rxPackets.Add();  // any thread: a relaxed atomic add
    }
    rxPackets.Add(24);  // a batch at once

    printf("%s\n", stats.GetStatsReport().c_str());
    fflush(stdout);
    stats.Stop();
    ACE_Thread_Manager::instance()->wait();
    return 0;
}

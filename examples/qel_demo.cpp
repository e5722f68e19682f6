// A host process that embeds the collector: set-up, collection, output.
#include <stdio.h>

#include "KwSrvrStatsCollector.h"
#include "KwTimerMgr.h"
#include "ace/Thread_Manager.h"

int main() {
    // The timer manager belongs to the host and must outlive the collector.
    static KwTimerMgr timerMgr;
    KwSrvrStatsCollector& collector = KwSrvrStatsCollector::GetInstance();
    collector.SetTimerManager(timerMgr);
    collector.Start();
    collector.DoneInit();
    collector.Stop();
    ACE_Thread_Manager::instance()->wait();
    printf("collector started and stopped\n");
    return 0;
}

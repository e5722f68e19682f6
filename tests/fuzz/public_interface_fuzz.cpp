// libFuzzer target: each input is a sequence of public calls on one
// long-lived collector and on fresh value classes.
//
// The collector is a process-wide singleton whose stopped state is final, so
// it is set up once, with registrations of odd names, kinds and flags, and
// stopped once, when the fuzzer exits; every input then submits, reports,
// resets and fires timers against it. The manual timer manager makes the
// one-second roll-ups happen when the input says.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "KwRingBuffer.h"
#include "KwSrvrStatsCollector.h"
#include "KwSrvrStatsCount.h"
#include "KwStatsSnapshot.h"
#include "KwTestTimerMgr.h"
#include "PollSleeps.h"
#include "ace/Thread_Manager.h"
#include "dlog.h"

// Roll-ups each input may ask for; each waits for the thread's next poll.
int g_rollUpsPerInput = 8;

namespace {

// Reads the input a little at a time; past the end everything is zero.
struct Input {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    uint8_t Byte() { return pos < size ? data[pos++] : 0; }
};

void Check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "fuzz invariant broken: %s\n", what);
        abort();
    }
}

KwTestTimerMgr g_timer(KwTestTimerMgr::MANUAL_CLOCK);

// The report is the text of the snapshot, and each window is the sum of
// its history: taken while nothing changes, they agree.
bool Agree(const KwStatsSnapshot& snapshot, const std::string& report) {
    auto sum = [](const std::vector<KwUlong32>& history) {
        return std::accumulate(history.begin(), history.end(), KwUlong32{0});  // wraps as they do
    };
    for (const KwStatsEventSnapshot& event : snapshot.events) {
        if (sum(event.seconds) != event.minute || sum(event.minutes) != event.hour ||
            sum(event.hours) != event.day) {
            return false;
        }
    }
    return report == KwStatsReportText(snapshot);
}

void CheckReport(const KwSrvrStatsCollector& collector) {
    KwStatsSnapshot before, after;
    std::string report;
    for (int tries = 0; tries == 0 || KwStatsReportText(before) != KwStatsReportText(after);
         ++tries) {
        Check(tries < 100000 && collector.GetStatsSnapshot(before), "snapshot while collecting");
        report = collector.GetStatsReport();
        collector.GetStatsSnapshot(after);
    }
    Check(Agree(before, report), "report and windows agree with the snapshot");
}

// Counter arrays and rings of any dimensions, mixed.
void FuzzValues(Input& in) {
    KwSrvrStatsCount left(in.Byte() % 9), right(in.Byte() % 9);
    KwRingBuffer<KwSrvrStatsCount> ring(in.Byte() % 70, in.Byte() % 5, (in.Byte() & 1) != 0);
    for (int step = in.Byte() % 32; step > 0; --step) {
        uint8_t op = in.Byte() % 7;
        if (op == 0) {
            left[in.Byte() * 0x1010101u] = in.Byte();  // any index up to 2^32 - 1
        } else if (op < 3) {
            op == 1 ? left += right : left -= right;
        } else if (op == 3) {
            right = left;
        } else if (op == 4) {
            Check(ring.PushHead(left) || ring.Count() == ring.Capacity(), "push refused if full");
        } else {
            op == 5 ? ring.GetSum(right) : ring.Reset();
        }
        Check(ring.Count() <= ring.Capacity(), "ring count within depth");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    KwSrvrStatsCollector& collector = KwSrvrStatsCollector::GetInstance();
    dlog_set_threshold(0);
    ShortenPollSleeps(100);  // quick roll-ups
    collector.SetTimerManager(g_timer);
    const std::string names[] = {"",           std::string(600, 'x'), "d\xc3\xa9",
                                 "semi;colon", "percent %s %n",       "new\nline"};
    const int flags[] = {0, 1, 2, 3, 4, 5, 6, 7, 0x100, -1};
    const int types[] = {0, 1, 2, -1, 0x7fffffff};
    for (int i = 0; i < 260; ++i) {
        int id = collector.RegisterEvent(names[i % 6].c_str(), flags[i % 10],
                                         static_cast<StatsDataType>(types[i / 10 % 5]));
        Check(id == (i < 256 ? i : -1), "dense registration ids");
    }
    collector.Start();
    collector.DoneInit();
    while (!collector.IsRunning()) {
        std::this_thread::yield();
    }
    atexit([] {
        KwSrvrStatsCollector::GetInstance().Stop();
        ACE_Thread_Manager::instance()->wait();
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    KwSrvrStatsCollector& collector = KwSrvrStatsCollector::GetInstance();
    Input in{data, size};
    int rollUpsLeft = g_rollUpsPerInput;
    while (in.pos < size) {
        uint8_t op = in.Byte() % 7;
        if (op < 2) {
            int id = static_cast<int8_t>(in.Byte()) + (in.Byte() & 1 ? 128 : 0);
            uint8_t sizeByte = in.Byte();
            std::vector<uint8_t> payload(sizeByte < 128 ? 4 : sizeByte % 70 + 4096 * (sizeByte & 1),
                                         in.Byte());
            int result = collector.SetEvent(id, static_cast<int>(payload.size()), payload.data());
            Check(result == (id >= 0 && id < 256 ? 0 : -1), "SetEvent accepts known ids only");
        } else if (op == 2) {
            CheckReport(collector);
        } else if (op == 3) {
            collector.Reset();
        } else if (op == 4) {
            // One second, or a minute and one that close a minute.
            for (int n = in.Byte() % 8 == 0 ? 61 : 1; n > 0 && rollUpsLeft-- > 0; --n) {
                unsigned long created = g_timer.CreatedCount();
                g_timer.Advance(1000);
                Check(g_timer.WaitForCreated(created + 1, 20000), "roll-up re-arms its timer");
            }
        } else if (op == 5) {
            Check(collector.RegisterEvent("late", in.Byte(), STATS_DATA_COUNT) == -1,
                  "no registration while collecting");
        } else if (op == 6) {
            FuzzValues(in);
        }
    }
    return 0;
}

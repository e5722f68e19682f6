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

#include <string>
#include <thread>
#include <vector>

#include "KwRingBuffer.h"
#include "KwSrvrStatsCollector.h"
#include "KwSrvrStatsCount.h"
#include "KwStatsSnapshot.h"
#include "KwTimerMgr.h"
#include "PollSleeps.h"
#include "ace/Thread_Manager.h"
#include "dlog.h"

namespace {

// Reads the input a little at a time; past the end everything is zero.
class Input {
public:
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Done() const { return m_pos >= m_size; }
    uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    uint32_t Word() {
        return static_cast<uint32_t>(Byte()) << 24 | Byte() << 16 | Byte() << 8 | Byte();
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

void Check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "fuzz invariant broken: %s\n", what);
        abort();
    }
}

KwTimerMgr& Timer() {
    static KwTimerMgr timer(KwTimerMgr::MANUAL_CLOCK);
    return timer;
}

void StopCollector() {
    KwSrvrStatsCollector::GetInstance().Stop();
    ACE_Thread_Manager::instance()->wait();
}

KwSrvrStatsCollector& Collector() {
    static bool ready = false;
    KwSrvrStatsCollector& collector = KwSrvrStatsCollector::GetInstance();
    if (!ready) {
        ready = true;
        dlog_set_threshold(0);
        ShortenPollSleeps(100);  // quick roll-ups
        collector.SetTimerManager(Timer());
        const std::string names[] = {"",
                                     std::string(600, 'x'),
                                     "d\xc3\xa9"
                                     "bit",
                                     "semi;colon",
                                     "percent %s %n",
                                     "new\nline"};
        const int flags[] = {0, 1, 2, 3, 4, 5, 6, 7, 0x100, -1};
        const int types[] = {0, 1, 2, -1, 0x7fffffff};
        for (int i = 0; i < 260; ++i) {
            int id = collector.RegisterEvent(names[i % 6].c_str(), flags[i % 10],
                                             static_cast<StatsDataType>(types[(i / 2) % 5]));
            Check(id == (i < 256 ? i : -1), "dense registration ids");
        }
        collector.Start();
        collector.DoneInit();
        while (!collector.IsRunning()) {
            std::this_thread::yield();
        }
        atexit(StopCollector);
    }
    return collector;
}

// The report agrees with a snapshot taken while nothing changed.
void CheckReport(const KwSrvrStatsCollector& collector) {
    KwStatsSnapshot before, after;
    Check(collector.GetStatsSnapshot(before), "snapshot while collecting");
    std::string report = collector.GetStatsReport();
    collector.GetStatsSnapshot(after);
    std::string text = KwStatsReportText(before);
    if (text == KwStatsReportText(after)) {
        Check(report == text, "report equals the rendered snapshot");
    }
}

void FuzzValues(Input& in) {
    KwSrvrStatsCount left(in.Byte() % 9);
    KwSrvrStatsCount right(in.Byte() % 9);
    KwRingBuffer<KwSrvrStatsCount> ring(in.Byte() % 70, in.Byte() % 5, (in.Byte() & 1) != 0);
    for (int step = in.Byte() % 32; step > 0; --step) {
        switch (in.Byte() % 7) {
            case 0:
                left[in.Word()] = in.Word();
                break;
            case 1:
                left += right;
                break;
            case 2:
                left -= right;
                break;
            case 3:
                right = left;
                break;
            case 4:
                Check(ring.PushHead(left) || ring.Count() == ring.Capacity(),
                      "push refused when full");
                break;
            case 5:
                ring.GetSum(right);
                break;
            default:
                ring.Reset();
        }
        Check(ring.Count() <= ring.Capacity(), "ring count within depth");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    KwSrvrStatsCollector& collector = Collector();
    Input in(data, size);
    int rollUpsLeft = 8;  // each waits for the thread's next poll
    while (!in.Done()) {
        switch (in.Byte() % 7) {
            case 0:
            case 1: {
                int id = static_cast<int8_t>(in.Byte()) + (in.Byte() & 1 ? 128 : 0);
                uint8_t sizeByte = in.Byte();
                std::vector<uint8_t> payload(
                    sizeByte < 128 ? 4 : sizeByte % 70 + 4096 * (sizeByte & 1));
                for (uint8_t& byte : payload) {
                    byte = in.Byte();
                }
                int result =
                    collector.SetEvent(id, static_cast<int>(payload.size()), payload.data());
                Check(result == (id >= 0 && id < 256 ? 0 : -1), "SetEvent accepts known ids only");
                break;
            }
            case 2:
                CheckReport(collector);
                break;
            case 3:
                collector.Reset();
                break;
            case 4:
                if (rollUpsLeft-- > 0 && Timer().PendingCount() > 0) {
                    unsigned long created = Timer().CreatedCount();
                    Timer().Advance(1000);
                    Check(Timer().WaitForCreated(created + 1, 20000), "roll-up re-arms its timer");
                }
                break;
            case 5:
                Check(collector.RegisterEvent("late", in.Byte(), STATS_DATA_COUNT) == -1,
                      "no registration while collecting");
                break;
            default:
                FuzzValues(in);
        }
    }
    return 0;
}

// libFuzzer target: each input is a sequence of public calls on one
// long-lived collector and on fresh value classes.
//
// The collector is a process-wide singleton whose stopped state is final, so
// it is set up once, with registrations of odd names, kinds and flags, and
// stopped once, when the fuzzer exits; every input then submits, reports,
// resets and fires timers against it. The manual timer manager makes the
// one-second roll-ups happen when the input says.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "KwMaxValue.h"
#include "KwRingBuffer.h"
#include "KwSrvrStatsCollector.h"
#include "KwSrvrStatsCount.h"
#include "KwTimeTracker.h"
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
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value = (value << 8) | Byte();
        }
        return value;
    }
    std::vector<uint8_t> Bytes(size_t count) {
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i < count; ++i) {
            bytes.push_back(Byte());
        }
        return bytes;
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

KwTimerMgr* g_timer = nullptr;

void StopCollector() {
    KwSrvrStatsCollector::GetInstance().Stop();
    ACE_Thread_Manager::instance()->wait();
}

KwSrvrStatsCollector& Collector() {
    static bool ready = false;
    static KwTimerMgr timer(KwTimerMgr::MANUAL_CLOCK);
    KwSrvrStatsCollector& collector = KwSrvrStatsCollector::GetInstance();
    if (!ready) {
        ready = true;
        dlog_set_threshold(0);
        ShortenPollSleeps(100);  // quick roll-ups
        g_timer = &timer;
        collector.SetTimerManager(timer);
        const std::string names[] = {"",
                                     std::string(600, 'x'),
                                     "d\xc3\xa9"
                                     "bit\xe2\x82\xac",
                                     "semi;colon",
                                     "percent %s %n",
                                     "new\nline"};
        const int flags[] = {0, 1, 2, 3, 4, 5, 6, 7, 0x100, -1};
        const int types[] = {0, 1, 2, -1, 0x7fffffff};
        int id = 0;
        for (int i = 0; i < 260; ++i) {
            const std::string& name = names[i % 6];
            int result = collector.RegisterEvent(name.c_str(), flags[i % 10],
                                                 static_cast<StatsDataType>(types[(i / 2) % 5]));
            Check(result == (id < 256 ? id : -1), "dense registration ids");
            id += result >= 0 ? 1 : 0;
        }
        Check(collector.RegisterEvent(nullptr, 0, STATS_DATA_COUNT) == -1, "null name refused");
        collector.Start();
        collector.DoneInit();
        while (!collector.IsRunning()) {
            std::this_thread::yield();
        }
        atexit(StopCollector);
    }
    return collector;
}

void RollUp() {
    unsigned long created = g_timer->CreatedCount();
    if (g_timer->PendingCount() == 0) {
        return;
    }
    g_timer->Advance(1000);
    Check(g_timer->WaitForCreated(created + 1, 20000), "roll-up re-arms its timer");
}

void CheckReport(const std::string& report) {
    size_t lines = 0;
    for (char c : report) {
        lines += c == '\n' ? 1 : 0;
    }
    Check(report.rfind("Statistics Event Counts: min, hour, day, total", 0) == 0, "report header");
    Check(report.find("\nMaximum Events Per Second: cnts, stamp") != std::string::npos,
          "second header");
    Check(report.find("\nHigh-Water-Mark Values: value, stamp") != std::string::npos,
          "third header");
    Check(lines >= 2, "three lines");
}

void FuzzCounts(Input& in) {
    unsigned int a = in.Byte() % 9;
    unsigned int b = in.Byte() % 9;
    KwSrvrStatsCount left(a);
    KwSrvrStatsCount right(b);
    for (int step = in.Byte() % 16; step > 0; --step) {
        switch (in.Byte() % 6) {
            case 0:
                left[in.Word()] = in.Word();
                break;
            case 1:
                right[in.Byte()] += in.Word();
                break;
            case 2:
                left += right;
                break;
            case 3:
                left -= right;
                break;
            case 4:
                right = left;
                break;
            default: {
                const KwSrvrStatsCount& constant = left;
                KwUlong32 value = constant[in.Word()];
                (void)value;
                left.Reset();
            }
        }
    }
    KwSrvrStatsCount copy(left);
    Check(copy.Size() == left.Size(), "copy keeps the dimension");
}

void FuzzRing(Input& in) {
    unsigned int depth = in.Byte() % 70;
    unsigned int dimension = in.Byte() % 5;
    KwRingBuffer<KwSrvrStatsCount> ring(depth, dimension, (in.Byte() & 1) != 0);
    for (int step = in.Byte() % 80; step > 0; --step) {
        uint8_t op = in.Byte() % 4;
        if (op < 2) {
            KwSrvrStatsCount item(in.Byte() % 5);
            for (unsigned int i = 0; i < item.Size(); ++i) {
                item[i] = in.Word();
            }
            ring.PushHead(item);
        } else if (op == 2) {
            KwSrvrStatsCount sum(in.Byte() % 5);
            ring.GetSum(sum);
        } else {
            ring.Reset();
        }
        Check(ring.Count() <= depth, "ring count within depth");
    }
}

void FuzzTime(Input& in) {
    KwTimeTracker tracker;
    timespec start;
    start.tv_sec = static_cast<time_t>(static_cast<int32_t>(in.Word()));
    start.tv_nsec = static_cast<long>(in.Word() % 1000000000u);
    tracker.Set(start);
    timespec end;
    end.tv_sec = static_cast<time_t>(static_cast<int32_t>(in.Word()));
    end.tv_nsec = static_cast<long>(in.Word() % 1000000000u);
    KwLong32 elapsed = tracker.GetElapsedTenthms(end);
    Check(elapsed >= -1, "elapsed is -1 or a span");

    KwMaxValue max;
    for (int step = in.Byte() % 6; step > 0; --step) {
        KwUlong32 before = max.GetValue();
        KwUlong32 offered = in.Word();
        bool stored = max.UpdateIfLarger(offered);
        Check(stored == (offered > before), "UpdateIfLarger stores only larger values");
    }
    std::string text = max.GetValueWithStamp();
    Check(max.GetValue() == 0 ? text == "0,-" : text.find(", ") != std::string::npos,
          "value with stamp");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    KwSrvrStatsCollector& collector = Collector();
    Input in(data, size);
    // A roll-up waits for the collection thread's next poll: a few per
    // input keep the fuzzer fast.
    int rollUpsLeft = 8;
    while (!in.Done()) {
        switch (in.Byte() % 10) {
            case 0:
            case 1: {
                int id = static_cast<int8_t>(in.Byte()) + (in.Byte() & 1 ? 128 : 0);
                uint8_t sizeByte = in.Byte();
                int payloadSize = sizeByte < 128 ? 4 : sizeByte % 70;
                std::vector<uint8_t> payload = in.Bytes(static_cast<size_t>(payloadSize));
                int result = collector.SetEvent(id, payloadSize, payload.data());
                Check(result == 0 || result == -1, "SetEvent result");
                Check((result == 0) == (id >= 0 && id < 256), "SetEvent accepts known ids only");
                break;
            }
            case 2:
                CheckReport(collector.GetStatsReport());
                break;
            case 3:
                collector.Reset();
                break;
            case 4:
                if (rollUpsLeft-- > 0) {
                    RollUp();
                }
                break;
            case 5:
                Check(collector.RegisterEvent("late", in.Byte(), STATS_DATA_COUNT) == -1,
                      "no registration while collecting");
                break;
            case 6:
                FuzzCounts(in);
                break;
            case 7:
                FuzzRing(in);
                break;
            case 8:
                FuzzTime(in);
                break;
            default: {
                int big = static_cast<int>(in.Word() % 100000u);
                std::vector<uint8_t> payload(static_cast<size_t>(big % 4096));
                Check(collector.SetEvent(in.Byte() % 4, static_cast<int>(payload.size()),
                                         payload.data()) == 0,
                      "large payload accepted");
            }
        }
    }
    return 0;
}

// The host services the library runs on: logging, mutex, timer manager and
// time conversion.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "KwTimeConvert.h"
#include "KwTimerMgr.h"
#include "LogCapture.h"
#include "Wait.h"
#include "dlog.h"

namespace {

// Records what each timer callback saw.
struct FireLog {
    std::mutex lock;
    std::vector<unsigned short> ids;
    std::vector<std::thread::id> threads;
    std::vector<std::chrono::steady_clock::time_point> times;

    static void OnExpiry(unsigned short id, void* arg) {
        FireLog* self = static_cast<FireLog*>(arg);
        std::lock_guard<std::mutex> guard(self->lock);
        self->ids.push_back(id);
        self->threads.push_back(std::this_thread::get_id());
        self->times.push_back(std::chrono::steady_clock::now());
    }
    size_t Count() {
        std::lock_guard<std::mutex> guard(lock);
        return ids.size();
    }
    size_t CountOf(unsigned short id) {
        std::lock_guard<std::mutex> guard(lock);
        size_t n = 0;
        for (unsigned short fired : ids) {
            n += fired == id ? 1 : 0;
        }
        return n;
    }
};

// Runs `body` with standard error sent to a file; returns what was written.
template <class Body>
std::string CaptureStderr(Body body) {
    char path[] = "/tmp/dlog_test_XXXXXX";
    int file = mkstemp(path);
    int saved = dup(STDERR_FILENO);
    dup2(file, STDERR_FILENO);
    body();
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(file);
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(path);
    return text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

}  // namespace

TEST(Dlog, CaptureSeesLevelFileAndFormattedText) {
    LogCapture capture;
    __dlog_printf(3, "KwSomething.cpp", "%s: value %d of %s", "Method", -7, "x");
    ASSERT_EQ(capture.Entries().size(), 1u);
    EXPECT_EQ(capture.Count(3, "KwSomething.cpp", "Method: value -7 of x"), 1u);
}

TEST(Dlog, ConcurrentWritersProduceWholeLinesFilteredByLevel) {
    const int threads = 8;
    const int perThread = 500;
    int oldThreshold = dlog_get_threshold();
    dlog_set_threshold(6);
    std::string out = CaptureStderr([&] {
        std::vector<std::thread> writers;
        for (int t = 0; t < threads; ++t) {
            writers.emplace_back([t] {
                for (int i = 0; i < perThread; ++i) {
                    __dlog_printf(6, "Writer.cpp", "%s: thread %d line %d %s", "Run", t, i,
                                  "payload-payload-payload-payload-payload-payload-payload");
                    __dlog_printf(7, "Writer.cpp", "%s: filtered", "Run");
                }
            });
        }
        for (std::thread& writer : writers) {
            writer.join();
        }
    });
    dlog_set_threshold(oldThreshold);

    std::regex whole(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} <6> Writer\.cpp Run: thread (\d+) line (\d+) (payload-){6}payload)");
    std::vector<std::string> lines = Lines(out);
    ASSERT_EQ(lines.size(), static_cast<size_t>(threads * perThread));
    std::set<std::pair<int, int>> seen;
    for (const std::string& line : lines) {
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(line, parts, whole)) << line;
        seen.insert({std::stoi(parts[1]), std::stoi(parts[2])});
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(threads * perThread));
}

TEST(KwTimeConvertTest, ZoneZeroIsUtcText) {
    KwTimeConvert::KwTimeZones zone = static_cast<KwTimeConvert::KwTimeZones>(0);
    EXPECT_EQ(KwTimeConvert::ConvertUtcTicksToStr(zone, 1796481494L), "2026-12-05 14:38:14");
    EXPECT_EQ(KwTimeConvert::ConvertUtcTicksToStr(zone, 0L), "1970-01-01 00:00:00");
    EXPECT_EQ(KwTimeConvert::ConvertUtcTicksToStr(zone, 2147483647L), "2038-01-19 03:14:07");
}

TEST(KwTimerMgrReal, FiresOnceAfterTheTimeoutOnTheManagersThread) {
    KwTimerMgr mgr;
    FireLog fired;
    auto created = std::chrono::steady_clock::now();
    unsigned short first = mgr.CreateTimer(50, &FireLog::OnExpiry, nullptr, &fired);
    ASSERT_NE(first, KwTimerMgr::INVALID_TIMER_ID);
    // A later timer proves, once it has fired, that the first did not fire twice.
    unsigned short later = mgr.CreateTimer(150, &FireLog::OnExpiry, nullptr, &fired);
    ASSERT_TRUE(WaitUntil([&] { return fired.CountOf(later) == 1; }));
    EXPECT_EQ(fired.CountOf(first), 1u);
    EXPECT_EQ(fired.ids.front(), first);
    EXPECT_GE(fired.times.front() - created, std::chrono::milliseconds(50));
    EXPECT_NE(fired.threads.front(), std::this_thread::get_id());
    EXPECT_EQ(mgr.PendingCount(), 0u);
}

TEST(KwTimerMgrReal, CancelBeforeExpiryPreventsTheCallAndNotifiesOtherCb) {
    KwTimerMgr mgr;
    FireLog fired;
    FireLog cancelled;
    unsigned short doomed = mgr.CreateTimer(30, &FireLog::OnExpiry, &FireLog::OnExpiry, &cancelled);
    EXPECT_EQ(mgr.CancelTimer(doomed), 0);
    EXPECT_EQ(cancelled.Count(), 1u);
    unsigned short witness = mgr.CreateTimer(80, &FireLog::OnExpiry, nullptr, &fired);
    ASSERT_TRUE(WaitUntil([&] { return fired.CountOf(witness) == 1; }));
    EXPECT_EQ(cancelled.Count(), 1u);  // only the cancel notice, never the expiry
    EXPECT_EQ(mgr.CancelTimer(doomed), -1);
    EXPECT_EQ(mgr.CancelTimer(witness), -1);  // already fired: harmless
    EXPECT_EQ(mgr.CancelTimer(KwTimerMgr::INVALID_TIMER_ID), -1);
}

TEST(KwTimerMgrReal, ManyTimersEachFireExactlyOnce) {
    KwTimerMgr mgr;
    FireLog fired;
    std::vector<unsigned short> ids;
    for (unsigned long i = 0; i < 200; ++i) {
        ids.push_back(mgr.CreateTimer((i * 7) % 40, &FireLog::OnExpiry, nullptr, &fired));
        ASSERT_NE(ids.back(), KwTimerMgr::INVALID_TIMER_ID);
    }
    EXPECT_EQ(std::set<unsigned short>(ids.begin(), ids.end()).size(), ids.size());
    ASSERT_TRUE(WaitUntil([&] { return fired.Count() == ids.size(); }));
    for (unsigned short id : ids) {
        EXPECT_EQ(fired.CountOf(id), 1u);
    }
    EXPECT_EQ(mgr.CreatedCount(), 200u);
}

TEST(KwTimerMgrReal, DestructorDropsPendingTimersAndJoins) {
    FireLog fired;
    {
        KwTimerMgr mgr;
        mgr.CreateTimer(60000, &FireLog::OnExpiry, nullptr, &fired);
        EXPECT_EQ(mgr.PendingCount(), 1u);
    }
    EXPECT_EQ(fired.Count(), 0u);
}

TEST(KwTimerMgrManual, TimeStandsStillUntilAdvanced) {
    KwTimerMgr mgr(KwTimerMgr::MANUAL_CLOCK);
    FireLog fired;
    unsigned short second = mgr.CreateTimer(1000, &FireLog::OnExpiry, nullptr, &fired);
    unsigned short first = mgr.CreateTimer(500, &FireLog::OnExpiry, nullptr, &fired);
    unsigned short third = mgr.CreateTimer(1001, &FireLog::OnExpiry, nullptr, &fired);
    EXPECT_EQ(mgr.Advance(499), 0u);
    EXPECT_EQ(fired.Count(), 0u);
    EXPECT_EQ(mgr.Advance(501), 2u);  // now at 1000: the 500 and 1000 ms timers
    ASSERT_EQ(fired.Count(), 2u);
    EXPECT_EQ(fired.ids[0], first);
    EXPECT_EQ(fired.ids[1], second);
    EXPECT_EQ(fired.threads[0], std::this_thread::get_id());
    EXPECT_EQ(mgr.PendingCount(), 1u);
    EXPECT_EQ(mgr.Advance(1), 1u);
    EXPECT_EQ(fired.ids[2], third);
}

TEST(KwTimerMgrManual, TimersArmedByCallbacksFireWithinTheSameAdvance) {
    struct Rearm {
        KwTimerMgr* mgr;
        int fired = 0;
        static void Fire(unsigned short, void* arg) {
            Rearm* self = static_cast<Rearm*>(arg);
            ++self->fired;
            self->mgr->CreateTimer(1000, &Rearm::Fire, nullptr, self);
        }
    };
    KwTimerMgr mgr(KwTimerMgr::MANUAL_CLOCK);
    Rearm rearm;
    rearm.mgr = &mgr;
    mgr.CreateTimer(1000, &Rearm::Fire, nullptr, &rearm);
    EXPECT_EQ(mgr.Advance(3600 * 1000UL), 3600u);
    EXPECT_EQ(rearm.fired, 3600);
    EXPECT_EQ(mgr.PendingCount(), 1u);
}

TEST(KwTimerMgrManual, IdsAreReusedOnlyAfterReleaseAndInjectedFailuresReturnInvalid) {
    KwTimerMgr mgr(KwTimerMgr::MANUAL_CLOCK);
    FireLog fired;
    std::set<unsigned short> ids;
    for (int i = 0; i < 65535; ++i) {
        unsigned short id = mgr.CreateTimer(10, &FireLog::OnExpiry, nullptr, &fired);
        ASSERT_NE(id, KwTimerMgr::INVALID_TIMER_ID);
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 65535u);
    EXPECT_EQ(mgr.CreateTimer(10, &FireLog::OnExpiry, nullptr, &fired),
              KwTimerMgr::INVALID_TIMER_ID);  // every id pending
    mgr.Advance(10);
    mgr.FailNextCreates(2);
    EXPECT_EQ(mgr.CreateTimer(10, &FireLog::OnExpiry, nullptr, &fired),
              KwTimerMgr::INVALID_TIMER_ID);
    EXPECT_EQ(mgr.CreateTimer(10, &FireLog::OnExpiry, nullptr, &fired),
              KwTimerMgr::INVALID_TIMER_ID);
    EXPECT_NE(mgr.CreateTimer(10, &FireLog::OnExpiry, nullptr, &fired),
              KwTimerMgr::INVALID_TIMER_ID);
    EXPECT_EQ(mgr.CreateTimer(10, nullptr, nullptr, nullptr), KwTimerMgr::INVALID_TIMER_ID);
}

// The stand-in host services, as far as the library and the tests rely on
// them: whole log lines filtered by level, UTC time text, one-shot timers on
// the manager's thread, and a manual clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "KwTimeConvert.h"
#include "KwTimerMgr.h"
#include "LogCapture.h"
#include "Wait.h"
#include "dlog.h"

namespace {

// What timer callbacks saw, in order; a callback may re-arm itself.
struct Fired {
    KwTimerMgr* rearmOn = nullptr;
    std::vector<unsigned short> ids;
    std::vector<std::thread::id> threads;
    std::atomic<int> count{0};
    static void Record(unsigned short id, void* arg) {
        Fired* self = static_cast<Fired*>(arg);
        self->ids.push_back(id);
        self->threads.push_back(std::this_thread::get_id());
        ++self->count;
        if (self->rearmOn != nullptr) {
            self->rearmOn->CreateTimer(1000, &Fired::Record, nullptr, self);
        }
    }
};

}  // namespace

TEST(HostServices, DlogWritesWholeLinesAboveTheThresholdOrAllToTheSinkAndTimesAreUtc) {
    dlog_set_threshold(6);
    testing::internal::CaptureStderr();
    __dlog_printf(6, "Writer.cpp", "%s: value %d", "Run", -7);
    __dlog_printf(7, "Writer.cpp", "%s: filtered", "Run");
    std::string written = testing::internal::GetCapturedStderr();
    EXPECT_EQ(written.substr(23), " <6> Writer.cpp Run: value -7\n") << written;
    LogCapture capture;
    __dlog_printf(7, "KwSomething.cpp", "%s: %s", "Method", "below the threshold");
    EXPECT_EQ(capture.Count(7, "KwSomething.cpp", "Method: below the threshold"), 1u);

    KwTimeConvert::KwTimeZones zone = static_cast<KwTimeConvert::KwTimeZones>(0);
    EXPECT_EQ(KwTimeConvert::ConvertUtcTicksToStr(zone, 1796481494L), "2026-12-05 14:38:14");
    EXPECT_EQ(KwTimeConvert::ConvertUtcTicksToStr(zone, 0L), "1970-01-01 00:00:00");
}

TEST(HostServices, RealTimersFireOnceOnTheManagersThreadUnlessCancelled) {
    KwTimerMgr mgr;
    Fired fired, cancelled;
    auto created = std::chrono::steady_clock::now();
    unsigned short first = mgr.CreateTimer(50, &Fired::Record, nullptr, &fired);
    EXPECT_EQ(mgr.CancelTimer(mgr.CreateTimer(60, &Fired::Record, &Fired::Record, &cancelled)),
              0);
    EXPECT_EQ(cancelled.count.load(), 1);  // the cancel notice
    // A later timer proves, once fired, that the first did not fire twice.
    unsigned short later = mgr.CreateTimer(150, &Fired::Record, nullptr, &fired);
    ASSERT_TRUE(WaitUntil([&] { return fired.count.load() == 2; }));
    EXPECT_GE(std::chrono::steady_clock::now() - created, std::chrono::milliseconds(150));
    EXPECT_EQ(fired.ids, (std::vector<unsigned short>{first, later}));
    EXPECT_NE(fired.threads[0], std::this_thread::get_id());
    EXPECT_EQ(cancelled.count.load(), 1);
    EXPECT_EQ(mgr.CancelTimer(later), -1);  // fired already: harmless
    EXPECT_EQ(mgr.PendingCount(), 0u);
}

TEST(HostServices, ManualTimeMovesOnlyWithAdvanceAndFailuresCanBeInjected) {
    KwTimerMgr mgr(KwTimerMgr::MANUAL_CLOCK);
    Fired fired, rearmed;
    unsigned short second = mgr.CreateTimer(1000, &Fired::Record, nullptr, &fired);
    unsigned short first = mgr.CreateTimer(500, &Fired::Record, nullptr, &fired);
    EXPECT_EQ(mgr.Advance(499), 0u);
    EXPECT_EQ(mgr.Advance(501), 2u);
    EXPECT_EQ(fired.ids, (std::vector<unsigned short>{first, second}));
    EXPECT_EQ(fired.threads[0], std::this_thread::get_id());
    rearmed.rearmOn = &mgr;
    mgr.CreateTimer(1000, &Fired::Record, nullptr, &rearmed);
    EXPECT_EQ(mgr.Advance(3600 * 1000UL), 3600u);  // an hour of re-armed timers
    EXPECT_EQ(mgr.PendingCount(), 1u);
    mgr.FailNextCreates(1);
    EXPECT_EQ(mgr.CreateTimer(10, &Fired::Record, nullptr, &fired), KwTimerMgr::INVALID_TIMER_ID);
    EXPECT_NE(mgr.CreateTimer(10, &Fired::Record, nullptr, &fired), KwTimerMgr::INVALID_TIMER_ID);
}

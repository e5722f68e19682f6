// The stand-in timer manager on the real clock, as the demo host runs it:
// one-shot timers on the manager's thread. (Every collector test relies on
// the manual clock and the log sink, and so checks them.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "KwTimerMgr.h"
#include "TestTime.h"

namespace {

// What timer callbacks saw, in order.
struct Fired {
    std::vector<unsigned short> ids;
    std::thread::id thread;  // of the latest call
    std::atomic<int> count{0};
    static void Record(unsigned short id, void* arg) {
        Fired* self = static_cast<Fired*>(arg);
        self->ids.push_back(id);
        self->thread = std::this_thread::get_id();
        ++self->count;
    }
};

}  // namespace

TEST(HostServices, RealTimersFireOnceOnTheManagersThreadUnlessCancelled) {
    KwTimerMgr mgr;
    Fired fired, cancelled;
    auto created = std::chrono::steady_clock::now();
    unsigned short first = mgr.CreateTimer(50, &Fired::Record, nullptr, &fired);
    EXPECT_EQ(mgr.CancelTimer(mgr.CreateTimer(60, &Fired::Record, &Fired::Record, &cancelled)), 0);
    EXPECT_EQ(cancelled.count.load(), 1);  // the cancel notice
    // A later timer proves, once fired, that the first did not fire twice.
    unsigned short later = mgr.CreateTimer(150, &Fired::Record, nullptr, &fired);
    ASSERT_TRUE(WaitUntil([&] { return fired.count.load() == 2; }));
    EXPECT_GE(std::chrono::steady_clock::now() - created, std::chrono::milliseconds(150));
    EXPECT_EQ(fired.ids, (std::vector<unsigned short>{first, later}));
    EXPECT_NE(fired.thread, std::this_thread::get_id());
    EXPECT_EQ(cancelled.count.load(), 1);
    EXPECT_EQ(mgr.CancelTimer(later), -1);  // fired already: harmless
    EXPECT_EQ(mgr.PendingCount(), 0u);
}

// The report queue alone, driven step by step from one thread: verdicts and
// the bound, batches in order, the spare nodes and their bound, and what is
// released where. No collection thread, no timing.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "KwReportQueue.h"

namespace {

struct Report {
    int id;
    timespec stamp;
};
typedef KwReportQueue<Report> Queue;
typedef std::vector<int> Ids;

Report* NewReport(int id, timespec stamp = {0, 0}) {
    Report* report = static_cast<Report*>(malloc(sizeof(Report)));
    report->id = id;
    report->stamp = stamp;
    return report;
}

class ReportQueueTest : public ::testing::Test {
protected:
    void TearDown() override {
        queue.PutBack();
        queue.ReleaseAll();
    }

    // Appends a report of `id`; a refused one is freed, as the collector does.
    Queue::Verdict Append(int id, size_t* held = nullptr, timespec stamp = {0, 0}) {
        size_t scratch = 0;
        Report* report = NewReport(id, stamp);
        Queue::Verdict verdict = queue.Append(report, held != nullptr ? *held : scratch);
        if (verdict != Queue::QUEUED) {
            free(report);
        }
        return verdict;
    }
    void AppendMany(int n) {
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(Append(i), Queue::QUEUED);
        }
    }
    // Processes `n` of the reports in hand; their ids, oldest first.
    Ids Process(size_t n) {
        Ids ids;
        for (size_t i = 0; i < n && queue.HasInHand(); ++i) {
            ids.push_back(queue.InHand().id);
            queue.Processed();
        }
        return ids;
    }
    Ids OnList() {
        KwMutexGuard guard(lock);
        Ids ids;
        for (const Report* report : waiting) {
            ids.push_back(report->id);
        }
        return ids;
    }

    KwLinuxMutex lock;
    Queue::List waiting;
    Queue queue{lock, waiting};
};

// Each row is one step: what it does, the verdict of an append made right
// after it, the reports held that the verdict tells (FULL only), and what
// the figures read after that append.
TEST_F(ReportQueueTest, VerdictsFollowTheThreadAndTheBound) {
    struct Row {
        std::string step;
        std::function<void()> does;
        Queue::Verdict verdict;
        size_t held;
        size_t waiting;
        bool draining;
    };
    Queue::List accepted;
    const Row rows[] = {
        {"fresh", [] {}, Queue::NO_THREAD, 0, 0, false},
        {"open", [&] { queue.Open(); }, Queue::QUEUED, 0, 1, true},
        {"bound 3", [&] { queue.SetBound(3); }, Queue::QUEUED, 0, 2, true},
        {"append", [&] { ASSERT_EQ(Append(0), Queue::QUEUED); }, Queue::FULL, 3, 3, true},
        // In hand counts against the bound; processed is not yet released,
        // but is at the take after it.
        {"take", [&] { ASSERT_EQ(queue.Take(), 3u); }, Queue::FULL, 3, 3, true},
        {"process 2", [&] { ASSERT_EQ(Process(2).size(), 2u); }, Queue::FULL, 3, 1, true},
        {"process 1, take",
         [&] {
             ASSERT_EQ(Process(1).size(), 1u);
             ASSERT_EQ(queue.Take(), 0u);
         },
         Queue::QUEUED, 0, 1, true},
        {"close", [&] { queue.Close(accepted); }, Queue::NO_THREAD, 0, 0, false},
    };
    for (const Row& row : rows) {
        ASSERT_NO_FATAL_FAILURE(row.does()) << row.step;
        size_t held = 0;
        size_t looked = 99;
        EXPECT_EQ(queue.LooksFull(looked), row.verdict == Queue::FULL) << row.step;
        EXPECT_EQ(Append(1, &held), row.verdict) << row.step;
        EXPECT_EQ(held, row.held) << row.step;
        if (row.verdict == Queue::FULL) {
            EXPECT_EQ(looked, row.held) << row.step;
        }
        EXPECT_EQ(queue.Waiting(), row.waiting) << row.step;
        EXPECT_EQ(queue.Draining(), row.draining) << row.step;
    }
    EXPECT_EQ(queue.Bound(), 3u);
    ASSERT_EQ(accepted.size(), 1u);
    free(accepted.front());
    // The queue counts what the collector tells it it refused, and only that;
    // both bounds count as full.
    for (Queue::Verdict why :
         {Queue::NO_THREAD, Queue::FULL, Queue::BEHIND, Queue::QUEUED, Queue::NO_MEMORY}) {
        queue.CountRefusal(why);
    }
    EXPECT_EQ(queue.RefusedNoThread(), 1u);
    EXPECT_EQ(queue.RefusedFull(), 2u);
}

// With an age bound of 250 ms, a report stamped more than that after the
// oldest report held (the one in hand) is refused. Each row: a step, then
// the stamp of a report appended after it and the verdict.
TEST_F(ReportQueueTest, TheAgeBoundRefusesReportsTooFarBehindTheOldest) {
    struct Row {
        std::string step;
        timespec stamp;
        Queue::Verdict verdict;
    };
    const Row rows[] = {
        {"open, bound 250 ms", {99, 0}, Queue::QUEUED},  // nothing in hand: no age
        {"take", {99, 250000000}, Queue::QUEUED},        // 10.0 in hand: 250 ms is no more
        {"", {99, 250000001}, Queue::BEHIND},
        {"", {100, 0}, Queue::BEHIND},
        {"process 1", {99, 450000000}, Queue::QUEUED},  // 10.2 in hand
        {"", {99, 450000001}, Queue::BEHIND},
        {"no bound", {200, 0}, Queue::QUEUED},
        {"bound 250 ms, put back", {200, 0}, Queue::QUEUED},  // nothing in hand
    };
    for (const Row& row : rows) {
        if (row.step == "open, bound 250 ms") {
            queue.Open();
            queue.SetMaxAge(250);
            ASSERT_EQ(Append(1, nullptr, {99, 0}), Queue::QUEUED);
            ASSERT_EQ(Append(2, nullptr, {99, 200000000}), Queue::QUEUED);
        } else if (row.step == "take") {
            ASSERT_EQ(queue.Take(), 3u);
        } else if (row.step == "process 1") {
            ASSERT_EQ(Process(1), Ids({1}));
        } else if (row.step == "no bound") {
            queue.SetMaxAge(0);
        } else if (row.step == "bound 250 ms, put back") {
            queue.SetMaxAge(250);
            queue.PutBack();
        }
        EXPECT_EQ(Append(9, nullptr, row.stamp), row.verdict)
            << row.step << " " << row.stamp.tv_sec << "." << row.stamp.tv_nsec;
    }
    EXPECT_EQ(queue.MaxAge(), 250u);
}

// Reports come out oldest first, a batch at a time; a pass counts what is
// in hand and what waits behind it; at the end what is in hand goes back
// to the front of the list, in order.
TEST_F(ReportQueueTest, BatchesComeOutOldestFirstAndGoBackInOrder) {
    queue.Open();
    EXPECT_EQ(queue.Take(), 0u);
    EXPECT_FALSE(queue.HasInHand());
    for (int id = 1; id <= 4; ++id) {
        ASSERT_EQ(Append(id), Queue::QUEUED);
    }
    EXPECT_EQ(queue.Take(), 4u);
    EXPECT_FALSE(queue.Arrived());
    EXPECT_EQ(Process(2), Ids({1, 2}));
    ASSERT_EQ(Append(5), Queue::QUEUED);
    ASSERT_EQ(Append(6), Queue::QUEUED);
    EXPECT_TRUE(queue.Arrived());
    EXPECT_EQ(queue.Take(), 4u);  // 3 and 4 in hand, 5 and 6 behind them
    EXPECT_EQ(queue.Waiting(), 4u);
    EXPECT_EQ(Process(1), Ids({3}));
    queue.PutBack();
    EXPECT_EQ(OnList(), Ids({4, 5, 6}));
    EXPECT_EQ(queue.Waiting(), 3u);
    EXPECT_FALSE(queue.HasInHand());
    EXPECT_EQ(queue.Take(), 3u);
    EXPECT_EQ(Process(9), Ids({4, 5, 6}));
    EXPECT_EQ(queue.Take(), 0u);
    EXPECT_EQ(queue.Waiting(), 0u);
}

// The nodes of released reports come back as spares, at most 1024 of them.
// Each row: appends, then a take, then reports processed; the take's
// count, and the spares after the step. The reports are released 1024 at
// a time and at the take after them; what the spares have no room for is
// freed (the leak checker of the sanitizer build sees to that).
TEST_F(ReportQueueTest, SpareNodesAreReusedUpToTheirBound) {
    struct Row {
        int appended;
        size_t taken;
        size_t processed;
        size_t spares;
    };
    const Row rows[] = {
        {1100, 1100, 1100, 0},     // 1024 released at once, 76 wait for the take
        {1024, 1024, 1024, 1024},  // the 76 find no room; the 1024 become spares
        {1000, 1000, 0, 1024},     // 24 spares beside 1024 released: the longer kept
        {0, 1000, 1000, 1024},     // still in hand: no take
        {10, 10, 0, 1014},         // 1014 spares beside 1000 released: the spares kept
        {0, 10, 10, 1014},
        {0, 0, 0, 1024},  // 10 come back, filling the spares up to the bound
    };
    queue.Open();
    int step = 0;
    for (const Row& row : rows) {
        AppendMany(row.appended);
        EXPECT_EQ(queue.Take(), row.taken) << "step " << step;
        EXPECT_EQ(Process(row.processed).size(), row.processed) << "step " << step;
        EXPECT_EQ(queue.Spares(), row.spares) << "step " << step;
        ++step;
    }
    queue.ReleaseAll();
    EXPECT_EQ(queue.Spares(), 0u);
    EXPECT_FALSE(queue.Draining());
}

// ReleaseAll() frees what waits and shuts submissions out; what the thread
// holds goes with the queue.
TEST_F(ReportQueueTest, ReleaseAllAndTheQueuesEndFreeEveryReport) {
    queue.Open();
    AppendMany(3);
    queue.ReleaseAll();
    EXPECT_EQ(std::make_tuple(OnList(), queue.Waiting(), queue.Draining()),
              std::make_tuple(Ids(), size_t{0}, false));
    queue.Open();
    AppendMany(3);
    {
        Queue::List ownWaiting;
        KwLinuxMutex ownLock;
        Queue own(ownLock, ownWaiting);
        own.Open();
        size_t held = 0;
        ASSERT_EQ(own.Append(NewReport(7), held), Queue::QUEUED);
        ASSERT_EQ(own.Append(NewReport(8), held), Queue::QUEUED);
        ASSERT_EQ(own.Take(), 2u);
        own.Processed();
    }  // 7 processed and 8 in hand, both freed here
    EXPECT_EQ(queue.Take(), 3u);
}

}  // namespace

// Faults on demand, for tests: allocations, clocks. Like PollSleeps, these
// are definitions of C library functions (malloc, clock_gettime) and of
// operator new in the test executable, which the dynamic linker prefers to
// the library's own; they pass every call on to the next definition (the
// C library's, or a sanitizer's) unless a fault is armed. The shipped
// library is used unchanged.
//
// Link FaultInjection.cpp into one test executable only: it replaces the
// allocator entry points of the whole process.
#ifndef QEL_TEST_FAULT_INJECTION_H
#define QEL_TEST_FAULT_INJECTION_H

#include <gtest/gtest.h>
#include <time.h>

#include <string>

namespace faults {

// Counts the allocations from now on, by every thread (malloc and every
// operator new); the `failAt`-th of them fails (returns null, or throws
// std::bad_alloc), 0: none fails.
void ArmAllocations(unsigned long failAt);
// Stops counting; returns the allocations counted since ArmAllocations().
unsigned long DisarmAllocations();
// Whether the armed allocation has failed.
bool AllocationFailed();
// While paused, allocations are neither counted nor failed: those of every
// thread, or with ThisThread, those of the calling thread (a test's own
// bookkeeping) only.
enum Scope { ALL_THREADS, THIS_THREAD };
void PauseAllocations(bool paused, Scope scope = ALL_THREADS);

// Pauses the calling thread's allocations for its lifetime.
class Unfaulted {
public:
    Unfaulted() { PauseAllocations(true, THIS_THREAD); }
    ~Unfaulted() { PauseAllocations(false, THIS_THREAD); }
    Unfaulted(const Unfaulted&) = delete;
    Unfaulted& operator=(const Unfaulted&) = delete;
};

// clock_gettime(`clock`) fails with EINVAL, leaving -1 in both fields of its
// result, while `fail` holds, for calls made from the shared object that
// holds `symbolOfTheObject` (the test's own clocks, and std::chrono's, keep
// working).
void FailClock(clockid_t clock, bool fail, const void* symbolOfTheObject);
// CLOCK_REALTIME reads `seconds` later than the real wall clock.
void ShiftWallClock(long seconds);

// Reads with the 1st, 2nd, ... allocation failing until a reading meets no
// fault: `read(options, why)` reads into a fresh Options, `describe(read,
// options, why)` tells what it gave (after the faults are disarmed). Each
// reading refuses with a reason or gives `expected`. Returns the fault points.
template <class Options, class Read, class Describe>
unsigned long ExpectEachFaultRefusedOrHarmless(Read read, Describe describe,
                                               const std::string& expected) {
    unsigned long failAt = 1;
    for (; failAt < 100000; ++failAt) {
        Options options;
        std::string why;
        ArmAllocations(failAt);
        bool done = read(options, why);
        DisarmAllocations();
        if (!AllocationFailed()) {
            EXPECT_EQ(describe(done, options, why), expected);
            break;
        }
        SCOPED_TRACE("allocation " + std::to_string(failAt));
        if (done) {
            EXPECT_EQ(describe(done, options, why), expected);
        } else {
            EXPECT_FALSE(why.empty());
        }
    }
    EXPECT_GT(failAt, 20u);  // the reading allocates: the faults were met
    EXPECT_LT(failAt, 100000u);
    return failAt - 1;
}

}  // namespace faults

#endif  // QEL_TEST_FAULT_INJECTION_H

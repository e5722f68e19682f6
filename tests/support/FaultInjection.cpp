#include "FaultInjection.h"

#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> g_armed{false};
std::atomic<bool> g_paused{false};
thread_local bool t_paused = false;
std::atomic<unsigned long> g_count{0};
std::atomic<unsigned long> g_failAt{0};
std::atomic<bool> g_failed{false};
std::atomic<bool> g_failing[2] = {};  // CLOCK_REALTIME, CLOCK_MONOTONIC
std::atomic<long> g_wallShift{0};
std::atomic<void*> g_failingObject{nullptr};

// The next definitions, found on first use. Plain atomics rather than
// function-local statics: a sanitizer's runtime allocates while it starts,
// before its own guard-variable hooks can run.
using MallocFn = void* (*)(size_t);
using ClockFn = int (*)(clockid_t, timespec*);
std::atomic<MallocFn> g_malloc{nullptr};
std::atomic<ClockFn> g_clock{nullptr};
std::atomic<bool> g_resolvingMalloc{false};

// dlsym() may allocate while the next malloc is looked up; those few bytes
// come from here and are never freed.
alignas(16) char g_bootstrap[4096];
std::atomic<size_t> g_bootstrapUsed{0};

void* Bootstrap(size_t bytes) {
    bytes = (bytes + 15) & ~static_cast<size_t>(15);
    size_t at = g_bootstrapUsed.fetch_add(bytes);
    return at + bytes <= sizeof g_bootstrap ? g_bootstrap + at : nullptr;
}

template <class Fn>
Fn Next(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// True when this allocation is the one to fail.
bool FailThisOne() {
    if (!g_armed.load(std::memory_order_relaxed) || g_paused.load(std::memory_order_relaxed) ||
        t_paused || g_count.fetch_add(1) + 1 != g_failAt.load()) {
        return false;
    }
    g_failed.store(true);
    errno = ENOMEM;  // as the C library's allocator sets it
    return true;
}

}  // namespace

namespace faults {

void ArmAllocations(unsigned long failAt) {
    g_count.store(0);
    g_failed.store(false);
    g_failAt.store(failAt);
    g_armed.store(true);
}

unsigned long DisarmAllocations() {
    g_armed.store(false);
    return g_count.load();
}

bool AllocationFailed() {
    return g_failed.load();
}

void PauseAllocations(bool paused, Scope scope) {
    if (scope == ALL_THREADS) {
        g_paused.store(paused);
    } else {
        t_paused = paused;
    }
}

void FailClock(clockid_t clock, bool fail, const void* symbolOfTheObject) {
    Dl_info info;
    if (fail && dladdr(symbolOfTheObject, &info) != 0) {
        g_failingObject.store(info.dli_fbase);
    }
    g_failing[clock == CLOCK_MONOTONIC].store(fail);
}

void ShiftWallClock(long seconds) {
    g_wallShift.store(seconds);
}

}  // namespace faults

// Only malloc() is replaced: calloc() and realloc() stay the C library's.
extern "C" void* malloc(size_t size) {
    MallocFn next = g_malloc.load();
    if (next == nullptr) {
        if (g_resolvingMalloc.exchange(true)) {
            return Bootstrap(size);
        }
        next = Next<MallocFn>("malloc");
        g_malloc.store(next);
    }
    return FailThisOne() ? nullptr : next(size);
}

extern "C" int clock_gettime(clockid_t clock, timespec* now) {
    ClockFn next = g_clock.load();
    if (next == nullptr) {
        next = Next<ClockFn>("clock_gettime");  // two threads find the same one
        g_clock.store(next);
    }
    Dl_info caller;
    if ((clock == CLOCK_MONOTONIC || clock == CLOCK_REALTIME) &&
        g_failing[clock == CLOCK_MONOTONIC].load() &&
        dladdr(__builtin_return_address(0), &caller) != 0 &&
        caller.dli_fbase == g_failingObject.load()) {
        now->tv_sec = -1;  // what a failed read leaves is not to be used
        now->tv_nsec = -1;
        errno = EINVAL;
        return -1;
    }
    int result = next(clock, now);
    if (result == 0 && clock == CLOCK_REALTIME) {
        now->tv_sec += g_wallShift.load();
    }
    return result;
}

// Every operator new of the process goes through malloc() above (a
// sanitizer's runtime would otherwise take them itself).
void* operator new(size_t size) {
    void* block = malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}
void* operator new[](size_t size) {
    return operator new(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return malloc(size == 0 ? 1 : size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return malloc(size == 0 ? 1 : size);
}
void operator delete(void* block) noexcept {
    free(block);
}
void operator delete[](void* block) noexcept {
    free(block);
}
void operator delete(void* block, size_t) noexcept {
    free(block);
}
void operator delete[](void* block, size_t) noexcept {
    free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    free(block);
}

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
std::atomic<bool> g_failMonotonic{false};
std::atomic<bool> g_failRealtime{false};
std::atomic<long> g_wallShift{0};
std::atomic<void*> g_failingObject{nullptr};

// Whether the code at `caller` belongs to the object whose clock fails.
bool FromFailingObject(const void* caller) {
    Dl_info info;
    return dladdr(caller, &info) != 0 && info.dli_fbase == g_failingObject.load();
}

typedef void* (*MallocFn)(size_t);
typedef void* (*CallocFn)(size_t, size_t);
typedef void* (*ReallocFn)(void*, size_t);
typedef int (*ClockFn)(clockid_t, timespec*);

// dlsym() may itself allocate with calloc before the real one is known;
// those few bytes come from here and are never freed.
alignas(16) char g_bootstrap[4096];
std::atomic<size_t> g_bootstrapUsed{0};

template <class Fn>
Fn Next(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// True when this allocation is the one to fail.
bool FailThisOne() {
    if (!g_armed.load(std::memory_order_relaxed) || g_paused.load(std::memory_order_relaxed) ||
        t_paused) {
        return false;
    }
    unsigned long n = g_count.fetch_add(1) + 1;
    if (n == g_failAt.load()) {
        g_failed.store(true);
        errno = ENOMEM;  // as the C library's allocator sets it
        return true;
    }
    return false;
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
    (clock == CLOCK_REALTIME ? g_failRealtime : g_failMonotonic).store(fail);
}

void ShiftWallClock(long seconds) {
    g_wallShift.store(seconds);
}

}  // namespace faults

namespace {

std::atomic<MallocFn> g_malloc{nullptr};
std::atomic<CallocFn> g_calloc{nullptr};
std::atomic<ReallocFn> g_realloc{nullptr};
std::atomic<bool> g_resolving{false};

void* Bootstrap(size_t bytes) {
    bytes = (bytes + 15) & ~static_cast<size_t>(15);
    size_t at = g_bootstrapUsed.fetch_add(bytes);
    return at + bytes <= sizeof g_bootstrap ? g_bootstrap + at : nullptr;
}

// Finds the next definitions; false while that is under way (dlsym()
// allocating for itself), when the caller takes bootstrap memory.
bool Resolved() {
    if (g_realloc.load() != nullptr) {
        return true;
    }
    if (g_resolving.exchange(true)) {
        return false;
    }
    g_malloc.store(Next<MallocFn>("malloc"));
    g_calloc.store(Next<CallocFn>("calloc"));
    g_realloc.store(Next<ReallocFn>("realloc"));
    return true;
}

}  // namespace

extern "C" void* malloc(size_t size) {
    if (!Resolved()) {
        return Bootstrap(size);
    }
    return FailThisOne() ? nullptr : g_malloc.load()(size);
}

extern "C" void* calloc(size_t count, size_t size) {
    if (!Resolved()) {
        return Bootstrap(count * size);  // static storage: already zero
    }
    return FailThisOne() ? nullptr : g_calloc.load()(count, size);
}

extern "C" void* realloc(void* block, size_t size) {
    if (!Resolved()) {
        return nullptr;
    }
    return FailThisOne() ? nullptr : g_realloc.load()(block, size);
}

extern "C" int clock_gettime(clockid_t clock, timespec* now) {
    static ClockFn next = Next<ClockFn>("clock_gettime");
    bool failing = (clock == CLOCK_MONOTONIC && g_failMonotonic.load()) ||
                   (clock == CLOCK_REALTIME && g_failRealtime.load());
    if (failing && FromFailingObject(__builtin_return_address(0))) {
        errno = EINVAL;
        return -1;
    }
    int result = next(clock, now);
    if (result == 0 && clock == CLOCK_REALTIME) {
        now->tv_sec += g_wallShift.load();
    }
    return result;
}

// Every operator new of the process goes through malloc() above.
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

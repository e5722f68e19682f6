#include "dlog_capture.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace {

// Longest text of one line; anything beyond is cut.
constexpr size_t kMaxLine = 1024;

int InitialThreshold() {
    const char* env = getenv("DLOG_LEVEL");
    if (env == nullptr || *env == '\0') {
        return DLOG_INFO;
    }
    char* end = nullptr;
    long value = strtol(env, &end, 10);
    if (*end != '\0' || value < 0 || value > 7) {
        return DLOG_INFO;
    }
    return static_cast<int>(value);
}

std::atomic<int> g_threshold{InitialThreshold()};

// The sink and its context change together, so they share one lock.
std::mutex g_sinkLock;
std::atomic<bool> g_hasSink{false};
dlog_sink_fn g_sink = nullptr;
void* g_sinkContext = nullptr;

void WriteToStderr(int level, const char* file, const char* text) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    gmtime_r(&now.tv_sec, &parts);
    char line[kMaxLine + 128];
    int length = snprintf(line, sizeof line, "%04d-%02d-%02d %02d:%02d:%02d.%03ld <%d> %s %s\n",
                          parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                          parts.tm_min, parts.tm_sec, static_cast<long>(now.tv_nsec / 1000000),
                          level, file != nullptr ? file : "-", text);
    if (length < 0) {
        return;
    }
    size_t size =
        static_cast<size_t>(length) < sizeof line ? static_cast<size_t>(length) : sizeof line - 1;
    line[size - 1] = '\n';
    // One write() per line keeps lines whole across threads and processes.
    ssize_t ignored = write(STDERR_FILENO, line, size);
    (void)ignored;
}

}  // namespace

extern "C" int __dlog_printf(int level, const char* file, const char* format, ...) {
    bool captured = g_hasSink.load(std::memory_order_acquire);
    if (!captured && level > g_threshold.load(std::memory_order_relaxed)) {
        return 0;
    }
    if (format == nullptr) {
        return 0;
    }
    char text[kMaxLine];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0) {
        return 0;
    }
    if (captured) {
        dlog_sink_fn sink;
        void* context;
        {
            std::lock_guard<std::mutex> guard(g_sinkLock);
            sink = g_sink;
            context = g_sinkContext;
        }
        if (sink != nullptr) {
            sink(level, file, text, context);
            return length;
        }
    }
    WriteToStderr(level, file, text);
    return length;
}

extern "C" void dlog_set_threshold(int threshold) {
    g_threshold.store(threshold, std::memory_order_relaxed);
}

extern "C" int dlog_get_threshold(void) {
    return g_threshold.load(std::memory_order_relaxed);
}

extern "C" void dlog_set_sink(dlog_sink_fn sink, void* context) {
    {
        std::lock_guard<std::mutex> guard(g_sinkLock);
        g_sink = sink;
        g_sinkContext = context;
    }
    g_hasSink.store(sink != nullptr, std::memory_order_release);
}

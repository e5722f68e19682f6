#include "KwTimeTracker.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>

#include "dlog.h"

namespace {
const char kFile[] = "KwTimeTracker.cpp";
}

KwTimeTracker::KwTimeTracker() : m_startTime{0, 0}, m_startTimeValid(false) {
    Reset();
}

KwTimeTracker::~KwTimeTracker() {}

void KwTimeTracker::Reset() {
    if (clock_gettime(CLOCK_MONOTONIC, &m_startTime) != 0) {
        __dlog_printf(DLOG_ERR, kFile, "%s: clock_gettime CLOCK_MONOTONIC failed: %s", "Reset",
                      strerror(errno));
        m_startTime.tv_sec = 0;
        m_startTime.tv_nsec = 0;
        m_startTimeValid = false;
        return;
    }
    m_startTimeValid = true;
}

void KwTimeTracker::Set(timespec& start) {
    m_startTime.tv_sec = start.tv_sec;
    m_startTime.tv_nsec = start.tv_nsec;
    m_startTimeValid = start.tv_sec != 0 || start.tv_nsec != 0;
}

KwLong32 KwTimeTracker::GetElapsedTenthms(timespec& end) const {
    if (!m_startTimeValid) {
        __dlog_printf(DLOG_ERR, kFile, "%s: start time has not been set correctly",
                      "GetElapsedTenthms");
        return -1;
    }
    if (end.tv_sec < m_startTime.tv_sec) {
        __dlog_printf(DLOG_ERR, kFile,
                      "%s: Can not calculate correctly because start time > end time(in sec)",
                      "GetElapsedTenthms");
        return -1;
    }
    // Carried in 64 bits so that no span can overflow before it is clamped.
    int64_t seconds = static_cast<int64_t>(end.tv_sec) - m_startTime.tv_sec;
    int64_t nanos = static_cast<int64_t>(end.tv_nsec) - m_startTime.tv_nsec;
    if (nanos < 0) {
        if (seconds == 0) {
            __dlog_printf(DLOG_ERR, kFile,
                          "%s: Can not calculate correctly because start time > end time(in ns)",
                          "GetElapsedTenthms");
            return -1;
        }
        seconds -= 1;
        nanos += 1000000000;
    }
    int64_t tenths = seconds * 10000 + nanos / 100000;
    // Spans longer than the 32-bit result (about 59.65 hours) read as the
    // largest value rather than wrapping to a wrong one. Stamps that are not
    // normalised are taken at face value; a negative span they produce reads
    // as -1, "no measurement".
    if (tenths > INT32_MAX) {
        return INT32_MAX;
    }
    if (tenths < 0) {
        return -1;
    }
    return static_cast<KwLong32>(tenths);
}

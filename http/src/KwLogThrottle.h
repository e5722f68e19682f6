// The status server's log under pressure: at most one line a second for
// each kind of trouble (descriptors exhausted, connections refused, slow
// connections closed, handshakes failed, ...), whatever a hostile client
// does. A line held back is counted, and the count is told with the next
// line of its kind, or by Flush() once its kind has been quiet for a second:
//   KwStatsHttpServer: connections refused: 127.0.0.9 at its limit of 16 (41 more held back)
//   KwStatsHttpServer: connections refused: 12 more held back
//
// Thread safety: every call may come from any thread.
#ifndef KW_LOG_THROTTLE_H
#define KW_LOG_THROTTLE_H

#include <chrono>
#include <map>
#include <string>

#include "KwStdMutex.h"

class KwLogThrottle {
public:
    typedef std::chrono::steady_clock Clock;

    // Lines go to __dlog_printf with this file name.
    explicit KwLogThrottle(const char* file) : m_file(file) {}

    // Logs "KwStatsHttpServer: KIND: TEXT" at `level`, or counts it when a
    // line of `kind` went out less than a second before `now`. `kind`
    // identifies the kind by its address: a string that outlives the
    // throttle (a literal, or a libmicrohttpd format).
    void Log(const char* kind, const char* name, int level, const std::string& text,
             Clock::time_point now) KW_EXCLUDES(m_lock);
    // Tells what was held back of each kind quiet for a second.
    void Flush(Clock::time_point now) KW_EXCLUDES(m_lock);

private:
    struct Kind {
        std::string name;
        int level = 0;
        Clock::time_point last;  // of its last line
        unsigned long held = 0;
    };

    void Write(const Kind& kind, const std::string& text) const;

    const char* const m_file;
    KwStdMutex m_lock;
    std::map<const char*, Kind> m_kinds KW_GUARDED_BY(m_lock);
};

#endif  // KW_LOG_THROTTLE_H

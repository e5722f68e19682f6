#include "KwLogThrottle.h"

#include "dlog.h"

void KwLogThrottle::Log(const char* kind, const char* name, int level, const std::string& text,
                        Clock::time_point now) {
    std::string line;
    Kind told;
    {
        KwStdGuard guard(m_lock);
        auto found = m_kinds.find(kind);
        if (found != m_kinds.end() && now - found->second.last < std::chrono::seconds(1)) {
            ++found->second.held;
            return;
        }
        Kind& entry = m_kinds[kind];
        entry.name = name;
        entry.level = level;
        entry.last = now;
        line = text;
        if (entry.held != 0) {
            line += " (" + std::to_string(entry.held) + " more held back)";
            entry.held = 0;
        }
        told = entry;
    }
    Write(told, line);  // outside the lock: the log may take its time
}

void KwLogThrottle::Flush(Clock::time_point now) {
    std::map<std::string, Kind> due;  // in the order of their names
    {
        KwStdGuard guard(m_lock);
        for (auto& entry : m_kinds) {
            Kind& kind = entry.second;
            if (kind.held != 0 && now - kind.last >= std::chrono::seconds(1)) {
                due[kind.name] = kind;
                kind.held = 0;
                kind.last = now;
            }
        }
    }
    for (const auto& entry : due) {
        Write(entry.second, std::to_string(entry.second.held) + " more held back");
    }
}

void KwLogThrottle::Write(const Kind& kind, const std::string& text) const {
    __dlog_printf(kind.level, m_file, "KwStatsHttpServer: %s: %s", kind.name.c_str(), text.c_str());
}

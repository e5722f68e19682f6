// Captures every __dlog_printf call of the process while it lives.
#ifndef QEL_TEST_LOG_CAPTURE_H
#define QEL_TEST_LOG_CAPTURE_H

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "dlog_capture.h"

struct LogEntry {
    int level;
    std::string file;
    std::string text;
};

class LogCapture {
public:
    LogCapture() { dlog_set_sink(&LogCapture::Sink, this); }
    ~LogCapture() { dlog_set_sink(nullptr, nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogEntry> Entries() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_entries;
    }
    // Number of entries with this level, file and text.
    size_t Count(int level, const std::string& file, const std::string& text) const {
        return CountIf([&](const LogEntry& e) {
            return e.level == level && e.file == file && e.text == text;
        });
    }
    // Number of entries whose text contains `part`.
    size_t CountContaining(const std::string& part) const {
        return CountIf([&](const LogEntry& e) { return e.text.find(part) != std::string::npos; });
    }

    // Lets a thread that waits at the gate go on, and makes the next line
    // that starts with `prefix` (empty: none) keep the thread that writes it
    // waiting, holding whatever locks it holds, until the next Gate().
    void Gate(const std::string& prefix) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_gatePrefix = prefix;
        m_atGate = false;
        ++m_gateOpenings;
        m_gateChanged.notify_all();
    }
    // Waits until a thread stands at the gate.
    bool WaitAtGate() const {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_gateChanged.wait_for(lock, std::chrono::seconds(20), [this] { return m_atGate; });
    }

private:
    template <class Predicate>
    size_t CountIf(Predicate predicate) const {
        std::vector<LogEntry> entries = Entries();
        return static_cast<size_t>(std::count_if(entries.begin(), entries.end(), predicate));
    }

    static void Sink(int level, const char* file, const char* text, void* context) {
        LogCapture* self = static_cast<LogCapture*>(context);
        std::unique_lock<std::mutex> lock(self->m_lock);
        self->m_entries.push_back(LogEntry{level, file != nullptr ? file : "", text});
        const std::string& gate = self->m_gatePrefix;
        if (!gate.empty() && self->m_entries.back().text.compare(0, gate.size(), gate) == 0) {
            unsigned long openings = self->m_gateOpenings;
            self->m_atGate = true;
            self->m_gateChanged.notify_all();
            self->m_gateChanged.wait(lock, [&] { return self->m_gateOpenings != openings; });
        }
    }

    mutable std::mutex m_lock;
    mutable std::condition_variable m_gateChanged;
    std::vector<LogEntry> m_entries;
    std::string m_gatePrefix;  // empty: no gate
    bool m_atGate = false;
    unsigned long m_gateOpenings = 0;
};

#endif  // QEL_TEST_LOG_CAPTURE_H

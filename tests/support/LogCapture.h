// Captures every __dlog_printf call of the process while it lives.
#ifndef QEL_TEST_LOG_CAPTURE_H
#define QEL_TEST_LOG_CAPTURE_H

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

struct LogEntry {
    int level;
    std::string file;
    std::string text;
};

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogEntry> Entries() const;
    // Number of entries with this level, file and text.
    size_t Count(int level, const std::string& file, const std::string& text) const;
    // Number of entries whose text contains `part`.
    size_t CountContaining(const std::string& part) const;

    // Lets a thread that waits at the gate go on, and makes the next line
    // that starts with `prefix` (empty: none) keep the thread that writes it
    // waiting, holding whatever locks it holds, until the next Gate().
    void Gate(const std::string& prefix);
    // Waits until a thread stands at the gate.
    bool WaitAtGate() const;

private:
    static void Sink(int level, const char* file, const char* text, void* context);

    mutable std::mutex m_lock;
    mutable std::condition_variable m_gateChanged;
    std::vector<LogEntry> m_entries;
    std::string m_gatePrefix;  // empty: no gate
    bool m_atGate = false;
    unsigned long m_gateOpenings = 0;
};

#endif  // QEL_TEST_LOG_CAPTURE_H

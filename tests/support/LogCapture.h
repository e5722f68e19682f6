// Captures every __dlog_printf call of the process while it lives.
#ifndef QEL_TEST_LOG_CAPTURE_H
#define QEL_TEST_LOG_CAPTURE_H

#include <chrono>
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
    // Entries whose text is exactly `text` (any level and file).
    std::vector<LogEntry> Matching(const std::string& text) const;
    // Number of entries with this level, file and text.
    size_t Count(int level, const std::string& file, const std::string& text) const;
    // Number of entries whose text contains `part`.
    size_t CountContaining(const std::string& part) const;
    // Waits until an entry with this exact text exists.
    bool WaitFor(const std::string& text,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    void Clear();

private:
    static void Sink(int level, const char* file, const char* text, void* context);

    mutable std::mutex m_lock;
    std::vector<LogEntry> m_entries;
};

#endif  // QEL_TEST_LOG_CAPTURE_H

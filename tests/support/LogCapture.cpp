#include "LogCapture.h"

#include "dlog.h"

LogCapture::LogCapture() {
    dlog_set_sink(&LogCapture::Sink, this);
}

LogCapture::~LogCapture() {
    dlog_set_sink(nullptr, nullptr);
}

void LogCapture::Sink(int level, const char* file, const char* text, void* context) {
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

std::vector<LogEntry> LogCapture::Entries() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_entries;
}

size_t LogCapture::Count(int level, const std::string& file, const std::string& text) const {
    size_t count = 0;
    for (const LogEntry& entry : Entries()) {
        count += entry.level == level && entry.file == file && entry.text == text ? 1 : 0;
    }
    return count;
}

size_t LogCapture::CountContaining(const std::string& part) const {
    size_t count = 0;
    for (const LogEntry& entry : Entries()) {
        count += entry.text.find(part) != std::string::npos ? 1 : 0;
    }
    return count;
}

void LogCapture::Gate(const std::string& prefix) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_gatePrefix = prefix;
    m_atGate = false;
    ++m_gateOpenings;
    m_gateChanged.notify_all();
}

bool LogCapture::WaitAtGate() const {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_gateChanged.wait_for(lock, std::chrono::seconds(20), [this] { return m_atGate; });
}

#include "KwPushQueue.h"

#include <algorithm>
#include <utility>

uint32_t KwPushSeriesTable::Intern(const std::string& labels) {
    auto inserted = m_ids.emplace(labels, static_cast<uint32_t>(m_labels.size()));
    if (inserted.second) {
        m_labels.push_back(&inserted.first->first);
    }
    return inserted.first->second;
}

void KwPushSeriesTable::Clear() {
    m_ids.clear();
    m_labels.clear();
}

size_t KwPushQueue::Add(KwPushRecord record) {
    if (record.Remaining() == 0) {
        return 0;  // nothing to send (no series at all)
    }
    m_samples += record.Remaining();
    m_records.push_back(std::move(record));
    size_t excess = m_samples > m_capacity ? m_samples - m_capacity : 0;
    Consume(excess);
    return excess;
}

void KwPushQueue::Consume(size_t count) {
    while (count > 0 && !m_records.empty()) {
        KwPushRecord& front = m_records.front();
        size_t done = std::min(count, front.Remaining());
        front.sent += done;
        m_samples -= done;
        count -= done;
        if (front.Remaining() == 0) {
            m_records.pop_front();
        }
    }
}

void KwPushBatch::Clear() {
    m_index.clear();
    m_series.clear();
    m_entries.clear();
}

void KwPushBatch::Add(const KwPushRecord& record, size_t from, size_t count) {
    const size_t kEnd = static_cast<size_t>(-1);
    m_entries.reserve(m_entries.size() + count);
    for (size_t i = from; i < from + count; ++i) {
        size_t entry = m_entries.size();
        m_entries.push_back({{record.values[i], record.timestampMs}, kEnd});
        auto found = m_index.emplace(record.ids[i], m_series.size());
        if (found.second) {
            m_series.push_back({record.ids[i], entry, entry});
        } else {
            Series& series = m_series[found.first->second];
            m_entries[series.last].next = entry;
            series.last = entry;
        }
    }
}

void KwPushBatch::Encode(const KwPushSeriesTable& table, KwWriteRequest& request) const {
    const size_t kEnd = static_cast<size_t>(-1);
    request.Clear();
    for (const Series& series : m_series) {
        m_run.clear();
        for (size_t entry = series.first; entry != kEnd; entry = m_entries[entry].next) {
            m_run.push_back(m_entries[entry].sample);
        }
        request.Add(table.Labels(series.id), m_run.data(), m_run.size());
    }
}

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
    m_order.clear();
    m_series.clear();
    m_samples = 0;
}

void KwPushBatch::Add(const KwPushRecord& record, size_t from, size_t count) {
    for (size_t i = from; i < from + count; ++i) {
        auto found = m_index.emplace(record.ids[i], m_order.size());
        if (found.second) {
            m_order.push_back(record.ids[i]);
            m_series.emplace_back();
        }
        m_series[found.first->second].push_back({record.values[i], record.timestampMs});
    }
    m_samples += count;
}

void KwPushBatch::Encode(const KwPushSeriesTable& table, KwWriteRequest& request) const {
    request.Clear();
    for (size_t i = 0; i < m_order.size(); ++i) {
        request.Add(table.Labels(m_order[i]), m_series[i].data(), m_series[i].size());
    }
}

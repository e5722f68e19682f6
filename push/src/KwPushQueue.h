// What waits to be sent: series interned once, records of one snapshot each
// (ids and values, 12 bytes a sample), the memory queue over them, and the
// batch that one request carries.
#ifndef KW_PUSH_QUEUE_H
#define KW_PUSH_QUEUE_H

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "KwRemoteWrite.h"

// Each series' encoded labels, kept once and named by an id.
class KwPushSeriesTable {
public:
    uint32_t Intern(const std::string& labels);
    const std::string& Labels(uint32_t id) const { return *m_labels[id]; }
    size_t Size() const { return m_labels.size(); }
    void Clear();

private:
    std::unordered_map<std::string, uint32_t> m_ids;
    std::vector<const std::string*> m_labels;  // the keys of m_ids, by id
};

// The samples of one snapshot, all at one time.
struct KwPushRecord {
    int64_t timestampMs = 0;
    std::vector<uint32_t> ids;
    std::vector<uint64_t> values;  // each double's bits (KwDoubleBits)
    size_t sent = 0;               // the samples before this one are done with
    size_t Remaining() const { return ids.size() - sent; }
};

// Records in time order, at most `capacity` samples: beyond it the oldest
// samples go.
class KwPushQueue {
public:
    explicit KwPushQueue(size_t capacity) : m_capacity(capacity) {}
    // Returns the samples dropped to make room.
    size_t Add(KwPushRecord record);
    // The first `count` samples are done with (sent, refused or spooled).
    void Consume(size_t count);
    std::deque<KwPushRecord>& Records() { return m_records; }
    size_t Samples() const { return m_samples; }

private:
    size_t m_capacity;
    size_t m_samples = 0;
    std::deque<KwPushRecord> m_records;
};

// The samples of one request, grouped by series in the order they first
// appear, each series' samples in time order.
class KwPushBatch {
public:
    void Clear();
    // Samples [from, from + count) of `record`.
    void Add(const KwPushRecord& record, size_t from, size_t count);
    size_t Samples() const { return m_entries.size(); }
    void Encode(const KwPushSeriesTable& table, KwWriteRequest& request) const;

private:
    // Each series' samples as a list through m_samples' `next` (no
    // allocation per series): its first and last entry, by position.
    struct Entry {
        KwPushSample sample;
        size_t next;
    };
    struct Series {
        uint32_t id;
        size_t first, last;
    };
    std::unordered_map<uint32_t, size_t> m_index;  // id -> position in m_series
    std::vector<Series> m_series;
    std::vector<Entry> m_entries;
    mutable std::vector<KwPushSample> m_run;  // one series' samples, for the encoder
};

#endif  // KW_PUSH_QUEUE_H

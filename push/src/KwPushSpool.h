// The spool: what waits to be sent, on disk, so that it outlives a restart,
// a SIGKILL or a power cut.
//
// A folder of append-only segments (0000000000000001.seg, ...), each a run of
// records: a 24-byte head (the magic "QEL1", the payload's length, a CRC-32
// of what follows it, the number of samples, the time) and a snappy-compressed
// payload (each sample's encoded labels and value). A record is written with
// one write() and made durable with fdatasync() before Append() returns; a new
// segment's name is made durable with the folder. A cut or damaged stretch
// (a power cut mid-write, a bad block) fails its CRC or its magic: it is
// skipped, counted, and reading goes on at the next good record. The
// segments hold at most max_bytes together: beyond it the oldest segment
// goes, its samples counted. Which records are sent is kept in the file
// `cursor` (rewritten, not synced: losing it sends some samples twice), and
// a fully sent segment is removed. A lock on the file `lock` keeps a second
// process out.
#ifndef KW_PUSH_SPOOL_H
#define KW_PUSH_SPOOL_H

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <string>
#include <vector>

#include "KwPushQueue.h"

class KwPushSpool {
public:
    KwPushSpool() = default;
    ~KwPushSpool();
    KwPushSpool(const KwPushSpool&) = delete;
    KwPushSpool& operator=(const KwPushSpool&) = delete;

    // Opens `directory` (made if missing), reads what an earlier run left,
    // and starts a segment of its own. False with the reason in `error`.
    bool Open(const std::string& directory, long long maxBytes, std::string& error);

    // Writes the unsent samples of `record` and syncs them. False with the
    // reason when the write fails (nothing of the record stays behind).
    bool Append(const KwPushRecord& record, const KwPushSeriesTable& table, std::string& error);

    // Records read back, oldest first; LoadNext() reads one more (its
    // series interned in `table`), false when none is left to read.
    std::deque<KwPushRecord>& Loaded() { return m_loaded; }
    bool LoadNext(KwPushSeriesTable& table);
    // The first `count` samples of the loaded records are done with.
    void Consume(size_t count);

    // Samples on disk not yet done with; bytes on disk.
    size_t PendingSamples() const { return m_pending; }
    uint64_t Bytes() const { return m_bytes; }
    // Damaged stretches skipped, and samples of segments evicted for room,
    // since the last call.
    size_t TakeDamaged();
    size_t TakeEvicted();
    // The time of the newest record, 0 if none was ever written.
    int64_t NewestTimestamp() const { return m_newest; }

private:
    struct Ref {
        uint64_t offset;
        uint32_t size;  // head and payload
        uint32_t samples;
    };
    struct Segment {
        uint64_t seq;
        uint64_t bytes = 0;
        std::vector<Ref> records;
    };

    std::string PathOf(uint64_t seq) const;
    void Scan(Segment& segment);
    bool ReadRecord(const Segment& segment, const Ref& ref, KwPushRecord& record,
                    KwPushSeriesTable& table);
    bool StartSegment(std::string& error);
    void EvictFront();
    void DropFront();
    // Drops the front segments done with, while a later one is left.
    void DropSentSegments();
    void SaveCursor();
    void LoadCursor(uint64_t& seq, size_t& record, size_t& partial) const;

    std::string m_directory;
    uint64_t m_maxBytes = 0;
    uint64_t m_segmentBytes = 0;
    int m_lockFd = -1;
    int m_writeFd = -1;
    std::deque<Segment> m_segments;  // oldest first; the last is written to
    size_t m_first = 0;              // the front segment's first record not done with
    size_t m_partial = 0;            // its samples done with
    std::deque<KwPushRecord> m_loaded;
    size_t m_pending = 0;
    uint64_t m_bytes = 0;
    size_t m_damaged = 0;
    size_t m_evicted = 0;
    int64_t m_newest = 0;
    uint64_t m_nextSeq = 1;  // above every segment ever seen, so names keep their order
};

#endif  // KW_PUSH_SPOOL_H

#include "KwPushSpool.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "KwBoundedFile.h"

namespace {

const char kMagic[4] = {'Q', 'E', 'L', '1'};
const size_t kHead = 24;
// No record of ours comes near these; anything larger is damage.
const uint32_t kMaxPayload = 64u << 20;
const size_t kMaxRaw = 256u << 20;
const char kSuffix[] = ".seg";

void PutU32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out += static_cast<char>(value >> (8 * i));
    }
}

uint32_t GetU32(const char* at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | static_cast<uint8_t>(at[i]);
    }
    return value;
}

// CRC-32 (IEEE, as zlib and gzip compute it). The boards' libraries have no
// zlib (their libcurl is built without it), and a table is a few lines.
uint32_t Crc(const char* data, size_t size) {
    static const struct Table {
        uint32_t entries[256];
        Table() {
            for (uint32_t n = 0; n < 256; ++n) {
                uint32_t c = n;
                for (int k = 0; k < 8; ++k) {
                    c = (c & 1) != 0 ? 0xedb88320u ^ (c >> 1) : c >> 1;
                }
                entries[n] = c;
            }
        }
    } table;
    uint32_t crc = 0xffffffffu;
    for (size_t i = 0; i < size; ++i) {
        crc = table.entries[(crc ^ static_cast<uint8_t>(data[i])) & 0xff] ^ (crc >> 8);
    }
    return crc ^ 0xffffffffu;
}

bool ReadAt(int fd, uint64_t offset, size_t size, std::string& out) {
    out.resize(size);
    size_t done = 0;
    while (done < size) {
        ssize_t got = pread(fd, &out[done], size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

void SyncFolder(const std::string& directory) {
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// "0000000000000001.seg" -> 1; false for any other name.
bool SegmentSeq(const char* name, uint64_t& seq) {
    if (strlen(name) != 16 + sizeof kSuffix - 1 || strcmp(name + 16, kSuffix) != 0) {
        return false;
    }
    seq = 0;
    for (int i = 0; i < 16; ++i) {
        const char* digits = "0123456789abcdef";
        const char* at = strchr(digits, name[i]);
        if (at == nullptr || name[i] == '\0') {
            return false;
        }
        seq = (seq << 4) | static_cast<uint64_t>(at - digits);
    }
    return true;
}

}  // namespace

KwPushSpool::~KwPushSpool() {
    if (m_writeFd >= 0) {
        close(m_writeFd);
    }
    if (m_lockFd >= 0) {
        close(m_lockFd);  // releases the lock
    }
}

std::string KwPushSpool::PathOf(uint64_t seq) const {
    char name[32];
    snprintf(name, sizeof name, "%016llx%s", static_cast<unsigned long long>(seq), kSuffix);
    return m_directory + "/" + name;
}

bool KwPushSpool::Open(const std::string& directory, long long maxBytes, std::string& error) {
    m_directory = directory;
    m_maxBytes = static_cast<uint64_t>(maxBytes);
    // Eight segments to the spool: the oldest eighth goes at a time.
    m_segmentBytes = std::max<uint64_t>(m_maxBytes / 8, 16 * 1024);
    if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "spool directory '" + directory + "': " + strerror(errno);
        return false;
    }
    struct stat status;
    if (stat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        error = "spool directory '" + directory + "' is not a folder";
        return false;
    }
    std::string lockPath = directory + "/lock";
    m_lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_lockFd < 0) {
        error = "spool directory '" + directory + "': " + strerror(errno);
        return false;
    }
    if (flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        error = "spool directory '" + directory + "' is in use by another process";
        return false;
    }

    std::vector<uint64_t> seqs;
    DIR* folder = opendir(directory.c_str());
    if (folder == nullptr) {
        error = "spool directory '" + directory + "': " + strerror(errno);
        return false;
    }
    while (struct dirent* entry = readdir(folder)) {
        uint64_t seq;
        if (SegmentSeq(entry->d_name, seq)) {
            seqs.push_back(seq);
        }
    }
    closedir(folder);
    std::sort(seqs.begin(), seqs.end());

    uint64_t cursorSeq = 0;
    size_t cursorRecord = 0, cursorPartial = 0;
    LoadCursor(cursorSeq, cursorRecord, cursorPartial);
    m_nextSeq = std::max(cursorSeq, seqs.empty() ? 0 : seqs.back()) + 1;
    for (uint64_t seq : seqs) {
        if (seq < cursorSeq) {
            unlink(PathOf(seq).c_str());  // sent in full before a stop
            continue;
        }
        Segment segment;
        segment.seq = seq;
        Scan(segment);
        m_bytes += segment.bytes;
        for (const Ref& ref : segment.records) {
            m_pending += ref.samples;
        }
        m_segments.push_back(std::move(segment));
    }
    // Where the cursor points, skip what was sent.
    if (!m_segments.empty() && m_segments.front().seq == cursorSeq) {
        const Segment& front = m_segments.front();
        m_first = std::min(cursorRecord, front.records.size());
        for (size_t i = 0; i < m_first; ++i) {
            m_pending -= front.records[i].samples;
        }
        if (m_first < front.records.size()) {
            m_partial = std::min<size_t>(cursorPartial, front.records[m_first].samples);
            m_pending -= m_partial;
            if (m_partial == front.records[m_first].samples) {
                ++m_first;  // done with in full
                m_partial = 0;
            }
        }
    }
    while (m_segments.size() > 0 && m_first == m_segments.front().records.size()) {
        DropFront();
    }
    return StartSegment(error);
}

void KwPushSpool::LoadCursor(uint64_t& seq, size_t& record, size_t& partial) const {
    std::string text, error;
    if (!KwReadBoundedFile(m_directory + "/cursor", 128, text, error)) {
        return;
    }
    unsigned long long s = 0, r = 0, p = 0;
    if (sscanf(text.c_str(), "%llx %llu %llu", &s, &r, &p) == 3) {
        seq = s;
        record = static_cast<size_t>(r);
        partial = static_cast<size_t>(p);
    }
}

void KwPushSpool::SaveCursor() {
    if (m_segments.empty()) {
        return;
    }
    char text[80];
    int size = snprintf(text, sizeof text, "%llx %llu %llu\n",
                        static_cast<unsigned long long>(m_segments.front().seq),
                        static_cast<unsigned long long>(m_first),
                        static_cast<unsigned long long>(m_partial));
    std::string temporary = m_directory + "/cursor.new";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return;  // the samples are sent again after a restart
    }
    bool written = WriteAll(fd, std::string(text, static_cast<size_t>(size)));
    close(fd);
    if (written) {
        rename(temporary.c_str(), (m_directory + "/cursor").c_str());
    }
}

void KwPushSpool::Scan(Segment& segment) {
    int fd = open(PathOf(segment.seq).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        if (fd >= 0) {
            close(fd);
        }
        ++m_damaged;
        return;
    }
    uint64_t size = static_cast<uint64_t>(status.st_size);
    segment.bytes = size;
    uint64_t at = 0;
    bool inDamage = false;
    std::string head, payload;
    while (at < size) {
        bool good = false;
        if (size - at >= kHead && ReadAt(fd, at, kHead, head) &&
            memcmp(head.data(), kMagic, 4) == 0) {
            uint32_t length = GetU32(&head[4]);
            if (length <= kMaxPayload && length <= size - at - kHead &&
                ReadAt(fd, at + kHead, length, payload)) {
                std::string covered = head.substr(12) + payload;
                good = Crc(covered.data(), covered.size()) == GetU32(&head[8]);
            }
        }
        if (good) {
            uint32_t length = GetU32(&head[4]);
            segment.records.push_back(
                {at, static_cast<uint32_t>(kHead + length), GetU32(&head[12])});
            int64_t time = static_cast<int64_t>(static_cast<uint64_t>(GetU32(&head[16])) |
                                                static_cast<uint64_t>(GetU32(&head[20])) << 32);
            m_newest = std::max(m_newest, time);
            at += kHead + length;
            inDamage = false;
            continue;
        }
        if (!inDamage) {
            ++m_damaged;
            inDamage = true;
        }
        // Resynchronise at the next magic.
        uint64_t next = size;
        std::string chunk;
        for (uint64_t from = at + 1; from < size && next == size; from += 65536) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(65536 + 3, size - from));
            if (!ReadAt(fd, from, want, chunk)) {
                break;
            }
            for (size_t i = 0; i + 4 <= chunk.size(); ++i) {
                if (memcmp(&chunk[i], kMagic, 4) == 0) {
                    next = from + i;
                    break;
                }
            }
        }
        at = next;
    }
    close(fd);
}

bool KwPushSpool::StartSegment(std::string& error) {
    uint64_t seq = m_nextSeq++;
    int fd = open(PathOf(seq).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "spool segment '" + PathOf(seq) + "': " + strerror(errno);
        return false;
    }
    SyncFolder(m_directory);
    if (m_writeFd >= 0) {
        close(m_writeFd);
    }
    m_writeFd = fd;
    Segment segment;
    segment.seq = seq;
    m_segments.push_back(std::move(segment));
    return true;
}

bool KwPushSpool::Append(const KwPushRecord& record, const KwPushSeriesTable& table,
                         std::string& error) {
    size_t samples = record.Remaining();
    if (samples == 0) {
        return true;
    }
    std::string raw;
    for (size_t i = record.sent; i < record.ids.size(); ++i) {
        const std::string& labels = table.Labels(record.ids[i]);
        KwPutVarint(raw, labels.size());
        raw += labels;
        KwPutFixed64(raw, record.values[i]);
    }
    std::string payload;
    KwSnappyCompress(raw, payload);
    std::string bytes(kMagic, 4);
    PutU32(bytes, static_cast<uint32_t>(payload.size()));
    PutU32(bytes, 0);  // the CRC, below
    PutU32(bytes, static_cast<uint32_t>(samples));
    uint64_t time = static_cast<uint64_t>(record.timestampMs);
    PutU32(bytes, static_cast<uint32_t>(time));
    PutU32(bytes, static_cast<uint32_t>(time >> 32));
    bytes += payload;
    uint32_t crc = Crc(bytes.data() + 12, bytes.size() - 12);
    std::string crcBytes;
    PutU32(crcBytes, crc);
    bytes.replace(8, 4, crcBytes);

    if (bytes.size() > m_maxBytes) {
        m_evicted += samples;  // it could never fit
        return true;
    }
    if (m_segments.back().bytes > 0 && m_segments.back().bytes + bytes.size() > m_segmentBytes) {
        if (!StartSegment(error)) {
            return false;
        }
    }
    while (m_bytes + bytes.size() > m_maxBytes) {
        if (m_segments.size() == 1) {
            if (!StartSegment(error)) {
                return false;
            }
        }
        EvictFront();
    }
    Segment& segment = m_segments.back();
    if (!WriteAll(m_writeFd, bytes) || fdatasync(m_writeFd) != 0) {
        error = "spool segment '" + PathOf(segment.seq) + "': " + strerror(errno);
        // Nothing of it stays: a half record would read as damage.
        if (ftruncate(m_writeFd, static_cast<off_t>(segment.bytes)) != 0) {
            StartSegment(error);
        }
        return false;
    }
    segment.records.push_back(
        {segment.bytes, static_cast<uint32_t>(bytes.size()), static_cast<uint32_t>(samples)});
    segment.bytes += bytes.size();
    m_bytes += bytes.size();
    m_pending += samples;
    m_newest = std::max(m_newest, record.timestampMs);
    return true;
}

void KwPushSpool::EvictFront() {
    const Segment& front = m_segments.front();
    size_t loadedHere = std::min(m_loaded.size(), front.records.size() - m_first);
    size_t lost = 0;
    for (size_t i = m_first; i < front.records.size(); ++i) {
        lost += front.records[i].samples;
    }
    lost -= m_partial;
    m_pending -= lost;
    m_evicted += lost;
    m_loaded.erase(m_loaded.begin(), m_loaded.begin() + static_cast<long>(loadedHere));
    DropFront();
}

void KwPushSpool::DropFront() {
    m_bytes -= m_segments.front().bytes;
    unlink(PathOf(m_segments.front().seq).c_str());
    m_segments.pop_front();
    m_first = 0;
    m_partial = 0;
}

bool KwPushSpool::LoadNext(KwPushSeriesTable& table) {
    // The record after the loaded ones.
    size_t skip = m_loaded.size();
    size_t segment = 0, index = m_first;
    while (segment < m_segments.size()) {
        size_t available = m_segments[segment].records.size() - index;
        if (skip < available) {
            break;
        }
        skip -= available;
        ++segment;
        index = 0;
    }
    if (segment == m_segments.size()) {
        return false;
    }
    index += skip;
    const Segment& found = m_segments[segment];
    KwPushRecord record;
    if (!ReadRecord(found, found.records[index], record, table)) {
        // Damaged since it was scanned: its samples are lost.
        ++m_damaged;
        record = KwPushRecord();
        record.ids.assign(found.records[index].samples, 0);
        record.values.assign(found.records[index].samples, 0);
        record.sent = record.ids.size();
    } else if (m_loaded.empty() && segment == 0) {
        record.sent = std::min(record.ids.size(), m_partial);
    }
    m_loaded.push_back(std::move(record));
    return true;
}

bool KwPushSpool::ReadRecord(const Segment& segment, const Ref& ref, KwPushRecord& record,
                             KwPushSeriesTable& table) {
    int fd = open(PathOf(segment.seq).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return false;
    }
    std::string bytes;
    bool read = ReadAt(fd, ref.offset, ref.size, bytes);
    close(fd);
    if (!read || memcmp(bytes.data(), kMagic, 4) != 0 ||
        Crc(bytes.data() + 12, bytes.size() - 12) != GetU32(&bytes[8])) {
        return false;
    }
    std::string raw;
    if (!KwSnappyUncompress(bytes.data() + kHead, bytes.size() - kHead, kMaxRaw, raw)) {
        return false;
    }
    record.timestampMs = static_cast<int64_t>(static_cast<uint64_t>(GetU32(&bytes[16])) |
                                              static_cast<uint64_t>(GetU32(&bytes[20])) << 32);
    const char* at = raw.data();
    const char* end = at + raw.size();
    for (uint32_t i = 0; i < ref.samples; ++i) {
        uint64_t length = 0;
        if (!KwGetVarint(at, end, length) || length > static_cast<uint64_t>(end - at) ||
            static_cast<uint64_t>(end - at) - length < 8) {
            return false;
        }
        record.ids.push_back(table.Intern(std::string(at, static_cast<size_t>(length))));
        at += length;
        record.values.push_back(KwGetFixed64(at));
        at += 8;
    }
    return at == end;
}

void KwPushSpool::Consume(size_t count) {
    while (!m_loaded.empty()) {
        // The front segment may be done with already (it was the one written
        // to): m_first and m_partial are to count in the loaded record's one.
        DropSentSegments();
        KwPushRecord& front = m_loaded.front();
        size_t done = std::min(count, front.Remaining());
        front.sent += done;
        count -= done;
        m_pending -= front.sent - m_partial;
        m_partial = front.sent;
        if (front.Remaining() > 0) {
            break;
        }
        // The record is done with: the cursor moves past it.
        m_loaded.pop_front();
        ++m_first;
        m_partial = 0;
        DropSentSegments();
    }
    SaveCursor();
}

void KwPushSpool::DropSentSegments() {
    while (m_segments.size() > 1 && m_first == m_segments.front().records.size()) {
        DropFront();
    }
}

size_t KwPushSpool::TakeDamaged() {
    size_t damaged = m_damaged;
    m_damaged = 0;
    return damaged;
}

size_t KwPushSpool::TakeEvicted() {
    size_t evicted = m_evicted;
    m_evicted = 0;
    return evicted;
}

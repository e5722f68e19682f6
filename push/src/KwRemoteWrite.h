// Remote write 1.0 on the wire: the four protobuf messages, encoded by hand
// (WriteRequest{repeated TimeSeries timeseries = 1}, TimeSeries{repeated
// Label labels = 1; repeated Sample samples = 2}, Label{string name = 1;
// string value = 2}, Sample{double value = 1; int64 timestamp = 2}), and
// snappy's block format around them.
#ifndef KW_REMOTE_WRITE_H
#define KW_REMOTE_WRITE_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

// The NaN that marks a series stale; no other value uses these bits.
// Values are kept as their bits from the snapshot to the wire: on 32-bit x86
// a signalling NaN that passes through an x87 register comes out quiet.
extern const uint64_t kKwStaleNaNBits;
uint64_t KwDoubleBits(double value);

typedef std::vector<std::pair<std::string, std::string>> KwPushLabels;

// The labels of one series as the `labels` fields of a TimeSeries, in the
// order given (sorted by name, none empty: the caller's part).
std::string KwEncodeLabels(const KwPushLabels& labels);

struct KwPushSample {
    uint64_t valueBits;  // the double's
    int64_t timestampMs;
};

// A WriteRequest, built one TimeSeries at a time.
class KwWriteRequest {
public:
    // Adds a TimeSeries of labels encoded by KwEncodeLabels() and its
    // samples (in timestamp order: the caller's part).
    void Add(const std::string& encodedLabels, const KwPushSample* samples, size_t count);
    const std::string& Bytes() const { return m_bytes; }
    void Clear() { m_bytes.clear(); }

private:
    std::string m_bytes;
};

// `in` in snappy's block format. False when snappy refuses (it does not for
// inputs below 4 GiB).
bool KwSnappyCompress(const std::string& in, std::string& out);
// The inverse, for input of at most `maxOut` bytes once uncompressed; false
// for anything that is not snappy or is larger.
bool KwSnappyUncompress(const char* in, size_t size, size_t maxOut, std::string& out);

// Varints as protobuf writes them, shared with the spool's own records.
void KwPutVarint(std::string& out, uint64_t value);
// Reads one at `*at` (advanced), not beyond `end`; false when cut or longer
// than 10 bytes.
bool KwGetVarint(const char*& at, const char* end, uint64_t& value);
// A double's bits as 8 little-endian bytes, whatever the host's byte order.
void KwPutFixed64(std::string& out, uint64_t bits);
uint64_t KwGetFixed64(const char* at);

#endif  // KW_REMOTE_WRITE_H

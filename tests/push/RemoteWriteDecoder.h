// The receiver's side of remote write, for the tests: snappy's block format
// undone and the WriteRequest read back field by field, independently of
// the sender's encoder.
#ifndef QEL_TEST_REMOTE_WRITE_DECODER_H
#define QEL_TEST_REMOTE_WRITE_DECODER_H

#include <snappy-c.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

struct DecodedSeries {
    std::vector<std::pair<std::string, std::string>> labels;
    std::vector<std::pair<uint64_t, int64_t>> samples;  // the value's bits, time

    std::string Label(const std::string& name) const {
        for (const auto& label : labels) {
            if (label.first == name) {
                return label.second;
            }
        }
        return "";
    }
};

class ProtoReader {
public:
    ProtoReader(const char* at, const char* end) : m_at(at), m_end(end) {}
    bool Done() const { return m_at == m_end; }
    bool Varint(uint64_t& value) {
        value = 0;
        for (int shift = 0; shift < 64 && m_at < m_end; shift += 7) {
            uint8_t byte = static_cast<uint8_t>(*m_at++);
            value |= static_cast<uint64_t>(byte & 0x7f) << shift;
            if ((byte & 0x80) == 0) {
                return true;
            }
        }
        return false;
    }
    bool Bytes(std::string& out) {
        uint64_t size;
        if (!Varint(size) || size > static_cast<uint64_t>(m_end - m_at)) {
            return false;
        }
        out.assign(m_at, static_cast<size_t>(size));
        m_at += size;
        return true;
    }
    bool Fixed64(uint64_t& out) {
        if (m_end - m_at < 8) {
            return false;
        }
        out = 0;
        for (int i = 7; i >= 0; --i) {
            out = (out << 8) | static_cast<uint8_t>(m_at[i]);
        }
        m_at += 8;
        return true;
    }

private:
    const char* m_at;
    const char* m_end;
};

// A sample's value (kept as bits: see KwRemoteWrite.h).
inline double ValueOf(uint64_t bits) {
    double value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

inline bool Unsnappy(const std::string& in, std::string& out) {
    size_t size = 0;
    if (snappy_uncompressed_length(in.data(), in.size(), &size) != SNAPPY_OK) {
        return false;
    }
    out.resize(size);
    return snappy_uncompress(in.data(), in.size(), &out[0], &size) == SNAPPY_OK;
}

// A WriteRequest's series; false on anything but the four messages.
inline bool DecodeWriteRequest(const std::string& bytes, std::vector<DecodedSeries>& out) {
    ProtoReader request(bytes.data(), bytes.data() + bytes.size());
    uint64_t key, field, value;
    std::string series, inner, text;
    while (!request.Done()) {
        if (!request.Varint(key) || key != 0x0a || !request.Bytes(series)) {
            return false;
        }
        DecodedSeries decoded;
        ProtoReader fields(series.data(), series.data() + series.size());
        while (!fields.Done()) {
            if (!fields.Varint(key) || (key != 0x0a && key != 0x12) || !fields.Bytes(inner)) {
                return false;
            }
            ProtoReader message(inner.data(), inner.data() + inner.size());
            std::pair<std::string, std::string> label;
            std::pair<uint64_t, int64_t> sample(0, 0);
            while (!message.Done()) {
                if (!message.Varint(field)) {
                    return false;
                } else if (key == 0x0a && message.Bytes(text)) {
                    (field == 0x0a ? label.first : label.second) = text;
                } else if (key == 0x12 && field == 0x09 && message.Fixed64(value)) {
                    sample.first = value;
                } else if (key == 0x12 && field == 0x10 && message.Varint(value)) {
                    sample.second = static_cast<int64_t>(value);
                } else {
                    return false;
                }
            }
            if (key == 0x0a) {
                decoded.labels.push_back(label);
            } else {
                decoded.samples.push_back(sample);
            }
        }
        out.push_back(decoded);
    }
    return true;
}

#endif  // QEL_TEST_REMOTE_WRITE_DECODER_H

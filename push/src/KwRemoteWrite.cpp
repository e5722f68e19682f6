#include "KwRemoteWrite.h"

#include <snappy-c.h>
#include <string.h>

const uint64_t kKwStaleNaNBits = 0x7ff0000000000002ULL;

uint64_t KwDoubleBits(double value) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    return bits;
}

namespace {

// Field keys: (number << 3) | wire type.
const char kLen1 = 0x0a;     // field 1, length-delimited
const char kLen2 = 0x12;     // field 2, length-delimited
const char kFixed1 = 0x09;   // field 1, 64-bit
const char kVarint2 = 0x10;  // field 2, varint

size_t VarintSize(uint64_t value) {
    size_t size = 1;
    for (; value >= 0x80; value >>= 7) {
        ++size;
    }
    return size;
}

void PutField(std::string& out, char key, const std::string& bytes) {
    out += key;
    KwPutVarint(out, bytes.size());
    out += bytes;
}

// A Sample's size; zero fields are left out, as proto3 does (+0.0 only: the
// bits of -0.0 are kept).
size_t SampleSize(const KwPushSample& sample) {
    size_t size = sample.valueBits != 0 ? 9 : 0;
    if (sample.timestampMs != 0) {
        size += 1 + VarintSize(static_cast<uint64_t>(sample.timestampMs));
    }
    return size;
}

}  // namespace

void KwPutVarint(std::string& out, uint64_t value) {
    char bytes[10];
    size_t size = 0;
    for (; value >= 0x80; value >>= 7) {
        bytes[size++] = static_cast<char>((value & 0x7f) | 0x80);
    }
    bytes[size++] = static_cast<char>(value);
    out.append(bytes, size);  // one append: byte by byte costs twice the push
}

bool KwGetVarint(const char*& at, const char* end, uint64_t& value) {
    value = 0;
    for (int shift = 0; shift < 70 && at < end; shift += 7) {
        uint8_t byte = static_cast<uint8_t>(*at++);
        value |= static_cast<uint64_t>(byte & 0x7f) << shift;
        if ((byte & 0x80) == 0) {
            return true;
        }
    }
    return false;
}

void KwPutFixed64(std::string& out, uint64_t bits) {
    char bytes[8];
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<char>(bits >> (8 * i));
    }
    out.append(bytes, 8);
}

uint64_t KwGetFixed64(const char* at) {
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) {
        bits = (bits << 8) | static_cast<uint8_t>(at[i]);
    }
    return bits;
}

std::string KwEncodeLabels(const KwPushLabels& labels) {
    std::string out;
    std::string label;
    for (const auto& entry : labels) {
        label.clear();
        PutField(label, kLen1, entry.first);
        PutField(label, kLen2, entry.second);
        PutField(out, kLen1, label);
    }
    return out;
}

void KwWriteRequest::Add(const std::string& encodedLabels, const KwPushSample* samples,
                         size_t count) {
    size_t size = encodedLabels.size();
    for (size_t i = 0; i < count; ++i) {
        size_t sample = SampleSize(samples[i]);
        size += 1 + VarintSize(sample) + sample;
    }
    m_bytes.reserve(m_bytes.size() + 1 + 10 + size);
    m_bytes += kLen1;
    KwPutVarint(m_bytes, size);
    m_bytes += encodedLabels;
    for (size_t i = 0; i < count; ++i) {
        m_bytes += kLen2;
        KwPutVarint(m_bytes, SampleSize(samples[i]));
        if (samples[i].valueBits != 0) {
            m_bytes += kFixed1;
            KwPutFixed64(m_bytes, samples[i].valueBits);
        }
        if (samples[i].timestampMs != 0) {
            m_bytes += kVarint2;
            KwPutVarint(m_bytes, static_cast<uint64_t>(samples[i].timestampMs));
        }
    }
}

bool KwSnappyCompress(const std::string& in, std::string& out) {
    size_t size = snappy_max_compressed_length(in.size());
    out.resize(size);
    if (snappy_compress(in.data(), in.size(), &out[0], &size) != SNAPPY_OK) {
        out.clear();
        return false;
    }
    out.resize(size);
    return true;
}

bool KwSnappyUncompress(const char* in, size_t size, size_t maxOut, std::string& out) {
    size_t length = 0;
    if (snappy_uncompressed_length(in, size, &length) != SNAPPY_OK || length > maxOut) {
        return false;
    }
    out.resize(length);
    if (length == 0) {
        return snappy_validate_compressed_buffer(in, size) == SNAPPY_OK;
    }
    if (snappy_uncompress(in, size, &out[0], &length) != SNAPPY_OK) {
        out.clear();
        return false;
    }
    out.resize(length);
    return true;
}

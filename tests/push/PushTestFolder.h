// What the push tests share about files: a fresh folder for each test,
// removed after it, and a disk that fills up at a given size.
#ifndef QEL_TEST_PUSH_TEST_FOLDER_H
#define QEL_TEST_PUSH_TEST_FOLDER_H

#include <gtest/gtest.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <fstream>
#include <string>

class PushTestFolder : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/qel-push-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        m_folder = name;
    }
    void TearDown() override { EXPECT_EQ(system(("rm -rf " + m_folder).c_str()), 0); }

    // Writes `text` to the file `name` of the folder; its path.
    std::string Write(const std::string& name, const std::string& text) const {
        std::string path = m_folder + "/" + name;
        std::ofstream(path) << text;
        return path;
    }

    std::string m_folder;
};

// A spool record as the spool writes it, around any `payload`: its head
// with the CRC-32 that makes it pass the scan.
inline std::string SpoolRecord(const std::string& payload, uint32_t samples, uint64_t time) {
    std::string bytes = "QEL1";
    auto put = [&bytes](uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            bytes += static_cast<char>(value >> (8 * i));
        }
    };
    put(static_cast<uint32_t>(payload.size()));
    put(0);
    put(samples);
    put(static_cast<uint32_t>(time));
    put(static_cast<uint32_t>(time >> 32));
    bytes += payload;
    uint32_t crc = 0xffffffffu;
    for (size_t i = 12; i < bytes.size(); ++i) {
        crc ^= static_cast<uint8_t>(bytes[i]);
        for (int k = 0; k < 8; ++k) {
            crc = (crc & 1) != 0 ? 0xedb88320u ^ (crc >> 1) : crc >> 1;
        }
    }
    crc ^= 0xffffffffu;
    for (int i = 0; i < 4; ++i) {
        bytes[8 + i] = static_cast<char>(crc >> (8 * i));
    }
    return bytes;
}

// `raw` (under 61 bytes) as snappy writes it: its length and one literal.
inline std::string SnappyLiteral(const std::string& raw) {
    if (raw.empty()) {
        return std::string(1, '\0');
    }
    return std::string(1, static_cast<char>(raw.size())) +
           static_cast<char>((raw.size() - 1) << 2) + raw;
}

// Files of at most `bytes` for this process while it lives (a full disk,
// as far as write() tells).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_handler = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        signal(SIGXFSZ, m_handler);
    }

private:
    rlimit m_saved;
    sighandler_t m_handler;
};

#endif  // QEL_TEST_PUSH_TEST_FOLDER_H

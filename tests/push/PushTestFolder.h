// What the push tests share about files: a fresh folder for each test,
// removed after it, and a disk that fills up at a given size.
#ifndef QEL_TEST_PUSH_TEST_FOLDER_H
#define QEL_TEST_PUSH_TEST_FOLDER_H

#include <gtest/gtest.h>
#include <signal.h>
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

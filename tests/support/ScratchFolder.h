// A folder of the test process's own under the temporary folder, removed
// with what it holds when the test ends: test runs side by side (two build
// trees, a mutation run beside a CI run) never read each other's files.
#ifndef QEL_TEST_SCRATCH_FOLDER_H
#define QEL_TEST_SCRATCH_FOLDER_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

class ScratchFolder {
public:
    ScratchFolder() {
        std::string name = testing::TempDir() + "qel-test-XXXXXX";
        if (mkdtemp(&name[0]) != nullptr) {
            m_path = name + "/";
        } else {
            ADD_FAILURE() << "mkdtemp " << name << " failed";
        }
    }
    ~ScratchFolder() {
        if (!m_path.empty()) {
            EXPECT_EQ(system(("rm -rf '" + m_path + "'").c_str()), 0);
        }
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    // Its path, ending in '/'.
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

#endif  // QEL_TEST_SCRATCH_FOLDER_H

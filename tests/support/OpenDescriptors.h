// The process's open file descriptors, counted from /proc: what a test
// compares before and after, to see that nothing was left open.
#ifndef QEL_OPEN_DESCRIPTORS_H
#define QEL_OPEN_DESCRIPTORS_H

#include <dirent.h>

inline int OpenDescriptors() {
    int count = 0;
    DIR* folder = opendir("/proc/self/fd");
    while (readdir(folder) != nullptr) {
        ++count;
    }
    closedir(folder);
    return count;
}

#endif  // QEL_OPEN_DESCRIPTORS_H

// Reading a file that a configuration names, as hostile input: only a
// regular file is opened (a folder, a FIFO, a device such as /dev/zero or a
// watchdog is refused before any open, so none can block or act), the open
// never blocks, and at most a bound of bytes is read. The status server
// and the pusher each build it in.
#ifndef KW_BOUNDED_FILE_H
#define KW_BOUNDED_FILE_H

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>

// Why a file of this kind is not read.
inline std::string KwNotRegularReason(mode_t mode) {
    return S_ISDIR(mode) ? strerror(EISDIR) : "not a regular file";
}

// Reads all of `path` into `text` and returns true; or returns false with
// why in `reason` ("Is a directory", "not a regular file", "larger than
// 1048576 bytes", or the system's text for the error). Thread-safe.
inline bool KwReadBoundedFile(const std::string& path, size_t maxBytes, std::string& text,
                              std::string& reason) {
    text.clear();
    // stat() first: opening a device or a FIFO can block or act by itself.
    struct stat named;
    if (stat(path.c_str(), &named) != 0) {
        reason = strerror(errno);
        return false;
    }
    if (!S_ISREG(named.st_mode)) {
        reason = KwNotRegularReason(named.st_mode);
        return false;
    }
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        reason = strerror(errno);
        return false;
    }
    // The name may have been pointed elsewhere since stat(): check what
    // was opened.
    struct stat opened;
    if (fstat(fd, &opened) != 0) {
        reason = strerror(errno);
        close(fd);
        return false;
    }
    if (!S_ISREG(opened.st_mode)) {
        reason = KwNotRegularReason(opened.st_mode);
        close(fd);
        return false;
    }
    bool good = true;
    try {
        char buffer[8192];
        for (;;) {
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                reason = strerror(errno);
                good = false;
                break;
            }
            if (n == 0) {
                break;
            }
            if (text.size() + static_cast<size_t>(n) > maxBytes) {
                reason = "larger than " + std::to_string(maxBytes) + " bytes";
                good = false;
                break;
            }
            text.append(buffer, static_cast<size_t>(n));
        }
    } catch (const std::bad_alloc&) {
        reason = strerror(ENOMEM);
        good = false;
    }
    close(fd);
    if (!good) {
        text.clear();
    }
    return good;
}

#endif  // KW_BOUNDED_FILE_H

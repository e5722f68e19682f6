#include "KwBoundedFile.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

bool KwReadBoundedFile(const std::string& path, size_t maxBytes, std::string& out,
                       std::string& error) {
    out.clear();
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = strerror(errno);
        return false;
    }
    struct stat status;
    bool ok = fstat(fd, &status) == 0;
    if (!ok) {
        error = strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        error = "not a regular file";
        ok = false;
    }
    char buffer[4096];
    while (ok) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = strerror(errno);
            ok = false;
        } else if (got == 0) {
            break;
        } else if (out.size() + static_cast<size_t>(got) > maxBytes) {
            error = "larger than " + std::to_string(maxBytes) + " bytes";
            ok = false;
        } else {
            out.append(buffer, static_cast<size_t>(got));
        }
    }
    close(fd);
    if (!ok) {
        out.clear();
    }
    return ok;
}

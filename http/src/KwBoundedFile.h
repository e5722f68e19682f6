// Reading a file that a configuration names, as hostile input: only a
// regular file is opened (a folder, a FIFO, a device such as /dev/zero or a
// watchdog is refused before any open, so none can block or act), the open
// never blocks, and at most a bound of bytes is read.
#ifndef KW_BOUNDED_FILE_H
#define KW_BOUNDED_FILE_H

#include <cstddef>
#include <string>

// Reads all of `path` into `text` and returns true; or returns false with
// why in `reason` ("Is a directory", "not a regular file", "larger than
// 1048576 bytes", or the system's text for the error). Thread-safe.
bool KwReadBoundedFile(const std::string& path, size_t maxBytes, std::string& text,
                       std::string& reason);

#endif  // KW_BOUNDED_FILE_H

// Files that a configuration names are read with bounds: regular files only
// (not a FIFO that blocks, not a device without end), at most a given size.
#ifndef KW_BOUNDED_FILE_H
#define KW_BOUNDED_FILE_H

#include <stddef.h>

#include <string>

// Reads `path` into `out`. False with the reason in `error` ("not a regular
// file", "larger than N bytes", or the system's message).
bool KwReadBoundedFile(const std::string& path, size_t maxBytes, std::string& out,
                       std::string& error);

#endif  // KW_BOUNDED_FILE_H

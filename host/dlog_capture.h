// What tests need of the stand-in logging library, which no host provides:
// every line handed to a function of theirs, to check level, file and text.
#ifndef DLOG_CAPTURE_H
#define DLOG_CAPTURE_H

#include "dlog.h"

#ifdef __cplusplus
extern "C" {
#endif

// Receives the formatted text of every call, whatever its level (no
// trailing newline). The text pointer is valid only during the call. Calls
// may arrive from several threads at once; the sink does its own locking.
typedef void (*dlog_sink_fn)(int level, const char* file, const char* text, void* context);

// Installs `sink` (NULL restores standard error). Not to be called while
// another thread may be logging through the previous sink's context.
void dlog_set_sink(dlog_sink_fn sink, void* context);

#ifdef __cplusplus
}
#endif

#endif  // DLOG_CAPTURE_H

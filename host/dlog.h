// dlog: the host's logging library.
//
// __dlog_printf() is the one call the diagnostics library makes. Each call
// produces one whole line; concurrent callers never interleave inside a line.
//
// By default lines go to standard error as
//   "YYYY-MM-DD HH:MM:SS.mmm <level> <file> <text>"
// and only lines whose level is at or below the threshold are written. The
// threshold is read once from the environment variable DLOG_LEVEL (0..7,
// default 6) and can be changed with dlog_set_threshold(). The level is tested
// before the text is formatted, so filtered lines cost one comparison.
//
// Tests capture the lines through dlog_capture.h, which no host provides.
//
// Thread safety: every function here may be called from any thread.
#ifndef DLOG_H
#define DLOG_H

#ifdef __cplusplus
extern "C" {
#endif

// Levels used by the diagnostics library.
enum {
    DLOG_ERR = 3,      // failures and refusals
    DLOG_WARNING = 4,  // adjusted or dropped data
    DLOG_INFO = 6,     // notices such as the shutdown line
    DLOG_DEBUG = 7     // traces of normal operation
};

// printf-style log call. `file` names the reporting source file. The result
// is the number of characters handed on, or 0 when the line was filtered.
int __dlog_printf(int level, const char* file, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Lines with a level above `threshold` are not written to standard error.
void dlog_set_threshold(int threshold);
int dlog_get_threshold(void);

#ifdef __cplusplus
}
#endif

#endif  // DLOG_H

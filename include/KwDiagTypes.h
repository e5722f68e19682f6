// Integer widths and symbol visibility shared by the public headers.
//
// The boards this library serves have a 32-bit `long`. Counters, peaks and
// time stamps are declared `unsigned long` / `long` there; on a host whose
// `long` is wider they become fixed 32-bit types, so that counters wrap
// modulo 2^32 and latencies stay signed 32-bit on every build.
#ifndef KW_DIAG_TYPES_H
#define KW_DIAG_TYPES_H

#include <climits>
#include <cstdint>

#if ULONG_MAX == 0xffffffffUL
typedef unsigned long KwUlong32;  // unsigned 32-bit counter or value
typedef long KwLong32;            // signed 32-bit latency or seconds
#else
typedef std::uint32_t KwUlong32;
typedef std::int32_t KwLong32;
#endif
static_assert(sizeof(KwUlong32) == 4 && sizeof(KwLong32) == 4, "counters are 32-bit");

// Marks the classes whose symbols the shared library exports.
#define KW_DIAG_EXPORT __attribute__((visibility("default")))

#endif  // KW_DIAG_TYPES_H

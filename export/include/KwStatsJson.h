// KwStatsJson: a statistics snapshot as JSON text.
//
// {
//   "taken_at": 1765000000,            wall-clock seconds of the snapshot
//   "state": "collecting",             "init", "collecting" or "stopped"
//   "collecting": true,
//   "collection_thread": true,         whether a collection thread runs
//   "waiting_bound": 0,                the bound on waiting reports; 0: none
//   "reports_refused": { "no_collection_thread": 0, "waiting_list_full": 0 },
//   "reports_waiting": 0,              submitted and not yet processed
//   "last_rollup": 1765000000,         wall-clock seconds; 0: none yet
//   "push": {                          only where a remote-write sender added it
//     "failing": false, "interval_seconds": 15, "samples_sent": 960,
//     "samples_pending": 0,
//     "samples_dropped": { "queue_full": 0, "rejected": 0, "spool_full": 0, "stopped": 0 },
//     "requests_failed": { "0": 2, "503": 1 },   by HTTP status, 0: no answer
//     "last_success": 1765000000, "spool_damaged": 0, "spool_bytes": 0 },
//   "events": [
//     { "id": 0, "name": "rxPackets", "type": "count", "flags": 2,
//       "total": 961, "minute": 7, "hour": 402, "day": 815,
//       "history": { "seconds": [...60], "minutes": [...60], "hours": [...24] },
//       "peak_per_second": { "value": 9, "time": 1765000000 },
//       "latency_max_ms": { "value": 12.7, "time": 1765000000 } },
//     { "id": 2, "name": "queueDepth", "type": "water_mark", "flags": 0,
//       "water_mark": { "value": 17, "time": 1765000000 } }
//   ]
// }
//
// "type" is "count", "water_mark" or "other". The counts, "history" (oldest
// first) appear for counted events, "peak_per_second" for events registered
// with STATS_FLAG_MAX_RATE, "water_mark" for sampled values and
// "latency_max_ms" (tenths kept) for latency-end events. A time of 0 means
// nothing was recorded yet. Bytes of a name that are not UTF-8 become U+FFFD.
// The text is the same under any locale the host sets.
//
// Thread safety: a pure function of its argument.
#ifndef KW_STATS_JSON_H
#define KW_STATS_JSON_H

#include <string>

#include "KwStatsSnapshot.h"

KW_DIAG_EXPORT std::string KwStatsJson(const KwStatsSnapshot& snapshot);

#endif  // KW_STATS_JSON_H

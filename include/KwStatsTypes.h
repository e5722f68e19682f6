// The kinds, flag bits and collector states that the collector and every
// reader of its statistics share. This header depends on nothing, so an
// exporter can read a snapshot without the collector's own header (and ACE).
#ifndef KW_STATS_TYPES_H
#define KW_STATS_TYPES_H

// The kind of an event.
// The underlying type is fixed so that any int a host passes is a valid value
// (other kinds are stored and ignored).
enum StatsDataType : int {
    STATS_DATA_COUNT = 0,      // counted occurrences
    STATS_DATA_WATER_MARK = 1  // a sampled 4-byte value whose high-water mark is kept
};

// Flag bits of an event.
enum {
    STATS_FLAG_LATENCY_START = 0x1,  // counted event: starts the latency measurement
    STATS_FLAG_MAX_RATE = 0x2,       // keep the peak occurrences per second
    STATS_FLAG_LATENCY_END = 0x4     // counted event: ends it; the longest latency is kept
};

// The collector's states; KwSrvrStatsCollector::ST_INIT and its siblings
// are the same values.
struct KwStatsStates {
    enum Value : int {
        ST_INIT = 0,        // registration open
        ST_COLLECTING = 1,  // reports accepted
        ST_STOPPED = 2      // final: nothing is accepted again
    };
};

#endif  // KW_STATS_TYPES_H

// KwSrvrStatsCount: a fixed-dimension array of 32-bit event counters.
//
// Counters wrap modulo 2^32. Element access never leaves the array: an index
// out of range is reduced modulo the dimension and logged at level 4.
// Element-wise += and -= refuse (level-3 log line, left side unchanged) when
// the right side has fewer counters than the left; a longer right side is
// accepted and its extra counters ignored.
//
// Ownership: owns its counters; copies are deep. Thread safety: none; the
// owner serialises access.
#ifndef KW_SRVR_STATS_COUNT_H
#define KW_SRVR_STATS_COUNT_H

#include <vector>

#include "KwDiagTypes.h"

class KW_DIAG_EXPORT KwSrvrStatsCount {
public:
    explicit KwSrvrStatsCount(unsigned int dimension);
    KwSrvrStatsCount(const KwSrvrStatsCount& other);
    ~KwSrvrStatsCount();

    // Takes the dimension and the counters of `other`.
    KwSrvrStatsCount& operator=(const KwSrvrStatsCount& other);

    unsigned int Size() const;
    // Every counter to 0; the dimension stays.
    void Reset();

    // An array of dimension 0 has no counter to reduce an index to: access
    // then logs at level 4 and yields a per-thread scratch counter that reads
    // 0, so nothing outside the array is read or written.
    const KwUlong32& operator[](unsigned int index) const;
    KwUlong32& operator[](unsigned int index);

    KwSrvrStatsCount& operator+=(const KwSrvrStatsCount& item);
    KwSrvrStatsCount& operator-=(const KwSrvrStatsCount& item);

private:
    std::vector<KwUlong32> m_counts;
};

#endif  // KW_SRVR_STATS_COUNT_H

// A counter array as a vector of its values, and back: what tests compare.
#ifndef QEL_TEST_COUNT_VALUES_H
#define QEL_TEST_COUNT_VALUES_H

#include <vector>

#include "KwSrvrStatsCount.h"

typedef std::vector<KwUlong32> V;

inline V Values(const KwSrvrStatsCount& counts) {
    V values;
    for (unsigned int i = 0; i < counts.Size(); ++i) {
        values.push_back(counts[i]);
    }
    return values;
}

inline KwSrvrStatsCount Make(const V& values) {
    KwSrvrStatsCount counts(static_cast<unsigned int>(values.size()));
    for (unsigned int i = 0; i < values.size(); ++i) {
        counts[i] = values[i];
    }
    return counts;
}

#endif  // QEL_TEST_COUNT_VALUES_H

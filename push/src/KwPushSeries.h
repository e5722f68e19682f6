// The series a snapshot gives: the families, names and labels of /metrics
// (KwStatsPrometheus::Families, the one place they are defined), each with
// the labels that say which board it comes from.
#ifndef KW_PUSH_SERIES_H
#define KW_PUSH_SERIES_H

#include <string>
#include <vector>

#include "KwRemoteWrite.h"
#include "KwStatsSnapshot.h"

struct KwPushSeriesValue {
    std::string labels;  // encoded (KwEncodeLabels), sorted, none empty
    double value;
};

// The labels every series carries: the external labels, plus job="qel" and
// instance=`host` where they name none.
KwPushLabels KwPushIdentity(const KwPushLabels& externalLabels, const std::string& host);

// The series of `snapshot`. A label of the family's own wins over an
// identity label of the same name; a label with an empty value is left out,
// as Prometheus reads it.
std::vector<KwPushSeriesValue> KwPushSeriesOf(const KwStatsSnapshot& snapshot,
                                              const KwPushLabels& identity);

#endif  // KW_PUSH_SERIES_H

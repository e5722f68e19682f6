// KwStatsPrometheus: the collector's statistics as Prometheus metrics.
//
// A prometheus::Collectable over KwSrvrStatsCollector::GetStatsSnapshot(),
// so a host that runs prometheus-cpp exposes them in one call:
//
//   auto stats = std::make_shared<KwStatsPrometheus>(KwSrvrStatsCollector::GetInstance());
//   exposer.RegisterCollectable(stats);   // or registry->...
//
// Metric families (every event-labelled series also carries its id, which
// keeps two events of the same name apart):
//   qel_events_total{event,id}                          counter, the total column
//   qel_events_in_window{event,id,window="1m|1h|1d"}    gauge, the windowed counts
//   qel_peak_events_per_second{event,id}                gauge
//   qel_peak_events_per_second_timestamp_seconds{...}   gauge, 0 while none
//   qel_high_water_mark{event,id}                       gauge
//   qel_high_water_mark_timestamp_seconds{event,id}     gauge, 0 while none
//   qel_latency_max_seconds{event,id}                   gauge
//   qel_latency_max_timestamp_seconds{event,id}         gauge, 0 while none
//   qel_reports_waiting                                 gauge
//   qel_collecting                                      gauge, 1 or 0
// While the collector is not collecting, only qel_collecting (0) is given.
//
// Ownership: keeps a reference to the collector, which outlives it (the
// collector is the process's singleton). Thread safety: Collect() may be
// called from any thread, several at once.
#ifndef KW_STATS_PROMETHEUS_H
#define KW_STATS_PROMETHEUS_H

#include <vector>

#include "KwStatsSnapshot.h"
#include "prometheus/collectable.h"
#include "prometheus/metric_family.h"

class KwSrvrStatsCollector;

class KwStatsPrometheus : public prometheus::Collectable {
public:
    explicit KwStatsPrometheus(const KwSrvrStatsCollector& collector);

    std::vector<prometheus::MetricFamily> Collect() const override;

    // The families of one snapshot; `collecting` false gives qel_collecting 0
    // alone.
    static std::vector<prometheus::MetricFamily> Families(const KwStatsSnapshot& snapshot,
                                                          bool collecting);

private:
    const KwSrvrStatsCollector& m_collector;
};

#endif  // KW_STATS_PROMETHEUS_H

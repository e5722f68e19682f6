// KwStatsPrometheus: the collector's statistics as Prometheus metrics.
//
// A prometheus::Collectable over statistics snapshots, so a host that runs
// prometheus-cpp exposes them in one call:
//
//   exposer.RegisterCollectable(std::make_shared<KwStatsPrometheus>());
//
// Metric families. Every event series carries the labels `event` (the name,
// made valid UTF-8: ill-formed bytes become U+FFFD) and `id`, which keeps two
// events of the same name apart:
//   qel_events_total                              counter, the total column
//   qel_events_last_minute                        gauge, the minute column
//   qel_events_last_hour                          gauge, the hour column
//   qel_events_last_day                           gauge, the day column
//   qel_peak_events_per_second                    gauge
//   qel_peak_events_per_second_timestamp_seconds  gauge, 0 while none
//   qel_high_water_mark                           gauge
//   qel_high_water_mark_timestamp_seconds         gauge, 0 while none
//   qel_latency_max_seconds                       gauge
//   qel_latency_max_timestamp_seconds             gauge, 0 while none
//   qel_reports_waiting                           gauge, submitted, not yet processed
//   qel_last_rollup_timestamp_seconds             gauge, 0 while none
// and, also while the collector is not collecting:
//   qel_reports_refused_total{reason="no_collection_thread"|"waiting_list_full"}
//                                                 counter
//   qel_waiting_list_bound                        gauge, 0: none
//   qel_collection_thread_running                 gauge, 1 or 0
//   qel_collecting                                gauge, 1 or 0
// and where a remote-write sender added its figures (KwStatsPusher::Source):
//   qel_push_samples_sent_total                   counter
//   qel_push_samples_pending                      gauge, in memory and spool
//   qel_push_samples_dropped_total{reason="queue_full"|"rejected"|"spool_full"|"stopped"}
//                                                 counter
//   qel_push_requests_failed_total{code="500"|...|"0"}  counter, 0: no answer
//   qel_push_last_success_timestamp_seconds       gauge, 0 while none
//   qel_push_failing                              gauge, 1 while retrying
//   qel_push_interval_seconds                     gauge
//   qel_push_spool_damaged_total                  counter, stretches skipped
//   qel_push_spool_bytes                          gauge
// export/alerts/qel_alerts.yml holds alerting rules over them.
//
// Ownership: keeps a copy of its source. Thread safety: Collect() may be
// called from any thread, several at once, if the source allows it
// (KwTakeStatsSnapshot does).
#ifndef KW_STATS_PROMETHEUS_H
#define KW_STATS_PROMETHEUS_H

#include <vector>

#include "KwStatsSnapshot.h"
#include "prometheus/collectable.h"
#include "prometheus/metric_family.h"

class KW_DIAG_EXPORT KwStatsPrometheus : public prometheus::Collectable {
public:
    // Takes a snapshot from `source` at each Collect().
    explicit KwStatsPrometheus(KwStatsSource source = KwTakeStatsSnapshot);

    std::vector<prometheus::MetricFamily> Collect() const override;

    // The families of one snapshot.
    static std::vector<prometheus::MetricFamily> Families(const KwStatsSnapshot& snapshot);

private:
    KwStatsSource m_source;
};

#endif  // KW_STATS_PROMETHEUS_H

#include "KwStatsPrometheus.h"

#include <string>

#include "KwSrvrStatsCollector.h"

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

MetricFamily Family(const char* name, const char* help, MetricType type) {
    MetricFamily family;
    family.name = name;
    family.help = help;
    family.type = type;
    return family;
}

ClientMetric Sample(const KwStatsEventSnapshot& event, double value, MetricType type) {
    ClientMetric sample;
    sample.label = {{"event", event.name}, {"id", std::to_string(event.id)}};
    if (type == MetricType::Counter) {
        sample.counter.value = value;
    } else {
        sample.gauge.value = value;
    }
    return sample;
}

ClientMetric Plain(double value) {
    ClientMetric sample;
    sample.gauge.value = value;
    return sample;
}

}  // namespace

KwStatsPrometheus::KwStatsPrometheus(const KwSrvrStatsCollector& collector)
    : m_collector(collector) {}

std::vector<MetricFamily> KwStatsPrometheus::Collect() const {
    KwStatsSnapshot snapshot;
    bool collecting = m_collector.GetStatsSnapshot(snapshot);
    return Families(snapshot, collecting);
}

std::vector<MetricFamily> KwStatsPrometheus::Families(const KwStatsSnapshot& snapshot,
                                                      bool collecting) {
    MetricFamily up = Family(
        "qel_collecting", "Whether the collector is collecting (1) or not (0).", MetricType::Gauge);
    up.metric.push_back(Plain(collecting ? 1 : 0));
    if (!collecting) {
        return {up};
    }
    MetricFamily total =
        Family("qel_events_total", "Occurrences since the collector started or was last reset.",
               MetricType::Counter);
    MetricFamily window =
        Family("qel_events_in_window",
               "Occurrences in the last 60 rolled-up seconds (1m), 60 completed minutes (1h) "
               "and 24 completed hours (1d).",
               MetricType::Gauge);
    MetricFamily peak = Family("qel_peak_events_per_second",
                               "Largest number of occurrences in one second.", MetricType::Gauge);
    MetricFamily peakTime = Family("qel_peak_events_per_second_timestamp_seconds",
                                   "When the peak was reached (0: not yet).", MetricType::Gauge);
    MetricFamily mark = Family("qel_high_water_mark", "Largest value reported.", MetricType::Gauge);
    MetricFamily markTime =
        Family("qel_high_water_mark_timestamp_seconds",
               "When the high-water mark was reached (0: not yet).", MetricType::Gauge);
    MetricFamily latency = Family("qel_latency_max_seconds",
                                  "Longest latency measured up to this event.", MetricType::Gauge);
    MetricFamily latencyTime =
        Family("qel_latency_max_timestamp_seconds",
               "When the longest latency was measured (0: not yet).", MetricType::Gauge);
    for (const KwStatsEventSnapshot& event : snapshot.events) {
        if (event.counted) {
            total.metric.push_back(Sample(event, event.total, MetricType::Counter));
            const std::pair<const char*, KwUlong32> windows[] = {
                {"1m", event.minute}, {"1h", event.hour}, {"1d", event.day}};
            for (const auto& entry : windows) {
                ClientMetric sample = Sample(event, entry.second, MetricType::Gauge);
                sample.label.push_back({"window", entry.first});
                window.metric.push_back(sample);
            }
        }
        if (event.rated) {
            peak.metric.push_back(Sample(event, event.peak, MetricType::Gauge));
            peakTime.metric.push_back(Sample(event, event.peakTime, MetricType::Gauge));
        }
        if (event.mark == KwStatsEventSnapshot::WATER_MARK) {
            mark.metric.push_back(Sample(event, event.markValue, MetricType::Gauge));
            markTime.metric.push_back(Sample(event, event.markTime, MetricType::Gauge));
        } else if (event.mark == KwStatsEventSnapshot::LATENCY) {
            // Kept in tenths of a millisecond.
            latency.metric.push_back(Sample(event, event.markValue / 10000.0, MetricType::Gauge));
            latencyTime.metric.push_back(Sample(event, event.markTime, MetricType::Gauge));
        }
    }
    MetricFamily waiting =
        Family("qel_reports_waiting", "Reports submitted and not yet taken up by the collector.",
               MetricType::Gauge);
    waiting.metric.push_back(Plain(static_cast<double>(snapshot.waiting)));
    std::vector<MetricFamily> families;
    for (MetricFamily* family :
         {&total, &window, &peak, &peakTime, &mark, &markTime, &latency, &latencyTime}) {
        if (!family->metric.empty()) {
            families.push_back(std::move(*family));
        }
    }
    families.push_back(std::move(waiting));
    families.push_back(std::move(up));
    return families;
}

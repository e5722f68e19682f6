#include "KwStatsPrometheus.h"

#include <string>
#include <utility>

#include "KwUtf8.h"

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

ClientMetric Plain(double value, MetricType type = MetricType::Gauge) {
    ClientMetric sample;
    if (type == MetricType::Counter) {
        sample.counter.value = value;
    } else {
        sample.gauge.value = value;
    }
    return sample;
}

// A gauge family of one sample without labels.
MetricFamily OneGauge(const char* name, const char* help, double value) {
    MetricFamily family = Family(name, help, MetricType::Gauge);
    family.metric.push_back(Plain(value));
    return family;
}

// The families of the events, in the order they are exposed.
struct EventFamilies {
    MetricFamily total =
        Family("qel_events_total", "Occurrences since the collector started or was last reset.",
               MetricType::Counter);
    MetricFamily minute =
        Family("qel_events_last_minute", "Occurrences in the last 60 rolled-up seconds.",
               MetricType::Gauge);
    MetricFamily hour = Family("qel_events_last_hour",
                               "Occurrences in the last 60 completed minutes.", MetricType::Gauge);
    MetricFamily day = Family("qel_events_last_day", "Occurrences in the last 24 completed hours.",
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

    void Add(const KwStatsEventSnapshot& event) {
        std::vector<prometheus::ClientMetric::Label> labels = {{"event", KwValidUtf8(event.name)},
                                                               {"id", std::to_string(event.id)}};
        auto add = [&](MetricFamily& family, double value) {
            family.metric.push_back(Plain(value, family.type));
            family.metric.back().label = labels;
        };
        if (event.counted) {
            add(total, event.total);
            add(minute, event.minute);
            add(hour, event.hour);
            add(day, event.day);
        }
        if (event.rated) {
            add(peak, event.peak);
            add(peakTime, event.peakTime);
        }
        if (event.mark == KwStatsEventSnapshot::WATER_MARK) {
            add(mark, event.markValue);
            add(markTime, event.markTime);
        } else if (event.mark == KwStatsEventSnapshot::LATENCY) {
            add(latency, event.markValue / 10000.0);  // kept in tenths of a millisecond
            add(latencyTime, event.markTime);
        }
    }

    // The families that have series, moved out.
    void MoveTo(std::vector<MetricFamily>& families) {
        for (MetricFamily* family : {&total, &minute, &hour, &day, &peak, &peakTime, &mark,
                                     &markTime, &latency, &latencyTime}) {
            if (!family->metric.empty()) {
                families.push_back(std::move(*family));
            }
        }
    }
};

// A remote-write sender's own figures, where the snapshot has them.
void AddPushFamilies(const KwStatsPushFigures& push, std::vector<MetricFamily>& families) {
    MetricFamily sent = Family("qel_push_samples_sent_total",
                               "Samples the remote-write receiver accepted.", MetricType::Counter);
    sent.metric.push_back(Plain(push.samplesSent, MetricType::Counter));
    families.push_back(std::move(sent));
    families.push_back(OneGauge("qel_push_samples_pending",
                                "Samples queued in memory and in the spool, not yet sent.",
                                push.samplesPending));
    MetricFamily dropped = Family("qel_push_samples_dropped_total", "Samples dropped, by reason.",
                                  MetricType::Counter);
    for (const auto& reason : {std::make_pair("queue_full", push.droppedQueueFull),
                               std::make_pair("rejected", push.droppedRejected),
                               std::make_pair("spool_full", push.droppedSpoolFull),
                               std::make_pair("stopped", push.droppedAtStop)}) {
        dropped.metric.push_back(Plain(reason.second, MetricType::Counter));
        dropped.metric.back().label = {{"reason", reason.first}};
    }
    families.push_back(std::move(dropped));
    MetricFamily failed =
        Family("qel_push_requests_failed_total",
               "Requests that failed, by HTTP status (0: no answer).", MetricType::Counter);
    for (const auto& code : push.failedRequests) {
        failed.metric.push_back(Plain(code.second, MetricType::Counter));
        failed.metric.back().label = {{"code", std::to_string(code.first)}};
    }
    if (!failed.metric.empty()) {
        families.push_back(std::move(failed));
    }
    families.push_back(OneGauge("qel_push_last_success_timestamp_seconds",
                                "When the receiver last accepted a request (0: not yet).",
                                push.lastSuccessAt));
    families.push_back(OneGauge("qel_push_failing",
                                "Whether requests are failing and being retried (1) or not (0).",
                                push.failing ? 1 : 0));
    families.push_back(OneGauge("qel_push_interval_seconds", "How often the statistics are pushed.",
                                push.intervalSeconds));
    MetricFamily damaged =
        Family("qel_push_spool_damaged_total",
               "Damaged or cut stretches of the spool that were skipped.", MetricType::Counter);
    damaged.metric.push_back(Plain(push.spoolDamaged, MetricType::Counter));
    families.push_back(std::move(damaged));
    families.push_back(
        OneGauge("qel_push_spool_bytes", "The spool's size on disk.", push.spoolBytes));
}

}  // namespace

KwStatsPrometheus::KwStatsPrometheus(KwStatsSource source) : m_source(std::move(source)) {}

std::vector<MetricFamily> KwStatsPrometheus::Collect() const {
    KwStatsSnapshot snapshot;
    m_source(snapshot);
    return Families(snapshot);
}

std::vector<MetricFamily> KwStatsPrometheus::Families(const KwStatsSnapshot& snapshot) {
    bool collecting = snapshot.state == KwStatsStates::ST_COLLECTING;
    std::vector<MetricFamily> families;
    if (collecting) {
        EventFamilies events;
        for (const KwStatsEventSnapshot& event : snapshot.events) {
            events.Add(event);
        }
        events.MoveTo(families);
        families.push_back(OneGauge("qel_reports_waiting",
                                    "Reports submitted and not yet processed by the collector.",
                                    static_cast<double>(snapshot.waiting)));
        families.push_back(OneGauge("qel_last_rollup_timestamp_seconds",
                                    "When the collector last rolled a second up (0: not yet).",
                                    snapshot.lastRollupAt));
    }
    MetricFamily refused =
        Family("qel_reports_refused_total",
               "Reports refused for want of a collection thread or with the waiting list full.",
               MetricType::Counter);
    for (const auto& reason : {std::make_pair("no_collection_thread", snapshot.refusedNoThread),
                               std::make_pair("waiting_list_full", snapshot.refusedFull)}) {
        refused.metric.push_back(Plain(reason.second, MetricType::Counter));
        refused.metric.back().label = {{"reason", reason.first}};
    }
    families.push_back(std::move(refused));
    families.push_back(OneGauge("qel_waiting_list_bound", "The bound on waiting reports (0: none).",
                                snapshot.waitingBound));
    families.push_back(OneGauge("qel_collection_thread_running",
                                "Whether a collection thread runs (1) or not (0).",
                                snapshot.collectionThread ? 1 : 0));
    families.push_back(OneGauge("qel_collecting",
                                "Whether the collector is collecting (1) or not (0).",
                                collecting ? 1 : 0));
    if (snapshot.push.present) {
        AddPushFamilies(snapshot.push, families);
    }
    return families;
}

#include "KwPushSeries.h"

#include <algorithm>

#include "KwStatsPrometheus.h"

KwPushLabels KwPushIdentity(const KwPushLabels& externalLabels, const std::string& host) {
    KwPushLabels identity = externalLabels;
    auto has = [&](const char* name) {
        return std::any_of(identity.begin(), identity.end(),
                           [&](const auto& label) { return label.first == name; });
    };
    if (!has("job")) {
        identity.emplace_back("job", "qel");
    }
    if (!has("instance") && !host.empty()) {
        identity.emplace_back("instance", host);
    }
    return identity;
}

std::vector<KwPushSeriesValue> KwPushSeriesOf(const KwStatsSnapshot& snapshot,
                                              const KwPushLabels& identity) {
    std::vector<KwPushSeriesValue> series;
    KwPushLabels labels;
    for (const prometheus::MetricFamily& family : KwStatsPrometheus::Families(snapshot)) {
        for (const prometheus::ClientMetric& metric : family.metric) {
            labels.clear();
            labels.emplace_back("__name__", family.name);
            for (const auto& label : metric.label) {
                if (!label.value.empty()) {
                    labels.emplace_back(label.name, label.value);
                }
            }
            for (const auto& label : identity) {
                bool own = std::any_of(metric.label.begin(), metric.label.end(),
                                       [&](const auto& mine) { return mine.name == label.first; });
                if (!own) {
                    labels.push_back(label);
                }
            }
            std::sort(labels.begin(), labels.end());
            double value = family.type == prometheus::MetricType::Counter ? metric.counter.value
                                                                          : metric.gauge.value;
            series.push_back({KwEncodeLabels(labels), value});
        }
    }
    return series;
}

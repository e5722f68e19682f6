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

namespace {

typedef std::pair<const std::string*, const std::string*> LabelRef;

// One label's Label message (field 1 of a TimeSeries), appended.
void EncodeLabel(std::string& out, const std::string& name, const std::string& value) {
    std::string label;
    label.reserve(name.size() + value.size() + 6);
    label += '\x0a';
    KwPutVarint(label, name.size());
    label += name;
    label += '\x12';
    KwPutVarint(label, value.size());
    label += value;
    out += '\x0a';
    KwPutVarint(out, label.size());
    out += label;
}

}  // namespace

std::vector<KwPushSeriesValue> KwPushSeriesOf(const KwStatsSnapshot& snapshot,
                                              const KwPushLabels& identity) {
    static const std::string kName = "__name__";
    std::vector<KwPushSeriesValue> series;
    std::vector<LabelRef> labels;  // the strings stay in the families: no copies
    for (const prometheus::MetricFamily& family : KwStatsPrometheus::Families(snapshot)) {
        for (const prometheus::ClientMetric& metric : family.metric) {
            labels.clear();
            labels.emplace_back(&kName, &family.name);
            for (const auto& label : metric.label) {
                if (!label.value.empty()) {
                    labels.emplace_back(&label.name, &label.value);
                }
            }
            for (const auto& label : identity) {
                bool own = std::any_of(metric.label.begin(), metric.label.end(),
                                       [&](const auto& mine) { return mine.name == label.first; });
                if (!own) {
                    labels.emplace_back(&label.first, &label.second);
                }
            }
            std::sort(labels.begin(), labels.end(),
                      [](const LabelRef& a, const LabelRef& b) { return *a.first < *b.first; });
            KwPushSeriesValue value;
            value.value = family.type == prometheus::MetricType::Counter ? metric.counter.value
                                                                         : metric.gauge.value;
            for (const LabelRef& label : labels) {
                EncodeLabel(value.labels, *label.first, *label.second);
            }
            series.push_back(std::move(value));
        }
    }
    return series;
}

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

size_t VarintSize(size_t value) {
    size_t size = 1;
    for (; value >= 0x80; value >>= 7) {
        ++size;
    }
    return size;
}

// One label's Label message (field 1 of a TimeSeries), appended in place.
void EncodeLabel(std::string& out, const std::string& name, const std::string& value) {
    size_t size =
        2 + VarintSize(name.size()) + name.size() + VarintSize(value.size()) + value.size();
    out += '\x0a';
    KwPutVarint(out, size);
    out += '\x0a';
    KwPutVarint(out, name.size());
    out += name;
    out += '\x12';
    KwPutVarint(out, value.size());
    out += value;
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
            size_t size = 0;
            for (const LabelRef& label : labels) {
                size += 8 + label.first->size() + label.second->size();
            }
            value.labels.reserve(size);
            for (const LabelRef& label : labels) {
                EncodeLabel(value.labels, *label.first, *label.second);
            }
            series.push_back(std::move(value));
        }
    }
    return series;
}

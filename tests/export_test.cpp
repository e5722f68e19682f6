// The exporters over hand-made snapshots: Prometheus text and JSON.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "KwSrvrStatsCollector.h"
#include "KwStatsJson.h"
#include "KwStatsPrometheus.h"
#include "prometheus/text_serializer.h"

namespace {

// Fields in declaration order: id, name, type, flags, counted, minute, hour,
// day, total, seconds, minutes, hours, rated, peak, peakTime, mark,
// markValue, markTime.
KwStatsSnapshot TwoEvents() {
    typedef KwStatsEventSnapshot E;
    // clang-format off
    E done{0, "req \"done\"\xff", 0, 6, true, 7, 402, 815, 961, {3, 4}, {402}, {}, true, 9,
           1765000001, E::LATENCY, 127, 1765000002};
    // clang-format on
    E depth{1, "depth", 1, 0, false, 0, 0, 0, 0, {}, {}, {}, false, 0, 0, E::WATER_MARK, 17, 0};
    return KwStatsSnapshot{1765000000, KwSrvrStatsCollector::ST_COLLECTING, 3, {done, depth}};
}

}  // namespace

TEST(KwStatsPrometheusTest, FamiliesOfASnapshotInTextFormat) {
    std::string text =
        prometheus::TextSerializer().Serialize(KwStatsPrometheus::Families(TwoEvents(), true));
    const std::string done = "{event=\"req \\\"done\\\"\xff\",id=\"0\"";
    const std::string expected[] = {
        "# TYPE qel_events_total counter\nqel_events_total" + done + "} 961\n",
        "qel_events_in_window" + done + ",window=\"1m\"} 7\n",
        "qel_events_in_window" + done + ",window=\"1h\"} 402\n",
        "qel_events_in_window" + done + ",window=\"1d\"} 815\n",
        "qel_peak_events_per_second" + done + "} 9\n",
        "qel_peak_events_per_second_timestamp_seconds" + done + "} 1765000001\n",
        "qel_latency_max_seconds" + done + "} 0.0127\n",
        "qel_latency_max_timestamp_seconds" + done + "} 1765000002\n",
        "qel_high_water_mark{event=\"depth\",id=\"1\"} 17\n",
        "qel_high_water_mark_timestamp_seconds{event=\"depth\",id=\"1\"} 0\n",
        "# TYPE qel_reports_waiting gauge\nqel_reports_waiting 3\n",
        "# TYPE qel_collecting gauge\nqel_collecting 1\n"};
    for (const std::string& line : expected) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
    }
    EXPECT_EQ(text.find("depth\",id=\"1\",window"), std::string::npos);  // not counted

    EXPECT_EQ(prometheus::TextSerializer().Serialize(KwStatsPrometheus::Families({}, false)),
              "# HELP qel_collecting Whether the collector is collecting (1) or not (0).\n"
              "# TYPE qel_collecting gauge\nqel_collecting 0\n");
}

TEST(KwStatsJsonTest, SnapshotAsJson) {
    // Not UTF-8 in the name: replaced. No count, history or peak where there is none.
    EXPECT_EQ(nlohmann::json::parse(KwStatsJson(TwoEvents(), true)), nlohmann::json::parse(R"({
        "taken_at": 1765000000, "collecting": true, "reports_waiting": 3, "events": [
        {"id": 0, "name": "req \"done\"\ufffd", "type": "count", "flags": 6, "total": 961,
         "minute": 7, "hour": 402, "day": 815,
         "history": {"seconds": [3, 4], "minutes": [402], "hours": []},
         "peak_per_second": {"value": 9, "time": 1765000001},
         "latency_max_ms": {"value": 12.7, "time": 1765000002}},
        {"id": 1, "name": "depth", "type": "water_mark", "flags": 0,
         "water_mark": {"value": 17, "time": 0}}]})"));
}

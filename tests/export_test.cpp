// The exporters over hand-made snapshots: Prometheus text and JSON.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "KwSrvrStatsCollector.h"
#include "KwStatsJson.h"
#include "KwStatsPrometheus.h"
#include "prometheus/text_serializer.h"

namespace {

KwStatsSnapshot TwoEvents() {
    KwStatsSnapshot snapshot;
    snapshot.takenAt = 1765000000;
    snapshot.state = KwSrvrStatsCollector::ST_COLLECTING;
    snapshot.waiting = 3;
    KwStatsEventSnapshot done;
    done.id = 0;
    done.name = "req \"done\"\xff";
    done.type = STATS_DATA_COUNT;
    done.flags = STATS_FLAG_MAX_RATE | STATS_FLAG_LATENCY_END;
    done.counted = true;
    done.minute = 7;
    done.hour = 402;
    done.day = 815;
    done.total = 961;
    done.seconds = {3, 4};
    done.minutes = {402};
    done.rated = true;
    done.peak = 9;
    done.peakTime = 1765000001;
    done.mark = KwStatsEventSnapshot::LATENCY;
    done.markValue = 127;
    done.markTime = 1765000002;
    KwStatsEventSnapshot depth;
    depth.id = 1;
    depth.name = "depth";
    depth.type = STATS_DATA_WATER_MARK;
    depth.mark = KwStatsEventSnapshot::WATER_MARK;
    depth.markValue = 17;
    snapshot.events = {done, depth};
    return snapshot;
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
    nlohmann::json json = nlohmann::json::parse(KwStatsJson(TwoEvents(), true));
    EXPECT_EQ(json["taken_at"], 1765000000);
    EXPECT_EQ(json["collecting"], true);
    EXPECT_EQ(json["reports_waiting"], 3);
    ASSERT_EQ(json["events"].size(), 2u);
    const nlohmann::json& done = json["events"][0];
    EXPECT_EQ(done["name"], "req \"done\"\xef\xbf\xbd");  // not UTF-8: replaced
    EXPECT_EQ(done["type"], "count");
    EXPECT_EQ(done["flags"], 6);
    EXPECT_EQ(done["total"], 961);
    EXPECT_EQ(done["minute"], 7);
    EXPECT_EQ(done["hour"], 402);
    EXPECT_EQ(done["day"], 815);
    EXPECT_EQ(done["history"]["seconds"], nlohmann::json({3, 4}));
    EXPECT_EQ(done["history"]["minutes"], nlohmann::json({402}));
    EXPECT_EQ(done["history"]["hours"], nlohmann::json::array());
    EXPECT_EQ(done["peak_per_second"], nlohmann::json({{"value", 9}, {"time", 1765000001}}));
    EXPECT_EQ(done["latency_max_ms"], nlohmann::json({{"value", 12.7}, {"time", 1765000002}}));
    const nlohmann::json& depth = json["events"][1];
    EXPECT_EQ(depth["type"], "water_mark");
    EXPECT_FALSE(depth.contains("total") || depth.contains("history"));
    EXPECT_EQ(depth["water_mark"], nlohmann::json({{"value", 17}, {"time", 0}}));
}

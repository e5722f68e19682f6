// The exporters over hand-made snapshots: Prometheus text and JSON, for any
// name a host registers and under any locale it sets.
#include <gtest/gtest.h>
#include <locale.h>

#include <locale>
#include <nlohmann/json.hpp>

#include "KwStatsJson.h"
#include "KwStatsPrometheus.h"
#include "KwStatsSnapshot.h"
#include "KwUtf8.h"
#include "prometheus/text_serializer.h"

namespace {

typedef KwStatsEventSnapshot E;

// Fields in declaration order: id, name, type, flags, counted, minute, hour,
// day, total, seconds, minutes, hours, rated, peak, peakTime, mark,
// markValue, markTime.
KwStatsSnapshot Hostile() {
    // clang-format off
    E done{0, "req \"done\"\\\xff", 0, 6, true, 7, 402, 815, 961, {3, 4}, {402}, {}, true, 9,
           1765000001, E::LATENCY, 793, 1765000002};
    // clang-format on
    E depth{1, "depth", 1, 0, false, 0, 0, 0, 0, {}, {}, {}, false, 0, 0, E::WATER_MARK, 17, 0};
    E odd{2, "a;b: c\nd\xe2\x82", 0, 0, true, 1, 2, 3, 4294967295u, {1}, {2}, {3}};
    E other{3, std::string(300, 'n'), 7, 2, false, 0, 0, 0, 0, {}, {}, {}, true, 0, 0};
    KwStatsSnapshot snapshot;
    snapshot.takenAt = 1765000000;
    snapshot.state = KwStatsStates::ST_COLLECTING;
    snapshot.collectionThread = true;
    snapshot.waitingBound = 100000;
    snapshot.refusedNoThread = 0;
    snapshot.refusedFull = 4294967295u;
    snapshot.waiting = 3;
    snapshot.lastRollupAt = 1765000003;
    snapshot.events = {done, depth, odd, other};
    return snapshot;
}

// The families given whether or not the collector collects.
std::string Overall(unsigned long noThread, unsigned long full, int bound, int thread,
                    int collecting) {
    return "# HELP qel_reports_refused_total Reports refused for want of a collection thread or "
           "with the waiting list full.\n# TYPE qel_reports_refused_total counter\n"
           "qel_reports_refused_total{reason=\"no_collection_thread\"} " +
           std::to_string(noThread) + "\nqel_reports_refused_total{reason=\"waiting_list_full\"} " +
           std::to_string(full) +
           "\n# HELP qel_waiting_list_bound The bound on waiting reports (0: none).\n"
           "# TYPE qel_waiting_list_bound gauge\nqel_waiting_list_bound " +
           std::to_string(bound) +
           "\n# HELP qel_collection_thread_running Whether a collection thread runs (1) or not "
           "(0).\n# TYPE qel_collection_thread_running gauge\nqel_collection_thread_running " +
           std::to_string(thread) +
           "\n# HELP qel_collecting Whether the collector is collecting (1) or not (0).\n"
           "# TYPE qel_collecting gauge\nqel_collecting " +
           std::to_string(collecting) + "\n";
}

std::string Metrics(const KwStatsSnapshot& snapshot) {
    return prometheus::TextSerializer().Serialize(KwStatsPrometheus::Families(snapshot));
}

}  // namespace

// Label values are valid UTF-8 and escaped as the exposition format says;
// the three windows are three summable families.
TEST(KwStatsPrometheusTest, WholeExpositionOfHostileNames) {
    const std::string done = "{event=\"req \\\"done\\\"\\\\\xef\xbf\xbd\",id=\"0\"} ";
    const std::string odd = "{event=\"a;b: c\\nd\xef\xbf\xbd\",id=\"2\"} ";
    const std::string other = "{event=\"" + std::string(300, 'n') + "\",id=\"3\"} ";
    EXPECT_EQ(
        Metrics(Hostile()),
        "# HELP qel_events_total Occurrences since the collector started or was last "
        "reset.\n# TYPE qel_events_total counter\n"
        "qel_events_total" +
            done + "961\nqel_events_total" + odd +
            "4294967295\n"
            "# HELP qel_events_last_minute Occurrences in the last 60 rolled-up seconds.\n"
            "# TYPE qel_events_last_minute gauge\n"
            "qel_events_last_minute" +
            done + "7\nqel_events_last_minute" + odd +
            "1\n"
            "# HELP qel_events_last_hour Occurrences in the last 60 completed minutes.\n"
            "# TYPE qel_events_last_hour gauge\n"
            "qel_events_last_hour" +
            done + "402\nqel_events_last_hour" + odd +
            "2\n"
            "# HELP qel_events_last_day Occurrences in the last 24 completed hours.\n"
            "# TYPE qel_events_last_day gauge\n"
            "qel_events_last_day" +
            done + "815\nqel_events_last_day" + odd +
            "3\n"
            "# HELP qel_peak_events_per_second Largest number of occurrences in one second.\n"
            "# TYPE qel_peak_events_per_second gauge\n"
            "qel_peak_events_per_second" +
            done + "9\nqel_peak_events_per_second" + other +
            "0\n# HELP qel_peak_events_per_second_timestamp_seconds When the peak was reached "
            "(0: not yet).\n# TYPE qel_peak_events_per_second_timestamp_seconds gauge\n"
            "qel_peak_events_per_second_timestamp_seconds" +
            done +
            "1765000001\n"
            "qel_peak_events_per_second_timestamp_seconds" +
            other +
            "0\n"
            "# HELP qel_high_water_mark Largest value reported.\n"
            "# TYPE qel_high_water_mark gauge\nqel_high_water_mark{event=\"depth\",id=\"1\"} 17\n"
            "# HELP qel_high_water_mark_timestamp_seconds When the high-water mark was reached "
            "(0: not yet).\n# TYPE qel_high_water_mark_timestamp_seconds gauge\n"
            "qel_high_water_mark_timestamp_seconds{event=\"depth\",id=\"1\"} 0\n"
            "# HELP qel_latency_max_seconds Longest latency measured up to this event.\n"
            "# TYPE qel_latency_max_seconds gauge\nqel_latency_max_seconds" +
            done +
            "0.0793\n"
            "# HELP qel_latency_max_timestamp_seconds When the longest latency was measured "
            "(0: not yet).\n# TYPE qel_latency_max_timestamp_seconds gauge\n"
            "qel_latency_max_timestamp_seconds" +
            done +
            "1765000002\n"
            "# HELP qel_reports_waiting Reports submitted and not yet processed by the "
            "collector.\n# TYPE qel_reports_waiting gauge\nqel_reports_waiting 3\n"
            "# HELP qel_last_rollup_timestamp_seconds When the collector last rolled a second "
            "up (0: not yet).\n# TYPE qel_last_rollup_timestamp_seconds gauge\n"
            "qel_last_rollup_timestamp_seconds 1765000003\n" +
            Overall(0, 4294967295u, 100000, 1, 1));

    // Not collecting: the thread, the refusals and the bound, no events.
    KwStatsSnapshot stopped = Hostile();
    stopped.state = KwStatsStates::ST_STOPPED;
    stopped.collectionThread = false;
    stopped.refusedNoThread = 7;
    stopped.waitingBound = 0;
    EXPECT_EQ(Metrics(stopped), Overall(7, 4294967295u, 0, 0, 0));
    KwStatsPrometheus fromSource([](KwStatsSnapshot& out) {
        out = Hostile();
        return true;
    });
    EXPECT_EQ(prometheus::TextSerializer().Serialize(fromSource.Collect()), Metrics(Hostile()));
}

TEST(KwStatsJsonTest, SnapshotAsJson) {
    // No count, history or peak where there is none.
    EXPECT_EQ(nlohmann::json::parse(KwStatsJson(Hostile())), nlohmann::json::parse(R"({
        "taken_at": 1765000000, "state": "collecting", "collecting": true,
        "collection_thread": true, "waiting_bound": 100000,
        "reports_refused": {"no_collection_thread": 0, "waiting_list_full": 4294967295},
        "reports_waiting": 3, "last_rollup": 1765000003, "events": [
        {"id": 0, "name": "req \"done\"\\\ufffd", "type": "count", "flags": 6, "total": 961,
         "minute": 7, "hour": 402, "day": 815,
         "history": {"seconds": [3, 4], "minutes": [402], "hours": []},
         "peak_per_second": {"value": 9, "time": 1765000001},
         "latency_max_ms": {"value": 79.3, "time": 1765000002}},
        {"id": 1, "name": "depth", "type": "water_mark", "flags": 0,
         "water_mark": {"value": 17, "time": 0}},
        {"id": 2, "name": "a;b: c\nd\ufffd", "type": "count", "flags": 0, "total": 4294967295,
         "minute": 1, "hour": 2, "day": 3,
         "history": {"seconds": [1], "minutes": [2], "hours": [3]}},
        {"id": 3, "name": ")" + std::string(300, 'n') + R"(", "type": "other", "flags": 2,
         "peak_per_second": {"value": 0, "time": 0}}]})"));
    KwStatsSnapshot init;
    init.takenAt = 5;
    EXPECT_EQ(KwStatsJson(init),
              R"({"taken_at":5,"state":"init","collecting":false,"collection_thread":false,)"
              R"("waiting_bound":0,"reports_refused":{"no_collection_thread":0,)"
              R"("waiting_list_full":0},"reports_waiting":0,"last_rollup":0,"events":[]})");
}

// Each maximal ill-formed subpart becomes one U+FFFD, exactly as the JSON
// library's replacing dump does it.
TEST(KwValidUtf8Test, IllFormedSequencesReplacedAsInJson) {
    const std::string r = "\xef\xbf\xbd";
    const std::pair<std::string, std::string> rows[] = {
        {"plain ascii", "plain ascii"},
        {"d\xc3\xa9j\xc3\xa0 \xe2\x82\xac \xf0\x9f\x98\x80",
         "d\xc3\xa9j\xc3\xa0 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xff", r},
        {"a\x80\x80z", "a" + r + r + "z"},    // lone continuations
        {"\xc0\xaf", r + r},                  // overlong
        {"\xe0\x80\xaf", r + r + r},          // overlong, 3 bytes
        {"\xed\xa0\x80", r + r + r},          // surrogate
        {"\xf4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
        {"\xe2\x82", r},                      // cut short at the end
        {"\xe2\x82z", r + "z"},               // cut short by ASCII
        {"\xf0\x9f\x98", r},
        {"\xf0\x9f\xe2\x82\xac", r + "\xe2\x82\xac"},  // cut short by a new sequence
    };
    for (const auto& row : rows) {
        EXPECT_EQ(KwValidUtf8(row.first), row.second) << row.first;
        EXPECT_EQ(nlohmann::json(KwValidUtf8(row.first)).dump(),
                  nlohmann::json(row.first).dump(-1, ' ', false,
                                                 nlohmann::json::error_handler_t::replace))
            << row.first;
    }
}

// A host under a German locale (decimal comma, thousands dot) gets the very
// bytes it gets under C: the report's latency is "79.0", not "79,0".
TEST(ExportLocaleTest, OutputsAreTheSameUnderAGermanLocale) {
    const KwStatsSnapshot snapshot = Hostile();
    const std::string report = KwStatsReportText(snapshot);
    const std::string json = KwStatsJson(snapshot);
    const std::string metrics = Metrics(snapshot);
    ASSERT_NE(report.find("req \"done\"\\\xff Latency (ms): 79.0,"), std::string::npos) << report;

    ASSERT_NE(setlocale(LC_ALL, "de_DE.UTF-8"), nullptr)
        << "the de_DE.UTF-8 locale is missing: scripts/setup.sh generates it";
    std::locale::global(std::locale("de_DE.UTF-8"));
    char comma[8];
    snprintf(comma, sizeof comma, "%.1f", 79.0);
    ASSERT_STREQ(comma, "79,0");  // the locale is in force
    EXPECT_EQ(KwStatsReportText(snapshot), report);
    EXPECT_EQ(KwStatsJson(snapshot), json);
    EXPECT_EQ(Metrics(snapshot), metrics);
    std::locale::global(std::locale::classic());
    setlocale(LC_ALL, "C");
}

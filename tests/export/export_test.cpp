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
    E depth{1, "depth", 1, 0, false, 0, 0, 0, 0, {}, {}, {}, false, 0, 0, E::WATER_MARK, 17, 0};
    E odd{2, "a;b: c\nd\xe2\x82", 0, 0, true, 1, 2, 3, 4294967295u, {1}, {2}, {3}};
    E other{3, std::string(300, 'n'), 7, 2, false, 0, 0, 0, 0, {}, {}, {}, true, 0, 0};
    // takenAt, state, collectionThread, waitingBound, refusedNoThread,
    // refusedFull, refusedByCounters, waiting, lastRollupAt, events, push
    return {1765000000, KwStatsStates::ST_COLLECTING, true, 100000, 0, 4294967295u, 0, 3,
            1765000003, {done, depth, odd, other}, {}};
    // clang-format on
}

std::string Metrics(const KwStatsSnapshot& snapshot) {
    return prometheus::TextSerializer().Serialize(KwStatsPrometheus::Families(snapshot));
}

// Each family as its name, its type, its help, then its samples' labels
// and values.
typedef std::vector<std::vector<std::string>> Families;

// What is given whether or not the collector collects.
Families Overall(int noThread, int bound, int thread, int up) {
    return {{"reports_refused_total", "counter",
             "Reports refused for want of a collection thread or with the waiting list full.",
             "{reason=\"no_collection_thread\"} " + std::to_string(noThread),
             "{reason=\"waiting_list_full\"} 4294967295"},
            {"waiting_list_bound", "gauge", "The bound on waiting reports (0: none).",
             " " + std::to_string(bound)},
            {"collection_thread_running", "gauge",
             "Whether a collection thread runs (1) or not (0).", " " + std::to_string(thread)},
            {"collecting", "gauge", "Whether the collector is collecting (1) or not (0).",
             " " + std::to_string(up)}};
}

// `families` as exposition text.
std::string Exposition(const Families& families) {
    std::string text;
    for (const std::vector<std::string>& family : families) {
        text += "# HELP qel_" + family[0] + " " + family[2] + "\n# TYPE qel_" + family[0] + " " +
                family[1] + "\n";
        for (size_t i = 3; i < family.size(); ++i) {
            text += "qel_" + family[0] + family[i] + "\n";
        }
    }
    return text;
}

}  // namespace

// Label values are valid UTF-8 and escaped as the exposition format says;
// the three windows are three summable families.
TEST(KwStatsPrometheusTest, WholeExpositionOfHostileNames) {
    const std::string d = "{event=\"req \\\"done\\\"\\\\\xef\xbf\xbd\",id=\"0\"} ";
    const std::string o = "{event=\"a;b: c\\nd\xef\xbf\xbd\",id=\"2\"} ";
    const std::string n = "{event=\"" + std::string(300, 'n') + "\",id=\"3\"} ";
    const std::string w = "{event=\"depth\",id=\"1\"} ";
    const std::string notYet = " (0: not yet).";
    const Families expected = {
        {"events_total", "counter", "Occurrences since the collector started or was last reset.",
         d + "961", o + "4294967295"},
        {"events_last_minute", "gauge", "Occurrences in the last 60 rolled-up seconds.", d + "7",
         o + "1"},
        {"events_last_hour", "gauge", "Occurrences in the last 60 completed minutes.", d + "402",
         o + "2"},
        {"events_last_day", "gauge", "Occurrences in the last 24 completed hours.", d + "815",
         o + "3"},
        {"peak_events_per_second", "gauge", "Largest number of occurrences in one second.", d + "9",
         n + "0"},
        {"peak_events_per_second_timestamp_seconds", "gauge", "When the peak was reached" + notYet,
         d + "1765000001", n + "0"},
        {"high_water_mark", "gauge", "Largest value reported.", w + "17"},
        {"high_water_mark_timestamp_seconds", "gauge",
         "When the high-water mark was reached" + notYet, w + "0"},
        {"latency_max_seconds", "gauge", "Longest latency measured up to this event.",
         d + "0.0793"},
        {"latency_max_timestamp_seconds", "gauge", "When the longest latency was measured" + notYet,
         d + "1765000002"},
        {"reports_waiting", "gauge", "Reports submitted and not yet processed by the collector.",
         " 3"},
        {"last_rollup_timestamp_seconds", "gauge",
         "When the collector last rolled a second up" + notYet, " 1765000003"}};
    const std::string text = Metrics(Hostile());
    EXPECT_EQ(text, Exposition(expected) + Exposition(Overall(0, 100000, 1, 1)));

    // Not collecting: the thread, the refusals and the bound, no events.
    KwStatsSnapshot stopped = Hostile();
    stopped.state = KwStatsStates::ST_STOPPED;
    stopped.collectionThread = false;
    stopped.refusedNoThread = 7;
    stopped.waitingBound = 0;
    EXPECT_EQ(Metrics(stopped), Exposition(Overall(7, 0, 0, 0)));
    KwStatsPrometheus fromSource([](KwStatsSnapshot& out) {
        out = Hostile();
        return true;
    });
    EXPECT_EQ(prometheus::TextSerializer().Serialize(fromSource.Collect()), text);
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
        {"\xf0\x9f\xe2\x82\xac", r + "\xe2\x82\xac"},     // cut short by a new sequence
        {"\xc2\x80\xdf\xbf\xef\xbf\xbf\xf4\x8f\xbf\xbf",  // the ends of the ranges
         "\xc2\x80\xdf\xbf\xef\xbf\xbf\xf4\x8f\xbf\xbf"},
        {"\xc2\xc0", r + r},
        {"\xe1\x80\xc0", r + r},
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
    // The report of a snapshot, stamps in UTC as the stand-in time service gives them.
    ASSERT_EQ(report,
              "Statistics Event Counts: min, hour, day, total;req \"done\"\\\xff: 7, 402, 815, 961;"
              "a;b: c\nd\xe2\x82: 1, 2, 3, 4294967295\n"
              "Maximum Events Per Second: cnts, stamp;req \"done\"\\\xff: 9, 2025-12-06 05:46:41;" +
                  std::string(300, 'n') +
                  ": 0,-\nHigh-Water-Mark Values: value, stamp;req \"done\"\\\xff Latency (ms): "
                  "79.0,2025-12-06 05:46:42;depth: 17, 1970-01-01 00:00:00");

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

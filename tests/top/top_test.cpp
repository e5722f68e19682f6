// qel-top's model and text over the JSON the status server writes: what it
// refuses, how it sorts and filters, and the exact lines a terminal gets,
// for hostile names, under a UTF-8 and an ASCII terminal and any locale.
#include <gtest/gtest.h>
#include <locale.h>

#include "KwStatsJson.h"
#include "TopFetch.h"
#include "TopLayout.h"
#include "TopModel.h"

namespace {

typedef KwStatsEventSnapshot E;

// Fields in declaration order: id, name, type, flags, counted, minute, hour,
// day, total, seconds, minutes, hours, rated, peak, peakTime, mark,
// markValue, markTime.
KwStatsSnapshot Snapshot() {
    // clang-format off
    E done{0, "reqDone", 0, 6, true, 7, 402, 815, 961, {3, 0, 4}, {402}, {}, true, 9,
           1765000001, E::LATENCY, 793, 1765000002};
    E depth{1, "depth", 1, 0, false, 0, 0, 0, 0, {}, {}, {}, false, 0, 0, E::WATER_MARK, 17,
            1765000003};
    E esc{2, "esc \x1b[2J\x1b]0;t\x07 \xc2\x9b" "1m \xe2\x80\xae" "rtl", 0, 0, true, 4000000000u,
          5, 6, 4294967295u, {1}, {2}, {3}};
    E wide{3, "\xcc\x81wide \xe6\xbc\xa2\xe5\xad\x97 e\xcc\x81 \xff", 0, 2, true, 7, 0, 0, 7, {7},
           {}, {}, true, 7, 1765000000};
    // clang-format on
    KwStatsSnapshot snapshot;
    snapshot.takenAt = 1765000010;  // 05:46:50 UTC
    snapshot.state = KwStatsStates::ST_COLLECTING;
    snapshot.collectionThread = true;
    snapshot.waitingBound = 100000;
    snapshot.refusedFull = 4294967295u;
    snapshot.waiting = 3;
    snapshot.lastRollupAt = 1765000009;
    snapshot.events = {done, depth, esc, wide};
    return snapshot;
}

TopStats Parsed(const KwStatsSnapshot& snapshot) {
    TopStats stats;
    std::string error;
    EXPECT_TRUE(ParseTopStats(KwStatsJson(snapshot), stats, error)) << error;
    return stats;
}

std::vector<std::string> Names(const std::vector<const TopEvent*>& rows) {
    std::vector<std::string> names;
    for (const TopEvent* row : rows) {
        names.push_back(row->name.substr(0, 3));
    }
    return names;
}

class TopText : public ::testing::Test {
protected:
    // Widths of characters beyond ASCII come from a UTF-8 locale; a German
    // one also has a decimal comma that must not show.
    void SetUp() override {
        ASSERT_NE(setlocale(LC_ALL, "de_DE.UTF-8"), nullptr)
            << "the de_DE.UTF-8 locale is missing: scripts/setup.sh generates it";
    }
    void TearDown() override { setlocale(LC_ALL, "C"); }
};

TEST(TopModel, ReadsTheServersJsonAndRefusesAnythingElse) {
    TopStats stats = Parsed(Snapshot());
    EXPECT_EQ(stats.takenAt, 1765000010);
    EXPECT_EQ(stats.state, "collecting");
    EXPECT_TRUE(stats.collectionThread);
    EXPECT_EQ(stats.waitingBound, 100000u);
    EXPECT_EQ(stats.refusedFull, 4294967295u);
    EXPECT_EQ(stats.waiting, 3u);
    EXPECT_EQ(stats.lastRollup, 1765000009);
    ASSERT_EQ(stats.events.size(), 4u);
    const TopEvent& done = stats.events[0];
    EXPECT_TRUE(done.counted && done.rated);
    EXPECT_EQ(done.seconds, (std::vector<uint32_t>{3, 0, 4}));
    EXPECT_EQ(done.minutes, (std::vector<uint32_t>{402}));
    EXPECT_EQ(done.hour, 402u);
    EXPECT_EQ(done.peakTime, 1765000001);
    EXPECT_EQ(done.mark, TopEvent::LATENCY);
    EXPECT_DOUBLE_EQ(done.markValue, 79.3);
    EXPECT_EQ(stats.events[1].mark, TopEvent::WATER_MARK);
    EXPECT_FALSE(stats.events[1].counted || stats.events[1].rated);
    EXPECT_EQ(stats.events[2].total, 4294967295u);
    EXPECT_EQ(stats.events[3].name, "\xcc\x81wide \xe6\xbc\xa2\xe5\xad\x97 e\xcc\x81 \xef\xbf\xbd");

    std::string good = KwStatsJson(Snapshot());
    const std::pair<std::string, std::string> refused[] = {
        {"", "it is not JSON"},
        {"<!DOCTYPE html><html>", "it is not JSON"},
        {good.substr(0, good.size() - 1), "it is not JSON"},
        {"[1]", "it is not a JSON object"},
        {"{}", "no \"taken_at\""},
        {R"({"taken_at":1.5})", "\"taken_at\" is not a whole number"},
        {R"({"taken_at":1,"state":2})", "\"state\" is not a string"},
        {R"({"taken_at":1,"state":"x","collection_thread":1})",
         "\"collection_thread\" is not true or false"},
        {R"({"taken_at":1,"state":"x","collection_thread":true,"waiting_bound":-1})",
         "\"waiting_bound\" is out of range"},
        {R"({"taken_at":1,"state":"x","collection_thread":true,"waiting_bound":0,)"
         R"("reports_waiting":0,"reports_refused":{"no_collection_thread":0,)"
         R"("waiting_list_full":0},"last_rollup":0,"events":[{"id":0,"name":"a",)"
         R"("total":4294967296}]})",
         "\"total\" is out of range"},
        {R"({"taken_at":1,"state":"x","collection_thread":true,"waiting_bound":0,)"
         R"("reports_waiting":0,"reports_refused":{"no_collection_thread":0,)"
         R"("waiting_list_full":0},"last_rollup":0,"events":[{"id":0,"name":"a",)"
         R"("total":1,"minute":1,"hour":1,"day":1,"history":{"seconds":[-1]}}]})",
         "\"seconds\" holds something not a count"},
        {R"({"taken_at":1,"state":"x","collection_thread":true,"waiting_bound":0,)"
         R"("reports_waiting":0,"reports_refused":{"no_collection_thread":0,)"
         R"("waiting_list_full":0},"last_rollup":0,"events":[7]})",
         "an event is not an object"},
        {R"({"taken_at":1,"state":"x","collection_thread":true,"waiting_bound":0,)"
         R"("reports_waiting":0,"reports_refused":{"no_collection_thread":0,)"
         R"("waiting_list_full":0},"last_rollup":0,"events":[{"id":0,"name":5}]})",
         "an event's \"name\" is not a string"},
    };
    for (const auto& row : refused) {
        TopStats ignored;
        std::string error;
        EXPECT_FALSE(ParseTopStats(row.first, ignored, error)) << row.first;
        EXPECT_EQ(error, row.second) << row.first;
    }
}

TEST(TopModel, SortsLargestFirstWithThoseLackingTheFigureLastAndFilters) {
    TopStats stats = Parsed(Snapshot());
    typedef std::vector<std::string> Order;
    const std::pair<TopSortKey, Order> orders[] = {
        {TopSortKey::MINUTE, {"esc", "req", "\xcc\x81w", "dep"}},
        {TopSortKey::HOUR, {"req", "esc", "\xcc\x81w", "dep"}},
        {TopSortKey::DAY, {"req", "esc", "\xcc\x81w", "dep"}},
        {TopSortKey::TOTAL, {"esc", "req", "\xcc\x81w", "dep"}},
        {TopSortKey::PEAK, {"req", "\xcc\x81w", "dep", "esc"}},
        {TopSortKey::MARK, {"dep", "esc", "req", "\xcc\x81w"}},
        {TopSortKey::LATENCY, {"req", "dep", "esc", "\xcc\x81w"}},
        // by bytes: names beyond ASCII last
        {TopSortKey::NAME, {"dep", "esc", "req", "\xcc\x81w"}},
    };
    for (const auto& row : orders) {
        EXPECT_EQ(Names(TopRows(stats, row.first, "")), row.second) << TopSortName(row.first);
    }
    EXPECT_EQ(Names(TopRows(stats, TopSortKey::MINUTE, "E")),
              (Order{"esc", "req", "\xcc\x81w", "dep"}));
    EXPECT_EQ(Names(TopRows(stats, TopSortKey::MINUTE, "REQd")), (Order{"req"}));
    EXPECT_EQ(Names(TopRows(stats, TopSortKey::MINUTE, "\xe6\xbc\xa2")), (Order{"\xcc\x81w"}));
    EXPECT_TRUE(TopRows(stats, TopSortKey::MINUTE, "zz").empty());
    // Names may repeat: the ids settle the order.
    TopStats same;
    same.events.resize(3);
    same.events[0].id = 5;
    same.events[1].id = 2;
    same.events[2].id = 9;
    for (TopEvent& event : same.events) {
        event.name = "same";
    }
    std::vector<const TopEvent*> rows = TopRows(same, TopSortKey::NAME, "");
    EXPECT_EQ(rows[0]->id * 100 + rows[1]->id * 10 + rows[2]->id, 259);
}

TEST_F(TopText, FitsAnyNameToItsColumnsWithoutAControlCharacter) {
    struct Row {
        std::string text;
        int width;
        bool utf8;
        std::string fitted;
    };
    const Row rows[] = {
        {"plain", 8, true, "plain   "},
        {"plain", 0, true, "plain"},
        {"exactly8", 8, true, "exactly8"},
        {"exactly9!", 8, true, "exactly\u2026"},
        {"exactly9!", 8, false, "exactly~"},
        {"a\tb\r\nc\x1b[0m\x7f", 0, true, "a?b??c?[0m?"},
        {"c1 \xc2\x9b"
         "1m",
         0, true, "c1 ?1m"},
        {"c1 \xc2\x9b"
         "1m",
         0, false, "c1 ?1m"},
        {"\xe2\x80\xae"
         "rtl \xe2\x81\xa6x\xe2\x80\x8f",
         0, true, "?rtl ?x?"},
        {"line\xe2\x80\xa8sep", 0, true, "line?sep"},
        // wide characters take two columns; one that would straddle the cut
        // leaves a space
        {"\xe6\xbc\xa2\xe5\xad\x97", 5, true, "\xe6\xbc\xa2\xe5\xad\x97 "},
        {"\xe6\xbc\xa2\xe5\xad\x97x", 4, true, "\xe6\xbc\xa2\u2026 "},
        {"\xe6\xbc\xa2\xe5\xad\x97", 3, false, "?? "},
        // a combining mark joins the character before it; alone, it is '?'
        {"e\xcc\x81", 2, true, "e\xcc\x81 "},
        {"\xcc\x81"
         "e",
         2, true, "?e"},
        {"\xf0\x9f\x99\x82!", 4, true, "\xf0\x9f\x99\x82! "},
        // bytes that are not UTF-8 (a proxy's doing)
        {"\xff\xe2\x82 x\xc0\xaf", 0, true, "?? x??"},
        {"d\xc3\xa9j\xc3\xa0", 0, false, "d?j?"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(TopFit(row.text, row.width, row.utf8), row.fitted)
            << row.text << " " << row.width << " " << row.utf8;
    }
}

TEST_F(TopText, TheHeaderAndTheTableAtEachWidth) {
    TopStats stats = Parsed(Snapshot());
    EXPECT_EQ(TopHeader(stats, "board7:8080", false, 0, true),
              (std::vector<std::string>{
                  "board7:8080  figures of 05:46:50 UTC  state collecting  thread running",
                  "waiting 3 of 100000  refused 0 (no thread), 4294967295 (full)  last roll-up "
                  "1 s before"}));
    stats.lastRollup = 0;
    stats.collectionThread = false;
    stats.waitingBound = 0;
    EXPECT_EQ(TopHeader(stats, "b:1", true, 40, false),
              (std::vector<std::string>{"b:1  STALE: figures of 05:46:50 UTC  st~",
                                        "waiting 3  refused 0 (no thread), 42949~"}));

    std::vector<const TopEvent*> rows = TopRows(stats, TopSortKey::MINUTE, "");
    // 80 columns: the name keeps 16 or more, the least needed columns go.
    EXPECT_EQ(
        TopTable(rows, 80, true),
        (std::vector<std::string>{
            "EVENT                        MINUTE       HOUR     PEAK/S  HIGH MARK  LATENCY ms",
            "esc ?[2J?]0;t? ?1m ?rtl  4000000000          5          -          -           -",
            "reqDone                           7        402          9          -        79.3",
            "?wide \xe6\xbc\xa2\xe5\xad\x97 e\xcc\x81 \xef\xbf\xbd"
            "                    7          0          7          -           -",
            "depth                             -          -          -         17           -",
        }));
    // 200 columns: every column.
    std::vector<std::string> wide = TopTable(rows, 200, false);
    EXPECT_EQ(wide[0].substr(wide[0].size() - 96),
              "     MINUTE       HOUR        DAY      TOTAL     PEAK/S  PEAK AT  HIGH MARK  "
              "LATENCY ms  MARK AT");
    EXPECT_EQ(wide[2].substr(wide[2].size() - 96),
              "          7        402        815        961          9 05:46:41          -        "
              "79.3 05:46:42");
    EXPECT_EQ(wide[3].substr(0, 16), "?wide ?? e? ?   ");
    for (const std::string& line : wide) {
        EXPECT_EQ(line.size(), 200u) << line;  // ASCII only
    }
    // 30 columns: the name and one figure.
    EXPECT_EQ(TopTable(rows, 30, false),
              (std::vector<std::string>{
                  "EVENT                   MINUTE", "esc ?[2J?]0;t? ?1m~ 4000000000",
                  "reqDone                      7", "?wide ?? e? ?                7",
                  "depth                        -"}));
    // No width (a script's --once): whole names, every column.
    std::vector<std::string> whole = TopTable(rows, 0, true);
    EXPECT_EQ(whole[1].substr(0, 25), "esc ?[2J?]0;t? ?1m ?rtl 4");
}

TEST_F(TopText, APushingHostsHeaderHasTheSendersLine) {
    KwStatsSnapshot snapshot = Snapshot();
    EXPECT_EQ(TopHeader(Parsed(snapshot), "b:1", false, 0, true).size(), 2u);  // none: no line
    snapshot.push.present = true;
    snapshot.push.failing = true;
    snapshot.push.samplesSent = 4294967295u;
    snapshot.push.samplesPending = 120;
    snapshot.push.droppedQueueFull = 3;
    snapshot.push.droppedRejected = 4;
    snapshot.push.failedRequests = {{0, 2}, {503, 5}};
    std::vector<std::string> lines = TopHeader(Parsed(snapshot), "b:1", false, 0, true);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2],
              "push FAILING  sent 4294967295  pending 120  dropped 7  failed requests 7  last "
              "success none yet");
    snapshot.push.failing = false;
    snapshot.push.lastSuccessAt = snapshot.takenAt;
    EXPECT_EQ(TopHeader(Parsed(snapshot), "b:1", false, 40, false)[2],
              "push sending  sent 4294967295  pending ~");
    EXPECT_EQ(TopHeader(Parsed(snapshot), "b:1", false, 0, false)[2],
              "push sending  sent 4294967295  pending 120  dropped 7  failed requests 7  last "
              "success 05:46:50 UTC");
}

TEST_F(TopText, AnEventsHistoryAsBars) {
    TopStats stats = Parsed(Snapshot());
    EXPECT_EQ(TopHistory(stats.events[0], stats.lastRollup, 40, 2, true),
              (std::vector<std::string>{
                  "minute 7  hour 402  day 815  total 961 \u2026",
                  "Last 60 s up to 05:46:49 UTC, a column \u2026",
                  "         4 |# #                         ",
                  "         0 |# #                         ",
                  "            -3 s now                    ",
                  "Last 60 min, a column a minute: sum 402\u2026",
                  "       402 |#                           ",
                  "         0 |#                           ",
                  "            -1 min now                  ",
                  "Last 24 h, a column an hour: sum 0      ",
                  "(nothing rolled up yet)                 ",
              }));
    std::vector<std::string> depth = TopHistory(stats.events[1], stats.lastRollup, 0, 3, false);
    EXPECT_EQ(depth, (std::vector<std::string>{"high mark 17 at 05:46:43 UTC",
                                               "(not counted: no history)"}));
    // Only the newest values when the width is short; a bar for any value.
    TopEvent many = stats.events[0];
    many.seconds.assign(60, 1);
    many.seconds[59] = 1000;
    std::vector<std::string> lines = TopHistory(many, stats.lastRollup, 20, 3, false);
    EXPECT_EQ(lines[1], "Last 60 s up to 05:~");
    EXPECT_EQ(lines[2], "      1000 |       #");
    EXPECT_EQ(lines[4], "         0 |########");
    EXPECT_EQ(lines[5], "            -8 s now");
    EXPECT_EQ(TopHistory(many, stats.lastRollup, 13, 1, false)[2], "         0 |#");
    EXPECT_EQ(TopTime(INT64_MAX), "?");
}

TEST(TopFetch, TheJsonsUrlForWhatTheUserGave) {
    const std::pair<const char*, const char*> rows[] = {
        {"http://127.0.0.1:8080", "http://127.0.0.1:8080/stats.json"},
        {"HTTPS://board7/", "HTTPS://board7/stats.json"},
        {"https://gw/board7", "https://gw/board7/stats.json"},
        {"https://gw/board7/?x=1#y", "https://gw/board7/stats.json"},
        {"http://b:1/stats.json", "http://b:1/stats.json"},
        {"http://b:1/other.json?x", "http://b:1/other.json"},
        {"ftp://b/", ""},
        {"board7:8080", ""},
        {"http://", ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(TopJsonUrl(row.first), row.second) << row.first;
    }
}

}  // namespace

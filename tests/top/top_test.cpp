// qel-top's model and text over the JSON the status server writes: what it
// refuses, how it sorts and filters, and the exact lines a terminal gets,
// for hostile names and numbers, under a UTF-8 and an ASCII terminal and any
// locale; and what its client makes of each kind of answer, and of a host
// that never answers.
#include <gtest/gtest.h>
#include <locale.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <future>
#include <tuple>

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
    // takenAt (05:46:50 UTC), state, collectionThread, waitingBound,
    // refusedNoThread, refusedFull, refusedByCounters, waiting, lastRollupAt,
    // events, push
    return {1765000010, KwStatsStates::ST_COLLECTING, true, 100000, 0, 4294967295u, 0, 3,
            1765000009, {done, depth, esc, wide}, {}};
    // clang-format on
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
    EXPECT_EQ(
        std::tie(stats.takenAt, stats.state, stats.collectionThread, stats.waitingBound,
                 stats.refusedFull, stats.waiting, stats.lastRollup),
        std::make_tuple(1765000010, "collecting", true, 100000u, 4294967295u, 3u, 1765000009));
    ASSERT_EQ(stats.events.size(), 4u);
    const TopEvent& done = stats.events[0];
    EXPECT_EQ(std::tie(done.counted, done.rated, done.seconds, done.minutes, done.hour,
                       done.peakTime, done.mark),
              std::make_tuple(true, true, std::vector<uint32_t>{3, 0, 4},
                              std::vector<uint32_t>{402}, 402u, 1765000001, TopEvent::LATENCY));
    EXPECT_DOUBLE_EQ(done.markValue, 79.3);
    EXPECT_EQ(stats.events[1].mark, TopEvent::WATER_MARK);
    EXPECT_FALSE(stats.events[1].counted || stats.events[1].rated);
    EXPECT_EQ(stats.events[2].total, 4294967295u);
    EXPECT_EQ(stats.events[3].name, "\xcc\x81wide \xe6\xbc\xa2\xe5\xad\x97 e\xcc\x81 \xef\xbf\xbd");

    std::string good = KwStatsJson(Snapshot());
    // Sound down to the events, for the rows that go wrong in one.
    const std::string head =
        R"({"taken_at":1,"state":"x","collection_thread":true,"waiting_bound":0,)"
        R"("reports_waiting":0,"reports_refused":{"no_collection_thread":0,)"
        R"("waiting_list_full":0},"last_rollup":0,"events":[)";
    // clang-format off
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
        {head + R"({"id":0,"name":"a","total":4294967296}]})", "\"total\" is out of range"},
        {head + R"({"id":0,"name":"a","total":1,"minute":1,"hour":1,"day":1,)"
                R"("history":{"seconds":[-1]}}]})", "\"seconds\" holds something not a count"},
        {head + "7]}", "an event is not an object"},
        {head + R"({"id":0,"name":5}]})", "an event's \"name\" is not a string"},
    };
    // clang-format on
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
    const std::tuple<TopSortKey, std::string, Order> orders[] = {
        {TopSortKey::MINUTE, "", {"esc", "req", "\xcc\x81w", "dep"}},
        {TopSortKey::HOUR, "", {"req", "esc", "\xcc\x81w", "dep"}},
        {TopSortKey::DAY, "", {"req", "esc", "\xcc\x81w", "dep"}},
        {TopSortKey::TOTAL, "", {"esc", "req", "\xcc\x81w", "dep"}},
        {TopSortKey::PEAK, "", {"req", "\xcc\x81w", "dep", "esc"}},
        {TopSortKey::MARK, "", {"dep", "esc", "req", "\xcc\x81w"}},
        {TopSortKey::LATENCY, "", {"req", "dep", "esc", "\xcc\x81w"}},
        // by bytes: names beyond ASCII last
        {TopSortKey::NAME, "", {"dep", "esc", "req", "\xcc\x81w"}},
        {TopSortKey::MINUTE, "E", {"esc", "req", "\xcc\x81w", "dep"}},
        {TopSortKey::MINUTE, "REQd", {"req"}},
        {TopSortKey::MINUTE, "\xe6\xbc\xa2", {"\xcc\x81w"}},
        {TopSortKey::MINUTE, "zz", {}},
    };
    for (const auto& [key, filter, order] : orders) {
        EXPECT_EQ(Names(TopRows(stats, key, filter)), order) << TopSortName(key) << " " << filter;
    }
    // Names may repeat: the ids settle the order.
    TopStats same;
    for (int id : {5, 2, 9}) {
        TopEvent event;
        event.id = id;
        event.name = "same";
        same.events.push_back(event);
    }
    std::vector<const TopEvent*> rows = TopRows(same, TopSortKey::NAME, "");
    EXPECT_EQ(rows[0]->id * 100 + rows[1]->id * 10 + rows[2]->id, 259);
}

TEST(TopModel, MarksOfAnyValueSortInOneOrder) {
    // Largest first, negative ones too; then what is not a number; then the
    // events without a mark. Every starting order gives the same.
    const double marks[] = {5, std::nan(""), -3, HUGE_VAL, -HUGE_VAL, 0, std::nan("")};
    TopStats stats;
    stats.events.resize(8);
    for (int i = 0; i < 8; ++i) {
        stats.events[i].id = i;
        stats.events[i].name = std::string(1, static_cast<char>('a' + i));
        stats.events[i].mark = i < 7 ? TopEvent::WATER_MARK : TopEvent::NO_MARK;
        stats.events[i].markValue = i < 7 ? marks[i] : 0;
    }
    for (int turn = 0; turn < 8; ++turn) {
        std::rotate(stats.events.begin(), stats.events.begin() + 1, stats.events.end());
        std::string order;
        for (const TopEvent* row : TopRows(stats, TopSortKey::MARK, "")) {
            order += row->name;
        }
        EXPECT_EQ(order, "dafcebgh") << turn;
    }
}

TEST_F(TopText, FitsAnyNameToItsColumnsWithoutAControlCharacter) {
    // clang-format off
    const std::tuple<std::string, int, bool, std::string> rows[] = {
        {"plain", 8, true, "plain   "},
        {"plain", 0, true, "plain"},
        {"exactly8", 8, true, "exactly8"},
        {"exactly9!", 8, true, "exactly\u2026"},
        {"exactly9!", 8, false, "exactly~"},
        {"a\tb\r\nc\x1b[0m\x7f", 0, true, "a?b??c?[0m?"},
        {"c1 \xc2\x9b" "1m", 0, true, "c1 ?1m"},
        {"c1 \xc2\x9b" "1m", 0, false, "c1 ?1m"},
        {"\xe2\x80\xae" "rtl \xe2\x81\xa6x\xe2\x80\x8f", 0, true, "?rtl ?x?"},
        {"line\xe2\x80\xa8sep", 0, true, "line?sep"},
        // wide characters take two columns; one that would straddle the cut
        // leaves a space
        {"\xe6\xbc\xa2\xe5\xad\x97", 5, true, "\xe6\xbc\xa2\xe5\xad\x97 "},
        {"\xe6\xbc\xa2\xe5\xad\x97x", 4, true, "\xe6\xbc\xa2\u2026 "},
        {"\xe6\xbc\xa2\xe5\xad\x97", 3, false, "?? "},
        // a combining mark joins the character before it; alone, it is '?'
        {"e\xcc\x81", 2, true, "e\xcc\x81 "},
        {"\xcc\x81" "e", 2, true, "?e"},
        {"\xf0\x9f\x99\x82!", 4, true, "\xf0\x9f\x99\x82! "},
        // bytes that are not UTF-8 (a proxy's doing)
        {"\xff\xe2\x82 x\xc0\xaf", 0, true, "?? x??"},
        {"d\xc3\xa9j\xc3\xa0", 0, false, "d?j?"},
    };
    // clang-format on
    for (const auto& [text, width, utf8, fitted] : rows) {
        EXPECT_EQ(TopFit(text, width, utf8), fitted) << text << " " << width << " " << utf8;
    }
}

TEST_F(TopText, TheHeaderWithAnyPushAndTheTableAtEachWidthSortedByEachColumn) {
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

    std::vector<const TopEvent*> minute = TopRows(stats, TopSortKey::MINUTE, "");
    // 80 columns: the name keeps 16 or more, the least needed columns go.
    EXPECT_EQ(
        TopTable(minute, TopSortKey::MINUTE, 80, true),
        (std::vector<std::string>{
            "EVENT                       \u25BCMINUTE       HOUR     PEAK/S  HIGH MARK  LATENCY ms",
            "esc ?[2J?]0;t? ?1m ?rtl  4000000000          5          -          -           -",
            "reqDone                           7        402          9          -        79.3",
            "?wide \xe6\xbc\xa2\xe5\xad\x97 e\xcc\x81 \xef\xbf\xbd"
            "                    7          0          7          -           -",
            "depth                             -          -          -         17           -",
        }));
    // 200 columns: every column, the name in 40 of them, then blanks.
    std::vector<std::string> wide = TopTable(minute, TopSortKey::MINUTE, 200, false);
    const std::string blanks(64, ' ');
    EXPECT_EQ(wide[0], std::string("EVENT") + std::string(35, ' ') +
                           "    *MINUTE       HOUR        DAY      TOTAL     PEAK/S  PEAK AT  "
                           "HIGH MARK  LATENCY ms  MARK AT" +
                           blanks);
    EXPECT_EQ(wide[2], "reqDone" + std::string(33, ' ') +
                           "          7        402        815        961          9 05:46:41  "
                           "        -        79.3 05:46:42" +
                           blanks);
    EXPECT_EQ(wide[3].substr(0, 41), "?wide ?? e? ?                            ");
    for (const std::string& line : wide) {
        EXPECT_EQ(line.size(), 200u) << line;  // ASCII only
    }
    // 30 columns: the name and one figure.
    EXPECT_EQ(TopTable(minute, TopSortKey::MINUTE, 30, false),
              (std::vector<std::string>{
                  "EVENT                  *MINUTE", "esc ?[2J?]0;t? ?1m~ 4000000000",
                  "reqDone                      7", "?wide ?? e? ?                7",
                  "depth                        -"}));
    // No width (a script's --once): whole names, every column.
    EXPECT_EQ(TopTable(minute, TopSortKey::MINUTE, 0, true)[1].substr(0, 25),
              "esc ?[2J?]0;t? ?1m ?rtl 4");

    // The column sorted by shows, marked, whatever the width.
    stats.events[1].name.clear();
    // clang-format off
    const std::tuple<TopSortKey, int, bool, std::string, std::string> rows[] = {
        // the day or the total takes the place of the least needed column
        {TopSortKey::DAY, 80, true,
         "EVENT                        MINUTE       \u25BCDAY     PEAK/S  HIGH MARK  LATENCY ms",
         "reqDone                           7        815          9          -        79.3"},
        {TopSortKey::TOTAL, 80, false,
         "EVENT                        MINUTE     *TOTAL     PEAK/S  HIGH MARK  LATENCY ms",
         "esc ?[2J?]0;t? ?1m ?rtl  4000000000 4294967295          -          -           -"},
        {TopSortKey::HOUR, 80, true,
         "EVENT                        MINUTE      \u25BCHOUR     PEAK/S  HIGH MARK  LATENCY ms",
         "reqDone                           7        402          9          -        79.3"},
        {TopSortKey::PEAK, 30, true, "EVENT                  \u25BCPEAK/S",
         "reqDone                      9"},
        {TopSortKey::MARK, 30, false, "EVENT               *HIGH MARK",
         "(no name)                   17"},
        {TopSortKey::LATENCY, 28, true, "EVENT            \u25BCLATENCY ms",
         "reqDone                 79.3"},
        // names A to Z; the empty one shown as the status page shows it
        {TopSortKey::NAME, 30, true, "\u25B2EVENT                  MINUTE",
         "(no name)                    -"},
        {TopSortKey::NAME, 30, false, "*EVENT                  MINUTE",
         "(no name)                    -"},
        // the narrowest: the name keeps 8 columns for the sorted one
        {TopSortKey::TOTAL, 20, false, "EVENT         *TOTAL", "esc ?[2J~ 4294967295"},
        {TopSortKey::MINUTE, 12, false, "EVENT       ", "esc ?[2J?]0~"},
    };
    // clang-format on
    for (const auto& [key, width, utf8, titles, first] : rows) {
        std::vector<std::string> table = TopTable(TopRows(stats, key, ""), key, width, utf8);
        EXPECT_EQ(table[0], titles) << TopSortName(key) << " " << width;
        EXPECT_EQ(table[1], first) << TopSortName(key) << " " << width;
    }

    // A pushing host's header has the sender's line (none above: no line).
    KwStatsSnapshot snapshot = Snapshot();
    // present, failing, intervalSeconds, samplesSent, samplesPending,
    // dropped (queue full, rejected, spool full, at stop), spoolDamaged,
    // spoolBytes, failedRequests, lastSuccessAt
    snapshot.push = {true, true, 0, 4294967295u, 120, 3, 4, 0, 0, 0, 0, {{0, 2}, {503, 5}}, 0};
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

TEST_F(TopText, WrapsAtSpacesWithinTheWidth) {
    // clang-format off
    const std::tuple<std::string, int, bool, int, std::vector<std::string>> rows[] = {
        {"! refresh failed: Couldn't connect to server", 20, true, 4,
         {"! refresh failed:   ", "Couldn't connect to ", "server              "}},
        {"one two", 20, true, 4, {"one two             "}},
        {"a  b", 2, true, 4, {"a ", "b "}},
        // a word longer than the line breaks where the line ends
        {"xxxxxxxxxxyyy z", 10, true, 4, {"xxxxxxxxxx", "yyy z     "}},
        // what the last line cannot take is cut with the mark
        {"aaa bbb ccc ddd", 4, false, 2, {"aaa ", "bbb~"}},
        {"aaa bbb ccc ddd", 4, true, 3, {"aaa ", "bbb ", "ccc\u2026"}},
        {"aaa bbb", 10, true, 0, {"aaa bbb   "}},
        // control characters become '?'; wide ones do not straddle a line
        {"\x1b]0;pwned\x07 x", 6, true, 4, {"?]0;pw", "ned? x"}},
        {"\xe6\xbc\xa2\xe5\xad\x97\xe6\xbc\xa2", 3, true, 4,
         {"\xe6\xbc\xa2 ", "\xe5\xad\x97 ", "\xe6\xbc\xa2 "}},
        {"\xe6\xbc\xa2", 1, true, 4, {"\u2026"}},
        {"\xe6\xbc\xa2\xe5\xad\x97", 1, false, 4, {"?", "?"}},
        {"  ", 3, true, 4, {"   "}},
        {"", 3, true, 4, {"   "}},
        {"no width: one line", 0, true, 4, {"no width: one line"}},
    };
    // clang-format on
    for (const auto& [text, width, utf8, maxLines, lines] : rows) {
        EXPECT_EQ(TopWrap(text, width, utf8, maxLines), lines) << text << " " << width;
    }
}

TEST(TopFigures, AFigureTooWideForItsColumnShowsTheBoundItPasses) {
    const double nan = std::nan(""), inf = HUGE_VAL;
    // clang-format off
    const std::tuple<double, int, int, std::string> rows[] = {
        // whole numbers in 10 columns
        {0, 0, 10, "0"}, {17, 0, 10, "17"}, {-5, 0, 10, "-5"}, {2.5, 0, 10, "3"},
        {4294967295, 0, 10, "4294967295"}, {9999999999.4, 0, 10, "9999999999"},
        {9999999999.5, 0, 10, ">999999999"}, {1e308, 0, 10, ">999999999"},
        {inf, 0, 10, ">999999999"}, {-999999999, 0, 10, "-999999999"},
        {-1e9, 0, 10, "<-99999999"}, {-1e308, 0, 10, "<-99999999"},
        {-inf, 0, 10, "<-99999999"}, {nan, 0, 10, "?"},
        // one decimal in 11 columns
        {79.3, 1, 11, "79.3"}, {0.04, 1, 11, "0.0"}, {-0.04, 1, 11, "0.0"}, {-0.5, 1, 11, "-0.5"},
        {-12.25, 1, 11, "-12.3"}, {429496729.5, 1, 11, "429496729.5"},
        {999999999.96, 1, 11, ">99999999.9"}, {1.7976931348623157e308, 1, 11, ">99999999.9"},
        {-1e10, 1, 11, "<-9999999.9"},
        // other widths
        {1e308, 0, 20, ">9999999999999999999"}, {1e308, 0, 1, ">"}, {-1e308, 1, 2, "<-"},
    };
    // clang-format on
    for (const auto& [value, decimals, width, text] : rows) {
        EXPECT_EQ(TopFigure(value, decimals, width), text)
            << value << " " << decimals << " " << width;
    }
}

// Figures no host sends, as a hostile server may: the extremes of every
// number the JSON can hold.
const char kHostileNumbers[] =
    R"({"taken_at":-9223372036854775808,"state":"collecting","collection_thread":true,)"
    R"("waiting_bound":18446744073709551615,"reports_waiting":18446744073709551615,)"
    R"("reports_refused":{"no_collection_thread":18446744073709551615,"waiting_list_full":0},)"
    R"("last_rollup":9223372036854775807,"events":[)"
    R"({"id":0,"name":"huge","water_mark":{"value":1e308,"time":-9223372036854775808}},)"
    R"({"id":1,"name":"","latency_max_ms":{"value":1.7976931348623157e308,)"
    R"("time":9223372036854775807}},)"
    R"({"id":2,"name":"low","water_mark":{"value":-1e308,"time":1}},)"
    R"({"id":3,"name":"neg","latency_max_ms":{"value":-0.5,"time":0}},)"
    R"({"id":-2147483648,"name":"max","total":4294967295,"minute":4294967295,)"
    R"("hour":4294967295,"day":4294967295,"history":{"seconds":[4294967295,4294967295],)"
    R"("minutes":[],"hours":[0]},"peak_per_second":{"value":4294967295,"time":-1}}]})";

TEST_F(TopText, HostileNumbersKeepTheirColumnsAndTheWidth) {
    TopStats stats;
    std::string error;
    ASSERT_TRUE(ParseTopStats(kHostileNumbers, stats, error)) << error;
    EXPECT_EQ(
        TopHeader(stats, "h:1", false, 0, true),
        (std::vector<std::string>{"h:1  figures of ? UTC  state collecting  thread running",
                                  "waiting 18446744073709551615 of 18446744073709551615  refused "
                                  "18446744073709551615 (no thread), 0 (full)  last roll-up ?"}));
    auto rollup = [&](int64_t takenAt, int64_t lastRollup) {
        TopStats times = stats;
        times.takenAt = takenAt;
        times.lastRollup = lastRollup;
        std::string line = TopHeader(times, "h:1", false, 0, true)[1];
        return line.substr(line.find("last roll-up"));
    };
    EXPECT_EQ(rollup(INT64_MAX, -1), "last roll-up ?");
    EXPECT_EQ(rollup(-1, INT64_MIN + 1), "last roll-up 9223372036854775806 s before");
    EXPECT_EQ(rollup(INT64_MIN, 1), "last roll-up ?");
    EXPECT_EQ(rollup(5, 7), "last roll-up -2 s before");

    std::vector<const TopEvent*> rows = TopRows(stats, TopSortKey::MINUTE, "");
    EXPECT_EQ(
        TopTable(rows, TopSortKey::MINUTE, 80, false),
        (std::vector<std::string>{
            "EVENT                       *MINUTE       HOUR     PEAK/S  HIGH MARK  LATENCY ms",
            "max                      4294967295 4294967295 4294967295          -           -",
            "(no name)                         -          -          -          - >99999999.9",
            "huge                              -          -          - >999999999           -",
            "low                               -          -          - <-99999999           -",
            "neg                               -          -          -          -        -0.5",
        }));
    std::vector<std::string> wide = TopTable(rows, TopSortKey::MINUTE, 200, false);
    EXPECT_EQ(wide[1].substr(40, 96),
              " 4294967295 4294967295 4294967295 4294967295 4294967295 23:59:59          -  "
              "         -        -");
    // (no name): a latency; huge: a water mark, at a time no platform renders
    EXPECT_EQ(wide[2].substr(40, 96),
              "          -          -          -          -          -        -          - "
              ">99999999.9        ?");
    EXPECT_EQ(wide[3].substr(40, 96),
              "          -          -          -          -          -        - >999999999  "
              "         -        ?");
    // At every width, every line exactly as wide: no figure spills over.
    for (int width : {12, 20, 28, 30, 47, 80, 81, 111, 112, 136, 200}) {
        for (TopSortKey key : {TopSortKey::MINUTE, TopSortKey::MARK, TopSortKey::LATENCY}) {
            for (const std::string& line : TopTable(TopRows(stats, key, ""), key, width, false)) {
                EXPECT_EQ(line.size(), static_cast<size_t>(width)) << line;
            }
        }
        for (const std::string& line : TopHeader(stats, "h:1", true, width, false)) {
            EXPECT_EQ(line.size(), static_cast<size_t>(width)) << line;
        }
    }
    EXPECT_EQ(TopHistory(stats.events[0], stats.lastRollup, 0, 1, false),
              (std::vector<std::string>{"high mark >9999999999999999999 at ? UTC",
                                        "(not counted: no history)"}));
    EXPECT_EQ(TopHistory(stats.events[1], stats.lastRollup, 0, 1, false)[0],
              "longest latency >99999999999999999.9 ms at ? UTC");
    EXPECT_EQ(TopHistory(stats.events[4], INT64_MIN, 0, 2, false),
              (std::vector<std::string>{
                  "minute 4294967295  hour 4294967295  day 4294967295  total 4294967295  "
                  "peak 4294967295/s at 23:59:59 UTC  ",
                  "Last 60 s up to ? UTC, a column a second: sum 8589934590, most 4294967295, "
                  "1 s ago",
                  "4294967295 |##", "         0 |##", "            -2 s now",
                  "Last 60 min, a column a minute: sum 0", "(nothing rolled up yet)",
                  "Last 24 h, a column an hour: sum 0", "           | ", "         0 | ",
                  "            -1 h now"}));
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
    EXPECT_EQ(
        TopHistory(stats.events[1], stats.lastRollup, 0, 3, false),
        (std::vector<std::string>{"high mark 17 at 05:46:43 UTC", "(not counted: no history)"}));
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

// A listening socket on loopback, answered by the test itself while the
// client under test runs on another thread. Until then the kernel holds the
// client's connection and request: a host that never answers.
class Loopback {
public:
    Loopback() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            listen(m_listener, 1) != 0 ||
            getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            ADD_FAILURE() << "no listening socket: " << strerror(errno);
        }
        options.url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/stats.json";
    }
    ~Loopback() {
        close(m_client);
        close(m_listener);
    }
    // Whether a request's whole head came within 10 s; its connection stays
    // open for Reply.
    bool Asked() {
        pollfd listener{m_listener, POLLIN, 0};
        if (poll(&listener, 1, 10000) != 1) {
            return false;
        }
        m_client = accept(m_listener, nullptr, nullptr);
        const timeval limit{10, 0};
        setsockopt(m_client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::string head;
        char buffer[4096];
        ssize_t got;
        while (head.find("\r\n\r\n") == std::string::npos &&
               (got = recv(m_client, buffer, sizeof buffer, 0)) > 0) {
            head.append(buffer, static_cast<size_t>(got));
        }
        return head.find("\r\n\r\n") != std::string::npos;
    }
    // Sends `answer` and closes. A blocking send takes it all unless the
    // client closes first (a body too long): the rest is dropped.
    void Reply(const std::string& answer) {
        send(m_client, answer.data(), answer.size(), MSG_NOSIGNAL);
        close(m_client);
        m_client = -1;
    }

    TopFetchOptions options;  // what fetches from here

private:
    const int m_listener = socket(AF_INET, SOCK_STREAM, 0);
    int m_client = -1;
};

std::string Answer(const std::string& head, const std::string& body) {
    return head + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

TEST(TopFetch, WhatEachAnswerGives) {
    const std::string most(TopFetch::kMaxBody, ' ');
    typedef TopFetchResult R;
    // The answer, what it gives, and the error or, for a 200, the body's size.
    const std::tuple<std::string, R, std::string> rows[] = {
        {Answer("HTTP/1.1 200 OK", "{}"), R::FETCHED, "2"},
        {Answer("HTTP/1.1 200 OK", most), R::FETCHED, std::to_string(TopFetch::kMaxBody)},
        {Answer("HTTP/1.1 200 OK", most + " "), R::NOT_STATS, "the answer is longer than 16 MiB"},
        {Answer("HTTP/1.1 302 Found\r\nLocation: https://b:1/stats.json", ""), R::NOT_STATS,
         "the server answered 302 (a redirect to https://b:1/stats.json, not followed)"},
        {Answer("HTTP/1.1 308 Permanent Redirect", ""), R::NOT_STATS,
         "the server answered 308 (a redirect, not followed)"},
        {Answer("HTTP/1.1 204 No Content", ""), R::NOT_STATS, "the server answered 204"},
        {Answer("HTTP/1.1 401 Unauthorized", ""), R::UNREACHABLE,
         "the server answered 401 (unauthorized)"},
        {Answer("HTTP/1.1 404 Not Found", ""), R::UNREACHABLE,
         "the server answered 404 (not found)"},
        {Answer("HTTP/1.1 503 Service Unavailable", ""), R::UNREACHABLE, "the server answered 503"},
        {"no HTTP\r\n\r\n", R::UNREACHABLE, "Received HTTP/0.9 when not allowed"},
    };
    for (const auto& [answer, result, expected] : rows) {
        Loopback server;
        TopFetch fetch(server.options);
        std::string body = "before", error;
        auto get = std::async(std::launch::async, [&] { return fetch.Get(body, error); });
        ASSERT_TRUE(server.Asked()) << expected;
        server.Reply(answer);
        EXPECT_EQ(get.get(), result) << expected;
        EXPECT_EQ(result == R::FETCHED ? std::to_string(body.size()) : error, expected);
        // A 200 gives the body as sent; anything else leaves the caller's as it was.
        std::string sent = answer.substr(answer.find("\r\n\r\n") + 4);
        EXPECT_EQ(body, result == R::FETCHED ? sent : "before");
    }
}

TEST(TopFetch, StopOrATimeoutEndsARefreshThatAHostNeverAnswers) {
    Loopback server;
    server.options.timeoutMs = 600000;
    TopFetch stopped(server.options);
    std::string body, error;
    auto get = std::async(std::launch::async, [&] { return stopped.Get(body, error); });
    ASSERT_TRUE(server.Asked());
    stopped.Stop();
    ASSERT_EQ(get.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(get.get(), TopFetchResult::STOPPED);
    EXPECT_EQ(error, "stopped");
    // Every later one too, without asking.
    error.clear();
    EXPECT_EQ(stopped.Get(body, error), TopFetchResult::STOPPED);
    EXPECT_EQ(error, "stopped");

    server.options.timeoutMs = 200;
    TopFetch timed(server.options);
    EXPECT_EQ(timed.Get(body, error), TopFetchResult::UNREACHABLE);
    EXPECT_EQ(error.substr(0, 26), "Operation timed out after ") << error;
}

TEST(TopFetch, TheJsonsUrlForWhatTheUserGave) {
    // clang-format off
    const std::pair<const char*, const char*> rows[] = {
        {"http://127.0.0.1:8080", "http://127.0.0.1:8080/stats.json"},
        {"HTTPS://board7/", "HTTPS://board7/stats.json"},
        {"https://gw/board7", "https://gw/board7/stats.json"},
        {"https://gw/board7/?x=1#y", "https://gw/board7/stats.json"},
        {"http://b:1/stats.json", "http://b:1/stats.json"},
        {"http://b:1/other.json?x", "http://b:1/other.json"},
        // no http or https URL
        {"ftp://b/", ""}, {"board7:8080", ""}, {"http://", ""},
    };
    // clang-format on
    for (const auto& row : rows) {
        EXPECT_EQ(TopJsonUrl(row.first), row.second) << row.first;
    }
}

}  // namespace

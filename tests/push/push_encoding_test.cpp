// Remote write on the wire: exact bytes, varints, snappy, the series of a
// snapshot with their labels.
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "KwPushSeries.h"
#include "KwRemoteWrite.h"
#include "RemoteWriteDecoder.h"

namespace {

std::string Hex(const std::string& bytes) {
    std::string out;
    char two[3];
    for (unsigned char c : bytes) {
        snprintf(two, sizeof two, "%02x", c);
        out += two;
    }
    return out;
}

TEST(RemoteWrite, OneSeriesByteForByte) {
    std::string labels = KwEncodeLabels({{"__name__", "up"}, {"job", "x"}});
    EXPECT_EQ(Hex(labels), "0a0e0a085f5f6e616d655f5f120275700a080a036a6f62120178");
    KwPushSample samples[] = {{KwDoubleBits(1.0), 1000}, {0, 0}, {kKwStaleNaNBits, -1}};
    KwWriteRequest request;
    request.Add(labels, samples, 3);
    // TimeSeries (field 1) of 26 bytes of labels, a sample of value and
    // time, one of zeros (left out, as proto3 does), and the stale marker at
    // a negative time (ten bytes of varint).
    EXPECT_EQ(Hex(request.Bytes()), "0a40" + Hex(labels) +
                                        "120c09000000000000f03f10e807"
                                        "1200"
                                        "121409020000000000f07f10ffffffffffffffffff01");
}

TEST(RemoteWrite, Varints) {
    const struct {
        uint64_t value;
        const char* hex;
    } rows[] = {{0, "00"},
                {1, "01"},
                {127, "7f"},
                {128, "8001"},
                {300, "ac02"},
                {0xffffffffULL, "ffffffff0f"},
                {0x8000000000000000ULL, "80808080808080808001"},
                {UINT64_MAX, "ffffffffffffffffff01"}};
    for (const auto& row : rows) {
        std::string bytes;
        KwPutVarint(bytes, row.value);
        EXPECT_EQ(Hex(bytes), row.hex) << row.value;
        const char* at = bytes.data();
        uint64_t back = 0;
        EXPECT_TRUE(KwGetVarint(at, bytes.data() + bytes.size(), back));
        EXPECT_EQ(back, row.value);
        EXPECT_EQ(at, bytes.data() + bytes.size());
        // Cut by one byte: refused.
        at = bytes.data();
        EXPECT_FALSE(KwGetVarint(at, bytes.data() + bytes.size() - 1, back)) << row.value;
    }
    std::string eleven(11, '\x80');
    const char* at = eleven.data();
    uint64_t value;
    EXPECT_FALSE(KwGetVarint(at, eleven.data() + eleven.size(), value));
}

TEST(RemoteWrite, DoublesAreLittleEndianEverywhere) {
    std::string bytes;
    KwPutFixed64(bytes, KwDoubleBits(-2.5));
    EXPECT_EQ(Hex(bytes), "00000000000004c0");
    EXPECT_EQ(KwGetFixed64(bytes.data()), KwDoubleBits(-2.5));
}

TEST(RemoteWrite, SnappyBlockFormat) {
    std::string text(1000, 'a');
    std::string packed, back;
    ASSERT_TRUE(KwSnappyCompress(text, packed));
    EXPECT_LT(packed.size(), 100u);
    EXPECT_EQ(static_cast<unsigned char>(packed[0]), 0xe8);  // the length, 1000, as a varint
    ASSERT_TRUE(KwSnappyUncompress(packed.data(), packed.size(), 1000, back));
    EXPECT_EQ(back, text);
    EXPECT_FALSE(KwSnappyUncompress(packed.data(), packed.size(), 999, back));  // too large
    std::string garbage = "\x05garbage";
    EXPECT_FALSE(KwSnappyUncompress(garbage.data(), garbage.size(), 100, back));
    std::string empty;
    ASSERT_TRUE(KwSnappyCompress(empty, packed));
    EXPECT_TRUE(KwSnappyUncompress(packed.data(), packed.size(), 0, back));
    EXPECT_EQ(back, "");
}

// The series of a snapshot of one event, each as its labels and value.
std::vector<std::string> SeriesOf(const std::string& eventName, const KwPushLabels& identity) {
    KwStatsSnapshot snapshot;
    snapshot.state = KwStatsStates::ST_COLLECTING;
    snapshot.collectionThread = true;
    KwStatsEventSnapshot event;
    event.id = 3;
    event.name = eventName;
    event.counted = true;
    event.total = 42;
    event.minute = 7;
    snapshot.events.push_back(event);
    std::vector<std::string> texts;
    for (const KwPushSeriesValue& series : KwPushSeriesOf(snapshot, identity)) {
        KwWriteRequest request;
        KwPushSample sample{KwDoubleBits(series.value), 0};
        request.Add(series.labels, &sample, 1);
        std::vector<DecodedSeries> decoded;
        EXPECT_TRUE(DecodeWriteRequest(request.Bytes(), decoded));
        std::string text;
        for (const auto& label : decoded.at(0).labels) {
            text += label.first + "=" + label.second + " ";
        }
        texts.push_back(text + std::to_string(series.value));
    }
    return texts;
}

TEST(PushSeries, TheFamiliesOfMetricsWithWhoSendsThem) {
    std::vector<std::string> expected = {
        "__name__=qel_events_total event=rx id=3 instance=board7 job=qel site=lab 42.000000",
        "__name__=qel_events_last_minute event=rx id=3 instance=board7 job=qel site=lab 7.000000",
        "__name__=qel_events_last_hour event=rx id=3 instance=board7 job=qel site=lab 0.000000",
        "__name__=qel_events_last_day event=rx id=3 instance=board7 job=qel site=lab 0.000000",
        "__name__=qel_reports_waiting instance=board7 job=qel site=lab 0.000000",
        "__name__=qel_last_rollup_timestamp_seconds instance=board7 job=qel site=lab 0.000000",
        "__name__=qel_reports_refused_total instance=board7 job=qel reason=no_collection_thread "
        "site=lab 0.000000",
        "__name__=qel_reports_refused_total instance=board7 job=qel reason=waiting_list_full "
        "site=lab 0.000000",
        "__name__=qel_waiting_list_bound instance=board7 job=qel site=lab 0.000000",
        "__name__=qel_collection_thread_running instance=board7 job=qel site=lab 1.000000",
        "__name__=qel_collecting instance=board7 job=qel site=lab 1.000000"};
    EXPECT_EQ(SeriesOf("rx", KwPushIdentity({{"site", "lab"}}, "board7")), expected);
}

TEST(PushSeries, IdentityAndLabelRules) {
    const std::string x200(200, 'x');
    const struct {
        KwPushLabels external;
        std::string host;
        std::string eventName;
        std::string labels;  // of the first series, qel_events_total at 42
    } rows[] = {
        // job and instance from the external labels win over the defaults
        {{{"instance", "b9"}, {"job", "fleet"}},
         "host",
         "rx",
         "event=rx id=3 instance=b9 job=fleet"},
        // an empty event name: no event label at all
        {{}, "host", "", "id=3 instance=host job=qel"},
        // no host name: no instance label
        {{}, "", "rx", "event=rx id=3 job=qel"},
        // a name longer than 127 bytes: a two-byte length
        {{}, "h", x200, "event=" + x200 + " id=3 instance=h job=qel"},
        // a family's own label wins over an external one of the same name
        {{{"event", "mine"}, {"a", "1"}}, "h", "rx", "a=1 event=rx id=3 instance=h job=qel"},
    };
    for (const auto& row : rows) {
        std::vector<std::string> series =
            SeriesOf(row.eventName, KwPushIdentity(row.external, row.host));
        ASSERT_FALSE(series.empty());
        EXPECT_EQ(series[0], "__name__=qel_events_total " + row.labels + " 42.000000");
    }
}

TEST(PushSeries, NotCollectingGivesTheFourFamiliesOnly) {
    KwStatsSnapshot snapshot;  // ST_INIT
    std::vector<KwPushSeriesValue> series = KwPushSeriesOf(snapshot, KwPushIdentity({}, "h"));
    EXPECT_EQ(series.size(), 5u);  // refused has two reasons
}

}  // namespace

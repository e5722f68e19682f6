// The push add-on's figures, each beside a baseline of the same run:
//   CPU per push (the series of /metrics, encoded as a WriteRequest and
//   snappy-compressed) / prometheus-cpp's text serializer over the same
//   snapshot, at 5 and 256 events;
//   bytes on the wire per push / the text exposition gzip'd;
//   an hour of outage (256 events, 15 s: 240 pushes) queued in memory: RSS
//   growth and bytes a sample; the same hour in a spool: bytes written, and
//   against the text expositions of that hour.
// The hour runs compressed: a 15 ms interval, a receiver that is not there.
//
//   push_bench [Google Benchmark options]
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KwPushQueue.h"
#include "KwPushSeries.h"
#include "KwRemoteWrite.h"
#include "KwStatsPrometheus.h"
#include "KwStatsPusher.h"
#include "prometheus/text_serializer.h"

namespace {

// A collector of `count` events as the demo registers them: counted with
// a peak per second, one in ten a water mark, one in ten a latency.
KwStatsSnapshot Snapshot(int count, unsigned step) {
    KwStatsSnapshot snapshot;
    snapshot.state = KwStatsStates::ST_COLLECTING;
    snapshot.collectionThread = true;
    snapshot.takenAt = 1765000000 + static_cast<KwLong32>(step);
    snapshot.lastRollupAt = snapshot.takenAt;
    for (int i = 0; i < count; ++i) {
        KwStatsEventSnapshot event;
        event.id = i;
        static const char* const kDemo[] = {"rxPackets", "reqStart", "reqDone", "queueDepth",
                                            "txDropped"};
        event.name = i < 5 ? kDemo[i] : "event number " + std::to_string(i);
        event.counted = i % 10 != 3;
        event.rated = event.counted;
        event.total = 1000u * static_cast<unsigned>(i) + 17 * step;
        event.minute = 60 + step % 7;
        event.hour = 3600 + step;
        event.day = 86400 + step;
        event.peak = 90 + static_cast<unsigned>(i);
        event.peakTime = snapshot.takenAt - 3;
        if (i % 10 == 3) {
            event.mark = KwStatsEventSnapshot::WATER_MARK;
            event.markValue = 125;
            event.markTime = snapshot.takenAt - 9;
        } else if (i % 10 == 7) {
            event.mark = KwStatsEventSnapshot::LATENCY;
            event.markValue = 791;
            event.markTime = snapshot.takenAt - 5;
        }
        snapshot.events.push_back(event);
    }
    return snapshot;
}

const KwPushLabels kIdentity = KwPushIdentity({{"instance", "board7"}, {"site", "lab"}}, "");

// One push as the pusher makes it: the series, interned, batched, encoded,
// compressed. Returns the bytes on the wire.
size_t Push(const KwStatsSnapshot& snapshot, KwPushSeriesTable& table, KwPushBatch& batch,
            KwWriteRequest& request, std::string& body) {
    KwPushRecord record;
    record.timestampMs = 1765000000000LL;
    for (const KwPushSeriesValue& series : KwPushSeriesOf(snapshot, kIdentity)) {
        record.ids.push_back(table.Intern(series.labels));
        record.values.push_back(KwDoubleBits(series.value));
    }
    batch.Clear();
    batch.Add(record, 0, record.ids.size());
    batch.Encode(table, request);
    KwSnappyCompress(request.Bytes(), body);
    return body.size();
}

std::string Text(const KwStatsSnapshot& snapshot) {
    std::ostringstream text;
    prometheus::TextSerializer().Serialize(text, KwStatsPrometheus::Families(snapshot));
    return text.str();
}

std::string Gzip(const std::string& text) {
    z_stream stream = {};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, text.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

void BM_Push(benchmark::State& state) {
    KwStatsSnapshot snapshot = Snapshot(static_cast<int>(state.range(0)), 1);
    KwPushSeriesTable table;
    KwPushBatch batch;
    KwWriteRequest request;
    std::string body;
    size_t bytes = 0;
    for (auto _ : state) {
        bytes = Push(snapshot, table, batch, request, body);
        benchmark::DoNotOptimize(body.data());
    }
    state.counters["wire_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_Push)->Arg(5)->Arg(256);

void BM_TextExposition(benchmark::State& state) {
    KwStatsSnapshot snapshot = Snapshot(static_cast<int>(state.range(0)), 1);
    std::string text;
    for (auto _ : state) {
        text = Text(snapshot);
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["gzip_bytes"] = static_cast<double>(Gzip(text).size());
}
BENCHMARK(BM_TextExposition)->Arg(5)->Arg(256);

// The parts of a push: the families alone (shared with the text), and
// snappy alone over the encoded request.
void BM_Families(benchmark::State& state) {
    KwStatsSnapshot snapshot = Snapshot(static_cast<int>(state.range(0)), 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(KwStatsPrometheus::Families(snapshot));
    }
}
BENCHMARK(BM_Families)->Arg(256);

void BM_Snappy(benchmark::State& state) {
    KwStatsSnapshot snapshot = Snapshot(static_cast<int>(state.range(0)), 1);
    KwPushSeriesTable table;
    KwPushBatch batch;
    KwWriteRequest request;
    std::string body;
    Push(snapshot, table, batch, request, body);
    for (auto _ : state) {
        KwSnappyCompress(request.Bytes(), body);
        benchmark::DoNotOptimize(body.data());
    }
    state.counters["raw_bytes"] = static_cast<double>(request.Bytes().size());
}
BENCHMARK(BM_Snappy)->Arg(256);

// Medians of the repetitions, by name.
class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                cpu[run.run_name.str()] = run.GetAdjustedCPUTime();
                for (const auto& counter : run.counters) {
                    counters[run.run_name.str() + " " + counter.first] = counter.second;
                }
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> cpu;
    std::map<std::string, double> counters;
};

long RssKiB() {
    FILE* status = fopen("/proc/self/status", "r");
    char line[256];
    long kib = 0;
    while (status != nullptr && fgets(line, sizeof line, status) != nullptr) {
        if (sscanf(line, "VmRSS: %ld kB", &kib) == 1) {
            break;
        }
    }
    if (status != nullptr) {
        fclose(status);
    }
    return kib;
}

struct Outage {
    long rssGrowthKiB;
    unsigned long pending;
    unsigned long spoolBytes;
    size_t textBytes;  // the text expositions of the same snapshots
};

// 240 pushes of 256 events to a receiver that is not there.
Outage HourOfOutage(const std::string& spool) {
    auto calls = std::make_shared<std::atomic<unsigned>>(0);
    auto text = std::make_shared<std::atomic<size_t>>(0);
    KwStatsSource source = [calls, text](KwStatsSnapshot& out) {
        unsigned step = ++*calls;
        out = Snapshot(256, step);
        if (step <= 240) {
            *text += Text(out).size();
        }
        return true;
    };
    KwStatsPushOptions options;
    options.url = "http://127.0.0.1:1/api/v1/write";
    options.intervalMs = 15;
    options.capacity = 10000000;
    options.flushDeadlineMs = 0;
    options.maxBackoffMs = 60000;
    options.minBackoffMs = 60000;  // one failed request, then quiet
    options.spoolDirectory = spool;
    options.spoolMaxBytes = 1LL << 30;
    long before = RssKiB();
    std::string error;
    std::unique_ptr<KwStatsPusher> pusher = KwStatsPusher::Start(options, error, source);
    if (!pusher) {
        fprintf(stderr, "push_bench: %s\n", error.c_str());
        exit(1);
    }
    KwStatsSource figures = pusher->Source();
    KwStatsSnapshot snapshot;
    while (*calls < 240) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // The pusher's own snapshot after the 240th: what the hour left queued.
    while (*calls < 241) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    figures(snapshot);
    Outage outage{RssKiB() - before, snapshot.push.samplesPending, snapshot.push.spoolBytes,
                  text->load()};
    pusher.reset();
    return outage;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Collector reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printf("\n%-58s %12s %12s %8s\n", "figure", "measured", "baseline", "ratio");
    for (const char* events : {"5", "256"}) {
        std::string push = std::string("BM_Push/") + events;
        std::string text = std::string("BM_TextExposition/") + events;
        if (reporter.cpu.count(push) == 0 || reporter.cpu.count(text) == 0) {
            continue;  // filtered out, or run without --benchmark_repetitions
        }
        printf("%-58s %9.1f us %9.1f us %8.2f\n",
               ("CPU per push / text exposition, " + std::string(events) + " events").c_str(),
               reporter.cpu[push] / 1000, reporter.cpu[text] / 1000,
               reporter.cpu[push] / reporter.cpu[text]);
        double wire = reporter.counters[push + " wire_bytes"];
        double gzip = reporter.counters[text + " gzip_bytes"];
        printf("%-58s %9.0f B  %9.0f B  %8.2f\n",
               ("bytes on the wire per push / gzip'd text, " + std::string(events) + " events")
                   .c_str(),
               wire, gzip, wire / gzip);
    }
    if (reporter.cpu.count("BM_Families/256") && reporter.cpu.count("BM_Snappy/256") &&
        reporter.cpu.count("BM_Push/256")) {
        printf("%-58s %9.1f us %9.1f us %8.2f\n",
               "of a push of 256 events: the families / the push",
               reporter.cpu["BM_Families/256"] / 1000, reporter.cpu["BM_Push/256"] / 1000,
               reporter.cpu["BM_Families/256"] / reporter.cpu["BM_Push/256"]);
        printf("%-58s %9.1f us %9.1f us %8.2f\n", "of a push of 256 events: snappy / the push",
               reporter.cpu["BM_Snappy/256"] / 1000, reporter.cpu["BM_Push/256"] / 1000,
               reporter.cpu["BM_Snappy/256"] / reporter.cpu["BM_Push/256"]);
    }
    Outage memory = HourOfOutage("");
    printf("%-58s %9ld KiB %9lu smp %7.1f B\n",
           "an hour of outage in memory: RSS growth, samples, per sample", memory.rssGrowthKiB,
           memory.pending, memory.rssGrowthKiB * 1024.0 / memory.pending);
    char folder[] = "/tmp/qel-push-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        return 1;
    }
    Outage disk = HourOfOutage(folder);
    printf("%-58s %9lu B  %9zu B  %8.3f\n", "an hour of outage in the spool: bytes written / text",
           disk.spoolBytes, disk.textBytes, static_cast<double>(disk.spoolBytes) / disk.textBytes);
    std::string remove = std::string("rm -rf ") + folder;
    return system(remove.c_str()) == 0 ? 0 : 1;
}

// qel_demo: a small server that embeds the statistics collector.
//
// It shows the three phases of use in order:
//   1. set-up:     the host's timer manager, the collector, the events;
//   2. collection: worker threads report packets, requests and queue depths;
//   3. output:     the report every few seconds, then a clean stop.
//
// Run it with --help for its options.
#include <errno.h>
#include <getopt.h>
#include <langinfo.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <locale>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "DemoTerminalText.h"
#include "KwSrvrStatsCollector.h"
#include "KwStatsSnapshot.h"
#include "KwTimerMgr.h"
#include "ace/Thread_Manager.h"
#include "dlog.h"
#ifdef QEL_DEMO_HTTP
#include "KwStatsHttpServer.h"
#endif
#ifdef QEL_DEMO_PUSH
#include "KwStatsPusher.h"
#include "KwStdMutex.h"
#endif

// The text of qel_demo_usage.txt, which scripts/demo.sh --help prints too.
extern const char kUsage[];

namespace {

struct Options {
    int seconds = 12;     // how long the workers run
    int threads = 3;      // packet workers, besides the request worker
    int rate = 2000;      // packets per second per packet worker, on average
    int reportEvery = 4;  // seconds between reports
    int logLevel = DLOG_WARNING;
    int httpPort = 0;  // 0: no HTTP server
    std::string httpBind = "127.0.0.1";
    std::string webConfigFile;                 // TLS and basic auth for the status server
    std::vector<std::string> pushConfigFiles;  // remote write, to each receiver given
    bool withholdTimerManager = false;
    int oddEvents = 0;  // further events with odd names
};

void Usage(FILE* out) {
    fputs(kUsage, out);
}

// The numeric options and their ranges, as the usage text gives them.
struct NumberOption {
    int option, low, high;
    int Options::*value;
};
const NumberOption kNumbers[] = {
    {'s', 1, 86400, &Options::seconds}, {'t', 1, 64, &Options::threads},
    {'r', 0, 1000000, &Options::rate},  {'e', 1, 3600, &Options::reportEvery},
    {'l', 0, 7, &Options::logLevel},    {'H', 1, 65535, &Options::httpPort},
    {'O', 0, 251, &Options::oddEvents}};

const NumberOption* FindNumber(int option) {
    for (const NumberOption& number : kNumbers) {
        if (number.option == option) {
            return &number;
        }
    }
    return nullptr;
}

bool ParseNumber(const char* text, int low, int high, int& value) {
    char* end = nullptr;
    errno = 0;
    long parsed = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high) {
        return false;
    }
    value = static_cast<int>(parsed);
    return true;
}

// Returns 0 to run, 1 after --help, 2 on a bad option.
int ParseOptions(int argc, char** argv, Options& options) {
    static const option kLong[] = {{"seconds", required_argument, nullptr, 's'},
                                   {"threads", required_argument, nullptr, 't'},
                                   {"rate", required_argument, nullptr, 'r'},
                                   {"report-every", required_argument, nullptr, 'e'},
                                   {"log-level", required_argument, nullptr, 'l'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"http", required_argument, nullptr, 'H'},
                                   {"http-bind", required_argument, nullptr, 'B'},
                                   {"web.config.file", required_argument, nullptr, 'W'},
                                   {"no-timer-manager", no_argument, nullptr, 'N'},
                                   {"odd-events", required_argument, nullptr, 'O'},
                                   {"push.config", required_argument, nullptr, 'P'},
                                   {nullptr, 0, nullptr, 0}};
    opterr = 0;
    int c;
    // longIndex tells a long option from a short one, for the error text.
    for (int longIndex = -1; (c = getopt_long(argc, argv, ":s:t:r:e:l:h", kLong, &longIndex)) != -1;
         longIndex = -1) {
        const NumberOption* number = FindNumber(c);
        if (number != nullptr) {
            if (!ParseNumber(optarg, number->low, number->high, options.*number->value)) {
                std::string name = longIndex >= 0 ? std::string("--") + kLong[longIndex].name
                                                  : std::string("-") + static_cast<char>(c);
                fprintf(stderr, "qel_demo: bad value '%s' for %s (see --help)\n", optarg,
                        name.c_str());
                return 2;
            }
            continue;
        }
        switch (c) {
            case 'B':
                options.httpBind = optarg;
                break;
            case 'W':
                options.webConfigFile = optarg;
                break;
            case 'N':
                options.withholdTimerManager = true;
                break;
            case 'P':
                options.pushConfigFiles.push_back(optarg);
                break;
            case 'h':
                Usage(stdout);
                return 1;
            case ':':
                fprintf(stderr, "qel_demo: option %s needs a value\n", argv[optind - 1]);
                return 2;
            default:
                fprintf(stderr, "qel_demo: unknown option %s\n", argv[optind - 1]);
                Usage(stderr);
                return 2;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "qel_demo: unexpected argument '%s' (see --help)\n", argv[optind]);
        return 2;
    }
    return 0;
}

// The ids the collector handed out for our events.
struct Events {
    int rxPackets;   // counted, with its peak per second
    int reqStart;    // counted, starts a latency measurement
    int reqDone;     // counted, ends it: longest latency and peak per second
    int queueDepth;  // sampled: high-water mark
    int txDropped;   // counted
};

using Clock = std::chrono::steady_clock;

// Packets arrive in bursts: every fifth second is busy, every seventh quiet.
void PacketWorker(KwSrvrStatsCollector& collector, const Events& events, const Options& options,
                  Clock::time_point end, unsigned seed) {
    std::mt19937 random(seed);
    const auto tick = std::chrono::milliseconds(10);
    for (Clock::time_point next = Clock::now(); next < end; next += tick) {
        long second =
            std::chrono::duration_cast<std::chrono::seconds>(next.time_since_epoch()).count();
        int perTick = options.rate / 100;
        if (second % 7 == 0) {
            perTick = 0;
        } else if (second % 5 == 0) {
            perTick *= 4;
        }
        for (int i = 0; i < perTick; ++i) {
            collector.SetEvent(events.rxPackets, 0, nullptr);
            if (random() % 500 == 0) {
                collector.SetEvent(events.txDropped, 0, nullptr);
            }
        }
        std::this_thread::sleep_until(next + tick);
    }
}

// One request at a time, so each latency runs from its own start: a short
// piece of work, now and then a slow one.
void RequestWorker(KwSrvrStatsCollector& collector, const Events& events, Clock::time_point end,
                   unsigned seed) {
    std::mt19937 random(seed);
    while (Clock::now() < end) {
        collector.SetEvent(events.reqStart, 0, nullptr);
        int workMs = random() % 20 == 0 ? 20 + static_cast<int>(random() % 60)
                                        : 1 + static_cast<int>(random() % 8);
        std::this_thread::sleep_for(std::chrono::milliseconds(workMs));
        collector.SetEvent(events.reqDone, 0, nullptr);
    }
}

// The queue fills and drains in waves of about ten seconds.
void QueueSampler(KwSrvrStatsCollector& collector, const Events& events, Clock::time_point end,
                  unsigned seed) {
    std::mt19937 random(seed);
    uint32_t depth = 0;
    int direction = -1;  // turns to filling at the first step
    for (int step = 0; Clock::now() < end; ++step) {
        if (step % 50 == 0) {
            direction = -direction;
        }
        uint32_t change = random() % 6;
        depth = direction > 0 ? depth + change : (depth > change ? depth - change : 0);
        collector.SetEvent(events.queueDepth, sizeof depth, &depth);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// Events whose names are hard on every output: the first ones named after
// what they hold, then numbered ones, some with markup or long, one in ten a
// sampled value. Each is reported a few times a second.
std::vector<int> RegisterOddEvents(KwSrvrStatsCollector& collector, int count) {
    const std::string names[] = {
        "quote \"q\"", "back\\slash", "new\nline", "semi;colon", "colon: blank",
        "bytes \xff\xfe not utf-8", "cut short \xe2\x82", std::string(300, 'n'), "same", "same",
        "percent %s %n", "d\xc3\xa9j\xc3\xa0 vu", "",
        // and hard on a terminal: escapes that clear
        // it, colour it or set its title; a C1 CSI;
        // a right-to-left override; wide, combining
        // and astral characters; tab, CR, backspace
        "esc \x1b[2J\x1b[31mred\x1b[0m", "title \x1b]0;pwned\x07",
        "c1 \xc2\x9b"
        "31m",
        "rtl \xe2\x80\xae"
        "desrever",
        "wide \xe6\xbc\xa2\xe5\xad\x97\xe3\x83\x86\xe3\x82\xb9\xe3\x83\x88",
        "\xcc\x81mark first, combining e\xcc\x81", "tab\there\rcr\bbs", "emoji \xf0\x9f\x99\x82"};
    const int named = sizeof names / sizeof names[0];
    std::vector<int> ids;
    for (int n = 0; n < count; ++n) {
        std::string name = n < named ? names[n] : "odd " + std::to_string(n);
        if (n >= named && n % 9 == 0) {
            name += " <b>&amp;</b> " + std::string(150, 'w');
        }
        bool sampled = n >= named && n % 10 == 3;
        ids.push_back(collector.RegisterEvent(name.c_str(), sampled ? 0 : STATS_FLAG_MAX_RATE,
                                              sampled ? STATS_DATA_WATER_MARK : STATS_DATA_COUNT));
    }
    return ids;
}

void OddWorker(KwSrvrStatsCollector& collector, const std::vector<int>& ids,
               Clock::time_point end) {
    for (uint32_t tick = 0; Clock::now() < end; ++tick) {
        for (size_t k = 0; k < ids.size(); ++k) {
            uint32_t value = static_cast<uint32_t>(k) + tick;
            for (uint32_t n = 0; n < (value % 7); ++n) {
                collector.SetEvent(ids[k], sizeof value, &value);
            }
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

#ifdef QEL_DEMO_PUSH
// With several receivers, each gets the same figures: a snapshot taken less
// than 100 ms before is handed out again (the pushers tick together).
class SharedSnapshots {
public:
    bool operator()(KwStatsSnapshot& out) {
        KwStdGuard guard(m_lock);
        Clock::time_point now = Clock::now();
        if (!m_taken || now - m_at > std::chrono::milliseconds(100)) {
            m_collecting = KwTakeStatsSnapshot(m_last);
            m_at = now;
            m_taken = true;
        }
        out = m_last;
        return m_collecting;
    }

private:
    KwStdMutex m_lock;
    KwStatsSnapshot m_last KW_GUARDED_BY(m_lock);
    Clock::time_point m_at KW_GUARDED_BY(m_lock);
    bool m_taken KW_GUARDED_BY(m_lock) = false;
    bool m_collecting KW_GUARDED_BY(m_lock) = false;
};
#endif

std::string TimeText(KwLong32 seconds) {
    if (seconds == 0) {
        return "(none yet)";
    }
    time_t when = seconds;
    tm utc;
    gmtime_r(&when, &utc);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    return text;
}

// Where the report goes. On a terminal, the escape sequences that event
// names may hold would act (clear the screen, set the title): there the
// demo writes them as escapes. Elsewhere, the report as the collector gives it.
struct Output {
    bool terminal = false;
    bool utf8 = false;  // the terminal's

    std::string Report(const std::string& report) const {
        return terminal ? DemoTerminalText(report, utf8, true) : report;
    }
    std::string Name(const std::string& name) const {
        return terminal ? DemoTerminalText(name, utf8, false) : name;
    }
};

// The same figures as the report, as aligned tables, from a snapshot: no
// parsing of the report's text.
void PrintTables(const KwStatsSnapshot& snapshot, const Output& output) {
    printf("  %-24s %10s %10s %10s %10s\n", "event", "last min", "last hour", "last day", "total");
    for (const KwStatsEventSnapshot& event : snapshot.events) {
        if (event.counted) {
            printf("  %-24s %10lu %10lu %10lu %10lu\n", output.Name(event.name).c_str(),
                   static_cast<unsigned long>(event.minute), static_cast<unsigned long>(event.hour),
                   static_cast<unsigned long>(event.day), static_cast<unsigned long>(event.total));
        }
    }
    printf("  %-24s %10s   %s\n", "peak, high-water mark", "value", "reached at (UTC)");
    for (const KwStatsEventSnapshot& event : snapshot.events) {
        if (event.rated) {
            printf("  %-24s %10lu   %s\n", output.Name(event.name + " /s").c_str(),
                   static_cast<unsigned long>(event.peak), TimeText(event.peakTime).c_str());
        }
        if (event.mark == KwStatsEventSnapshot::WATER_MARK) {
            printf("  %-24s %10lu   %s\n", output.Name(event.name).c_str(),
                   static_cast<unsigned long>(event.markValue), TimeText(event.markTime).c_str());
        } else if (event.mark == KwStatsEventSnapshot::LATENCY) {
            // Tenths of a millisecond, without the locale's decimal mark.
            printf("  %-24s %8lu.%lu   %s\n", output.Name(event.name + " ms").c_str(),
                   static_cast<unsigned long>(event.markValue / 10),
                   static_cast<unsigned long>(event.markValue % 10),
                   TimeText(event.markTime).c_str());
        }
    }
}

void PrintReport(const KwSrvrStatsCollector& collector, int elapsed, const Output& output) {
    std::string report = output.Report(collector.GetStatsReport());
    printf("=== report after %d s ===\n%s\n\n", elapsed, report.c_str());
    KwStatsSnapshot snapshot;
    if (collector.GetStatsSnapshot(snapshot)) {
        PrintTables(snapshot, output);
    }
    printf("\n");
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    // As a host may: the environment's locale (the outputs do not change).
    setlocale(LC_ALL, "");
    try {
        std::locale::global(std::locale(""));
    } catch (const std::exception&) {
    }
    Options options;
    if (getenv("DLOG_LEVEL") != nullptr) {
        options.logLevel = dlog_get_threshold();
    }
    int parsed = ParseOptions(argc, argv, options);
    if (parsed != 0) {
        return parsed == 1 ? 0 : 2;
    }
    Output output;
    output.terminal = isatty(STDOUT_FILENO) != 0;
    output.utf8 = strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    dlog_set_threshold(options.logLevel);

    // 1. Set-up. The timer manager belongs to the host; it must outlive the
    //    collection thread, so it is made before the collector.
    static KwTimerMgr timerMgr;
    KwSrvrStatsCollector& collector = KwSrvrStatsCollector::GetInstance();
    // --no-timer-manager plays a host that forgets this: the collection
    // thread then gives up, and the server says so (for the alerts).
    if (!options.withholdTimerManager) {
        collector.SetTimerManager(timerMgr);
    }
    Events events;
    events.rxPackets = collector.RegisterEvent("rxPackets", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    events.reqStart =
        collector.RegisterEvent("reqStart", STATS_FLAG_LATENCY_START, STATS_DATA_COUNT);
    events.reqDone = collector.RegisterEvent(
        "reqDone", STATS_FLAG_LATENCY_END | STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    events.queueDepth = collector.RegisterEvent("queueDepth", 0, STATS_DATA_WATER_MARK);
    events.txDropped = collector.RegisterEvent("txDropped", 0, STATS_DATA_COUNT);
    const std::vector<int> odd = RegisterOddEvents(collector, options.oddEvents);
    if (collector.Start() != 0) {
        fprintf(stderr, "qel_demo: the collection thread could not be started\n");
        return 1;
    }
    collector.DoneInit();
    while (!options.withholdTimerManager && !collector.IsRunning()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // The source the status server shows: the pusher's adds its own figures.
    KwStatsSource source = KwTakeStatsSnapshot;
#ifdef QEL_DEMO_PUSH
    // One pusher a receiver; the status server shows the first one's figures.
    std::vector<std::unique_ptr<KwStatsPusher>> pushers;
    auto shared = std::make_shared<SharedSnapshots>();
    KwStatsSource snapshots = [shared](KwStatsSnapshot& out) { return (*shared)(out); };
    for (const std::string& file : options.pushConfigFiles) {
        KwStatsPushOptions push;
        std::string error;
        std::unique_ptr<KwStatsPusher> pusher;
        if (KwStatsPushOptions::FromFile(file, push, error)) {
            pusher = KwStatsPusher::Start(push, error, snapshots);
        }
        if (pusher == nullptr) {
            fprintf(stderr, "qel_demo: %s\n", error.c_str());
            return 1;
        }
        if (pushers.empty()) {
            source = pusher->Source();
        }
        printf("qel_demo: pushing as %s says, every %d ms\n", file.c_str(), push.intervalMs);
        pushers.push_back(std::move(pusher));
    }
#else
    if (!options.pushConfigFiles.empty()) {
        fprintf(stderr, "qel_demo: --push.config needs a build with the push add-on\n");
        return 2;
    }
#endif
#ifdef QEL_DEMO_HTTP
    std::unique_ptr<KwStatsHttpServer> server;
    if (options.httpPort != 0) {
        KwStatsHttpOptions http;
        http.bindAddress = options.httpBind;
        http.port = options.httpPort;
        http.webConfigFile = options.webConfigFile;
        std::string error;
        server = KwStatsHttpServer::Start(http, error, source);
        if (server == nullptr) {
            fprintf(stderr, "qel_demo: %s\n", error.c_str());
            return 1;
        }
        bool v6 = options.httpBind.find(':') != std::string::npos;
        std::string host = v6 ? "[" + options.httpBind + "]" : options.httpBind;
        if (options.webConfigFile.empty()) {
            printf("qel_demo: serving http://%s:%d/ (/metrics, /stats.json)\n", host.c_str(),
                   server->Port());
        } else {
            printf("qel_demo: serving %s:%d as %s says (/metrics, /stats.json)\n", host.c_str(),
                   server->Port(), options.webConfigFile.c_str());
        }
    }
#else
    if (options.httpPort != 0) {
        fprintf(stderr, "qel_demo: --http needs a build with the status server\n");
        return 2;
    }
#endif
    printf(
        "qel_demo: %d events registered; %d packet workers at about %d packets/s each, "
        "one request worker, one queue sampler; %d s\n\n",
        collector.GetMonitoredEventNumber(), options.threads, options.rate, options.seconds);

    // 2. Collection: any thread reports events.
    Clock::time_point start = Clock::now();
    Clock::time_point end = start + std::chrono::seconds(options.seconds);
    std::vector<std::thread> workers;
    for (int t = 0; t < options.threads; ++t) {
        workers.emplace_back(PacketWorker, std::ref(collector), std::cref(events),
                             std::cref(options), end, 1000u + static_cast<unsigned>(t));
    }
    workers.emplace_back(RequestWorker, std::ref(collector), std::cref(events), end, 7u);
    workers.emplace_back(QueueSampler, std::ref(collector), std::cref(events), end, 11u);
    if (!odd.empty()) {
        workers.emplace_back(OddWorker, std::ref(collector), std::cref(odd), end);
    }

    // 3. Output: the report from any thread, at any time.
    for (int elapsed = options.reportEvery; elapsed < options.seconds;
         elapsed += options.reportEvery) {
        std::this_thread::sleep_until(start + std::chrono::seconds(elapsed));
        PrintReport(collector, elapsed, output);
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    // Let the last second roll up before the final report.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    PrintReport(collector, options.seconds, output);

#ifdef QEL_DEMO_HTTP
    server.reset();
#endif
#ifdef QEL_DEMO_PUSH
    pushers.clear();  // each sends what is queued, then stale markers
#endif
    // Stop: the thread releases everything it owns; wait for it through
    // ACE's thread manager, which runs it.
    collector.Stop();
    ACE_Thread_Manager::instance()->wait();
    printf("qel_demo: collector stopped\n");
    return 0;
}

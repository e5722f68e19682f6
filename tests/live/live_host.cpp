// live_host: a host for the live checks (scripts/live.sh). It registers
// events whose names hold everything an exposition must escape or repair,
// reports them once a second, and serves them with the status server.
//
//   live_host PORT SECONDS [WORKER_THREADS (32)] [EVENTS (16)]
//
// Beyond its 16 events it registers more, up to EVENTS (at most 256), with
// long and odd names, counted or sampled, for the status page at scale.
//
// It takes its locale from the environment (LC_ALL=de_DE.UTF-8 puts it under
// a German one, as a host may be) and prints the report once a second.
#include <locale.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <locale>
#include <string>
#include <thread>
#include <vector>

#include "KwSrvrStatsCollector.h"
#include "KwStatsHttpServer.h"
#include "KwTimerMgr.h"
#include "ace/Thread_Manager.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: live_host PORT SECONDS [WORKER_THREADS]\n");
        return 2;
    }
    setlocale(LC_ALL, "");
    try {
        std::locale::global(std::locale(""));
    } catch (const std::exception&) {
        fprintf(stderr, "live_host: the environment's locale is unknown; C is used\n");
    }
    static KwTimerMgr timerMgr;
    KwSrvrStatsCollector& stats = KwSrvrStatsCollector::GetInstance();
    stats.SetTimerManager(timerMgr);
    const std::string names[] = {"quote \"q\"",
                                 "back\\slash",
                                 "new\nline",
                                 "semi;colon",
                                 "colon: blank",
                                 "bytes \xff\xfe not utf-8",
                                 "cut short \xe2\x82",
                                 std::string(300, 'n'),
                                 "same",
                                 "same",
                                 "percent %s %n",
                                 "d\xc3\xa9j\xc3\xa0 vu \xe2\x82\xac",
                                 ""};
    std::vector<int> counted;
    for (const std::string& name : names) {
        counted.push_back(stats.RegisterEvent(name.c_str(), STATS_FLAG_MAX_RATE, STATS_DATA_COUNT));
    }
    int start =
        stats.RegisterEvent("request \"start\"", STATS_FLAG_LATENCY_START, STATS_DATA_COUNT);
    int done = stats.RegisterEvent("request\ndone\xff", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT);
    int depth = stats.RegisterEvent("depth; \"max\"", 0, STATS_DATA_WATER_MARK);
    std::vector<int> extra;
    for (int n = stats.GetMonitoredEventNumber(); n < (argc > 4 ? atoi(argv[4]) : 0); ++n) {
        std::string name = "load " + std::to_string(n);
        if (n % 9 == 0) {
            name += " <b>&amp;</b> " + std::string(150, 'w');  // markup that must stay text
        } else if (n % 5 == 0) {
            name += " " + std::string(40, 'x') + "-" + std::string(40, 'y');
        }
        bool sampled = n % 10 == 3;
        extra.push_back(stats.RegisterEvent(name.c_str(), sampled ? 0 : STATS_FLAG_MAX_RATE,
                                            sampled ? STATS_DATA_WATER_MARK : STATS_DATA_COUNT));
    }
    stats.Start();
    stats.DoneInit();
    while (!stats.IsRunning()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    KwStatsHttpOptions options;
    options.port = atoi(argv[1]);
    if (argc > 3) {
        options.workerThreads = atoi(argv[3]);
    }
    std::string error;
    std::unique_ptr<KwStatsHttpServer> server = KwStatsHttpServer::Start(options, error);
    if (!server) {
        fprintf(stderr, "live_host: %s\n", error.c_str());
        return 1;
    }
    printf("live_host: %d events, serving on port %d\n", stats.GetMonitoredEventNumber(),
           server->Port());
    for (int second = 0; second < atoi(argv[2]); ++second) {
        for (size_t i = 0; i < counted.size(); ++i) {
            for (size_t n = 0; n <= i; ++n) {
                stats.SetEvent(counted[i], 0, nullptr);
            }
        }
        stats.SetEvent(start, 0, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(7 + second % 3));
        stats.SetEvent(done, 0, nullptr);
        uint32_t value = 100 + static_cast<uint32_t>(second);
        stats.SetEvent(depth, sizeof value, &value);
        for (size_t k = 0; k < extra.size(); ++k) {
            uint32_t sample = static_cast<uint32_t>(k + second);
            for (size_t n = 0; n < (k + static_cast<size_t>(second)) % 7; ++n) {
                stats.SetEvent(extra[k], sizeof sample, &sample);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(990));
        printf("%s\n", stats.GetStatsReport().c_str());
        fflush(stdout);
    }
    server.reset();
    stats.Stop();
    ACE_Thread_Manager::instance()->wait();
    return 0;
}

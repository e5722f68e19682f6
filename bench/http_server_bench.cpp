// The cost of the collector to a real server.
//
// A small keep-alive HTTP server on ACE sockets answers every request with
// "ok". When instrumented, each request reports a latency start, the number
// of requests in flight (a high-water mark) and a latency end. When counted,
// each request is counted through a KwStatsCounter alone. wrk drives it on
// loopback, in turn plain, instrumented and counted; each result is the
// median of the rounds' throughput ratios against the plain run of the same
// round, and the collector's counts of requests are checked against what the
// server served in each mode.
//
// usage: http_server_bench [seconds per run (4)] [pairs (6)] [connections (16)]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "KwSrvrStatsCollector.h"
#include "KwStatsCounter.h"
#include "KwTimerMgr.h"
#include "ace/INET_Addr.h"
#include "ace/SOCK_Acceptor.h"
#include "ace/SOCK_Stream.h"
#include "ace/Thread_Manager.h"
#include "ace/Time_Value.h"
#include "dlog.h"

namespace {

const char kResponse[] =
    "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Type: text/plain\r\n\r\nok";

enum Mode { PLAIN, INSTRUMENTED, COUNTED };

struct Server {
    std::atomic<int> mode{PLAIN};
    std::atomic<bool> stopping{false};
    std::atomic<long> servedInstrumented{0};
    std::atomic<long> servedCounted{0};
    std::atomic<long> servedPlain{0};
    KwStatsCounter* requests = nullptr;
    std::atomic<uint32_t> inFlight{0};
    int reqStart = -1;
    int reqDone = -1;
    int inFlightMark = -1;
    ACE_SOCK_Acceptor acceptor;
    std::vector<std::thread> connections;
};

// Serves one keep-alive connection until the client closes it.
void Serve(Server& server, ACE_SOCK_Stream stream) {
    KwSrvrStatsCollector& stats = KwSrvrStatsCollector::GetInstance();
    char buffer[8192];
    std::string pending;
    for (;;) {
        ssize_t got = stream.recv(buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        pending.append(buffer, static_cast<size_t>(got));
        size_t end;
        while ((end = pending.find("\r\n\r\n")) != std::string::npos) {
            pending.erase(0, end + 4);
            int mode = server.mode.load(std::memory_order_relaxed);
            bool measured = mode == INSTRUMENTED;
            uint32_t flying = server.inFlight.fetch_add(1) + 1;
            if (mode == COUNTED) {
                server.requests->Add();
            }
            if (measured) {
                stats.SetEvent(server.reqStart, 0, nullptr);
                stats.SetEvent(server.inFlightMark, sizeof flying, &flying);
            }
            stream.send_n(kResponse, sizeof kResponse - 1);
            server.inFlight.fetch_sub(1);
            if (measured) {
                stats.SetEvent(server.reqDone, 0, nullptr);
                ++server.servedInstrumented;
            } else if (mode == COUNTED) {
                ++server.servedCounted;
            } else {
                ++server.servedPlain;
            }
        }
    }
    stream.close();
}

void AcceptLoop(Server& server) {
    while (!server.stopping.load()) {
        ACE_SOCK_Stream stream;
        ACE_Time_Value wait(0, 100000);
        if (server.acceptor.accept(stream, nullptr, &wait) == 0) {
            server.connections.emplace_back(Serve, std::ref(server), stream);
        }
    }
    for (std::thread& connection : server.connections) {
        connection.join();
    }
}

// Runs wrk once; returns requests per second, or a negative value.
double RunWrk(unsigned short port, int seconds, int connections) {
    char command[256];
    snprintf(command, sizeof command, "wrk -t1 -c%d -d%ds http://127.0.0.1:%u/ 2>&1", connections,
             seconds, port);
    FILE* pipe = popen(command, "r");
    if (pipe == nullptr) {
        return -1;
    }
    std::string output;
    char line[512];
    while (fgets(line, sizeof line, pipe) != nullptr) {
        output += line;
    }
    pclose(pipe);
    std::smatch match;
    if (!std::regex_search(output, match, std::regex("Requests/sec:\\s+([0-9.]+)"))) {
        fprintf(stderr, "wrk said:\n%s", output.c_str());
        return -1;
    }
    return std::stod(match[1]);
}

// The total column of an event's count record in the report.
long ReportedTotal(const std::string& report, const std::string& name) {
    std::smatch match;
    std::regex record("[;]" + name + ": [0-9]+, [0-9]+, [0-9]+, ([0-9]+)");
    return std::regex_search(report, match, record) ? std::stol(match[1]) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? atoi(argv[1]) : 4;
    int rounds = argc > 2 ? atoi(argv[2]) : 6;
    int connections = argc > 3 ? atoi(argv[3]) : 16;
    if (seconds < 1 || rounds < 1 || connections < 1) {
        fprintf(stderr, "usage: http_server_bench [seconds] [rounds] [connections]\n");
        return 2;
    }
    dlog_set_threshold(DLOG_WARNING);

    static KwTimerMgr timerMgr;
    KwSrvrStatsCollector& stats = KwSrvrStatsCollector::GetInstance();
    stats.SetTimerManager(timerMgr);
    Server server;
    server.reqStart = stats.RegisterEvent("reqStart", STATS_FLAG_LATENCY_START, STATS_DATA_COUNT);
    server.reqDone = stats.RegisterEvent("reqDone", STATS_FLAG_LATENCY_END | STATS_FLAG_MAX_RATE,
                                         STATS_DATA_COUNT);
    server.inFlightMark = stats.RegisterEvent("inFlight", 0, STATS_DATA_WATER_MARK);
    KwStatsCounter requests(stats.RegisterEvent("requests", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT));
    server.requests = &requests;
    stats.Start();
    stats.DoneInit();

    ACE_INET_Addr any(static_cast<unsigned short>(0), "127.0.0.1");
    if (server.acceptor.open(any, 1) != 0) {
        perror("listen");
        return 1;
    }
    ACE_INET_Addr bound;
    server.acceptor.get_local_addr(bound);
    std::thread acceptor(AcceptLoop, std::ref(server));

    // Rounds of runs, plain, instrumented and counted; single runs here
    // swing by a fifth, so each figure is the median of the rounds' ratios.
    const char* names[] = {"uninstrumented", "instrumented", "counted"};
    std::vector<double> rates[3], ratios[3];
    for (int round = 0; round < rounds; ++round) {
        for (int mode : {PLAIN, INSTRUMENTED, COUNTED}) {
            server.mode.store(mode);
            double rate = RunWrk(bound.get_port_number(), seconds, connections);
            if (rate < 0) {
                fprintf(stderr, "wrk failed (is it installed? scripts/setup.sh bench)\n");
                return 1;
            }
            printf("round %d %-14s %10.0f requests/s\n", round + 1, names[mode], rate);
            rates[mode].push_back(rate);
            ratios[mode].push_back(rate / rates[PLAIN].back());
        }
    }
    auto median = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        size_t n = values.size();
        return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    };
    server.stopping.store(true);
    acceptor.join();
    server.acceptor.close();

    // Every finished request the collector saw, against what was served.
    long served = server.servedInstrumented.load();
    long counted = -1;
    for (int i = 0; i < 2000 && counted != served; ++i) {
        counted = ReportedTotal(stats.GetStatsReport(), "reqDone");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    long servedCounted = server.servedCounted.load();
    long countedByCounter = ReportedTotal(stats.GetStatsReport(), "requests");
    std::string report = stats.GetStatsReport();
    stats.Stop();
    ACE_Thread_Manager::instance()->wait();

    printf("\n%s\n\n", report.c_str());
    printf("%-48s %9.0f /s %9.0f /s %8.3f\n", "HTTP throughput instrumented / uninstrumented",
           median(rates[INSTRUMENTED]), median(rates[PLAIN]), median(ratios[INSTRUMENTED]));
    printf("%-48s %9.0f /s %9.0f /s %8.3f\n", "HTTP throughput counted with Add / uninstrumented",
           median(rates[COUNTED]), median(rates[PLAIN]), median(ratios[COUNTED]));
    printf("(medians of %d rounds of %d s; each ratio is the median of the rounds' ratios)\n",
           rounds, seconds);
    printf("requests served instrumented: %ld, counted by the collector: %ld (%s)\n", served,
           counted, served == counted ? "equal" : "DIFFERENT");
    printf("requests served counted: %ld, counted through KwStatsCounter: %ld (%s)\n",
           servedCounted, countedByCounter,
           servedCounted == countedByCounter ? "equal" : "DIFFERENT");
    return served == counted && servedCounted == countedByCounter ? 0 : 1;
}
